#include "TfrmMain.h"

#include "TCaptionPanel.h"
#include "TComComboBox.h"
#include "TComLed.h"
#include "TLimitsDialog.h"
#include "TRightAnchor.h"
#include "TSettingsTable.h"
#include "TSpinEdit.h"
#include "TSysParam.h"
#include "ui_TfrmMain.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QClipboard>
#include <QCloseEvent>
#include <QColor>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QHelpEvent>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMessageBox>
#include <QPageSize>
#include <QPdfWriter>
#include <QRadioButton>
#include <QSaveFile>
#include <QScrollBar>
#include <QShowEvent>
#include <QStatusBar>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QTableWidgetItem>
#include <QTextDocument>
#include <QToolTip>

#include <algorithm>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>

namespace {

const QString StartCaption = QStringLiteral("开始运行");
const QString StopCaption = QStringLiteral("停止运行");
const char* const OpenFailedMessage = "串口打开失败！请检查是否被占用";

// How often a run may redraw the table and the panels: about a display frame
// or two, quicker than anyone reads a count.
constexpr std::chrono::milliseconds DisplayPeriod(40);
constexpr int ValueColumnWidth = 70;
// Room around a cell's text: the grid line and the style's margins.
constexpr int CellPadding = 6;
// The narrowest the error list gets when the table takes room from it.
constexpr int MinInfoWidth = 60;

QString Text(const std::string& text) {
    return QString::fromStdString(text);
}

// Half-typed text (empty, a lone sign) stores nothing; any integer is stored
// as shown, even outside the range, since leaving the box corrects it later.
// While the window shows the file's values, what a box corrects (a value
// outside its range) is taken in memory only: the file changes only when the
// user changes that box.
void StoreShown(const TSpinEdit& box, TSysParam& param, bool showing) {
    if (const std::optional<int> shown = box.ShownInteger()) {
        if (showing)
            param.SetValueUnsaved(*shown);
        else
            param.SetValue(*shown);
    }
}

void SetCell(QTableWidget& table, int row, int column, const QString& text) {
    // An unchanged cell is left alone: setting it would still repaint it.
    if (QTableWidgetItem* item = table.item(row, column)) {
        if (item->text() != text)
            item->setText(text);
    } else
        table.setItem(row, column, new QTableWidgetItem(text));
}

// A CSV field: quoted when it holds a separator, a quote or a line break.
QString CsvField(const QString& text) {
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) &&
        !text.contains(QLatin1Char('\n')) && !text.contains(QLatin1Char('\r')))
        return text;
    QString quoted = text;
    quoted.replace(QStringLiteral("\""), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString CellText(const QTableWidget& table, int row, int column) {
    const QTableWidgetItem* item = table.item(row, column);
    return item != nullptr ? item->text() : QString();
}

} // namespace

TfrmMain::~TfrmMain() {
    ShutDown();
}

void TfrmMain::Guarded(const std::function<void()>& handler) {
    // LoadParams replaces the file object; a new one starts from no writes.
    const TIniFile* file = ConfigFile;
    const std::uint64_t writesBefore = file != nullptr ? file->Writes() : 0;
    try {
        handler();
    } catch (const EIniWriteError& error) {
        // One box for a refused write, then quiet until a write goes through:
        // a read-only file would otherwise answer every keystroke with a box.
        if (!SettingsBoxShown) {
            SettingsBoxShown = true;
            ShowError(QString::fromUtf8(error.what()), error.Reason());
        }
    } catch (const EIniError& error) {
        SettingsBoxShown = true;
        ShowError(QString::fromUtf8(error.what()), error.Reason());
    } catch (const std::exception& error) {
        ShowError(QString::fromUtf8(error.what()));
    }
    const std::uint64_t since = ConfigFile == file ? writesBefore : 0;
    if (ConfigFile != nullptr && ConfigFile->Writes() != since && !ConfigFile->WriteRefused())
        SettingsBoxShown = false;
}

