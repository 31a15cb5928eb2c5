#include "TfrmMain.h"

#include "TCaptionPanel.h"
#include "TComComboBox.h"
#include "TComLed.h"
#include "TRightAnchor.h"
#include "TSpinEdit.h"
#include "TSysParam.h"
#include "ui_TfrmMain.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QClipboard>
#include <QCloseEvent>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QHelpEvent>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMessageBox>
#include <QRadioButton>
#include <QScrollBar>
#include <QShowEvent>
#include <QStatusBar>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QTableWidgetItem>
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
const QString Banner = QStringLiteral("Quellmark Modbus RTU 变送器测试工具");

constexpr int TimerIntervalMs = 500;
// How often a run may redraw the table and the panels: about a display frame
// or two, quicker than anyone reads a count.
constexpr std::chrono::milliseconds DisplayPeriod(40);
constexpr int CoilWaitMs = 500;
constexpr auto PortSettlePause = std::chrono::milliseconds(100);
constexpr std::uint16_t EchoLength = 8;
constexpr int ValueColumnWidth = 70;
constexpr int InfoItemHeight = 12;
constexpr int Panel0Width = 210;
constexpr int Panel1Width = 250;

QString Text(const std::string& text) {
    return QString::fromStdString(text);
}

// Half-typed text (empty, a lone sign) stores nothing; any integer is stored
// as shown, even outside the range, since leaving the box corrects it later.
void StoreShown(const TSpinEdit& box, TSysParam& param) {
    if (const std::optional<int> shown = box.ShownInteger())
        param.SetValue(*shown);
}

// "宋体" where the machine has it; otherwise a face that has the same glyphs.
QFont WindowFont() {
    QFont font;
    font.setFamilies(
        {QStringLiteral("宋体"), QStringLiteral("SimSun"), QStringLiteral("WenQuanYi Micro Hei")});
    font.setPixelSize(12);
    return font;
}

// The error list's lines are 12 pixels high, as the list was designed; a line
// wider than the list shows its whole text as a tooltip.
class TInfoItemDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        size.setHeight(InfoItemHeight);
        return size;
    }
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyleOptionViewItem shown(option);
        initStyleOption(&shown, index);
        // A line of a flooded block holds thousands of characters; laying all of
        // them out for every row on every repaint starves the window. Only what
        // can reach the viewport is drawn: no glyph is narrower than 2 pixels.
        const auto* view = qobject_cast<const QAbstractItemView*>(option.widget);
        if (view != nullptr) {
            const int reach = view->viewport()->width() - option.rect.x();
            const qsizetype limit = std::max(64, reach / 2 + 8);
            if (shown.text.size() > limit)
                shown.text.truncate(limit);
        }
        const QWidget* widget = option.widget;
        QStyle* style = widget != nullptr ? widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &shown, painter, widget);
    }
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override {
        if (event->type() != QEvent::ToolTip || view == nullptr)
            return QStyledItemDelegate::helpEvent(event, view, option, index);
        const QString line = index.data().toString();
        if (option.fontMetrics.horizontalAdvance(line) >
            view->viewport()->width() - option.rect.x())
            QToolTip::showText(event->globalPos(), line, view);
        else
            QToolTip::hideText();
        return true;
    }
};

