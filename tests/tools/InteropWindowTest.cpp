// The window against an independent Modbus RTU slave built on libmodbus: the zero command
// through the window's button is echoed, and a run shows the registers the slave holds.
#include "ModbusRtu.h"
#include "SlaveRegisters.h"
#include "TChildProcess.h"
#include "TPollResultRecorder.h"
#include "TShownWindow.h"
#include "TSimSummary.h"

#include <QTest>

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

} // namespace

class InteropWindowTest : public QObject {
    Q_OBJECT
private slots:
    void init() { RunState.Reset(); }
    void cleanup() { RunState.Reset(); }

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
    settings.PollTimeout = 150;
    settings.PollInterval = 5;
    settings.FrameBreakMode = 1; // the echo arrives as one block of 8 bytes
    settings.RegisterCount = 2 * static_cast<int>(Values.size());
    TShownWindow w(settings);
    TPollResultRecorder recorder;
    QVERIFY(!w.Window->Comm().PortOpen());

    // Zero goes to the slave shown in Poll From, which echoes it.
    w.Click("btnZero");
    QCOMPARE(w.Info(), QStringList{QStringLiteral("清零成功！")});
    const TFrame8 zero = BuildCoilCommand(SlaveAddress, TCoilAction::Zero);
    QCOMPARE(w.Caption("pnlReceive"), Received({zero.begin(), zero.end()}));
    QVERIFY(w.Window->Comm().PortOpen());
    QCOMPARE(w.StartCaption(), QStringLiteral("开始运行"));

    // Un-zero writes F000, which libmodbus refuses, as it refuses every coil value but FF00
    // and 0000, with exception 3 (illegal data value): five bytes that are no echo, so the
    // command times out. The refusal is decoded and shows in the receive panel.
    w.Click("btnUnZero");
    QCOMPARE(w.Info().size(), 3);
    QCOMPARE(w.Info().at(0), QStringLiteral("清零成功！"));
    QVERIFY2(w.Info().at(1).endsWith(
                 QStringLiteral("] [从机异常应答!][功能码:05 写单个线圈][异常码:03 非法数据值]")),
             qPrintable(w.Info().at(1)));
    QCOMPARE(w.Info().at(2), QStringLiteral("反清零超时！"));
    std::vector<std::uint8_t> refusal{SlaveAddress, 0x85, 0x03};
    AppendCrc(refusal);
    QCOMPARE(w.Caption("pnlReceive"), Received(refusal));

    // A run on the port the commands left open.
    w.Click("btnStart");
    QCOMPARE(w.StartCaption(), QStringLiteral("停止运行"));
    QStringList shown;
    for (const std::int32_t value : Values)
        shown << QString::number(value);
    QTRY_VERIFY_WITH_TIMEOUT(w.Ok(SlaveAddress) >= 20, Patience);
    QCOMPARE(w.Values(SlaveAddress), shown);
    recorder.MarkStop();
    w.Click("btnStart");
    QCOMPARE(w.StartCaption(), QStringLiteral("开始运行"));
    QTest::qWait(50); // whatever was posted during Stop
    QCOMPARE(w.Fail(SlaveAddress), 0);
    QCOMPARE(w.Info().size(), qsizetype{3}); // no reply failed a check

    slave.Signal(SIGTERM);
    QCOMPARE(slave.WaitExit(10s), std::optional<int>{0});
    const TSimSummary summary = TSimSummary::Parse(slave.Stdout());
    // Every request was answered, the refusal included, and every read gave one result but
    // one whose reply wait Stop cut short.
    QCOMPARE(summary.Total("replies"), summary.Total("requests"));
    const std::int64_t reads = summary.Total("requests") - 2;
    const auto results = static_cast<std::int64_t>(recorder.Results.size());
    QVERIFY2(results == reads || results == reads - 1,
             qPrintable(QStringLiteral("%1 of %2").arg(results).arg(reads)));
    // The table counts every result handled before Stop, all of them good. Stop drops what
    // comes after it: a result posted just before the click.
    int beforeStop = 0;
    int afterStop = 0;
    for (const TPollResultRecorder::TResult& result : recorder.Results) {
        if (result.AfterStop) {
            ++afterStop;
        } else {
            ++beforeStop;
            QVERIFY(result.Good);
        }
    }
    QCOMPARE(w.Ok(SlaveAddress), beforeStop);
    QVERIFY2(afterStop <= 2, qPrintable(QString::number(afterStop)));
}

QTEST_MAIN(InteropWindowTest)
#include "InteropWindowTest.moc"
