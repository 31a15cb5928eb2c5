// The window's layout and its settings: what it shows from Config.ini, what it
// writes back, and how it configures the serial link.
#include "TfrmMain.h"
#include "DefaultConfig.h"
#include "ListSerialPorts.h"
#include "TComComboBox.h"
#include "TComLed.h"
#include "TQtTexts.h"
#include "TSpinEdit.h"
#include "TSysParam.h"
#include "TTempConfig.h"
#include "TWindowTestKit.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFontInfo>
#include <QGroupBox>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSignalSpy>
#include <QSpinBox>
#include <QSplitter>
#include <QStatusBar>
#include <QTableWidget>
#include <QTest>
#include <QToolTip>
#include <QTranslator>

#include <filesystem>

namespace {

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    text.replace(text.find(from), from.size(), to);
    return text;
}

template <class T> T* Child(QWidget& window, const char* name) {
    T* child = window.findChild<T*>(QString::fromLatin1(name));
    if (child == nullptr)
        qFatal("no control %s", name);
    return child;
}

QRect Placement(QWidget& window, const char* name) {
    return Child<QWidget>(window, name)->geometry();
}

} // namespace

class TfrmMainTest : public QObject {
    Q_OBJECT
private slots:
    void init() {
        // The machine's own port list varies; the window is shown these.
        TComComboBox::SetPortListSource([](std::vector<std::string>& ports) {
            ports = {"COM1", "COM3", "COM10"};
        });
    }
    void cleanup() { TComComboBox::SetPortListSource({}); }

    void windowAndFont();
    void qtTextsInTheWindowsLanguage();
    void controlsCaptionsHintsRanges();
    void rightEdgeControlsFollowAResize();
    void statusBarPanels();
    void firstStartWithoutFile();
    void valuesOutsideTheRanges();
    void malformedValuesAreListedAtStartUp();
    void unknownPortAndUnlistedBaudRate();
    void editsAreWrittenThrough();
    void typedNumbersOutsideTheRange();
    void spinHandlersFollowTheShownText();
    void portPickGoesToSettingsAndPortComponent();
    void frameBreakModeConfiguresTheLink();
    void refusedWritesAreShown();
    void unreadableConfigShowsOneBox();
    void portNamesMatchAsTheSystemComparesThem();
    void errorListClears();
    void errorListKeepsTheLatestLines();
    void errorListFollowsTheNewestLineAtTheBottom();
    void compactTableRows();
};

void TfrmMainTest::windowAndFont() {
    TTempConfig config(DefaultConfigText);
    TfrmMain window(config.Path());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.windowTitle(), QStringLiteral("Quellmark V1403623"));
    QCOMPARE(window.size(), QSize(862, 516));
    QCOMPARE(window.minimumSize(), QSize(862, 300));
    QCOMPARE(window.font().families().value(0), QStringLiteral("宋体"));
    QCOMPARE(window.font().pixelSize(), 12);
    // Where "宋体" is missing, the face used still draws Chinese.
    const QString used = QFontInfo(window.font()).family();
    QVERIFY2(QFontInfo(window.font()).exactMatch() || used.contains(QStringLiteral("WenQuanYi")) ||
                 used.contains(QStringLiteral("Sim")),
             qPrintable(used));
}

void TfrmMainTest::qtTextsInTheWindowsLanguage() {
    // Qt's own buttons in a Chinese window: no English "Cancel" beside "确定".
    QTranslator texts;
    QVERIFY(InstallQtTexts(texts));
    QDialogButtonBox buttons(QDialogButtonBox::Ok | QDialogButtonBox::Cancel |
                             QDialogButtonBox::Save);
    QCOMPARE(buttons.button(QDialogButtonBox::Ok)->text(), QStringLiteral("确定"));
    QCOMPARE(buttons.button(QDialogButtonBox::Save)->text(), QStringLiteral("保存"));
    QCoreApplication::removeTranslator(&texts);
}

