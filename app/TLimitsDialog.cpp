#include "TLimitsDialog.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

#include <cmath>

namespace {

QString Text(const std::optional<double>& value, TValueFormat format) {
    return value ? QString::fromStdString(ValueText(*value, format)) : QString();
}

QLineEdit* Field(const QString& name, const QString& text, QWidget* parent) {
    auto* field = new QLineEdit(text, parent);
    field->setObjectName(name);
    return field;
}

std::optional<double> Decimal(const QString& text) {
    return ParseLimitNumber(text.trimmed().toStdString());
}

} // namespace

TLimitsDialog::TLimitsDialog(const TLimits& limits, TValueFormat format, int columns,
                             QWidget* parent)
    : QDialog(parent), Format(format) {
    setObjectName(QStringLiteral("TLimitsDialog"));
    setWindowTitle(QStringLiteral("判定条件"));
    auto* layout = new QVBoxLayout(this);

    auto* grid = new QGridLayout;
    grid->addWidget(new QLabel(QStringLiteral("数值"), this), 0, 0);
    grid->addWidget(new QLabel(QStringLiteral("下限"), this), 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("上限"), this), 0, 2);
    for (int column = 0; column < columns; ++column) {
        const TValueLimit* limit = limits.ValueLimit(static_cast<std::size_t>(column));
        const QString name = QStringLiteral("Value%1").arg(column + 1);
        QLineEdit* min =
            Field(name + QStringLiteral("Min"), limit ? Text(limit->Min, format) : QString(), this);
        QLineEdit* max =
            Field(name + QStringLiteral("Max"), limit ? Text(limit->Max, format) : QString(), this);
        grid->addWidget(new QLabel(name, this), column + 1, 0);
        grid->addWidget(min, column + 1, 1);
        grid->addWidget(max, column + 1, 2);
        Values.emplace_back(min, max);
    }
    auto* rows = new QWidget(this);
    rows->setLayout(grid);
    // Up to 125 value columns: the rows scroll, the limits below stay.
    auto* scroll = new QScrollArea(this);
    scroll->setWidget(rows);
    scroll->setWidgetResizable(true);
    layout->addWidget(scroll);

    auto* comm = new QGridLayout;
    MaxFail = Field(QStringLiteral("MaxFail"),
                    limits.MaxFail ? QString::number(*limits.MaxFail) : QString(), this);
    MaxFailPercent = Field(QStringLiteral("MaxFailPercent"),
                           Text(limits.MaxFailPercent, TValueFormat{TValueType::Float32}), this);
    MaxResponse = Field(QStringLiteral("MaxResponse"),
                        Text(limits.MaxResponseMs, TValueFormat{TValueType::Float32}), this);
    comm->addWidget(new QLabel(QStringLiteral("允许的失败次数"), this), 0, 0);
    comm->addWidget(MaxFail, 0, 1);
    comm->addWidget(new QLabel(QStringLiteral("允许的失败率 %"), this), 1, 0);
    comm->addWidget(MaxFailPercent, 1, 1);
    comm->addWidget(new QLabel(QStringLiteral("允许的响应时间P99 ms"), this), 2, 0);
    comm->addWidget(MaxResponse, 2, 1);
    layout->addLayout(comm);
    layout->addWidget(new QLabel(
        QStringLiteral("空白表示不限。设有任何条件而未设失败次数或失败率时，不允许失败。"), this));

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("取消"));
    connect(buttons, &QDialogButtonBox::accepted, this, &TLimitsDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &TLimitsDialog::reject);
    layout->addWidget(buttons);
}

std::optional<TLimits> TLimitsDialog::Limits() const {
    TLimits limits;
    for (std::size_t column = 0; column < Values.size(); ++column) {
        TValueLimit limit;
        for (const bool max : {false, true}) {
            const QLineEdit* field = max ? Values[column].second : Values[column].first;
            if (field->text().trimmed().isEmpty())
                continue;
            const std::optional<double> value = ParseValueText(field->text().toStdString(), Format);
            if (!value) {
                FProblem = QStringLiteral("Value%1的%2“%3”不是%4格式的数值")
                               .arg(column + 1)
                               .arg(max ? QStringLiteral("上限") : QStringLiteral("下限"))
                               .arg(field->text())
                               .arg(QString::fromStdString(ValueFormatName(Format)));
                return std::nullopt;
            }
            (max ? limit.Max : limit.Min) = value;
        }
        limits.Values.push_back(limit);
    }
    if (!MaxFail->text().trimmed().isEmpty()) {
        const std::optional<double> fail = Decimal(MaxFail->text());
        if (!fail || *fail < 0 || *fail != std::floor(*fail)) {
            FProblem = QStringLiteral("允许的失败次数须为0或正整数");
            return std::nullopt;
        }
        limits.MaxFail = static_cast<std::int64_t>(*fail);
    }
    const auto decimal = [&](QLineEdit* field, const QString& problem,
                             std::optional<double>& into) {
        if (field->text().trimmed().isEmpty())
            return true;
        into = Decimal(field->text());
        if (!into)
            FProblem = problem;
        return into.has_value();
    };
    if (!decimal(MaxFailPercent, QStringLiteral("允许的失败率须为0到100之间的数"),
                 limits.MaxFailPercent) ||
        !decimal(MaxResponse, QStringLiteral("允许的响应时间须为0或正数"), limits.MaxResponseMs))
        return std::nullopt;
    switch (const TLimitsProblem problem = LimitsProblem(limits); problem.Kind) {
    case TLimitsProblem::TKind::None:
        return limits;
    case TLimitsProblem::TKind::MinAboveMax:
        FProblem = QStringLiteral("Value%1的下限大于上限").arg(problem.Column + 1);
        break;
    case TLimitsProblem::TKind::NegativeFail:
        FProblem = QStringLiteral("允许的失败次数须为0或正整数");
        break;
    case TLimitsProblem::TKind::PercentRange:
        FProblem = QStringLiteral("允许的失败率须为0到100之间的数");
        break;
    case TLimitsProblem::TKind::NegativeTime:
        FProblem = QStringLiteral("允许的响应时间须为0或正数");
        break;
    }
    return std::nullopt;
}

void TLimitsDialog::accept() {
    if (!Limits()) {
        QMessageBox::warning(this, windowTitle(), FProblem);
        return;
    }
    QDialog::accept();
}