// While the list shows its last line it follows new lines, as a terminal does;
// scrolled up, it stays where the user put it.
void FollowNewestLines(QListView& list) {
    QAbstractItemModel* model = list.model();
    auto atBottom = std::make_shared<bool>(true);
    QObject::connect(model, &QAbstractItemModel::rowsAboutToBeInserted, &list, [&list, atBottom] {
        const QScrollBar* bar = list.verticalScrollBar();
        *atBottom = bar->value() >= bar->maximum();
    });
    QObject::connect(model, &QAbstractItemModel::rowsInserted, &list, [&list, atBottom] {
        if (*atBottom)
            list.scrollToBottom();
    });
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

TfrmMain::TfrmMain(std::string configPath, QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui::TfrmMain>()), ConfigPath(std::move(configPath)),
      Comm1(NoticeQueue), FPollHost(Comm1, *this, NoticeQueue),
      Link(Comm1, NoticeQueue,
           [this](const TInfoLine& line) { InfoList->Append(Text(line.Text)); }) {
    ui->setupUi(this);
    setGeometry(529, 261, 862, 516);
    setFont(WindowFont());
    ui->pnlResult->setFont(WindowFont());
    QPalette resultPalette = ui->pnlResult->palette();
    resultPalette.setColor(QPalette::WindowText, Qt::black);
    ui->pnlResult->setPalette(resultPalette);

    InfoList = new TInfoListModel(this);
    ui->lbxInfo->setModel(InfoList);
    ui->lbxInfo->setItemDelegate(new TInfoItemDelegate(ui->lbxInfo));
    FollowNewestLines(*ui->lbxInfo);

    // Rows as compact as the font allows, as in a report-style list view.
    QHeaderView& rows = *ui->lvResult->verticalHeader();
    rows.setMinimumSectionSize(1);
    rows.setDefaultSectionSize(QFontMetrics(WindowFont()).height() + 4);

    // The table takes what is left; the error list and the send panel keep their widths.
    ui->Splitter2->setStretchFactor(0, 1);
    ui->Splitter2->setStretchFactor(1, 0);
    ui->Splitter2->setSizes({862 - 313 - ui->Splitter2->handleWidth(), 313});
    ui->Splitter1->setStretchFactor(0, 0);
    ui->Splitter1->setStretchFactor(1, 1);
    ui->Splitter1->setSizes({192, 862 - 192});

    new TRightAnchor(*ui->Panel2, {ui->btnStart, ui->btnClear, ui->ComLed1});
    new TRightAnchor(*ui->Panel4, {ui->btnClearInfo, ui->btnZero, ui->btnUnZero});

    FrameBreakGroup = new QButtonGroup(this);
    FrameBreakGroup->addButton(ui->rgFrameBreakModeItem0, 0);
    FrameBreakGroup->addButton(ui->rgFrameBreakModeItem1, 1);

    SetupStatusBar();
    SetupContextMenus();
    AskSavePath = [this](const QString& caption, const QString& name, const QString& filter) {
        return QFileDialog::getSaveFileName(this, caption, name, filter);
    };

    // ComPort1 only holds the port the combo box picks; it is never opened,
    // so the LED bound to it stays off.
    ComPort1.SetPort("COM1");
    ComPort1.SetBaudRate(TComPort::TBaudRate::br9600);
    ComPort1.SetStopBits(TComPort::TStopBits::sbOneStopBit);
    ComPort1.SetDataBits(TComPort::TDataBits::dbEight);
    ComPort1.Parity().SetBits(TComPort::TParityBits::prNone);
    ComPort1.SetEvents(TComPort::TComEvents::All());
    TComFlowControl& flow = ComPort1.FlowControl();
    flow.SetOutCTSFlow(false);
    flow.SetOutDSRFlow(false);
    flow.SetControlDTR(TComPort::TDTRFlowControl::dtrDisable);
    flow.SetControlRTS(TComPort::TRTSFlowControl::rtsDisable);
    flow.SetXonXoffOut(false);
    flow.SetXonXoffIn(false);
    ComDataPacket1.SetComPort(&ComPort1);
    ui->cbbComPort->SetComProperty(TComProperty::cpPort);
    ui->cbbComPort->SetComPort(&ComPort1);
    ui->cbbComPort->SetAutoApply(true);
    ui->ComLed1->SetKind(TLedKind::lkGreenLight);
    ui->ComLed1->SetLedSignal(TComLedSignal::lsConn);
    ui->ComLed1->SetComPort(&ComPort1);

    ::ApplyLinkDefaults(Comm1);
    Comm1.OnReceiveData = [this](TComm& sender, const char* buffer, std::uint16_t length) {
        Comm1ReceiveData(sender, buffer, length);
    };
    NoticeQueue.OnError = [this](const std::exception& error) { ShowError(error.what()); };

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(TimerIntervalMs);
    timerWaitResponse = new QTimer(this);
    timerWaitResponse->setObjectName(QStringLiteral("timerWaitResponse"));
    timerWaitResponse->setInterval(CoilWaitMs);
    // A coarse timer may fire up to 5 % early; a command waits its full period.
    timerWaitResponse->setTimerType(Qt::PreciseTimer);
    DisplayTimer = new QTimer(this);
    DisplayTimer->setSingleShot(true);

    ConnectHandlers();
    qApp->installEventFilter(this);
    FormCreate();
}

TfrmMain::~TfrmMain() {
    qApp->removeEventFilter(this);
    ShutDown();
}

template <class THandler> void TfrmMain::Guarded(THandler&& handler) {
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

void TfrmMain::ConnectHandlers() {
    // A spin edit's handler follows its shown text, not its value: a number
    // typed outside the range is stored as typed until the box is left.
    const auto onSpin = [this](TSpinEdit* box, void (TfrmMain::*handler)()) {
        connect(box, &TSpinEdit::TextChanged, this,
                [this, handler] { Guarded([&] { (this->*handler)(); }); });
    };
    onSpin(ui->spePollFrom, &TfrmMain::spePollFromChange);
    onSpin(ui->spePollTo, &TfrmMain::spePollToChange);
    onSpin(ui->speRBegin, &TfrmMain::speRBeginChange);
    onSpin(ui->speRCount, &TfrmMain::speRCountChange);
    onSpin(ui->spePollInterval, &TfrmMain::spePollIntervalChange);
    onSpin(ui->spePollTimeout, &TfrmMain::spePollTimeoutChange);
    onSpin(ui->speReadInterval, &TfrmMain::speReadIntervalChange);

    // Only a pick by the user changes the setting; selecting from the program does not.
    ui->cbbComPort->OnChange = [this](TComComboBox&) { Guarded([this] { cbbComPortChange(); }); };
    connect(ui->cbbBaud, &QComboBox::activated, this,
            [this] { Guarded([this] { cbbBaudChange(); }); });
    connect(FrameBreakGroup, &QButtonGroup::idToggled, this, [this](int, bool checked) {
        if (checked)
            Guarded([this] { rgFrameBreakModeClick(); });
    });

    const auto onClick = [this](QPushButton* button, void (TfrmMain::*handler)()) {
        connect(button, &QPushButton::clicked, this,
                [this, handler] { Guarded([&] { (this->*handler)(); }); });
    };
    onClick(ui->btnStart, &TfrmMain::btnStartClick);
    onClick(ui->btnClear, &TfrmMain::btnClearClick);
    onClick(ui->btnClearInfo, &TfrmMain::btnClearInfoClick);

    onClick(ui->btnZero, &TfrmMain::btnZeroClick);
    onClick(ui->btnUnZero, &TfrmMain::btnUnZeroClick);
    connect(Timer1, &QTimer::timeout, this, [this] { Guarded([this] { Timer1Timer(); }); });
    connect(timerWaitResponse, &QTimer::timeout, this,
            [this] { Guarded([this] { timerWaitResponseTimer(); }); });
    connect(DisplayTimer, &QTimer::timeout, this, [this] { Guarded([this] { FlushDisplay(); }); });
}

void TfrmMain::SetupStatusBar() {
    const char* const names[] = {"StatusBar1Panel0", "StatusBar1Panel1", "StatusBar1Panel2"};
    for (int i = 0; i < 3; ++i) {
        StatusPanels[i] = new QLabel(ui->StatusBar1);
        StatusPanels[i]->setObjectName(QString::fromLatin1(names[i]));
    }
    StatusPanels[0]->setFixedWidth(Panel0Width);
    StatusPanels[1]->setFixedWidth(Panel1Width);
    StatusPanels[2]->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    StatusPanels[2]->setText(Banner);
    ui->StatusBar1->addWidget(StatusPanels[0]);
    ui->StatusBar1->addWidget(StatusPanels[1]);
    ui->StatusBar1->addWidget(StatusPanels[2], 1);
}

void TfrmMain::SetupContextMenus() {
    // The menus are the views' own actions, so each entry is a named QAction.
    const auto addAction = [this](QWidget* view, const char* name, const QString& text,
                                  void (TfrmMain::*handler)()) {
        auto* action = new QAction(text, view);
        action->setObjectName(QString::fromLatin1(name));
        connect(action, &QAction::triggered, this,
                [this, handler] { Guarded([&] { (this->*handler)(); }); });
        view->addAction(action);
    };
    ui->lbxInfo->setSelectionMode(QAbstractItemView::ExtendedSelection);
    ui->lbxInfo->setContextMenuPolicy(Qt::ActionsContextMenu);
    addAction(ui->lbxInfo, "actInfoCopy", QStringLiteral("复制"), &TfrmMain::actInfoCopyExecute);
    addAction(ui->lbxInfo, "actInfoCopyAll", QStringLiteral("全部复制"),
              &TfrmMain::actInfoCopyAllExecute);
    addAction(ui->lbxInfo, "actInfoExport", QStringLiteral("导出…"),
              &TfrmMain::actInfoExportExecute);
    ui->lvResult->setSelectionMode(QAbstractItemView::ExtendedSelection);
    ui->lvResult->setContextMenuPolicy(Qt::ActionsContextMenu);
    addAction(ui->lvResult, "actResultCopy", QStringLiteral("复制"),
              &TfrmMain::actResultCopyExecute);
    addAction(ui->lvResult, "actResultExportCsv", QStringLiteral("导出CSV…"),
              &TfrmMain::actResultExportCsvExecute);
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
    for (const TSysParam* param : AllParams())
        if (param != nullptr && param->InvalidText())
            InfoList->Append(Text(TimeStampText(Clock->Now()) + "[配置值无效!][" + param->Key() +
                                  "=" + *param->InvalidText() +
                                  "][已使用默认值:" + param->AsString() + "]"));
}

void TfrmMain::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!FormShown) {
        FormShown = true;
        // A box at start-up is the session's one box for that file until a
        // write goes through again: a read-only file says so once, not again
        // at the first edit.
        Guarded([this] { FormShow(); });
    }
}