void TfrmMain::ShowError(const QString& text, std::error_code reason) {
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Quellmark"), text, QMessageBox::Ok,
                    this);
    // The system's own reason, below the message.
    if (reason)
        box.setInformativeText(QString::fromLocal8Bit(reason.message()));
    box.exec();
}

bool TfrmMain::RunOn() const {
    return ui->btnStart->text() != StartCaption;
}

// ---- Window events ----

void TfrmMain::FormCreate() {
    // A refused write or an unreadable file still leaves all ten parameters
    // in memory: report it once and go on without a writable file.
    Guarded([this] { LoadParams(ConfigPath); });
    // A value that is no number is not taken, and not silently either: a typo
    // in the file would otherwise change the test without a word.
    const auto invalid = [this](const std::string& key, const std::string& text,
                                const std::string& used) {
        InfoList->Append(Text(TimeStampText(Clock->Now()) + "[配置值无效!][" + key + "=" + text +
                              "][已使用默认值:" + used + "]"));
    };
    for (const TSysParam* param : AllParams())
        if (param != nullptr && param->InvalidText())
            invalid(param->Key(), *param->InvalidText(), param->AsString());
    if (ParamValueFormat != nullptr)
        if (const std::optional<std::string> format = ValueFormatProblem())
            invalid(ParamValueFormat->Key(), *format, ValueFormatName(TValueFormat{}));
    if (ParamParity != nullptr)
        if (const std::optional<std::string> parity = ParityProblem())
            invalid(ParamParity->Key(), *parity, std::string(1, ParityLetter(TLineParity::None)));
    if (ConfigFile != nullptr) {
        try {
            const TLimitsRead read = ReadLimits(*ConfigFile, RunSettingsFromParams().ValueFormat);
            FLimits = read.Limits;
            for (const std::string& problem : read.Problems)
                InfoList->Append(Text(TimeStampText(Clock->Now()) + "[判定条件无效!][" + problem +
                                      "][不作限制]"));
        } catch (const EIniReadError&) {
            // The file could not be read for the settings either, and the
            // box has said so: no limits then.
        }
    }
}

void TfrmMain::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!FormShown) {
        FormShown = true;
        // A box at start-up is the session's one box for that file until a
        // write goes through again: a read-only file says so once, not again
        // at the first edit.
        Guarded([this] {
            Showing = true;
            FormShow();
            Showing = false;
        });
    }
}

void TfrmMain::FormShow() {
    // Selecting an item from the program runs no handler; a spin box or the
    // radio group whose shown value changes runs its handler as an edit would.
    // A port name matches its item as the system compares port names; a
    // device path or a stable link (/dev/serial/by-id/...) matches the port it
    // leads to, and stays the saved name until the user picks another.
    ui->cbbComPort->ShowPort(Text(ParamCommPort->AsString()));
    ui->cbbBaud->setCurrentIndex(ui->cbbBaud->findText(Text(ParamBaudRate->AsString())));
    const std::int32_t function = ParamFunctionCode->AsInteger();
    ui->cbbFunctionCode->setCurrentIndex(function == 3 ? 0 : function == 4 ? 1 : -1);
    const std::optional<TValueFormat> format = ParseValueFormat(ParamValueFormat->AsString());
    ui->cbbValueFormat->setCurrentIndex(
        format ? ui->cbbValueFormat->findText(Text(ValueFormatName(*format))) : -1);
    ShowLineFraming();
    ui->speRBegin->setValue(ParamRegisterBegin->AsInteger());
    ui->speRCount->setValue(ParamRegisterCount->AsInteger());
    ui->spePollInterval->setValue(ParamPollInterval->AsInteger());
    ui->spePollTimeout->setValue(ParamPollTimeout->AsInteger());
    ui->spePollFrom->setValue(ParamPollFrom->AsInteger());
    ui->spePollTo->setValue(ParamPollTo->AsInteger());
    ui->speReadInterval->setValue(ParamReadInterval->AsInteger());
    // A box shows a value outside its range at the nearest bound; that is the
    // value a run uses, also when showing it changed no text (and ran no handler).
    const std::pair<TSpinEdit*, TSysParam*> boxes[] = {
        {ui->speRBegin, ParamRegisterBegin},      {ui->speRCount, ParamRegisterCount},
        {ui->spePollInterval, ParamPollInterval}, {ui->spePollTimeout, ParamPollTimeout},
        {ui->spePollFrom, ParamPollFrom},         {ui->spePollTo, ParamPollTo},
        {ui->speReadInterval, ParamReadInterval}};
    for (const auto& [box, param] : boxes)
        if (param->AsInteger() != box->value())
            param->SetValueUnsaved(box->value());
    const std::int32_t mode = ParamFrameBreakMode->AsInteger();
    if (mode < 0) {
        FrameBreakGroup->setExclusive(false);
        for (QAbstractButton* button : FrameBreakGroup->buttons())
            button->setChecked(false);
        FrameBreakGroup->setExclusive(true);
    } else {
        FrameBreakGroup->button(mode > 1 ? 1 : mode)->setChecked(true);
    }
}

