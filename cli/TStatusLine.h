#pragma once

#include <cstddef>
#include <ostream>
#include <string_view>

/// One line of standard error redrawn in place (on a terminal): each Show
/// overwrites the last text, Clear blanks it before other output goes there.
class TStatusLine {
public:
    explicit TStatusLine(std::ostream& err) : Err(err) {}

    void Show(std::string_view text) {
        Err << '\r' << text;
        if (text.size() < Width)
            Err << std::string(Width - text.size(), ' ');
        Err << std::flush;
        Width = text.size();
    }

    void Clear() {
        if (Width == 0)
            return;
        Err << '\r' << std::string(Width, ' ') << '\r' << std::flush;
        Width = 0;
    }

private:
    std::ostream& Err;
    std::size_t Width = 0; // of the text shown, 0 when none is
};