void TfrmMain::FormShow() {
    // Selecting an item from the program runs no handler; a spin box or the
    // radio group whose shown value changes runs its handler as an edit would.
    // A port name matches its item as the system compares port names; a
    // device path or a stable link (/dev/serial/by-id/...) matches the port it
    // leads to, and stays the saved name until the user picks another.
    ui->cbbComPort->setCurrentIndex(ui->cbbComPort->FindPort(Text(ParamCommPort->AsString())));
    ui->cbbBaud->setCurrentIndex(ui->cbbBaud->findText(Text(ParamBaudRate->AsString())));
    ui->speRBegin->setValue(ParamRegisterBegin->AsInteger());
    ui->speRCount->setValue(ParamRegisterCount->AsInteger());
    ui->spePollInterval->setValue(ParamPollInterval->AsInteger());
    ui->spePollTimeout->setValue(ParamPollTimeout->AsInteger());
    ui->spePollFrom->setValue(ParamPollFrom->AsInteger());
    ui->spePollTo->setValue(ParamPollTo->AsInteger());
    ui->speReadInterval->setValue(ParamReadInterval->AsInteger());
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
    // A coil command still waiting ends as timed out; nothing it waits for can come now.
    timerWaitResponse->stop();
    if (!CoilWaits.empty()) {
        RunState.CoilTimedOut = true;
        WakeCoilWaits();
    }
    if (Run.Running())
        StopPolling();
    Comm1.ClosePort();
    ui->btnStart->setText(StartCaption);
}