void TfrmMain::closeEvent(QCloseEvent* event) {
    ShutDown();
    QWidget::closeEvent(event);
}

void TfrmMain::ShutDown() {
    CloseScan();
    // A coil command still waiting ends as timed out; nothing it waits for can come now.
    if (Session.Run.Running())
        StopPolling();
    Session.ClosePort();
    ui->btnStart->setText(StartCaption);
}

// ---- Settings ----

void TfrmMain::spePollFromChange() {
    StoreShown(*ui->spePollFrom, *ParamPollFrom, Showing);
}

void TfrmMain::spePollToChange() {
    StoreShown(*ui->spePollTo, *ParamPollTo, Showing);
}

void TfrmMain::speRBeginChange() {
    StoreShown(*ui->speRBegin, *ParamRegisterBegin, Showing);
}

void TfrmMain::speRCountChange() {
    StoreShown(*ui->speRCount, *ParamRegisterCount, Showing);
}

void TfrmMain::spePollIntervalChange() {
    StoreShown(*ui->spePollInterval, *ParamPollInterval, Showing);
}

void TfrmMain::spePollTimeoutChange() {
    StoreShown(*ui->spePollTimeout, *ParamPollTimeout, Showing);
}

void TfrmMain::speReadIntervalChange() {
    StoreShown(*ui->speReadInterval, *ParamReadInterval, Showing);
}

void TfrmMain::cbbComPortChange() {
    ParamCommPort->SetValue(ui->cbbComPort->Text().toStdString());
}

void TfrmMain::cbbBaudChange() {
    ParamBaudRate->SetValue(ui->cbbBaud->currentText().toInt());
}

void TfrmMain::cbbFunctionCodeChange() {
    ParamFunctionCode->SetValue(ui->cbbFunctionCode->currentIndex() == 1 ? 4 : 3);
}

void TfrmMain::cbbValueFormatChange() {
    ParamValueFormat->SetValue(ui->cbbValueFormat->currentText().toStdString());
}

void TfrmMain::rgFrameBreakModeClick() {
    if (Showing)
        ParamFrameBreakMode->SetValueUnsaved(FrameBreakGroup->checkedId());
    else
        ParamFrameBreakMode->SetValue(FrameBreakGroup->checkedId());
}

void TfrmMain::ApplyCommSettings() {
    ::ApplyCommSettings(Session.Comm1, RunSettingsFromParams());
}

void TfrmMain::btnClearInfoClick() {
    InfoList->Clear();
}

// ---- Run controls ----

void TfrmMain::btnStartClick() {
    if (!RunOn()) {
        // Refused before the port is touched: a run needs a sound range.
        const TRunSettings settings = RunSettingsFromParams();
        if (const std::string error = TPollingRun::SettingsError(settings); !error.empty())
            throw std::runtime_error(error);
        // The reason of a failure goes into the error list; the box stays as it was.
        if (!Session.OpenAsSet(settings))
            throw std::runtime_error(OpenFailedMessage);
        ui->btnStart->setText(StopCaption);
        StartPolling();
    } else {
        StopPolling();
        Session.ClosePort();
        ui->btnStart->setText(StartCaption);
    }
}

