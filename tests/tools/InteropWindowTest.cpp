// The window against an independent Modbus RTU slave built on libmodbus: the zero command
// through the window's button is echoed, before a run and during one, and a run shows the
// registers the slave holds.
#include "ModbusRtu.h"
#include "SlaveRegisters.h"
#include "TChildProcess.h"
#include "TShownWindow.h"
#include "TSimSummary.h"
#include "WindowNotices.h"

#include <QPushButton>
#include <QTest>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

const std::string SlavePath = QUELLMARK_MODBUS_SLAVE_PATH;

constexpr int SlaveAddress = 9;
constexpr int Patience = 5000; // ms; reached only when a test fails

// Two registers a value, high register first.
const std::vector<std::int32_t> Values{-7, 0x7F00FF01, INT32_MIN, 99999};

QString Received(std::vector<std::uint8_t> bytes) {
    return QStringLiteral("接收: ") + QString::fromStdString(HexText(bytes));
}

/// The receive panel shows the block a coil command got, soon after the command's result.
void ExpectReceived(TShownWindow& w, const QString& caption) {
    QTRY_COMPARE_WITH_TIMEOUT(w.Caption("pnlReceive"), caption, Patience);
}

} // namespace

class InteropWindowTest : public QObject {
    Q_OBJECT
private slots:
    void zeroIsEchoedAndARunShowsTheRegisters();
};

void InteropWindowTest::zeroIsEchoedAndARunShowsTheRegisters() {
    TChildProcess slave(SlavePath, {"--slave", std::to_string(SlaveAddress), "--registers",
                                    RegisterOption(Values), "--duration", "60"});
    const std::optional<std::string> path = slave.ReadLine(10s);
    QVERIFY2(path.has_value(), slave.Stderr().c_str());

    TWindowSettings settings;
    settings.Port = *path;
    // The slave's own address only: libmodbus takes the frame after a request for another
    // address as that slave's reply and would drop our next request.
    settings.PollFrom = SlaveAddress;
    settings.PollTo = SlaveAddress;
    settings.PollTimeout = 1000; // never reached, even on a busy machine: no read fails
    settings.PollInterval = 5;
    settings.FrameBreakMode = 1; // the echo arrives as one block of 8 bytes
    settings.RegisterCount = 2 * static_cast<int>(Values.size());
    TShownWindow w(settings);
    QVERIFY(!w.Window->Comm().PortOpen());
    QPushButton& zeroButton = w.Child<QPushButton>("btnZero");
    QPushButton& unZeroButton = w.Child<QPushButton>("btnUnZero");

    // Zero goes to the slave shown in Poll From, which echoes it. The command waits on its
    // own thread; both buttons are back with its result.
    w.Click("btnZero");
    QVERIFY(!zeroButton.isEnabled());
    QVERIFY(!unZeroButton.isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(zeroButton.isEnabled() && unZeroButton.isEnabled(), Patience);
    QCOMPARE(w.Info(), QStringList{QStringLiteral("清零成功！")});
    const TFrame8 zero = BuildCoilCommand(SlaveAddress, TCoilAction::Zero);
    ExpectReceived(w, Received({zero.begin(), zero.end()}));
    QVERIFY(w.Window->Comm().PortOpen());
    QCOMPARE(w.StartCaption(), QStringLiteral("开始运行"));

    // Un-zero writes F000, which libmodbus refuses, as it refuses every coil value but FF00
    // and 0000, with exception 3 (illegal data value): five bytes that are no echo. The
    // refusal is decoded, the command ends as timed out, and the refusal shows in the
    // receive panel.
    w.Click("btnUnZero");
    QTRY_VERIFY_WITH_TIMEOUT(zeroButton.isEnabled() && unZeroButton.isEnabled(), Patience);
    // The line that decodes the refusal comes first, then the command's result line.
    QTRY_COMPARE_WITH_TIMEOUT(w.Info().size(), 3, Patience);
    const QStringList lines = w.Info();
    QCOMPARE(lines.at(0), QStringLiteral("清零成功！"));
    QVERIFY2(lines.at(1).endsWith(
                 QStringLiteral("] [从机异常应答!][功能码:05 写单个线圈][异常码:03 非法数据值]")),
             qPrintable(lines.join('\n')));
    QCOMPARE(lines.at(2), QStringLiteral("反清零超时！"));
    std::vector<std::uint8_t> refusal{SlaveAddress, 0x85, 0x03};
    AppendCrc(refusal);
    ExpectReceived(w, Received(refusal));

    // A run on the port the commands left open.
    w.Click("btnStart");
    QCOMPARE(w.StartCaption(), QStringLiteral("停止运行"));
    QStringList shown;
    for (const std::int32_t value : Values)
        shown << QString::number(value);
    QTRY_VERIFY_WITH_TIMEOUT(w.Ok(SlaveAddress) >= 20, Patience);
    QCOMPARE(w.Values(SlaveAddress), shown);

    // Zero during the run: the poll thread hands the line over between two polls, so the
    // echo meets no poll and no poll meets the echo; polling goes on after it.
    w.Click("btnZero");
    QTRY_VERIFY_WITH_TIMEOUT(zeroButton.isEnabled() && unZeroButton.isEnabled(), Patience);
    QCOMPARE(w.Info().size(), 4);
    QCOMPARE(w.Info().at(3), QStringLiteral("清零成功！"));
    const int okAfterZero = w.Ok(SlaveAddress);
    QTRY_VERIFY_WITH_TIMEOUT(w.Ok(SlaveAddress) >= okAfterZero + 20, Patience);

    w.Click("btnStart");
    QCOMPARE(w.StartCaption(), QStringLiteral("开始运行"));
    QVERIFY(RunPostedNotices(*w.Window));
    const TRowSnapshot row = w.Window->RunSession().Run.Row(0);
    QCOMPARE(w.Ok(SlaveAddress), row.Ok);
    QCOMPARE(row.Fail, 0);
    QCOMPARE(w.Fail(SlaveAddress), 0);
    QCOMPARE(w.Info().size(), qsizetype{4}); // no reply failed a check

    slave.Signal(SIGTERM);
    QCOMPARE(slave.WaitExit(10s), std::optional<int>{0});
    const TSimSummary summary = TSimSummary::Parse(slave.Stdout());
    // Every request was answered, the refusal included, and every read counted one OK but
    // one whose reply wait Stop cut short.
    QCOMPARE(summary.Total("replies"), summary.Total("requests"));
    const std::int64_t reads = summary.Total("requests") - 3;
    QVERIFY2(row.Ok == reads || row.Ok == reads - 1,
             qPrintable(QStringLiteral("%1 of %2").arg(row.Ok).arg(reads)));
}

QTEST_MAIN(InteropWindowTest)
#include "InteropWindowTest.moc"