// ---- Settings ----

void TfrmMain::spePollFromChange() {
    StoreShown(*ui->spePollFrom, *ParamPollFrom);
}

void TfrmMain::spePollToChange() {
    StoreShown(*ui->spePollTo, *ParamPollTo);
}

void TfrmMain::speRBeginChange() {
    StoreShown(*ui->speRBegin, *ParamRegisterBegin);
}

void TfrmMain::speRCountChange() {
    StoreShown(*ui->speRCount, *ParamRegisterCount);
}

void TfrmMain::spePollIntervalChange() {
    StoreShown(*ui->spePollInterval, *ParamPollInterval);
}

void TfrmMain::spePollTimeoutChange() {
    StoreShown(*ui->spePollTimeout, *ParamPollTimeout);
}

void TfrmMain::speReadIntervalChange() {
    StoreShown(*ui->speReadInterval, *ParamReadInterval);
}

void TfrmMain::cbbComPortChange() {
    ParamCommPort->SetValue(ui->cbbComPort->Text().toStdString());
}

void TfrmMain::cbbBaudChange() {
    ParamBaudRate->SetValue(ui->cbbBaud->currentText().toInt());
}

void TfrmMain::rgFrameBreakModeClick() {
    ParamFrameBreakMode->SetValue(FrameBreakGroup->checkedId());
}