void TfrmMain::StartPolling() {
    TRunSettings settings = RunSettingsFromParams();
    settings.Limits = FLimits;
    FlushDisplay(); // nothing of an earlier run may land in the new table
    ui->pnlParams->setEnabled(false);
    ui->btnLimits->setEnabled(false); // a run keeps the limits it started with
    const TRunLayout layout = TPollingRun::Layout(settings);
    const int values = layout.ValueColumns;

    // With limits a last column gives each slave's verdict.
    const bool judged = settings.Limits.Any();
    OkColumn = values + 1;
    FailColumn = values + 2;
    VerdictColumn = judged ? values + 3 : -1;
    const int columns = values + (judged ? 4 : 3);
    QTableWidget& table = *ui->lvResult;
    table.setRowCount(0);
    table.setColumnCount(0);
    table.setColumnCount(columns);
    QStringList captions{QStringLiteral("Id")};
    for (int i = 1; i <= values; ++i) {
        captions << QStringLiteral("Value%1").arg(i);
        table.setColumnWidth(i, ValueColumnWidth);
    }
    captions << QStringLiteral("OK") << QStringLiteral("FAIL");
    if (judged)
        captions << QStringLiteral("判定");
    table.setHorizontalHeaderLabels(captions);
    table.setRowCount(static_cast<int>(layout.Positions));
    for (int row = 0; row < static_cast<int>(layout.Positions); ++row) {
        table.setItem(row, 0, new QTableWidgetItem(QString::number(layout.PollFrom + row)));
        for (int column = 1; column < columns; ++column) {
            // Numbers line up on their last digit.
            auto* item = new QTableWidgetItem();
            item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            table.setItem(row, column, item);
        }
    }
    FitTable();

    StatusPanels[0]->setText(Text(TPollingRun::StartTimeText(Clock->Now())));
    Session.StartRun(settings);
    Timer1->start();
    Session.Run.ArmDisplay();
}

void TfrmMain::StopPolling() {
    Session.StopRun();
    // What the run counted up to its end is shown now, captions included.
    FlushDisplay();
    ui->pnlParams->setEnabled(true);
    ui->btnLimits->setEnabled(true);
    Timer1->stop();
}

void TfrmMain::btnClearClick() {
    Session.Run.ResetCounts();
    FlushDisplay();
    StatusPanels[0]->clear();
    StatusPanels[1]->clear();
}

void TfrmMain::Timer1Timer() {
    StatusPanels[1]->setText(Text(Session.Run.StatusText(Clock->Steady())));
}

// ---- Coil commands ----

void TfrmMain::btnZeroClick() {
    SendCoilCommand(TCoilAction::Zero);
}

void TfrmMain::btnUnZeroClick() {
    SendCoilCommand(TCoilAction::UnZero);
}

void TfrmMain::SendCoilCommand(TCoilAction action) {
    const int slave = ui->spePollFrom->ShownInteger().value_or(ui->spePollFrom->minimum());
    // One command at a time, so that each result line belongs to its own
    // command; the buttons come back with the result. The window waits for
    // nothing meanwhile.
    const auto buttonsOn = [this](bool on) {
        ui->btnZero->setEnabled(on);
        ui->btnUnZero->setEnabled(on);
    };
    buttonsOn(false);
    if (Session.SendCoil(action, slave, RunSettingsFromParams(),
                         [buttonsOn](const TCoilResult&) { buttonsOn(true); }))
        return;
    buttonsOn(true);
    // A port that cannot be opened ends the command here, with the message
    // Start shows; its reason is in the error list.
    if (!Session.Coil.Busy())
        throw std::runtime_error(OpenFailedMessage);
}

// ---- Export ----

