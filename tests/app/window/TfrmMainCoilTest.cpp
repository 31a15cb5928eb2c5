// The zero and un-zero commands through the window's buttons, against a device
// played on a pseudo-terminal.
#include "TFakeClock.h"
#include "TPtyDevice.h"
#include "TShownWindow.h"
#include "TSysParam.h"
#include "TfrmMain.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <memory>

using namespace std::chrono_literals;

namespace {

constexpr int Patience = 5000; // ms; reached only when a test fails

TWindowSettings SettingsFor(const TPtyDevice& device, int pollFrom = 1, int timeout = 60) {
    return {.Port = device.Path(),
            .PollFrom = pollFrom,
            .PollTo = pollFrom + 1,
            .PollTimeout = timeout,
            .PollInterval = 1,
            .FrameBreakMode = 1,
            .ReadInterval = 5,
            .RegisterBegin = 0,
            .RegisterCount = 2};
}

std::vector<std::uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<std::uint8_t> bytes;
    for (int v : values)
        bytes.push_back(static_cast<std::uint8_t>(v));
    return bytes;
}

/// Echoes every coil command (after `delay`) for which `echo` holds.
TPtyDevice::TScript Echo(std::function<bool(const TFrame8&)> echo = {},
                         std::chrono::milliseconds delay = 0ms) {
    return [echo, delay](const TFrame8& request) {
        if (request[1] != 0x05 || (echo && !echo(request)))
            return std::vector<TDeviceReply>{};
        return std::vector<TDeviceReply>{{{request.begin(), request.end()}, delay}};
    };
}

} // namespace

class TfrmMainCoilTest : public QObject {
    Q_OBJECT
private slots:
    // Closing a window in a test must not end the application's event loops.
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
    void init() { RunState.Reset(); }
    void cleanup() { RunState.Reset(); }

    void zeroIsEchoedLongBeforeTheTimeOut();
    void framesFollowPollFrom();
    void noAnswerTimesOut();
    void exceptionReplyTimesOut();
    void emptyPollFromGoesToSlaveOne();
    void commandWhileIdleLeavesThePortOpen();
    void commandDuringARunTimesOutThosePolls();
    void secondCommandInsideTheFirst();
    void closingTheWindowEndsTheWait();
};

void TfrmMainCoilTest::zeroIsEchoedLongBeforeTheTimeOut() {
    TPtyDevice device;
    device.SetScript(Echo());
    TShownWindow w(SettingsFor(device), TWindowClock::Fake);
    w.Window->EnsurePortOpen();
    const qint64 took = w.TimedClick("btnZero");
    QCOMPARE(w.Info(), QStringList{QStringLiteral("清零成功！")});
    QVERIFY2(took < 400, qPrintable(QString::number(took)));
    QCOMPARE(device.Requests().at(0), BuildCoilCommand(1, TCoilAction::Zero));
    QCOMPARE(w.Child<QLabel>("pnlReceive").text(),
             QStringLiteral("接收: 01 05 00 0A FF 00 AC 38 "));
    QVERIFY(!RunState.CoilCommandMode);

    // The echo stopped the wait timer: it can mark no later command.
    QVERIFY(!w.Child<QTimer>("timerWaitResponse").isActive());
    QTest::qWait(600);
    QVERIFY(!RunState.CoilTimedOut);

    w.Click("btnUnZero");
    QCOMPARE(w.Info().last(), QStringLiteral("反清零成功！"));
    QCOMPARE(device.Requests().at(1), BuildCoilCommand(1, TCoilAction::UnZero));
}