void TfrmMain::ApplyCommSettings() {
    ::ApplyCommSettings(Comm1);
}

void TfrmMain::btnClearInfoClick() {
    InfoList->Clear();
}

// ---- Run controls ----

void TfrmMain::btnStartClick() {
    if (!RunOn()) {
        // Refused before the port is touched: a run needs a sound range.
        if (const std::string error = Run.SettingsError(); !error.empty())
            throw std::runtime_error(error);
        OpenPortAsSet();
        ui->btnStart->setText(StopCaption);
        StartPolling();
    } else {
        StopPolling();
        Comm1.ClosePort();
        ui->btnStart->setText(StartCaption);
    }
}

void TfrmMain::StartPolling() {
    FlushDisplay(); // nothing of an earlier run may land in the new table
    ui->pnlParams->setEnabled(false);
    const TRunLayout layout = Run.Layout();
    const int values = layout.ValueColumns;

    QTableWidget& table = *ui->lvResult;
    table.setRowCount(0);
    table.setColumnCount(0);
    table.setColumnCount(values + 3);
    QStringList captions{QStringLiteral("Id")};
    for (int i = 1; i <= values; ++i) {
        captions << QStringLiteral("Value%1").arg(i);
        table.setColumnWidth(i, ValueColumnWidth);
    }
    captions << QStringLiteral("OK") << QStringLiteral("FAIL");
    table.setHorizontalHeaderLabels(captions);
    table.setRowCount(static_cast<int>(layout.Positions));
    for (int row = 0; row < static_cast<int>(layout.Positions); ++row) {
        table.setItem(row, 0, new QTableWidgetItem(QString::number(layout.PollFrom + row)));
        for (int column = 1; column < values + 3; ++column)
            table.setItem(row, column, new QTableWidgetItem());
    }

    StatusPanels[0]->setText(Text(TPollingRun::StartTimeText(Clock->Now())));
    Run.Start(FPollHost, Clock->Steady());
    Link.RunStarted();
    Timer1->start();
}

void TfrmMain::StopPolling() {
    // Results queued without a wake-up (TQtPollHost) belong to this run: they
    // are counted before it ends, as they would have been had each woken us.
    NoticeQueue.Wake();
    QCoreApplication::sendPostedEvents(&NoticeQueue);
    Link.RunStopped();
    Run.Stop();
    // The last results of the run may wait quietly (TQtPollHost); they are
    // ignored now, but nobody else would wake the queue for them.
    NoticeQueue.Wake();
    // The last request's caption may not have been announced yet (a notice
    // follows only a reply or 5 ms of silence); the panel shows it now.
    PendingSendCaption = true;
    FlushDisplay();
    ui->pnlParams->setEnabled(true);
    Timer1->stop();
    // A command waiting for the line takes it now that nobody polls.
    WakeCoilWaits();
}

