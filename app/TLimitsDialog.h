#pragma once

#include "TLimits.h"
#include "ValueFormat.h"

#include <QDialog>

#include <optional>
#include <vector>

class QLineEdit;

/// "判定条件…": one row a value column with its lower and upper limit, then
/// the limits of failed polls and of the response time. OK takes them only
/// when every field is empty or a number as the column's format writes it and
/// every lower limit is at most its upper one; otherwise a box says which
/// field is wrong and the dialog stays.
class TLimitsDialog final : public QDialog {
    Q_OBJECT
public:
    TLimitsDialog(const TLimits& limits, TValueFormat format, int columns,
                  QWidget* parent = nullptr);

    /// The limits as the dialog holds them; none while a field is wrong, and
    /// then `Problem` says why.
    std::optional<TLimits> Limits() const;
    QString Problem() const { return FProblem; }

    void accept() override;

private:
    TValueFormat Format;
    std::vector<std::pair<QLineEdit*, QLineEdit*>> Values;
    QLineEdit* MaxFail = nullptr;
    QLineEdit* MaxFailPercent = nullptr;
    QLineEdit* MaxResponse = nullptr;
    mutable QString FProblem;
};