void TfrmMainCoilTest::framesFollowPollFrom() {
    TPtyDevice device;
    device.SetScript(Echo());
    TShownWindow w(SettingsFor(device, 5), TWindowClock::Fake);
    QCOMPARE(w.Child<QSpinBox>("spePollFrom").value(), 5);
    w.Click("btnZero");
    w.Click("btnUnZero");
    QCOMPARE(w.Info(), QStringList({QStringLiteral("清零成功！"), QStringLiteral("反清零成功！")}));
    const auto requests = device.Requests();
    QCOMPARE(requests.size(), std::size_t{2});
    QCOMPARE(std::vector<std::uint8_t>(requests[0].begin(), requests[0].end()),
             Bytes({0x05, 0x05, 0x00, 0x0A, 0xFF, 0x00, 0xAD, 0xBC}));
    QCOMPARE(requests[1], BuildCoilCommand(5, TCoilAction::UnZero));
    QCOMPARE(requests[1][4], std::uint8_t{0xF0});
}

void TfrmMainCoilTest::noAnswerTimesOut() {
    TPtyDevice device;
    TShownWindow w(SettingsFor(device), TWindowClock::Fake);
    // The port has to be opened first: the 100 ms pause adds to the 500 ms wait.
    const qint64 opening = w.TimedClick("btnZero");
    QCOMPARE(w.Info(), QStringList{QStringLiteral("清零超时！")});
    QVERIFY2(opening >= 595 && opening < 1500, qPrintable(QString::number(opening)));
    QVERIFY(w.Window->Comm().PortOpen());

    // Open already: about 500 ms, and each command waits its own full period.
    const qint64 open = w.TimedClick("btnUnZero");
    QCOMPARE(w.Info().last(), QStringLiteral("反清零超时！"));
    QVERIFY2(open >= 495 && open < 1400, qPrintable(QString::number(open)));
    QCOMPARE(device.RequestCount(), std::size_t{2});
}

void TfrmMainCoilTest::exceptionReplyTimesOut() {
    TPtyDevice device;
    auto exception = Bytes({0x01, 0x85, 0x02});
    AppendCrc(exception);
    device.SetScript([exception](const TFrame8&) {
        return std::vector<TDeviceReply>{{exception, {}}};
    });
    TShownWindow w(SettingsFor(device), TWindowClock::Fake);
    w.Click("btnZero");
    // The refusal is no echo: it is decoded, and the command still times out.
    QCOMPARE(w.Info(),
             (QStringList{
                 QStringLiteral(
                     "[10:20:30] [从机异常应答!][功能码:05 写单个线圈][异常码:02 非法数据地址]"),
                 QStringLiteral("清零超时！")}));
    QCOMPARE(w.Child<QLabel>("pnlReceive").text(),
             QStringLiteral("接收: ") + QString::fromStdString(HexText(exception)));
}

void TfrmMainCoilTest::emptyPollFromGoesToSlaveOne() {
    TPtyDevice device;
    device.SetScript(Echo());
    TShownWindow w(SettingsFor(device, 7), TWindowClock::Fake);
    auto& pollFrom = w.Child<QSpinBox>("spePollFrom");
    auto* edit = pollFrom.findChild<QLineEdit*>();
    QVERIFY(edit != nullptr);
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    QCOMPARE(pollFrom.text(), QString());
    QCOMPARE(ParamPollFrom->AsInteger(), 7); // empty text stores nothing
    // A mouse click would take the focus and the box would show 7 again
    // first; a click that leaves the focus where it is sees the empty text.
    w.Child<QPushButton>("btnZero").click();
    QCOMPARE(device.Requests().at(0), BuildCoilCommand(1, TCoilAction::Zero));
    QCOMPARE(w.Info(), QStringList{QStringLiteral("清零成功！")});

    // With the focus taken by a real click, the box's own value is used.
    w.Click("btnUnZero");
    QCOMPARE(pollFrom.text(), QStringLiteral("7"));
    QCOMPARE(device.Requests().at(1), BuildCoilCommand(7, TCoilAction::UnZero));
}