void TfrmMainTest::controlsCaptionsHintsRanges() {
    TTempConfig config(DefaultConfigText);
    TfrmMain window(config.Path());

    const struct {
        const char* Name;
        QRect Place;
        QString Hint;
        int Min, Max, Designed;
    } spins[] = {
        {"spePollFrom", {84, 12, 53, 21}, "轮询的起始从机地址", 1, 254, 1},
        {"spePollTo", {84, 36, 53, 21}, "轮询的结束从机地址", 1, 254, 1},
        // The ranges the run and the console front end accept, from one table.
        {"speRBegin", {236, 12, 69, 21}, "请求读取的起始\n寄存器地址", 0, 65535, 1},
        {"speRCount", {236, 36, 69, 21}, "请求读取的寄存器数量", 1, 125, 1},
        {"spePollInterval", {508, 12, 69, 21}, "两次读取之间的延时", 0, 10000, 1},
        {"spePollTimeout", {508, 36, 69, 21}, "从机最长无应答时间", 1, 10000, 1},
        {"speReadInterval",
         {654, 33, 45, 21},
         "从机应答的数据帧中，相隔两个字节的最长\n延时时间。超过此时间则认为一帧数据结束。\n"
         "当使用USB转串口设备时，请适当加大此时间",
         1,
         200,
         5},
    };
    for (const auto& s : spins) {
        auto* box = Child<QSpinBox>(window, s.Name);
        QCOMPARE(box->geometry(), s.Place);
        QCOMPARE(box->toolTip(), s.Hint);
        QCOMPARE(box->minimum(), s.Min);
        QCOMPARE(box->maximum(), s.Max);
        QCOMPARE(box->value(), s.Designed); // before the window is shown
        QCOMPARE(box->parentWidget()->objectName(), QStringLiteral("pnlParams"));
    }
    QVERIFY(!Child<QSpinBox>(window, "speReadInterval")->hasFrame());

    const struct {
        const char* Name;
        QString Text;
        QPoint At;
    } labels[] = {{"Label1", "起始从机地址", {5, 16}},     {"Label4", "结束从机地址", {5, 40}},
                  {"Label7", "起始寄存器地址", {149, 16}}, {"Label8", "请求寄存器数量", {149, 40}},
                  {"Label2", "串口号", {321, 16}},         {"Label3", "波特率", {321, 40}},
                  {"Label5", "轮询延时", {453, 16}},       {"Label6", "应答超时", {453, 40}},
                  {"StaticText2", "ms", {704, 36}},        {"StaticText1", "出错信息", {8, 9}}};
    for (const auto& l : labels) {
        QCOMPARE(Child<QLabel>(window, l.Name)->text(), l.Text);
        QCOMPARE(Child<QLabel>(window, l.Name)->pos(), l.At);
    }

    auto* baud = Child<QComboBox>(window, "cbbBaud");
    QStringList rates;
    for (int i = 0; i < baud->count(); ++i)
        rates << baud->itemText(i);
    QCOMPARE(rates, QStringList({"1200", "2400", "4800", "9600", "14400", "19200", "28800", "38400",
                                 "57600", "115200"}));
    QVERIFY(!baud->isEditable());
    QCOMPARE(baud->toolTip(), QStringLiteral("波特率"));
    QCOMPARE(Placement(window, "cbbBaud"), QRect(364, 36, 73, 21));
    QCOMPARE(Child<QComboBox>(window, "cbbComPort")->toolTip(), QStringLiteral("串行口号"));
    QCOMPARE(Placement(window, "cbbComPort"), QRect(364, 12, 73, 21));

    auto* group = Child<QGroupBox>(window, "rgFrameBreakMode");
    QCOMPARE(group->title(), QStringLiteral("帧判断方式"));
    QCOMPARE(group->geometry(), QRect(584, 2, 141, 56));
    QCOMPARE(Child<QRadioButton>(window, "rgFrameBreakModeItem0")->text(),
             QStringLiteral("定长度"));
    QCOMPARE(Child<QRadioButton>(window, "rgFrameBreakModeItem1")->text(),
             QStringLiteral("定间隔"));
    QVERIFY(Child<QRadioButton>(window, "rgFrameBreakModeItem0")->isChecked());

    const struct {
        const char* Name;
        QString Text;
        QRect Place;
    } buttons[] = {{"btnStart", "开始运行", {736, 10, 75, 23}},
                   {"btnClear", "复位计数", {736, 37, 75, 23}},
                   {"btnClearInfo", "清空", {64, 5, 57, 23}},
                   {"btnZero", "清零", {196, 5, 53, 23}},
                   {"btnUnZero", "反清零", {256, 5, 51, 23}}};
    for (const auto& b : buttons) {
        QCOMPARE(Child<QPushButton>(window, b.Name)->text(), b.Text);
        QCOMPARE(Placement(window, b.Name), b.Place);
    }
    QCOMPARE(Placement(window, "ComLed1"), QRect(816, 10, 25, 25));
    // Three rows of settings: the read function and the value format below the Part's two.
    QCOMPARE(Placement(window, "pnlParams"), QRect(0, 0, 728, 92));
    QCOMPARE(Placement(window, "cbbFunctionCode"), QRect(84, 60, 137, 21));
    QCOMPARE(Placement(window, "cbbValueFormat"), QRect(297, 60, 140, 21));

    auto* table = Child<QTableWidget>(window, "lvResult");
    QVERIFY(table->showGrid());
    QCOMPARE(table->selectionBehavior(), QAbstractItemView::SelectRows);
    QCOMPARE(table->editTriggers(), QAbstractItemView::NoEditTriggers);
    QCOMPARE(Child<QLabel>(window, "pnlSend")->text(), QStringLiteral("发送: "));
    QCOMPARE(Child<QLabel>(window, "pnlReceive")->text(), QStringLiteral("接收: "));
}

