#pragma once

class QTranslator;

/// Loads Qt's own texts (dialog captions, standard buttons) in the window's
/// language into `translator` and installs it: from `translations` beside
/// the program (the portable Windows folder), else from Qt's own folder.
/// False when neither has them; Qt then speaks English.
bool InstallQtTexts(QTranslator& translator);
