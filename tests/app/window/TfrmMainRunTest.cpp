// Runs through the window: real clicks on Start, Stop and reset, a device
// played on a pseudo-terminal, the wall clock moved by the test.
#include "TComm.h"
#include "TFakeClock.h"
#include "TPtyDevice.h"
#include "TQtNoticeQueue.h"
#include "TShownWindow.h"
#include "TSysParam.h"
#include "TWindowTestKit.h"
#include "TfrmMain.h"
#include "ValueFormat.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QLabel>
#include <QListView>
#include <QPushButton>
#include <QScrollBar>
#include <QSpinBox>
#include <QTableWidget>
#include <QTest>

#include <atomic>
#include <bit>
#include <memory>
#include <thread>

using namespace std::chrono_literals;

namespace {

constexpr int Patience = 5000; // ms; reached only when a test fails

TWindowSettings SettingsFor(const TPtyDevice& device, int from, int to, int registerCount,
                            int timeout = 200, int interval = 1) {
    return {.Port = device.Path(),
            .PollFrom = from,
            .PollTo = to,
            .PollTimeout = timeout,
            .PollInterval = interval,
            .FrameBreakMode = 0,
            .ReadInterval = 20,
            .RegisterBegin = 0,
            .RegisterCount = registerCount};
}

} // namespace

class TfrmMainRunTest : public QObject {
    Q_OBJECT
private slots:
    // Closing a window in a test must not end the application's event loops.
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }

    void goodReplyFillsItsRow();
    void badCrcThenTimeout();
    void wrongSlaveGivesTwoLines();
    void tableFollowsRangeAndRegisterCount();
    void statusTextsAndRate();
    void resetDuringARun();
    void countsCarryOverIntoTheNextRun();
    void stopWhileThePollWaits();
    void startOnAMissingPort();
    void startRefusesAnEmptyRange();
    void aStalledWindowCostsNoPoll();
    void inputRegistersAndValueFormats();
    void everyValueIsSeenAtTheDefaultSize();
    void closingDuringARunStopsIt();
};

void TfrmMainRunTest::goodReplyFillsItsRow() {
    TPtyDevice device;
    device.SetScript(AnswerAll([](int) { return std::vector<std::int32_t>{123}; }));
    TShownWindow w(SettingsFor(device, 1, 1, 2), TWindowClock::Fake);
    w.Click("btnStart");
    QCOMPARE(w.StartCaption(), QStringLiteral("停止运行"));
    QVERIFY(!w.Child<QWidget>("pnlParams").isEnabled());
    QCOMPARE(w.Panel(0), QStringLiteral("开始测试时间: 2026-03-14 10:20:30"));
    QCOMPARE(w.Table().columnCount(), 4);
    QCOMPARE(w.Header(0), QStringLiteral("Id"));
    QCOMPARE(w.Header(1), QStringLiteral("Value1"));
    QCOMPARE(w.Header(2), QStringLiteral("OK"));
    QCOMPARE(w.Header(3), QStringLiteral("FAIL"));
    QCOMPARE(w.Table().columnWidth(0), 50);
    QCOMPARE(w.Table().columnWidth(1), 70);
    QCOMPARE(w.Table().columnWidth(3), 50);
    QCOMPARE(w.Table().rowCount(), 1);
    QCOMPARE(w.Cell(0, 0), QStringLiteral("1"));

    QTRY_COMPARE_WITH_TIMEOUT(w.Cell(0, 1), QStringLiteral("123"), Patience);
    QVERIFY(w.Cell(0, 2).toInt() >= 1);
    QCOMPARE(w.Cell(0, 3), QStringLiteral("0"));
    QCOMPARE(w.Child<QLabel>("pnlSend").text(), QStringLiteral("发送: 01 03 00 00 00 02 C4 0B "));
    QCOMPARE(w.Child<QLabel>("pnlReceive").text(),
             QStringLiteral("接收: 01 03 04 00 00 00 7B BA 10 "));

    w.Click("btnStart");
    QCOMPARE(w.StartCaption(), QStringLiteral("开始运行"));
    QVERIFY(w.Child<QWidget>("pnlParams").isEnabled());
    QVERIFY(!w.Window->Comm().PortOpen());
    QVERIFY(w.Info().isEmpty());
}

