#include "TSpinEdit.h"

#include <QLineEdit>

#include <algorithm>

namespace {

// A sign followed by decimal digits only: no spaces, separators or other
// bases, so what the box shows is exactly what gets stored.
std::optional<int> ParseInteger(const QString& text) {
    const qsizetype digitsFrom = text.startsWith(QLatin1Char('-')) ? 1 : 0;
    if (text.size() <= digitsFrom)
        return std::nullopt;
    for (qsizetype i = digitsFrom; i < text.size(); ++i)
        if (text[i] < QLatin1Char('0') || text[i] > QLatin1Char('9'))
            return std::nullopt;
    bool isNumber = false;
    const int value = text.toInt(&isNumber);
    return isNumber ? std::optional<int>(value) : std::nullopt;
}

} // namespace

TSpinEdit::TSpinEdit(QWidget* parent) : QSpinBox(parent) {
    // The fallback for a text fixup() cannot read; fixup() itself clamps typed numbers.
    setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
    // Neither signal alone follows the shown text: the edit's is silenced
    // while the box rewrites the text from its value, and the value does not
    // change while an out-of-range number is typed. Whatever happens, the
    // text is compared with the last one seen, so each change is told once.
    LastText = lineEdit()->displayText();
    connect(lineEdit(), &QLineEdit::textChanged, this, &TSpinEdit::NoteText);
    connect(this, &QSpinBox::valueChanged, this, &TSpinEdit::NoteText);
}

bool TSpinEdit::event(QEvent* event) {
    // Leaving the box or pressing Enter corrects the text without a signal.
    const bool handled = QSpinBox::event(event);
    NoteText();
    return handled;
}

void TSpinEdit::NoteText() {
    const QString shown = lineEdit()->displayText();
    if (shown == LastText)
        return;
    LastText = shown;
    emit TextChanged(shown);
}

std::optional<int> TSpinEdit::ShownInteger() const {
    return ParseInteger(cleanText());
}

QValidator::State TSpinEdit::validate(QString& input, int& /*pos*/) const {
    // Empty text and a lone sign are steps towards a number; anything that
    // cannot become an integer is refused keystroke by keystroke.
    if (input.isEmpty() || input == QLatin1String("-"))
        return QValidator::Intermediate;
    const std::optional<int> value = ParseInteger(input);
    if (!value)
        return QValidator::Invalid;
    return *value >= minimum() && *value <= maximum() ? QValidator::Acceptable
                                                      : QValidator::Intermediate;
}

void TSpinEdit::fixup(QString& input) const {
    // Qt's own nearest-value correction clamps zero, not the typed number, so
    // the clamp is done here; text that is no number goes back to the value.
    const std::optional<int> value = ParseInteger(input);
    input = textFromValue(value ? std::clamp(*value, minimum(), maximum()) : this->value());
}

int TSpinEdit::valueFromText(const QString& text) const {
    return ParseInteger(text).value_or(value());
}
