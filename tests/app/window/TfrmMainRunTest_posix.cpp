// Runs through the window that need POSIX's own means: termination signals, a
// port reached through a symbolic link, and the terminal's RS-485 ioctl.
#include "TComComboBox.h"
#include "TPtyDevice.h"
#include "TShownWindow.h"
#include "TSysParam.h"
#include "TTerminationRequests.h"
#include "TfrmMain.h"

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

constexpr int Patience = 5000; // ms; reached only when a test fails

} // namespace

class TfrmMainRunTest_posix : public QObject {
    Q_OBJECT
private slots:
    // Closing a window in a test must not end the application's event loops.
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }

    void stableNameOpensItsPortAndRs485RefusalIsOneLine();
    void terminationSignalsCloseLikeTheUser();
};

void TfrmMainRunTest_posix::stableNameOpensItsPortAndRs485RefusalIsOneLine() {
    TPtyDevice device;
    device.SetScript(AnswerAll([](int) { return std::vector<std::int32_t>{5}; }));
    // A link standing for /dev/serial/by-id/..., leading to the device.
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("usb-Adapter_A50285BI-if00-port0"));
    QVERIFY(QFile::link(QString::fromStdString(device.Path()), link));
    const std::string name = device.Path().substr(std::string("/dev/").size());
    TComComboBox::SetPortListSource([name](std::vector<std::string>& ports) {
        ports = {"ttyS0", name};
    });
    const TWindowSettings settings{
        .Port = link.toStdString(), .PollTimeout = 200, .FrameBreakMode = 0};
    TShownWindow w(settings, TWindowClock::Fake);
    TComComboBox::SetPortListSource({});
    QCOMPARE(w.Child<TComComboBox>("cbbComPort").Text(), QString::fromStdString(name));

    w.Click("btnStart");
    QCOMPARE(w.StartCaption(), QStringLiteral("停止运行"));
    QTRY_COMPARE_WITH_TIMEOUT(w.Cell(0, 1), QStringLiteral("5"), Patience);
    w.Click("btnStart");
    QCOMPARE(ParamCommPort->AsString(), link.toStdString()); // the saved name stays

    // A port that cannot switch RTS for RS-485 (the console's --rs485) opens all
    // the same, and one line in the window's list says why.
    TRunSettings rs485 = RunSettingsFromParams();
    rs485.Rs485 = true;
    QVERIFY(w.Window->RunSession().OpenAsSet(rs485));
    QTRY_COMPARE_WITH_TIMEOUT(
        w.Info(),
        QStringList{QStringLiteral("[10:20:30] [RS-485方向控制不可用!][RS-485 direction "
                                   "control is not available on ") +
                    link + QStringLiteral(": Inappropriate ioctl for device]")},
        Patience);
}

void TfrmMainRunTest_posix::terminationSignalsCloseLikeTheUser() {
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        TPtyDevice device;
        TShownWindow w(
            {.Port = device.Path(), .PollTo = 3, .PollTimeout = 300, .FrameBreakMode = 0},
            TWindowClock::Fake);
        const std::string settings = w.Config.Contents();
        TTerminationRequests termination;
        QObject::connect(&termination, &TTerminationRequests::Requested, w.Window.get(),
                         &QWidget::close);
        w.Click("btnStart");
        QVERIFY(device.WaitForRequests(1, 5s));

        QCOMPARE(::raise(signal), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!w.Window->isVisible(), Patience);
        QVERIFY(termination.Received());
        QVERIFY(!w.Window->RunSession().Run.PollingActive);
        QVERIFY(!w.Window->RunSession().Run.Running());
        QVERIFY(!w.Window->Comm().PortOpen());
        QCOMPARE(w.Config.Contents(), settings);

        // The port is free again: not exclusive, and its lock released.
        const int fd = ::open(device.Path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(fd >= 0);
        int exclusive = -1;
        QCOMPARE(::ioctl(fd, TIOCGEXCL, &exclusive), 0);
        QCOMPARE(exclusive, 0);
        QCOMPARE(::flock(fd, LOCK_EX | LOCK_NB), 0);
        ::close(fd);
        w.Window.reset();
    }
}

QTEST_MAIN(TfrmMainRunTest_posix)
#include "TfrmMainRunTest_posix.moc"