void TfrmMainRunTest::badCrcThenTimeout() {
    TPtyDevice device;
    const auto bad = WithBadCrc(GoodReply(1, 2, {123}));
    std::atomic<int> asked{0};
    // Only the first request is answered, so the panel settles on the time-out.
    device.SetScript([bad, &asked](const TFrame8&) {
        return ++asked == 1 ? std::vector<TDeviceReply>{{bad, {}}} : std::vector<TDeviceReply>{};
    });
    TShownWindow w(SettingsFor(device, 1, 1, 2, 150), TWindowClock::Fake);
    w.Click("btnStart");
    QTRY_COMPARE_WITH_TIMEOUT(w.Info().size(), 1, Patience);
    QCOMPARE(w.Info().at(0),
             QStringLiteral("[10:20:30] [CRC校验错误!][01 03 04 00 00 00 7B BA 11 ]"));
    QTRY_COMPARE_WITH_TIMEOUT(w.Cell(0, 3), QStringLiteral("1"), Patience);
    QCOMPARE(w.Cell(0, 2), QStringLiteral("0"));
    QCOMPARE(w.Cell(0, 1), QString()); // no good reply yet
    QTRY_COMPARE_WITH_TIMEOUT(w.Child<QLabel>("pnlReceive").text(), QStringLiteral("应答超时!!"),
                              Patience);
    w.Click("btnStart");
    QCOMPARE(w.Info().size(), 1);
}

void TfrmMainRunTest::wrongSlaveGivesTwoLines() {
    TPtyDevice device;
    const auto reply = GoodReply(2, 2, {5});
    device.SetScript([reply](const TFrame8&) { return std::vector<TDeviceReply>{{reply, {}}}; });
    TShownWindow w(SettingsFor(device, 1, 1, 2, 150), TWindowClock::Fake);
    w.Click("btnStart");
    QTRY_VERIFY_WITH_TIMEOUT(w.Info().size() >= 2, Patience);
    QCOMPARE(w.Info().at(0), QStringLiteral("发送: 01 03 00 00 00 02 C4 0B "));
    QCOMPARE(w.Info().at(1),
             QStringLiteral("[10:20:30] [应答站号不符!][请求站号为:1][02 03 04 00 00 00 05 ") +
                 QString::fromStdString(HexText(TByteSpan(reply).subspan(7))) + "]");
    w.Click("btnStart");
}

void TfrmMainRunTest::tableFollowsRangeAndRegisterCount() {
    TPtyDevice device;
    device.SetScript(AnswerAll(
        [](int slave) { return std::vector<std::int32_t>{slave, 2, 3, 4, 5, 6, 7, -8}; }));
    TShownWindow w(SettingsFor(device, 5, 7, 16, 150), TWindowClock::Fake);
    w.Click("btnStart");
    QCOMPARE(w.Table().columnCount(), 11);
    QCOMPARE(w.Header(8), QStringLiteral("Value8"));
    QCOMPARE(w.Header(9), QStringLiteral("OK"));
    QCOMPARE(w.Header(10), QStringLiteral("FAIL"));
    QCOMPARE(w.Table().rowCount(), 3);
    QCOMPARE(w.Cell(0, 0), QStringLiteral("5"));
    QCOMPARE(w.Cell(2, 0), QStringLiteral("7"));
    QTRY_COMPARE_WITH_TIMEOUT(w.Cell(2, 8), QStringLiteral("-8"), Patience);
    QCOMPARE(w.Cell(1, 1), QStringLiteral("6"));
    QTRY_VERIFY_WITH_TIMEOUT(w.Cell(0, 9).toInt() >= 20, Patience);
    w.Click("btnStart");
    // Redrawn at most once a frame while the run is on, exact once it stops.
    for (int row = 0; row < 3; ++row) {
        const TRowSnapshot counted = w.Window->RunSession().Run.Row(static_cast<std::size_t>(row));
        QCOMPARE(w.Cell(row, 9), QString::number(counted.Ok));
        QCOMPARE(w.Cell(row, 10), QString::number(counted.Fail));
    }

    // Register Count 1: "Id", "OK" and "FAIL" only; good replies still count.
    auto& count = w.Child<QSpinBox>("speRCount");
    count.setValue(1);
    QCOMPARE(ParamRegisterCount->AsInteger(), 1);
    w.Click("btnStart");
    QCOMPARE(w.Table().columnCount(), 3);
    QCOMPARE(w.Header(1), QStringLiteral("OK"));
    QTRY_VERIFY_WITH_TIMEOUT(w.Cell(0, 1).toInt() >= 1, Patience);
    w.Click("btnStart");
}