void TfrmMainTest::rightEdgeControlsFollowAResize() {
    TTempConfig config(DefaultConfigText);
    TfrmMain window(config.Path());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QRect start = Placement(window, "btnStart");
    const QRect led = Placement(window, "ComLed1");
    const QRect zero = Placement(window, "btnZero");
    window.resize(1062, 600);
    QTRY_COMPARE(Placement(window, "btnStart"), start.translated(200, 0));
    QCOMPARE(Placement(window, "btnClear").x(), start.x() + 200);
    QCOMPARE(Placement(window, "ComLed1"), led.translated(200, 0));
    // The error list keeps its width, so its header's buttons stay where they were.
    QCOMPARE(Placement(window, "btnZero"), zero);
    QCOMPARE(Child<QWidget>(window, "Panel3")->width(), 313);
    QCOMPARE(Child<QWidget>(window, "pnlSend")->width(), 192);
}

void TfrmMainTest::statusBarPanels() {
    TTempConfig config(DefaultConfigText);
    TfrmMain window(config.Path());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(Child<QLabel>(window, "StatusBar1Panel0")->width(), 210);
    QCOMPARE(Child<QLabel>(window, "StatusBar1Panel1")->width(), 250);
    auto* banner = Child<QLabel>(window, "StatusBar1Panel2");
    QVERIFY(banner->alignment() & Qt::AlignRight);
    QVERIFY(!banner->text().isEmpty());
    QCOMPARE(Child<QStatusBar>(window, "StatusBar1")->height(), 19);
    QCOMPARE(Child<QWidget>(window, "pnlResult")->height(), 28);
    QCOMPARE(Child<QWidget>(window, "Panel2")->height(), 92);
}

void TfrmMainTest::firstStartWithoutFile() {
    TTempConfig config;
    TfrmMain window(config.Path());
    QCOMPARE(QString::fromStdString(config.Contents()), QString::fromStdString(DefaultConfigText));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(Child<QComboBox>(window, "cbbBaud")->currentText(), QStringLiteral("9600"));
    QCOMPARE(Child<QSpinBox>(window, "speRBegin")->value(), 0);
    QCOMPARE(Child<QSpinBox>(window, "speRCount")->value(), 2);
    QCOMPARE(Child<QSpinBox>(window, "spePollInterval")->value(), 10);
    QCOMPARE(Child<QSpinBox>(window, "spePollTimeout")->value(), 500);
    QCOMPARE(Child<QSpinBox>(window, "spePollFrom")->value(), 1);
    QCOMPARE(Child<QSpinBox>(window, "spePollTo")->value(), 10);
    QCOMPARE(Child<QSpinBox>(window, "speReadInterval")->value(), 20);
    QVERIFY(Child<QRadioButton>(window, "rgFrameBreakModeItem1")->isChecked());
    // Showing wrote back only values equal to the file's: it is unchanged.
    QCOMPARE(QString::fromStdString(config.Contents()), QString::fromStdString(DefaultConfigText));
}