void TfrmMain::actInfoCopyExecute() {
    InfoList->Flush(); // the selection refers to lines the view has
    QModelIndexList selected = ui->lbxInfo->selectionModel()->selectedRows();
    std::sort(selected.begin(), selected.end(),
              [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    QStringList lines;
    for (const QModelIndex& index : selected)
        lines << index.data().toString();
    if (!lines.isEmpty())
        QApplication::clipboard()->setText(lines.join(QLatin1Char('\n')));
}

void TfrmMain::actInfoCopyAllExecute() {
    QApplication::clipboard()->setText(InfoList->Lines().join(QLatin1Char('\n')));
}

void TfrmMain::actInfoExportExecute() {
    QString text = InfoList->Lines().join(QLatin1Char('\n'));
    if (!text.isEmpty())
        text += QLatin1Char('\n');
    SaveText(QStringLiteral("导出出错信息"), QStringLiteral("出错信息.txt"),
             QStringLiteral("文本文件 (*.txt);;所有文件 (*)"), text);
}

void TfrmMain::actResultCopyExecute() {
    FlushDisplay();
    const QTableWidget& table = *ui->lvResult;
    QList<int> rows;
    for (const QModelIndex& index : table.selectionModel()->selectedRows())
        rows << index.row();
    std::sort(rows.begin(), rows.end());
    QStringList lines;
    for (const int row : rows) {
        QStringList cells;
        for (int column = 0; column < table.columnCount(); ++column)
            cells << CellText(table, row, column);
        lines << cells.join(QLatin1Char('\t'));
    }
    if (!lines.isEmpty())
        QApplication::clipboard()->setText(lines.join(QLatin1Char('\n')));
}

QString TfrmMain::ResultCsv() const {
    const QTableWidget& table = *ui->lvResult;
    QStringList header;
    for (int column = 0; column < table.columnCount(); ++column) {
        const QTableWidgetItem* item = table.horizontalHeaderItem(column);
        header << CsvField(item != nullptr ? item->text() : QString());
    }
    header << QStringLiteral("响应时间最小(ms)") << QStringLiteral("响应时间平均(ms)")
           << QStringLiteral("响应时间P99(ms)") << QStringLiteral("响应时间最大(ms)");
    // With limits each value column's least, greatest and mean value follow.
    const bool judged = VerdictColumn >= 0;
    const TValueFormat format = Session.Run.Settings().ValueFormat;
    const int values = OkColumn - 1;
    if (judged)
        for (int i = 1; i <= values; ++i)
            header << QStringLiteral("Value%1最小").arg(i) << QStringLiteral("Value%1最大").arg(i)
                   << QStringLiteral("Value%1平均").arg(i);
    QStringList lines{header.join(QLatin1Char(','))};
    for (int row = 0; row < table.rowCount(); ++row) {
        QStringList cells;
        for (int column = 0; column < table.columnCount(); ++column)
            cells << CsvField(CellText(table, row, column));
        const TResponseStats times = Session.Run.ResponseTimes(static_cast<std::size_t>(row));
        if (times.Count() == 0) {
            cells << QString() << QString() << QString() << QString();
        } else {
            cells << Text(MillisecondsText(static_cast<double>(*times.MinUs()), 3))
                  << Text(MillisecondsText(*times.MeanUs(), 3))
                  << Text(MillisecondsText(static_cast<double>(*times.P99Us()), 3))
                  << Text(MillisecondsText(static_cast<double>(*times.MaxUs()), 3));
        }
        if (judged) {
            const TRowSnapshot snapshot = Session.Run.Row(static_cast<std::size_t>(row));
            for (int i = 0; i < values; ++i) {
                const auto index = static_cast<std::size_t>(i);
                const auto texts = index < snapshot.Stats.size()
                                       ? ValueStatsTexts(snapshot.Stats[index], format)
                                       : std::nullopt;
                for (int k = 0; k < 3; ++k)
                    cells << (texts ? Text((*texts)[static_cast<std::size_t>(k)]) : QString());
            }
        }
        lines << cells.join(QLatin1Char(','));
    }
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

void TfrmMain::ShowVerdict(int row, const TVerdict& verdict) {
    QTableWidgetItem* cell = ui->lvResult->item(row, VerdictColumn);
    if (cell == nullptr)
        return;
    const QString text = verdict.Pass ? QStringLiteral("合格") : QStringLiteral("不合格");
    QString reasons;
    for (const TReason& reason : verdict.Reasons)
        reasons += (reasons.isEmpty() ? QString() : QStringLiteral("\n")) +
                   Text(ReasonText(reason, Session.Run.Settings().ValueFormat));
    if (cell->text() != text) {
        cell->setText(text);
        cell->setBackground(verdict.Pass ? QColor(0xC8, 0xF0, 0xC8) : QColor(0xF6, 0xC6, 0xC6));
    }
    if (cell->toolTip() != reasons)
        cell->setToolTip(reasons);
}

void TfrmMain::btnLimitsClick() {
    const TRunSettings settings = RunSettingsFromParams();
    const int columns = ValuesPerReply(settings.ValueFormat, settings.RegisterCount);
    TLimitsDialog dialog(FLimits, settings.ValueFormat, columns, this);
    if (OpenLimitsDialog ? !OpenLimitsDialog(dialog) : dialog.exec() != QDialog::Accepted)
        return;
    const std::optional<TLimits> limits = dialog.Limits();
    if (!limits)
        return;
    FLimits = *limits;
    // Written only now, when the user has edited them; a refused write keeps
    // them for this session and says so (the settings' box).
    if (ConfigFile != nullptr)
        WriteLimits(*ConfigFile, FLimits, settings.ValueFormat, static_cast<std::size_t>(columns));
}

void TfrmMain::actResultReportExecute() {
    FlushDisplay();
    const QString path =
        AskSavePath ? AskSavePath(QStringLiteral("导出报告"), QStringLiteral("测试记录.html"),
                                  QStringLiteral("HTML 文件 (*.html);;PDF 文件 (*.pdf)"))
                    : QString();
    if (path.isEmpty())
        return; // cancelled: nothing is written
    const std::string html = ReportHtml(Session.Run.Report("Quellmark", QUELLMARK_VERSION));
    if (path.endsWith(QStringLiteral(".pdf"), Qt::CaseInsensitive)) {
        // Qt's own PDF writer, into a file that takes its place only when whole.
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            throw std::runtime_error(
                ("无法写入文件 " + path + ": " + file.errorString()).toStdString());
        {
            QPdfWriter pdf(&file);
            pdf.setPageSize(QPageSize(QPageSize::A4));
            pdf.setPageMargins(QMarginsF(12, 12, 12, 12), QPageLayout::Millimeter);
            pdf.setTitle(QStringLiteral("Quellmark 测试记录"));
            QTextDocument document;
            document.setHtml(Text(html));
            document.print(&pdf);
        }
        if (!file.commit())
            throw std::runtime_error(
                ("无法写入文件 " + path + ": " + file.errorString()).toStdString());
        return;
    }
    if (const std::error_code error = WriteReportFile(path.toStdString(), html))
        throw std::runtime_error(("无法写入文件 " + path.toStdString() + ": " + error.message()));
}

void TfrmMain::actResultExportCsvExecute() {
    FlushDisplay();
    SaveText(QStringLiteral("导出CSV"), QStringLiteral("测试结果.csv"),
             QStringLiteral("CSV 文件 (*.csv);;所有文件 (*)"), ResultCsv());
}

void TfrmMain::SaveText(const QString& caption, const QString& name, const QString& filter,
                        const QString& text) {
    const QString path = AskSavePath ? AskSavePath(caption, name, filter) : QString();
    if (path.isEmpty())
        return; // cancelled: nothing is written
    QFile file(path);
    // Text mode writes the platform's line ends; the byte-order mark lets a
    // spreadsheet on Windows read the Chinese texts as UTF-8.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        throw std::runtime_error(
            ("无法写入文件 " + path + ": " + file.errorString()).toStdString());
    const QByteArray bytes = QByteArray("\xEF\xBB\xBF") + text.toUtf8();
    if (file.write(bytes) != bytes.size() || !file.flush())
        throw std::runtime_error(
            ("无法写入文件 " + path + ": " + file.errorString()).toStdString());
}

// ---- What the run reports ----

void TfrmMain::LinesReady() {
    Guarded([this] { Comm1ReceiveData(); });
}

void TfrmMain::Comm1ReceiveData() {
    for (const TInfoLine& line : Session.Run.TakeLines())
        InfoList->Append(Text(line.Text));
}

void TfrmMain::DisplayChanged() {
    ScheduleDisplay();
}

void TfrmMain::ScheduleDisplay() {
    if (DisplayTimer->isActive())
        return;
    // The first change after a quiet spell shows at once; later ones wait for
    // the rest of the frame.
    const auto since = std::chrono::steady_clock::now() - LastDisplay;
    if (since >= DisplayPeriod)
        FlushDisplay();
    else
        DisplayTimer->start(std::chrono::ceil<std::chrono::milliseconds>(DisplayPeriod - since));
}

void TfrmMain::FitTable() {
    // The table takes room from the error list when its columns need it, so
    // that every value of a row is seen without scrolling; the list keeps a
    // strip the user can drag wider again.
    const QTableWidget& table = *ui->lvResult;
    int needed = 2 * table.frameWidth();
    for (int column = 0; column < table.columnCount(); ++column)
        needed += table.columnWidth(column);
    if (table.verticalScrollBar()->isVisible())
        needed += table.verticalScrollBar()->width();
    QList<int> sizes = ui->Splitter2->sizes();
    if (sizes.size() != 2 || needed <= sizes[0])
        return;
    const int taken = std::min(needed - sizes[0], sizes[1] - MinInfoWidth);
    if (taken <= 0)
        return;
    sizes[0] += taken;
    sizes[1] -= taken;
    ui->Splitter2->setSizes(sizes);
}

void TfrmMain::FlushDisplay() {
    DisplayTimer->stop();
    LastDisplay = std::chrono::steady_clock::now();
    TPollingRun& run = Session.Run;
    // Armed before reading: a change from here on posts the next notice.
    run.ArmDisplay();
    QTableWidget& table = *ui->lvResult;
    const int columns = table.columnCount();
    bool widened = false;
    for (const std::size_t p : run.TakeChangedRows()) {
        const int row = static_cast<int>(p);
        if (row >= table.rowCount() || FailColumn >= columns)
            continue;
        const TRowSnapshot snapshot = run.Row(p);
        // A slave that timed out keeps the values of its last good reply.
        for (int i = 0; i < static_cast<int>(snapshot.ValueCells.size()) && i + 1 < OkColumn; ++i) {
            const QString value = Text(snapshot.ValueCells[static_cast<std::size_t>(i)]);
            SetCell(table, row, i + 1, value);
            // A value column is as wide as its widest value, never narrower than it began.
            const int needed = table.fontMetrics().horizontalAdvance(value) + CellPadding;
            if (needed > table.columnWidth(i + 1)) {
                table.setColumnWidth(i + 1, needed);
                widened = true;
            }
        }
        if (snapshot.Counted) {
            SetCell(table, row, OkColumn, QString::number(snapshot.Ok));
            SetCell(table, row, FailColumn, QString::number(snapshot.Fail));
        }
        if (VerdictColumn >= 0 && VerdictColumn < columns && snapshot.Verdict && snapshot.Counted)
            ShowVerdict(row, *snapshot.Verdict);
        if (QTableWidgetItem* id = table.item(row, 0)) {
            const QString tip = Text(run.ResponseTip(p));
            if (id->toolTip() != tip)
                id->setToolTip(tip);
        }
    }
    if (widened)
        FitTable();
    const QString receive = Text(run.ReceiveCaption());
    if (ui->pnlReceive->text() != receive)
        ui->pnlReceive->setText(receive);
    const QString send = Text(run.SendCaption());
    if (ui->pnlSend->text() != send)
        ui->pnlSend->setText(send);
}
