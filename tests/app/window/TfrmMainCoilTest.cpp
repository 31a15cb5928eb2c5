// The zero and un-zero commands through the window's buttons, against a device
// played on a pseudo-terminal.
#include "TFakeClock.h"
#include "TPtyDevice.h"
#include "TShownWindow.h"
#include "TSysParam.h"
#include "TWindowTestKit.h"
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
    void commandDuringARunGoesBetweenTwoPolls();
    void buttonsAreOffWhileACommandWaits();
    void commandInTheFixedLengthMode();
    void portThatCannotBeOpened();
    void changedSettingsReopenThePort();
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

void TfrmMainCoilTest::commandDuringARunGoesBetweenTwoPolls() {
    TPtyDevice device;
    // Reads are answered after 40 ms, so that a click almost always lands while
    // a poll waits; coil commands are echoed at once.
    device.SetScript([](const TFrame8& request) {
        if (request[1] == 0x05)
            return std::vector<TDeviceReply>{{{request.begin(), request.end()}, {}}};
        return std::vector<TDeviceReply>{{GoodReply(request[0], 2, {1}), 40ms}};
    });
    TWindowSettings settings = SettingsFor(device, 1, 300);
    settings.FrameBreakMode = 0;
    TShownWindow w(settings, TWindowClock::Fake);
    w.Click("btnStart");
    QTRY_VERIFY_WITH_TIMEOUT(w.Cell(0, 2).toInt() >= 2, Patience);

    for (const char* button : {"btnZero", "btnUnZero", "btnZero"}) {
        const std::size_t before = device.RequestCount();
        w.Click(button);
        // The command went on the line right after the poll in flight, and
        // polling went on with the next address.
        QVERIFY(device.WaitForRequests(before + 2, 5s));
        const auto requests = device.Requests();
        QCOMPARE(requests.at(before)[1], std::uint8_t{0x05});
        QCOMPARE(requests.at(before + 1)[1], std::uint8_t{0x03});
        QCOMPARE(requests.at(before + 1)[0], std::uint8_t(requests.at(before - 1)[0] % 2 + 1));
    }
    QCOMPARE(w.Info(), QStringList({QStringLiteral("清零成功！"), QStringLiteral("反清零成功！"),
                                    QStringLiteral("清零成功！")}));
    // Polling goes on, and no poll failed because of a command.
    const int ok = w.Cell(0, 2).toInt() + w.Cell(1, 2).toInt();
    QTRY_VERIFY_WITH_TIMEOUT(w.Cell(0, 2).toInt() + w.Cell(1, 2).toInt() > ok + 2, Patience);
    w.Click("btnStart");
    QCOMPARE(w.Cell(0, 3), QStringLiteral("0"));
    QCOMPARE(w.Cell(1, 3), QStringLiteral("0"));
    QCOMPARE(w.Info().size(), 3);
}

void TfrmMainCoilTest::buttonsAreOffWhileACommandWaits() {
    TPtyDevice device;
    device.SetScript(Echo({}, 150ms));
    TShownWindow w(SettingsFor(device), TWindowClock::Fake);
    w.Window->EnsurePortOpen();
    auto& zero = w.Child<QPushButton>("btnZero");
    auto& unZero = w.Child<QPushButton>("btnUnZero");
    bool offMeanwhile = false;
    QTimer::singleShot(50, w.Window.get(), [&] {
        offMeanwhile = !zero.isEnabled() && !unZero.isEnabled();
        w.Click("btnUnZero"); // a click on a disabled button does nothing
    });
    w.Click("btnZero");
    QVERIFY(offMeanwhile);
    QVERIFY(zero.isEnabled() && unZero.isEnabled());
    QCOMPARE(w.Info(), QStringList{QStringLiteral("清零成功！")});
    QCOMPARE(device.RequestCount(), std::size_t{1});
}

// The reader cuts 8-byte blocks while a command waits in the fixed-length mode,
// and the read replies' length again afterwards.
void TfrmMainCoilTest::commandInTheFixedLengthMode() {
    TPtyDevice device;
    device.SetScript([](const TFrame8& request) {
        if (request[1] == 0x05)
            return std::vector<TDeviceReply>{{{request.begin(), request.end()}, {}}};
        return std::vector<TDeviceReply>{{GoodReply(request[0], 2, {3}), {}}};
    });
    TWindowSettings settings = SettingsFor(device);
    settings.FrameBreakMode = 0;
    TShownWindow w(settings, TWindowClock::Fake);
    w.Click("btnZero");
    QCOMPARE(w.Info(), QStringList{QStringLiteral("清零成功！")});
    w.Click("btnStart");
    QTRY_VERIFY_WITH_TIMEOUT(w.Cell(0, 2).toInt() >= 3 && w.Cell(1, 2).toInt() >= 3, Patience);
    w.Click("btnStart");
    QCOMPARE(w.Cell(0, 3), QStringLiteral("0"));
    QCOMPARE(w.Info().size(), 1);
}

void TfrmMainCoilTest::portThatCannotBeOpened() {
    TPtyDevice device;
    TWindowSettings settings = SettingsFor(device);
    settings.Port = "/dev/quellmark-no-such-port";
    TShownWindow w(settings, TWindowClock::Fake);
    TMessageBoxCatcher catcher;
    w.Click("btnZero");
    QCOMPARE(catcher.Texts, QStringList{QStringLiteral("串口打开失败！请检查是否被占用")});
    // The box, and the system's reason as the one line.
    QCOMPARE(w.Info().size(), 1);
    QVERIFY2(w.Info()[0].startsWith(QStringLiteral(
                 "[10:20:30] [串口打开失败!][/dev/quellmark-no-such-port][设备不存在] ")),
             qPrintable(w.Info()[0]));
    QVERIFY(!w.Window->Comm().PortOpen());
    QVERIFY(w.Child<QPushButton>("btnZero").isEnabled());
}

// A port a command opened is opened again when Register Count or the port name
// changed before Start: the run uses the settings the window shows.
void TfrmMainCoilTest::changedSettingsReopenThePort() {
    TPtyDevice first;
    TPtyDevice second;
    const auto script = [](const TFrame8& request) {
        if (request[1] == 0x05)
            return std::vector<TDeviceReply>{{{request.begin(), request.end()}, {}}};
        return std::vector<TDeviceReply>{{GoodReply(request[0], 4, {5, 6}), {}}};
    };
    first.SetScript(script);
    second.SetScript(script);
    TWindowSettings settings = SettingsFor(first);
    settings.FrameBreakMode = 0;
    TShownWindow w(settings, TWindowClock::Fake);
    w.Click("btnZero");
    QCOMPARE(w.Info(), QStringList{QStringLiteral("清零成功！")});

    // Register Count 2 to 4: the reader must cut 13-byte replies now.
    w.Child<QSpinBox>("speRCount").setValue(4);
    w.Click("btnStart");
    QTRY_VERIFY_WITH_TIMEOUT(w.Cell(0, 3).toInt() >= 3, Patience);
    QCOMPARE(w.Cell(0, 4), QStringLiteral("0"));
    w.Click("btnStart");

    // The port name changes while a command's port is open.
    w.Click("btnZero");
    ParamCommPort->SetValue(second.Path());
    w.Click("btnUnZero");
    QCOMPARE(w.Info().last(), QStringLiteral("反清零成功！"));
    QCOMPARE(second.RequestCount(), std::size_t{1});
    w.Click("btnStart");
    QTRY_VERIFY_WITH_TIMEOUT(second.RequestCount() >= 3, Patience);
    w.Click("btnStart");
    QCOMPARE(w.Cell(0, 4), QStringLiteral("0"));
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
