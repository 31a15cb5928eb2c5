// The window's construction: what the form file cannot say (the list's delegate,
// the status bar's panels, the context menus, the port components' settings and
// the wiring of the handlers). The handlers themselves are in TfrmMain.cpp.
#include "TfrmMain.h"

#include "TComComboBox.h"
#include "TComLed.h"
#include "TRightAnchor.h"
#include "TSettingsTable.h"
#include "TSpinEdit.h"
#include "ui_TfrmMain.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QFileDialog>
#include <QHeaderView>
#include <QHelpEvent>
#include <QLabel>
#include <QScrollBar>
#include <QStatusBar>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QToolTip>

#include <algorithm>
#include <memory>

namespace {

const QString Banner = QStringLiteral("Quellmark Modbus RTU 变送器测试工具");
constexpr int TimerIntervalMs = 500;
constexpr int InfoItemHeight = 12;
constexpr int Panel0Width = 210;
constexpr int Panel1Width = 250;

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

} // namespace

TfrmMain::TfrmMain(std::string configPath, QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui::TfrmMain>()), ConfigPath(std::move(configPath)),
      Session(NoticeQueue, *this) {
    ui->setupUi(this);
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

    new TRightAnchor(*ui->Panel2, {ui->btnStart, ui->btnClear, ui->btnLimits, ui->ComLed1});
    new TRightAnchor(*ui->Panel4, {ui->btnClearInfo, ui->btnReport, ui->btnZero, ui->btnUnZero});

    // The ranges a run accepts, the same the console front end and the checks
    // of Config.ini use: the boxes never rewrite what another part accepts.
    const std::pair<TSpinEdit*, TSettingId> boxes[] = {
        {ui->spePollFrom, TSettingId::PollFrom},
        {ui->spePollTo, TSettingId::PollTo},
        {ui->speRBegin, TSettingId::RegisterBegin},
        {ui->speRCount, TSettingId::RegisterCount},
        {ui->spePollInterval, TSettingId::PollInterval},
        {ui->spePollTimeout, TSettingId::PollTimeout},
        {ui->speReadInterval, TSettingId::ReadInterval}};
    for (const auto& [box, id] : boxes)
        box->setRange(SettingEntry(id).Min, SettingEntry(id).Max);

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

    NoticeQueue.OnError = [this](const std::exception& error) { ShowError(error.what()); };

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(TimerIntervalMs);
    DisplayTimer = new QTimer(this);
    DisplayTimer->setSingleShot(true);

    ConnectHandlers();
    SetupCommissioning();
    // The panels show what comes in whether or not a run is on.
    Session.Run.ArmDisplay();
    FormCreate();
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
    connect(ui->cbbFunctionCode, &QComboBox::activated, this,
            [this] { Guarded([this] { cbbFunctionCodeChange(); }); });
    connect(ui->cbbValueFormat, &QComboBox::activated, this,
            [this] { Guarded([this] { cbbValueFormatChange(); }); });
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
    onClick(ui->btnReport, &TfrmMain::actResultReportExecute);
    onClick(ui->btnLimits, &TfrmMain::btnLimitsClick);

    onClick(ui->btnZero, &TfrmMain::btnZeroClick);
    onClick(ui->btnUnZero, &TfrmMain::btnUnZeroClick);
    connect(Timer1, &QTimer::timeout, this, [this] { Guarded([this] { Timer1Timer(); }); });
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
    addAction(ui->lvResult, "actResultReport", QStringLiteral("导出报告…"),
              &TfrmMain::actResultReportExecute);
}