void TfrmMainRunTest::statusTextsAndRate() {
    TPtyDevice device;
    std::atomic<int> answered{0};
    // Exactly 52 good replies from the first slave, then silence.
    device.SetScript([&answered](const TFrame8& request) {
        if (answered >= 52)
            return std::vector<TDeviceReply>{};
        ++answered;
        return std::vector<TDeviceReply>{{GoodReply(request[0], 2, {1}), {}}};
    });
    // A time-out long enough that no reply comes late, even under wine.
    TShownWindow w(SettingsFor(device, 1, 1, 2, 200), TWindowClock::Fake);
    w.Click("btnStart");
    QTRY_COMPARE_WITH_TIMEOUT(w.Panel(1), QStringLiteral("已测试: 0秒"), Patience);
    QTRY_COMPARE_WITH_TIMEOUT(w.Cell(0, 2), QStringLiteral("52"), Patience);

    // The wall clock is set two hours ahead: the elapsed time does not follow it.
    w.Clock.Set(w.Clock.Now() + 2h);
    w.Clock.Advance(59s);
    QTRY_COMPARE_WITH_TIMEOUT(w.Panel(1), QStringLiteral("已测试: 59秒 通讯频率: 0次/秒"),
                              Patience);
    w.Clock.Advance(-49s);
    QTRY_COMPARE_WITH_TIMEOUT(w.Panel(1), QStringLiteral("已测试: 10秒 通讯频率: 5次/秒"),
                              Patience);
    w.Clock.Advance(51s);
    QTRY_COMPARE_WITH_TIMEOUT(w.Panel(1), QStringLiteral("已测试: 1分1秒 通讯频率: 5次/秒"),
                              Patience);
    w.Clock.Advance(3725s - 61s);
    QTRY_COMPARE_WITH_TIMEOUT(w.Panel(1), QStringLiteral("已测试: 1小时2分5秒 通讯频率: 5次/秒"),
                              Patience);
    w.Click("btnStart");
}

void TfrmMainRunTest::resetDuringARun() {
    TPtyDevice device;
    device.SetScript(AnswerAll([](int) { return std::vector<std::int32_t>{1}; }));
    TShownWindow w(SettingsFor(device, 1, 2, 2, 50), TWindowClock::Fake);
    w.Click("btnStart");
    QTRY_VERIFY_WITH_TIMEOUT(w.Cell(0, 2).toInt() >= 20, Patience);
    QTRY_VERIFY_WITH_TIMEOUT(w.Panel(1).startsWith(QStringLiteral("已测试")), Patience);

    device.SetScript({}); // silence, so only time-outs follow the reset
    QTRY_VERIFY_WITH_TIMEOUT(w.Cell(0, 3).toInt() >= 1 && w.Cell(1, 3).toInt() >= 1, Patience);
    w.Clock.Advance(30s);
    w.Click("btnClear");
    QCOMPARE(w.Cell(0, 2), QStringLiteral("0"));
    QCOMPARE(w.Cell(0, 3), QStringLiteral("0"));
    QCOMPARE(w.Cell(1, 2), QStringLiteral("0"));
    QCOMPARE(w.Cell(0, 1), QStringLiteral("1")); // Value cells stay
    QCOMPARE(w.Panel(0), QString());
    QCOMPARE(w.Panel(1), QString());
    // The next tick fills panel 1 again, counted from the start of the run.
    QTRY_VERIFY_WITH_TIMEOUT(w.Panel(1).startsWith(QStringLiteral("已测试: 30秒")), Patience);
    QCOMPARE(w.Panel(0), QString());
    // Counting goes on from 0: only time-outs now.
    QTRY_VERIFY_WITH_TIMEOUT(w.Cell(0, 3).toInt() >= 1, Patience);
    QCOMPARE(w.Cell(0, 2), QStringLiteral("0"));
    w.Click("btnStart");
}