void TfrmMain::btnClearClick() {
    FlushDisplay(); // a result still to be shown carries the counts before the reset
    Run.ResetCounts();
    QTableWidget& table = *ui->lvResult;
    const int columns = table.columnCount();
    const int rows = std::min(table.rowCount(), static_cast<int>(RunState.OkCounts.size()));
    if (columns >= 3)
        for (int row = 0; row < rows; ++row) {
            SetCell(table, row, columns - 2, QStringLiteral("0"));
            SetCell(table, row, columns - 1, QStringLiteral("0"));
            if (QTableWidgetItem* id = table.item(row, 0))
                id->setToolTip(QString()); // the response times were reset with the counts
        }
    StatusPanels[0]->clear();
    StatusPanels[1]->clear();
}

void TfrmMain::Timer1Timer() {
    StatusPanels[1]->setText(Text(Run.StatusText(Clock->Steady())));
}

// ---- Coil commands ----

void TfrmMain::btnZeroClick() {
    SendCoilCommand(TCoilAction::Zero, "清零成功！", "清零超时！");
}

void TfrmMain::btnUnZeroClick() {
    SendCoilCommand(TCoilAction::UnZero, "反清零成功！", "反清零超时！");
}

void TfrmMain::OpenPortAsSet() {
    const TPortSettings wanted = CurrentPortSettings();
    if (Comm1.PortOpen() && OpenedWith == wanted)
        return;
    Comm1.ClosePort();
    ApplyCommSettings();
    // The reason of a failure goes into the error list; the box stays as it was.
    if (!Link.OpenPort())
        throw std::runtime_error(OpenFailedMessage);
    OpenedWith = wanted;
    ShowDirectionControlLine();
}

void TfrmMain::EnsurePortOpen() {
    // A run's port is used as the run opened it; its settings cannot change meanwhile.
    if (Run.Running() || (Comm1.PortOpen() && OpenedWith == CurrentPortSettings()))
        return;
    OpenPortAsSet();
    std::this_thread::sleep_for(PortSettlePause);
}

void TfrmMain::DiscardInput(std::optional<std::uint16_t> blockLength) {
    const std::vector<char> dropped = Comm1.DiscardInput(blockLength);
    if (!dropped.empty())
        InfoList->Append(Text(TPollingRun::DiscardedLine(dropped, Clock->Now()).Text));
}

void TfrmMain::ShowDirectionControlLine() {
    if (const std::optional<TInfoLine> line = DirectionControlLine(Comm1, Clock->Now()))
        InfoList->Append(Text(line->Text));
}