void TfrmMainTest::malformedValuesAreListedAtStartUp() {
    // A typo must not change the test without a word: the default is used, and
    // one line a key says which text was not taken.
    std::string text = Replaced(DefaultConfigText, "Baud Rate=9600", "Baud Rate=abc");
    text = Replaced(text, "Poll To=10", "Poll To=3abc");
    text = Replaced(text, "Value Format=int32:abcd", "Value Format=real");
    TTempConfig config(text);
    TfrmMain window(config.Path());
    QCOMPARE(window.InfoModel().Lines().size(), 3);
    const QRegularExpression stamp(QStringLiteral(R"(^\[\d\d:\d\d:\d\d\] )"));
    QStringList lines = window.InfoModel().Lines();
    for (QString& line : lines) {
        QVERIFY2(line.contains(stamp), qPrintable(line));
        line.remove(stamp);
    }
    QCOMPARE(
        lines,
        (QStringList{QStringLiteral("[配置值无效!][Baud Rate=abc][已使用默认值:9600]"),
                     QStringLiteral("[配置值无效!][Poll To=3abc][已使用默认值:10]"),
                     QStringLiteral("[配置值无效!][Value Format=real][已使用默认值:int32:abcd]")}));
    QCOMPARE(ParamBaudRate->AsInteger(), 9600);
    QCOMPARE(ParamPollTo->AsInteger(), 10);
}

void TfrmMainTest::valuesOutsideTheRanges() {
    std::string text = Replaced(DefaultConfigText, "Register Begin=0", "Register Begin=70000");
    text = Replaced(text, "Poll From=1", "Poll From=0");
    text = Replaced(text, "FrameBreakMode=1", "FrameBreakMode=7");
    TTempConfig config(text);
    TfrmMain window(config.Path());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    // What a box shows corrected is what a run uses; the file keeps its text until the
    // user changes that box.
    QCOMPARE(Child<QSpinBox>(window, "speRBegin")->value(), 65535);
    QCOMPARE(ParamRegisterBegin->AsInteger(), 65535);
    QCOMPARE(Child<QSpinBox>(window, "spePollFrom")->value(), 1);
    QCOMPARE(ParamPollFrom->AsInteger(), 1);
    QVERIFY(Child<QRadioButton>(window, "rgFrameBreakModeItem1")->isChecked());
    QCOMPARE(ParamFrameBreakMode->AsInteger(), 1);
    QCOMPARE(config.Contents(), text);
    auto* begin = Child<QSpinBox>(window, "speRBegin");
    begin->setFocus();
    QTest::keyClick(begin, Qt::Key_Down);
    QVERIFY(config.Contents().find("Register Begin=65534\n") != std::string::npos);

    // A mode below 0 selects nothing and stores nothing.
    TTempConfig none(Replaced(DefaultConfigText, "FrameBreakMode=1", "FrameBreakMode=-1"));
    TfrmMain second(none.Path());
    second.show();
    QVERIFY(QTest::qWaitForWindowExposed(&second));
    QVERIFY(!Child<QRadioButton>(second, "rgFrameBreakModeItem0")->isChecked());
    QVERIFY(!Child<QRadioButton>(second, "rgFrameBreakModeItem1")->isChecked());
    QCOMPARE(ParamFrameBreakMode->AsInteger(), -1);
}

void TfrmMainTest::unknownPortAndUnlistedBaudRate() {
    std::string text = Replaced(DefaultConfigText, "Comm Port=COM1", "Comm Port=NOSUCHPORT7");
    text = Replaced(text, "Baud Rate=9600", "Baud Rate=300");
    TTempConfig config(text);
    TfrmMain window(config.Path());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(Child<QComboBox>(window, "cbbComPort")->currentIndex(), -1);
    QCOMPARE(ParamCommPort->AsString(), std::string("NOSUCHPORT7"));
    QCOMPARE(Child<QComboBox>(window, "cbbBaud")->currentIndex(), -1);
    window.ApplyCommSettings();
    QCOMPARE(window.Comm().BaudRate(), 300U);
    QCOMPARE(window.Comm().CommName(), std::string("NOSUCHPORT7"));
}

void TfrmMainTest::editsAreWrittenThrough() {
    TTempConfig config(DefaultConfigText);
    TfrmMain window(config.Path());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    auto* pollTo = Child<QSpinBox>(window, "spePollTo");
    pollTo->setFocus();
    pollTo->selectAll();
    QTest::keyClicks(pollTo, "37");
    QCOMPARE(ParamPollTo->AsInteger(), 37);
    QVERIFY(config.Contents().find("Poll To=37\n") != std::string::npos);

    // Empty text stores nothing.
    pollTo->selectAll();
    QTest::keyClick(pollTo, Qt::Key_Delete);
    QCOMPARE(ParamPollTo->AsInteger(), 37);

    auto* timeout = Child<QSpinBox>(window, "spePollTimeout");
    timeout->setFocus();
    QTest::keyClick(timeout, Qt::Key_Up);
    QCOMPARE(ParamPollTimeout->AsInteger(), 501);

    auto* baud = Child<QComboBox>(window, "cbbBaud");
    baud->setFocus();
    QTest::keyClick(baud, Qt::Key_Down);
    QCOMPARE(baud->currentText(), QStringLiteral("14400"));
    QCOMPARE(ParamBaudRate->AsInteger(), 14400);
    QVERIFY(config.Contents().find("Baud Rate=14400\n") != std::string::npos);

    QTest::mouseClick(Child<QRadioButton>(window, "rgFrameBreakModeItem0"), Qt::LeftButton);
    QCOMPARE(ParamFrameBreakMode->AsInteger(), 0);
    QVERIFY(config.Contents().find("FrameBreakMode=0\n") != std::string::npos);

    auto* readInterval = Child<QSpinBox>(window, "speReadInterval");
    readInterval->setFocus();
    QTest::keyClick(readInterval, Qt::Key_Down);
    QCOMPARE(ParamReadInterval->AsInteger(), 19);
}

