#pragma once

#include <QSpinBox>

#include <optional>

/// An integer spin box whose edit takes any integer the user types, in range
/// or not, so the program can store each keystroke as it is made. Leaving the
/// box corrects a value outside the range to the nearest bound.
class TSpinEdit : public QSpinBox {
    Q_OBJECT
public:
    explicit TSpinEdit(QWidget* parent = nullptr);

    /// The integer the box shows now, or nothing while its text is not one
    /// (empty, or a sign alone).
    std::optional<int> ShownInteger() const;

signals:
    /// The shown text changed, by a keystroke or by the program.
    void TextChanged(const QString& text);

protected:
    bool event(QEvent* event) override;
    QValidator::State validate(QString& input, int& pos) const override;
    void fixup(QString& input) const override;
    int valueFromText(const QString& text) const override;

private:
    void NoteText();

    QString LastText;
};
