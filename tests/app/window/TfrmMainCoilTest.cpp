// The zero and un-zero buttons of the window, against a device played on a
// pseudo-terminal. What a command does on the line is the shared coil
// command's, tested on its own; here: which slave the buttons address, that
// the window waits for nothing, one command at a time, and the failure box.
#include "TFakeClock.h"
#include "TPtyDevice.h"
#include "TShownWindow.h"
#include "TSysParam.h"
#include "TWindowTestKit.h"
#include "TfrmMain.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>

using namespace std::chrono_literals;

namespace {

constexpr int Patience = 5000; // ms; reached only when a test fails

TWindowSettings SettingsFor(const TPtyDevice& device, int pollFrom = 1) {
    return {.Port = device.Path(),
            .PollFrom = pollFrom,
            .PollTo = pollFrom + 1,
            .PollTimeout = 60,
            .PollInterval = 1,
            .FrameBreakMode = 1,
            .ReadInterval = 5,
            .RegisterBegin = 0,
            .RegisterCount = 2};
}

/// Echoes every coil command after `delay`; answers every read at once.
TPtyDevice::TScript Echo(std::chrono::milliseconds delay = 0ms) {
    return [delay](const TFrame8& request) {
        if (request[1] != 0x05)
            return std::vector<TDeviceReply>{{GoodReply(request[0], 2, {1}), {}}};
        return std::vector<TDeviceReply>{{{request.begin(), request.end()}, delay}};
    };
}

} // namespace

class TfrmMainCoilTest : public QObject {
    Q_OBJECT
private slots:
    // Closing a window in a test must not end the application's event loops.
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }

    void buttonsAddressPollFromAndComeBackWithTheResult();
    void aCommandDuringARunLeavesTheRunGoing();
    void portThatCannotBeOpened();
    void closingTheWindowEndsTheWait();
};

void TfrmMainCoilTest::buttonsAddressPollFromAndComeBackWithTheResult() {
    TPtyDevice device;
    device.SetScript(Echo(200ms));
    TShownWindow w(SettingsFor(device, 7), TWindowClock::Fake);
    const qint64 took = w.TimedClick("btnZero");
    // The window waits for nothing; one command at a time until the result comes.
    QVERIFY2(took < 150, qPrintable(QString::number(took)));
    QVERIFY(!w.Child<QPushButton>("btnZero").isEnabled());
    QVERIFY(!w.Child<QPushButton>("btnUnZero").isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(w.Info(), QStringList{QStringLiteral("清零成功！")}, Patience);
    QVERIFY(w.Child<QPushButton>("btnZero").isEnabled());
    QCOMPARE(device.Requests().at(0), BuildCoilCommand(7, TCoilAction::Zero));
    QTRY_COMPARE_WITH_TIMEOUT(
        w.Caption("pnlReceive"),
        QString::fromStdString("接收: " + HexText(BuildCoilCommand(7, TCoilAction::Zero))),
        Patience);
    QVERIFY(w.Window->Comm().PortOpen());
    QCOMPARE(w.StartCaption(), QStringLiteral("开始运行"));

    // Empty Poll From text: the box's minimum, slave 1. A mouse click would take the
    // focus and the box would show 7 again first; a click that leaves the focus where
    // it is sees the empty text.
    auto& pollFrom = w.Child<QSpinBox>("spePollFrom");
    auto* edit = pollFrom.findChild<QLineEdit*>();
    QVERIFY(edit != nullptr);
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    QCOMPARE(ParamPollFrom->AsInteger(), 7); // empty text stores nothing
    w.Child<QPushButton>("btnUnZero").click();
    QTRY_COMPARE_WITH_TIMEOUT(w.Info().size(), 2, Patience);
    QCOMPARE(w.Info().last(), QStringLiteral("反清零成功！"));
    QCOMPARE(device.Requests().at(1), BuildCoilCommand(1, TCoilAction::UnZero));
}

void TfrmMainCoilTest::aCommandDuringARunLeavesTheRunGoing() {
    TPtyDevice device;
    device.SetScript(Echo());
    TShownWindow w(SettingsFor(device), TWindowClock::Fake);
    w.Click("btnStart");
    QTRY_VERIFY_WITH_TIMEOUT(w.Cell(0, 2).toInt() >= 1, Patience);
    w.Click("btnZero");
    QTRY_COMPARE_WITH_TIMEOUT(w.Info(), QStringList{QStringLiteral("清零成功！")}, Patience);
    const int before = w.Cell(0, 2).toInt();
    QTRY_VERIFY_WITH_TIMEOUT(w.Cell(0, 2).toInt() > before, Patience);
    w.Click("btnStart");
    QCOMPARE(w.Cell(0, 3), QStringLiteral("0"));
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
    QTRY_COMPARE_WITH_TIMEOUT(w.Info().size(), 1, Patience);
    QVERIFY2(w.Info()[0].startsWith(QStringLiteral(
                 "[10:20:30] [串口打开失败!][/dev/quellmark-no-such-port][设备不存在] ")),
             qPrintable(w.Info()[0]));
    QVERIFY(!w.Window->Comm().PortOpen());
    QVERIFY(w.Child<QPushButton>("btnZero").isEnabled());
}

void TfrmMainCoilTest::closingTheWindowEndsTheWait() {
    TPtyDevice device; // nothing answers
    TShownWindow w(SettingsFor(device), TWindowClock::Fake);
    w.Click("btnZero");
    QVERIFY(device.WaitForRequests(1, 5s));
    QElapsedTimer closing;
    closing.start();
    QVERIFY(w.Window->close());
    QVERIFY2(closing.elapsed() < 300, qPrintable(QString::number(closing.elapsed())));
    QVERIFY(!w.Window->Comm().PortOpen());
    QTRY_COMPARE_WITH_TIMEOUT(w.Info(), QStringList{QStringLiteral("清零超时！")}, Patience);
    w.Window.reset();
}

QTEST_MAIN(TfrmMainCoilTest)
#include "TfrmMainCoilTest.moc"