void TfrmMain::SendCoilCommand(TCoilAction action, const char* successLine,
                               const char* timeoutLine) {
    // One command at a time, so that each result line belongs to its own command.
    struct TButtonsOff {
        QWidget* Buttons[2];
        ~TButtonsOff() {
            for (QWidget* button : Buttons)
                button->setEnabled(true);
        }
    } buttonsOff{{ui->btnZero, ui->btnUnZero}};
    for (QWidget* button : buttonsOff.Buttons)
        button->setEnabled(false);

    // A port that cannot be opened ends the command here, with the message Start shows.
    EnsurePortOpen();
    const int slave = ui->spePollFrom->ShownInteger().value_or(ui->spePollFrom->minimum());
    RunState.CoilCommand = BuildCoilCommand(slave & 0xFF, action);
    RunState.CoilAck = false;
    RunState.CoilTimedOut = false;

    // During a run the command goes on the line between two polls: the poll
    // thread finishes the poll in flight and holds until the command is done.
    const bool duringRun = Run.Running();
    if (duringRun) {
        RunState.LineHold.Request();
        WaitForCoil(
            [this] { return RunState.LineHold.Held() || !Run.Running() || RunState.CoilTimedOut; });
    }
    // In the fixed-length mode the reader cuts blocks of a read reply's length,
    // which an echo never has: it cuts 8 while the command waits.
    const bool fixedLength = ParamFrameBreakMode->AsInteger() != 1;
    if (!RunState.CoilTimedOut) {
        DiscardInput(fixedLength ? std::optional<std::uint16_t>(EchoLength) : std::nullopt);
        RunState.CoilCommandMode = true;
        Comm1.SendBytes(RunState.CoilCommand.data(),
                        static_cast<std::uint16_t>(RunState.CoilCommand.size()));
        // Every command waits its own full period.
        timerWaitResponse->start();
        WaitForCoil([] { return RunState.CoilAck || RunState.CoilTimedOut; });
        RunState.CoilCommandMode = false;
        if (fixedLength)
            DiscardInput(Comm1.InputLen());
    }
    if (duringRun)
        RunState.LineHold.Release();

    const bool echoed = RunState.CoilAck && !RunState.CoilTimedOut;
    InfoList->Append(QString::fromUtf8(echoed ? successLine : timeoutLine));
}

void TfrmMain::WaitForCoil(const std::function<bool()>& done) {
    // Every other handler runs meanwhile; the loop is left when woken, and no
    // core spins.
    QEventLoop wait;
    CoilWaits.push_back(&wait);
    while (!done())
        wait.exec();
    CoilWaits.pop_back();
}

void TfrmMain::timerWaitResponseTimer() {
    timerWaitResponse->stop();
    RunState.CoilTimedOut = true;
    WakeCoilWaits();
}