void TfrmMainTest::typedNumbersOutsideTheRange() {
    TTempConfig config(DefaultConfigText);
    TfrmMain window(config.Path());
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));

    auto* pollTo = Child<QSpinBox>(window, "spePollTo");
    auto* edit = pollTo->findChild<QLineEdit*>();
    QVERIFY(edit != nullptr);
    pollTo->setFocus();
    QTRY_VERIFY_WITH_TIMEOUT(pollTo->hasFocus(), 2000);
    edit->selectAll();

    // Each keystroke is stored as typed; 300 lies above the maximum 254.
    const int expected[] = {3, 30, 300};
    const char* const keys[] = {"3", "0", "0"};
    for (int i = 0; i < 3; ++i) {
        QTest::keyClicks(edit, keys[i]);
        QCOMPARE(ParamPollTo->AsInteger(), expected[i]);
        QVERIFY(config.Contents().find("Poll To=" + std::to_string(expected[i]) + "\n") !=
                std::string::npos);
    }
    QCOMPARE(pollTo->text(), QStringLiteral("300"));

    // Leaving the box shows the nearest bound, and that is stored.
    auto* pollFrom = Child<QSpinBox>(window, "spePollFrom");
    pollFrom->setFocus();
    QTRY_VERIFY_WITH_TIMEOUT(pollFrom->hasFocus(), 2000);
    QCOMPARE(pollTo->text(), QStringLiteral("254"));
    QCOMPARE(ParamPollTo->AsInteger(), 254);
    QVERIFY(config.Contents().find("Poll To=254\n") != std::string::npos);

    // A lone minus sign and empty text are no numbers: nothing is stored.
    pollTo->setFocus();
    QTRY_VERIFY_WITH_TIMEOUT(pollTo->hasFocus(), 2000);
    edit->selectAll();
    QTest::keyClicks(edit, "-");
    QCOMPARE(pollTo->text(), QStringLiteral("-"));
    QCOMPARE(ParamPollTo->AsInteger(), 254);
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Backspace);
    QCOMPARE(pollTo->text(), QString());
    QCOMPARE(ParamPollTo->AsInteger(), 254);
    QVERIFY(config.Contents().find("Poll To=254\n") != std::string::npos);

    // Letters cannot be typed at all.
    QTest::keyClicks(edit, "x");
    QCOMPARE(pollTo->text(), QString());
    QCOMPARE(ParamPollTo->AsInteger(), 254);

    // Left empty, the box shows its value again.
    pollFrom->setFocus();
    QTRY_VERIFY_WITH_TIMEOUT(pollFrom->hasFocus(), 2000);
    QCOMPARE(pollTo->text(), QStringLiteral("254"));
    QCOMPARE(ParamPollTo->AsInteger(), 254);

    // A number below the minimum is stored as typed, then raised to the minimum.
    auto* count = Child<QSpinBox>(window, "speRCount");
    auto* countEdit = count->findChild<QLineEdit*>();
    count->setFocus();
    QTRY_VERIFY_WITH_TIMEOUT(count->hasFocus(), 2000);
    countEdit->selectAll();
    QTest::keyClicks(countEdit, "0");
    QCOMPARE(ParamRegisterCount->AsInteger(), 0);
    pollFrom->setFocus();
    QTRY_VERIFY_WITH_TIMEOUT(pollFrom->hasFocus(), 2000);
    QCOMPARE(count->text(), QStringLiteral("1"));
    QCOMPARE(ParamRegisterCount->AsInteger(), 1);
}