void TfrmMainRunTest::countsCarryOverIntoTheNextRun() {
    TPtyDevice device;
    device.SetScript(AnswerAll([](int slave) { return std::vector<std::int32_t>{slave}; }));
    TShownWindow w(SettingsFor(device, 1, 2, 2, 100, 100), TWindowClock::Fake);
    // The same range continues its counts; a moved range (1..2 to 5..6, the
    // same positions) starts from 0, so no slave shows another one's counts.
    const struct {
        int From;
        int To;
        bool Carried;
    } runs[] = {{1, 2, false}, {1, 2, true}, {5, 6, false}};
    int carried = 0;
    for (const auto& run : runs) {
        w.Child<QSpinBox>("spePollTo").setValue(run.To);
        w.Child<QSpinBox>("spePollFrom").setValue(run.From);
        w.Click("btnStart");
        QCOMPARE(w.Cell(0, 0), QString::number(run.From));
        QCOMPARE(w.Cell(0, 2), QString()); // a new run starts with empty cells
        QTRY_VERIFY_WITH_TIMEOUT(w.Cell(0, 2).toInt() >= 1, Patience);
        const int first = w.Cell(0, 2).toInt();
        QVERIFY2(run.Carried ? first > carried : first <= 2, qPrintable(QString::number(first)));
        QTRY_VERIFY_WITH_TIMEOUT(w.Cell(0, 2).toInt() >= first + 2, Patience);
        w.Click("btnStart");
        QCoreApplication::processEvents();
        carried = w.Window->RunSession().Run.Row(0).Ok;
    }
}

// Stop and closing end a reply wait or an interval at once, however long.
void TfrmMainRunTest::stopWhileThePollWaits() {
    TPtyDevice device;
    TShownWindow w(SettingsFor(device, 1, 1, 2, 5000, 5000), TWindowClock::Fake);
    w.Click("btnStart");
    QVERIFY(device.WaitForRequests(1, 5s));
    QTest::qWait(20);
    const qint64 stop = w.TimedClick("btnStart");
    qInfo() << "Stop in the reply wait took" << stop << "ms";
    QVERIFY2(stop < 1000, qPrintable(QString::number(stop)));
    QCOMPARE(w.StartCaption(), QStringLiteral("开始运行"));
    QTest::qWait(50);
    QCOMPARE(w.Cell(0, 3), QString()); // a wait cut short gives no result
    QCOMPARE(device.RequestCount(), std::size_t{1});

    // Closing while the run waits out its interval.
    device.SetScript(AnswerAll([](int) { return std::vector<std::int32_t>{1}; }));
    w.Click("btnStart");
    QTRY_COMPARE_WITH_TIMEOUT(w.Cell(0, 2), QStringLiteral("1"), Patience);
    QElapsedTimer closing;
    closing.start();
    QVERIFY(w.Window->close());
    qInfo() << "Closing in the interval took" << closing.elapsed() << "ms";
    QVERIFY2(closing.elapsed() < 1000, qPrintable(QString::number(closing.elapsed())));
    QCOMPARE(device.RequestCount(), std::size_t{2});
    w.Window.reset();
}

void TfrmMainRunTest::startOnAMissingPort() {
    TPtyDevice device;
    TWindowSettings settings = SettingsFor(device, 1, 1, 2);
    settings.Port = "/dev/quellmark-no-such-port";
    TShownWindow w(settings, TWindowClock::Fake);
    TMessageBoxCatcher catcher;
    w.Click("btnStart");
    QCOMPARE(catcher.Texts, QStringList{QStringLiteral("串口打开失败！请检查是否被占用")});
    QCOMPARE(w.StartCaption(), QStringLiteral("开始运行"));
    QVERIFY(w.Child<QWidget>("pnlParams").isEnabled());
    QCOMPARE(w.Table().columnCount(), 0);
    QCOMPARE(w.Panel(0), QString());
    QCOMPARE(w.Window->Comm().CommName(), std::string("/dev/quellmark-no-such-port"));
    // The box stays as it was; the system's reason is one line in the error list.
    QTRY_COMPARE(w.Info().size(), 1);
    QVERIFY2(w.Info()[0].startsWith(QStringLiteral(
                 "[10:20:30] [串口打开失败!][/dev/quellmark-no-such-port][设备不存在] ")),
             qPrintable(w.Info()[0]));
}