void TfrmMainCoilTest::commandWhileIdleLeavesThePortOpen() {
    TPtyDevice device;
    device.SetScript([](const TFrame8& request) {
        if (request[1] == 0x05)
            return std::vector<TDeviceReply>{{{request.begin(), request.end()}, {}}};
        return std::vector<TDeviceReply>{{GoodReply(request[0], 2, {request[0]}), {}}};
    });
    TShownWindow w(SettingsFor(device), TWindowClock::Fake);
    QVERIFY(!w.Window->Comm().PortOpen());
    w.Click("btnZero");
    QVERIFY(w.Window->Comm().PortOpen());
    QCOMPARE(w.Child<QPushButton>("btnStart").text(), QStringLiteral("开始运行"));
    QVERIFY(w.Child<QWidget>("pnlParams").isEnabled());

    // Start finds the port open and runs on it.
    w.Click("btnStart");
    QCOMPARE(w.Child<QPushButton>("btnStart").text(), QStringLiteral("停止运行"));
    QTRY_VERIFY_WITH_TIMEOUT(w.Cell(1, 2).toInt() >= 1, Patience);
    w.Click("btnStart");
    QVERIFY(!w.Window->Comm().PortOpen());
}

void TfrmMainCoilTest::commandDuringARunTimesOutThosePolls() {
    TPtyDevice device;
    // Reads are answered at once, coil commands never: for the 500 ms of the
    // command's wait every reply is ignored, so those polls time out.
    device.SetScript([](const TFrame8& request) {
        if (request[1] != 0x03)
            return std::vector<TDeviceReply>{};
        return std::vector<TDeviceReply>{{GoodReply(request[0], 2, {1}), {}}};
    });
    TShownWindow w(SettingsFor(device, 1, 100), TWindowClock::Fake);
    w.Click("btnStart");
    QTRY_VERIFY_WITH_TIMEOUT(w.Cell(0, 2).toInt() >= 3, Patience);
    const int failedBefore = w.Cell(0, 3).toInt() + w.Cell(1, 3).toInt();

    w.Click("btnZero");
    QCOMPARE(w.Info(), QStringList{QStringLiteral("清零超时！")});
    QTRY_VERIFY_WITH_TIMEOUT(w.Cell(0, 3).toInt() + w.Cell(1, 3).toInt() >= failedBefore + 2,
                             Patience);
    QCOMPARE(w.Child<QPushButton>("btnStart").text(), QStringLiteral("停止运行"));

    // The run goes on: good replies are counted again.
    const int ok = w.Cell(0, 2).toInt();
    QTRY_VERIFY_WITH_TIMEOUT(w.Cell(0, 2).toInt() > ok, Patience);
    w.Click("btnStart");
    QCOMPARE(w.Info().size(), 1); // no reply during the wait was checked
}

void TfrmMainCoilTest::secondCommandInsideTheFirst() {
    TPtyDevice device;
    // Only the un-zero command is echoed.
    device.SetScript(Echo([](const TFrame8& request) { return request[4] == 0xF0; }));
    TShownWindow w(SettingsFor(device), TWindowClock::Fake);
    w.Window->EnsurePortOpen();
    QTimer::singleShot(100, w.Window.get(), [&] { w.Click("btnUnZero"); });
    const qint64 took = w.TimedClick("btnZero");
    // The second command ran to its end inside the first, which then ended
    // at once with the same outcome: the second's line first.
    QCOMPARE(w.Info(), QStringList({QStringLiteral("反清零成功！"), QStringLiteral("清零成功！")}));
    QVERIFY2(took < 450, qPrintable(QString::number(took)));
    QCOMPARE(device.RequestCount(), std::size_t{2});
}

void TfrmMainCoilTest::closingTheWindowEndsTheWait() {
    TPtyDevice device;
    TShownWindow w(SettingsFor(device), TWindowClock::Fake);
    w.Window->EnsurePortOpen();
    QTimer::singleShot(100, w.Window.get(), [&] { w.Window->close(); });
    const qint64 took = w.TimedClick("btnZero");
    QVERIFY2(took < 450, qPrintable(QString::number(took)));
    QCOMPARE(w.Info(), QStringList{QStringLiteral("清零超时！")});
    QVERIFY(!w.Window->Comm().PortOpen());
    QVERIFY(!RunState.CoilCommandMode);
    w.Window.reset();
}

QTEST_MAIN(TfrmMainCoilTest)
#include "TfrmMainCoilTest.moc"