void TfrmMainTest::spinHandlersFollowTheShownText() {
    TTempConfig config(DefaultConfigText);
    TfrmMain window(config.Path());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    auto* interval = Child<TSpinEdit>(window, "spePollInterval");
    QSignalSpy shown(interval, &TSpinEdit::TextChanged);
    // A value from the program that changes the text runs the handler once.
    interval->setValue(77);
    QCOMPARE(shown.count(), 1);
    QCOMPARE(ParamPollInterval->AsInteger(), 77);
    // The same value again leaves the text as it was: nothing runs.
    ParamPollInterval->SetValue(5);
    interval->setValue(77);
    QCOMPARE(shown.count(), 1);
    QCOMPARE(ParamPollInterval->AsInteger(), 5);
    // A value beyond the range shows the bound, which is what gets stored.
    interval->setValue(20000);
    QCOMPARE(shown.count(), 2);
    QCOMPARE(interval->text(), QStringLiteral("10000"));
    QCOMPARE(ParamPollInterval->AsInteger(), 10000);
    QVERIFY(config.Contents().find("Poll Interval=10000\n") != std::string::npos);
}

void TfrmMainTest::portPickGoesToSettingsAndPortComponent() {
    TTempConfig config(DefaultConfigText);
    TfrmMain window(config.Path());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* ports = Child<TComComboBox>(window, "cbbComPort");
    QCOMPARE(ports->count(), 3);
    QCOMPARE(ports->ComPort(), &window.ComPort());
    QVERIFY(ports->isEditable()); // a port name may be typed too

    ports->setFocus();
    QTest::keyClick(ports, Qt::Key_Down);
    QCOMPARE(ports->currentText(), QStringLiteral("COM3"));
    QCOMPARE(ParamCommPort->AsString(), std::string("COM3"));
    QVERIFY(config.Contents().find("Comm Port=COM3\n") != std::string::npos);
    QCOMPARE(window.ComPort().Port(), std::string("COM3")); // applied at once

    // The LED follows the port-settings component, which is never opened.
    auto* led = Child<TComLed>(window, "ComLed1");
    QCOMPARE(led->ComPort(), &window.ComPort());
    QCOMPARE(led->Kind(), TLedKind::lkGreenLight);
    QCOMPARE(led->LedSignal(), TComLedSignal::lsConn);
    QCOMPARE(led->State(), TLedState::lsOff);
}

void TfrmMainTest::frameBreakModeConfiguresTheLink() {
    TTempConfig config(Replaced(Replaced(DefaultConfigText, "FrameBreakMode=1", "FrameBreakMode=0"),
                                "Register Count=2", "Register Count=4"));
    TfrmMain window(config.Path());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.ApplyCommSettings();
    QCOMPARE(window.Comm().InputLen(), 13);
    QCOMPARE(window.Comm().ReadIntervalTimeout(), 0U);

    QTest::mouseClick(Child<QRadioButton>(window, "rgFrameBreakModeItem1"), Qt::LeftButton);
    window.ApplyCommSettings();
    QCOMPARE(window.Comm().InputLen(), window.Comm().InBufferSize());
    QCOMPARE(window.Comm().InputLen(), 2048);
    QCOMPARE(window.Comm().ReadIntervalTimeout(), 20U);
}

void TfrmMainTest::refusedWritesAreShown() {
    // Every key but Poll From, Register Begin out of its box's range: loading
    // must write Poll From and showing must write 65535; both are refused, and
    // start-up shows one box.
    const std::string text = "[Communication]\nComm Port=COM1\nBaud Rate=9600\nPoll Interval=1\n"
                             "Poll Timeout=1\nPoll To=1\nFrameBreakMode=0\nReadInterval=5\n"
                             "[Modbus]\nRegister Begin=70000\nRegister Count=1\n";
    TTempConfig config(text);
    std::filesystem::permissions(config.Path(), std::filesystem::perms::owner_read);
    const QString refused = QString::fromStdString("Unable to write to " + config.Path());
    TMessageBoxCatcher catcher;
    TfrmMain window(config.Path());
    QCOMPARE(catcher.Texts, QStringList{refused});
    QCOMPARE(ParamPollFrom->AsInteger(), 1);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(ParamRegisterBegin->AsInteger(), 65535);
    QCOMPARE(catcher.Texts.size(), 1);

    // That box was the session's one: later refused writes show none, and each
    // value is kept in memory.
    auto* pollTo = Child<QSpinBox>(window, "spePollTo");
    pollTo->setFocus();
    QTest::keyClick(pollTo, Qt::Key_Up);
    QTest::keyClick(pollTo, Qt::Key_Up);
    QTest::keyClick(pollTo, Qt::Key_Up);
    QTest::qWait(100);
    QCOMPARE(catcher.Texts.size(), 1);
    QCOMPARE(ParamPollTo->AsInteger(), 4);
    QCOMPARE(pollTo->value(), 4);
    QCOMPARE(config.Contents(), text);

    // A write that goes through ends the quiet; the next refusal is shown again.
    std::filesystem::permissions(config.Path(), std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add);
    QTest::keyClick(pollTo, Qt::Key_Up);
    QVERIFY(config.Contents().find("Poll To=5\n") != std::string::npos);
    std::filesystem::permissions(config.Path(), std::filesystem::perms::owner_read);
    QTest::keyClick(pollTo, Qt::Key_Up);
    QTRY_COMPARE(catcher.Texts.size(), 2);
    QCOMPARE(catcher.Texts.back(), refused);
}