void TfrmMainRunTest::startRefusesAnEmptyRange() {
    // An empty range; the address boxes keep every other address within 1 to 254 (a run
    // refuses what they cannot show, tested with the run).
    const struct {
        int From;
        int To;
        const char* Message;
    } cases[] = {{9, 3, "起始从机地址(9)大于结束从机地址(3)，无法开始运行！"}};
    for (const auto& c : cases) {
        TPtyDevice device;
        TShownWindow w(SettingsFor(device, c.From, c.To, 2), TWindowClock::Fake);
        TMessageBoxCatcher catcher;
        w.Click("btnStart");
        QCOMPARE(catcher.Texts, QStringList{QString::fromUtf8(c.Message)});
        QCOMPARE(w.StartCaption(), QStringLiteral("开始运行"));
        QVERIFY(!w.Window->Comm().PortOpen());
        QCOMPARE(w.Window->Comm().CommName(), std::string("COM1")); // refused before configuring
        QVERIFY(!w.Window->RunSession().Run.Running());
        QCOMPARE(device.RequestCount(), std::size_t{0});
    }
}

// A window thread that stalls for longer than Poll Timeout (a busy screen, a
// message box's loop) may delay what is drawn, never what is counted: a
// fault-free device gets no FAIL.
void TfrmMainRunTest::aStalledWindowCostsNoPoll() {
    TPtyDevice device;
    device.SetScript(AnswerAll([](int) { return std::vector<std::int32_t>{1}; }));
    // A Poll Timeout well under the stall, yet long enough that a loaded machine
    // (wine starting other tests beside this one) answers within it.
    TShownWindow w(SettingsFor(device, 1, 1, 2, 300, 0), TWindowClock::Fake);
    w.Click("btnStart");
    QTRY_VERIFY_WITH_TIMEOUT(w.Cell(0, 2).toInt() >= 1, Patience);

    std::this_thread::sleep_for(1s); // the window thread does nothing at all meanwhile
    // While a message box runs its own loop, the table goes on being shown.
    int whenOpened = -1;
    int whenClosed = -1;
    QElapsedTimer open;
    TMessageBoxCatcher catcher([&](QMessageBox&) {
        if (whenOpened < 0) {
            whenOpened = w.Cell(0, 2).toInt();
            open.start();
            return false;
        }
        if (open.elapsed() < 400)
            return false;
        whenClosed = w.Cell(0, 2).toInt();
        return true;
    });
    QMessageBox::information(w.Window.get(), QStringLiteral("Quellmark"), QStringLiteral("modal"));
    QVERIFY2(whenClosed > whenOpened,
             qPrintable(QStringLiteral("%1 -> %2").arg(whenOpened).arg(whenClosed)));

    w.Click("btnStart");
    QVERIFY2(w.Cell(0, 3) == QStringLiteral("0"), qPrintable(w.Info().join(u'\n')));
    QVERIFY(w.Cell(0, 2).toInt() > 20);
}

