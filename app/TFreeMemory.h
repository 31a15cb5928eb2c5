#pragma once

/// Hands memory the program has freed back to the system where the allocator
/// would otherwise keep it for later use. Best effort; one implementation per OS.
void FreeUnusedMemory();