void TfrmMainTest::unreadableConfigShowsOneBox() {
    // A directory and (where the system has them) a FIFO where Config.ini should be:
    // the defaults are shown, one box says so, and nothing is ever written there.
    for (const bool fifo : {false, true}) {
        TTempConfig config;
        if (fifo && !config.MakeFifo())
            continue;
        if (!fifo)
            std::filesystem::create_directory(config.Path());
        TMessageBoxCatcher catcher;
        {
            TfrmMain window(config.Path());
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            QCOMPARE(catcher.Texts,
                     QStringList{QString::fromStdString("Unable to read " + config.Path())});
            QCOMPARE(Child<QSpinBox>(window, "spePollTo")->value(), 10);
            QCOMPARE(Child<QComboBox>(window, "cbbBaud")->currentText(), QStringLiteral("9600"));

            auto* pollTo = Child<QSpinBox>(window, "spePollTo");
            pollTo->setFocus();
            QTest::keyClick(pollTo, Qt::Key_Up);
            QTest::keyClick(pollTo, Qt::Key_Up);
            QTest::qWait(100);
            QCOMPARE(catcher.Texts.size(), 1); // the start-up box was the one
            QCOMPARE(ParamPollTo->AsInteger(), 12);
        }
        QVERIFY(fifo ? std::filesystem::is_fifo(config.Path())
                     : std::filesystem::is_directory(config.Path()));
        QCOMPARE(std::distance(std::filesystem::directory_iterator(config.Directory()),
                               std::filesystem::directory_iterator()),
                 1);
    }
}

void TfrmMainTest::portNamesMatchAsTheSystemComparesThem() {
    // "com3" is not COM3 where names are case-sensitive: nothing is selected,
    // and Start opens the saved name, as it would for any unlisted port.
    TTempConfig config(Replaced(DefaultConfigText, "Comm Port=COM1", "Comm Port=com3"));
    TfrmMain window(config.Path());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* box = Child<TComComboBox>(window, "cbbComPort");
    QCOMPARE(box->currentIndex(), PortNamesIgnoreCase() ? 1 : -1);
    QCOMPARE(ParamCommPort->AsString(), std::string("com3"));
}

void TfrmMainTest::errorListClears() {
    TTempConfig config(DefaultConfigText);
    TfrmMain window(config.Path());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.InfoModel().Append(QStringLiteral("a"));
    window.InfoModel().Append(QStringLiteral("b"));
    auto* list = Child<QListView>(window, "lbxInfo");
    QTRY_COMPARE(list->model()->rowCount(), 2);
    QCOMPARE(list->sizeHintForRow(0), 12);
    QTest::mouseClick(Child<QPushButton>(window, "btnClearInfo"), Qt::LeftButton);
    QCOMPARE(list->model()->rowCount(), 0);
    QVERIFY(window.InfoModel().Lines().isEmpty());
}