// Function 4 and a value format from the settings panel: the requests ask for input
// registers, and the columns follow the format (two floats, then four 16-bit values).
void TfrmMainRunTest::inputRegistersAndValueFormats() {
    TPtyDevice device;
    device.SetScript([](const TFrame8& request) {
        // 12.5 and -0.75 as floats, low word first.
        std::vector<std::uint8_t> reply{request[0], request[1], 8};
        for (const float value : {12.5f, -0.75f})
            for (const std::uint8_t byte :
                 EncodeValue32(std::bit_cast<std::uint32_t>(value), TWordOrder::CDAB))
                reply.push_back(byte);
        AppendCrc(reply);
        return std::vector<TDeviceReply>{{reply, {}}};
    });
    TWindowSettings settings = SettingsFor(device, 1, 1, 4);
    settings.FunctionCode = 4;
    settings.ValueFormat = "float32:cdab";
    TShownWindow w(settings, TWindowClock::Fake);
    QCOMPARE(w.Child<QComboBox>("cbbFunctionCode").currentText(),
             QStringLiteral("04 读输入寄存器"));
    QCOMPARE(w.Child<QComboBox>("cbbValueFormat").currentText(), QStringLiteral("float32:cdab"));
    w.Click("btnStart");
    QCOMPARE(w.Table().columnCount(), 5);
    QTRY_COMPARE_WITH_TIMEOUT(w.Cell(0, 1), QStringLiteral("12.5"), Patience);
    QCOMPARE(w.Cell(0, 2), QStringLiteral("-0.75"));
    QCOMPARE(w.Table().item(0, 1)->textAlignment(), int(Qt::AlignRight | Qt::AlignVCenter));
    QCOMPARE(device.Requests().at(0), BuildReadRequest(1, 0, 4, ReadInputRegisters));
    w.Click("btnStart");

    // The same registers as 16-bit values: one column each; the choice is written at once.
    auto& format = w.Child<QComboBox>("cbbValueFormat");
    format.setCurrentIndex(format.findText(QStringLiteral("hex16")));
    emit format.activated(format.currentIndex());
    QVERIFY(w.Config.Contents().find("Value Format=hex16\n") != std::string::npos);
    w.Click("btnStart");
    QCOMPARE(w.Table().columnCount(), 7);
    QTRY_COMPARE_WITH_TIMEOUT(w.Cell(0, 1), QStringLiteral("0000"), Patience);
    QCOMPARE(w.Cell(0, 2), QStringLiteral("4148"));
    w.Click("btnStart");
}

// Register Count 16 with ten-digit values at the default window size: Id, all eight
// values, OK and FAIL are seen without scrolling, each value column at least 70 px.
void TfrmMainRunTest::everyValueIsSeenAtTheDefaultSize() {
    TPtyDevice device;
    device.SetScript(AnswerAll([](int) {
        return std::vector<std::int32_t>{-2147483647, 2147483647, 1234567890, -1234567890,
                                         1111111111,  -999999999, 2000000000, -2000000000};
    }));
    TShownWindow w(SettingsFor(device, 1, 3, 16), TWindowClock::Fake);
    w.Click("btnStart");
    QTRY_COMPARE_WITH_TIMEOUT(w.Cell(2, 8), QStringLiteral("-2000000000"), Patience);
    w.Click("btnStart");
    QCoreApplication::processEvents();
    QTableWidget& table = w.Table();
    for (int column = 1; column <= 8; ++column)
        QVERIFY(table.columnWidth(column) >= 70);
    const int needed = table.horizontalHeader()->length();
    QVERIFY2(needed <= table.viewport()->width(),
             qPrintable(QStringLiteral("%1 > %2").arg(needed).arg(table.viewport()->width())));
    QCOMPARE(table.horizontalScrollBar()->maximum(), 0);
    // The widest value is shown whole.
    const QString widest = w.Cell(0, 1);
    QVERIFY(table.fontMetrics().horizontalAdvance(widest) < table.columnWidth(1));
}

void TfrmMainRunTest::closingDuringARunStopsIt() {
    TPtyDevice device;
    TShownWindow w(SettingsFor(device, 1, 3, 2, 300), TWindowClock::Fake);
    w.Click("btnStart");
    QVERIFY(device.WaitForRequests(1, 5s));
    QElapsedTimer closing;
    closing.start();
    QVERIFY(w.Window->close());
    QVERIFY(closing.elapsed() < 3000);
    QVERIFY(!w.Window->RunSession().Run.Running());
    QVERIFY(!w.Window->RunSession().Run.PollingActive);
    QVERIFY(!w.Window->Comm().PortOpen());
    const std::size_t requests = device.RequestCount();
    QTest::qWait(400);
    QCOMPARE(device.RequestCount(), requests); // nothing polls after the window closed
    w.Window.reset();
}

QTEST_MAIN(TfrmMainRunTest)
#include "TfrmMainRunTest.moc"