void TfrmMain::WakeCoilWaits() {
    // Each waiting loop looks at what it waits for again.
    for (QEventLoop* loop : CoilWaits)
        loop->quit();
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
    QStringList lines{header.join(QLatin1Char(','))};
    for (int row = 0; row < table.rowCount(); ++row) {
        QStringList cells;
        for (int column = 0; column < table.columnCount(); ++column)
            cells << CsvField(CellText(table, row, column));
        const TResponseStats& times = Run.ResponseTimes(static_cast<std::size_t>(row));
        if (times.Count() == 0) {
            cells << QString() << QString() << QString() << QString();
        } else {
            cells << Text(MillisecondsText(static_cast<double>(*times.MinUs()), 3))
                  << Text(MillisecondsText(*times.MeanUs(), 3))
                  << Text(MillisecondsText(static_cast<double>(*times.P99Us()), 3))
                  << Text(MillisecondsText(static_cast<double>(*times.MaxUs()), 3));
        }
        lines << cells.join(QLatin1Char(','));
    }
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
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

// ---- Replies and results ----

void TfrmMain::Comm1ReceiveData(TComm& /*Sender*/, const char* Buffer, std::uint16_t BufferLength) {
    const TReceiveOutcome outcome = Run.ReceiveData(
        TByteSpan(reinterpret_cast<const std::uint8_t*>(Buffer), BufferLength), Clock->Now());
    // The poll thread leaves the send caption of a promptly answered request
    // to this handler (TPollHost::SendCaptionChanged).
    ShowSendCaption();
    ShowReceiveCaption(Text(outcome.ReceiveCaption));
    for (const TInfoLine& line : outcome.InfoLines)
        InfoList->Append(Text(line.Text));
    if (outcome.EchoAccepted) {
        // The echo ends the wait; the timer must not mark a later command.
        timerWaitResponse->stop();
        WakeCoilWaits();
    }
}

void TfrmMain::ApplicationEvents1Message(TPollResultEvent& Msg, bool& /*Handled*/) {
    std::optional<TRowUpdate> update = Run.PollResult(Msg.RunId, Msg.WParam, Msg.LParam);
    if (!update)
        return;
    const bool timedOut = update->TimedOut;
    ShowRowUpdate(std::move(*update));
    if (timedOut)
        ShowReceiveCaption(QString::fromUtf8(TimeoutCaption));
}

void TfrmMain::ShowSendCaption() {
    if (Run.Running()) {
        PendingSendCaption = true;
        ScheduleDisplay();
        return;
    }
    // Taken before reading, so a caption set meanwhile posts a new notice.
    FPollHost.CaptionTaken();
    const QString caption = Text(RunState.SendCaption());
    if (ui->pnlSend->text() != caption)
        ui->pnlSend->setText(caption);
}

void TfrmMain::ShowReceiveCaption(QString caption) {
    if (!Run.Running()) {
        ui->pnlReceive->setText(caption);
        return;
    }
    PendingReceiveCaption = std::move(caption);
    ScheduleDisplay();
}

void TfrmMain::ShowRowUpdate(TRowUpdate update) {
    const std::size_t row = update.Row;
    if (PendingRows.size() <= row)
        PendingRows.resize(row + 1);
    std::optional<TRowUpdate>& pending = PendingRows[row];
    if (!pending) {
        pending = std::move(update);
        PendingRowOrder.push_back(row);
    } else {
        // A time-out keeps the values of the last good reply.
        if (!update.TimedOut)
            pending->ValueCells = std::move(update.ValueCells);
        pending->OkText = std::move(update.OkText);
        pending->FailText = std::move(update.FailText);
    }
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

void TfrmMain::FlushDisplay() {
    DisplayTimer->stop();
    LastDisplay = std::chrono::steady_clock::now();
    QTableWidget& table = *ui->lvResult;
    const int columns = table.columnCount();
    for (const std::size_t p : PendingRowOrder) {
        const TRowUpdate update = std::move(*PendingRows[p]);
        PendingRows[p].reset();
        const int row = static_cast<int>(p);
        if (row >= table.rowCount() || columns < 3)
            continue;
        for (int i = 0; i < static_cast<int>(update.ValueCells.size()) && i + 1 < columns - 2; ++i)
            SetCell(table, row, i + 1, Text(update.ValueCells[static_cast<std::size_t>(i)]));
        SetCell(table, row, columns - 2, Text(update.OkText));
        SetCell(table, row, columns - 1, Text(update.FailText));
        if (QTableWidgetItem* id = table.item(row, 0)) {
            const QString tip = Text(ResponseTipText(Run.ResponseTimes(p)));
            if (id->toolTip() != tip)
                id->setToolTip(tip);
        }
    }
    PendingRowOrder.clear();
    if (PendingReceiveCaption) {
        if (ui->pnlReceive->text() != *PendingReceiveCaption)
            ui->pnlReceive->setText(*PendingReceiveCaption);
        PendingReceiveCaption.reset();
    }
    if (std::exchange(PendingSendCaption, false)) {
        FPollHost.CaptionTaken();
        const QString caption = Text(RunState.SendCaption());
        if (ui->pnlSend->text() != caption)
            ui->pnlSend->setText(caption);
    }
}

bool TfrmMain::eventFilter(QObject* watched, QEvent* event) {
    if (watched == this && event->type() == TPollResultEvent::EventType()) {
        FPollHost.ResultHandled();
        bool handled = false;
        Guarded(
            [&] { ApplicationEvents1Message(*static_cast<TPollResultEvent*>(event), handled); });
    }
    return QWidget::eventFilter(watched, event);
}

bool TfrmMain::event(QEvent* event) {
    if (event->type() == TDiscardedEvent::EventType()) {
        InfoList->Append(Text(
            TPollingRun::DiscardedLine(static_cast<TDiscardedEvent*>(event)->Bytes, Clock->Now())
                .Text));
        return true;
    }
    if (event->type() == TLineHeldEvent::EventType()) {
        WakeCoilWaits();
        return true;
    }
    if (event->type() == TSendCaptionEvent::EventType()) {
        ShowSendCaption();
        return true;
    }
    return QWidget::event(event);
}