void TfrmMainTest::errorListKeepsTheLatestLines() {
    TInfoListModel small(nullptr, 5);
    for (int i = 0; i < 8; ++i)
        small.Append(QString::number(i));
    small.Flush();
    QCOMPARE(small.rowCount(), 5);
    QCOMPARE(small.Lines(), QStringList({"3", "4", "5", "6", "7"}));
    small.Append(QStringLiteral("8"));
    small.Flush();
    QCOMPARE(small.data(small.index(0)).toString(), QStringLiteral("4"));
    QCOMPARE(small.data(small.index(4)).toString(), QStringLiteral("8"));

    // The real list: a million lines, the oldest beyond them dropped.
    TInfoListModel list;
    QCOMPARE(list.Capacity(), std::size_t{1'000'000});
    for (int i = 0; i < 1'000'010; ++i)
        list.Append(QStringLiteral("line"));
    list.Append(QStringLiteral("last"));
    list.Flush();
    QCOMPARE(list.rowCount(), 1'000'000);
    QCOMPARE(list.data(list.index(999'999)).toString(), QStringLiteral("last"));
    list.Clear();
    QCOMPARE(list.TextBytes(), std::size_t{0});

    // Bounded by its text as well: 64 MiB by default; here three lines of 20 bytes.
    QCOMPARE(list.MaxBytes(), std::size_t{64} << 20);
    TInfoListModel bySize(nullptr, 100, 60);
    for (int i = 0; i < 5; ++i)
        bySize.Append(QStringLiteral("line %1 ...").arg(i)); // 10 characters each
    bySize.Flush();
    bySize.Append(QStringLiteral("line 5 ..."));
    bySize.Flush();
    QCOMPARE(bySize.Lines(), QStringList({"line 3 ...", "line 4 ...", "line 5 ..."}));
    QCOMPARE(bySize.TextBytes(), std::size_t{60});
    bySize.Clear();
    QCOMPARE(bySize.rowCount(), 0);
    QCOMPARE(bySize.TextBytes(), std::size_t{0});
}

void TfrmMainTest::errorListFollowsTheNewestLineAtTheBottom() {
    TTempConfig config(DefaultConfigText);
    TfrmMain window(config.Path());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* list = Child<QListView>(window, "lbxInfo");
    QScrollBar* bar = list->verticalScrollBar();
    const auto append = [&](int count) {
        for (int i = 0; i < count; ++i)
            window.InfoModel().Append(QStringLiteral("line %1").arg(i));
        window.InfoModel().Flush();
        QCoreApplication::processEvents();
    };
    append(200);
    QVERIFY(bar->maximum() > 0);
    QCOMPARE(bar->value(), bar->maximum()); // at the bottom: follows

    bar->setValue(10); // scrolled up: stays
    append(5);
    QCOMPARE(bar->value(), 10);

    bar->setValue(bar->maximum()); // back at the bottom: follows again
    append(5);
    QCOMPARE(bar->value(), bar->maximum());

    // A line wider than the list shows its whole text as a tooltip; a short one none.
    const QString longLine = QStringLiteral("[10:20:30] [残留数据已丢弃!][") +
                             QStringLiteral("01 02 03 04 ").repeated(40) + "]";
    window.InfoModel().Append(longLine);
    window.InfoModel().Flush();
    QCoreApplication::processEvents();
    const QRect lastRect = list->visualRect(list->model()->index(list->model()->rowCount() - 1, 0));
    const QPoint at = lastRect.center();
    QHelpEvent help(QEvent::ToolTip, at, list->viewport()->mapToGlobal(at));
    QCoreApplication::sendEvent(list->viewport(), &help);
    QTRY_VERIFY(QToolTip::isVisible());
    QCOMPARE(QToolTip::text(), longLine);
    const QRect shortRect =
        list->visualRect(list->model()->index(list->model()->rowCount() - 2, 0));
    QHelpEvent shortHelp(QEvent::ToolTip, shortRect.center(),
                         list->viewport()->mapToGlobal(shortRect.center()));
    QCoreApplication::sendEvent(list->viewport(), &shortHelp);
    QTRY_VERIFY(!QToolTip::isVisible());
}

// Rows as compact as the font allows: 20 slaves fit at the default size, below the three
// rows of settings.
void TfrmMainTest::compactTableRows() {
    TTempConfig config(DefaultConfigText);
    TfrmMain window(config.Path());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* table = Child<QTableWidget>(window, "lvResult");
    table->setColumnCount(3);
    table->setRowCount(40);
    QCoreApplication::processEvents();
    QVERIFY2(table->rowHeight(0) <= table->fontMetrics().height() + 6,
             qPrintable(QString::number(table->rowHeight(0))));
    const int lastVisible = table->rowAt(table->viewport()->height() - 1);
    qInfo() << "rows of" << table->rowHeight(0) << "px, rows 0 to" << lastVisible << "visible";
    QVERIFY2(lastVisible >= 19, qPrintable(QString::number(lastVisible)));
}

QTEST_MAIN(TfrmMainTest)
#include "TfrmMainTest.moc"
