// The window against the transmitter simulator, one kind of fault at a time at a fixed
// seed: the OK and FAIL counts the window shows must follow, by the rules of reply handling
// and of the poll cycle, from what the simulator says it answered and injected.
//
// Every run polls one address the simulator does not play, and is stopped while that
// address is being polled, so that no reply is on its way when the port closes and the one
// result Stop drops is known.
#include "ModbusRtu.h"
#include "TPollResultRecorder.h"
#include "TRunState.h"
#include "TShownWindow.h"
#include "TSimulatorChild.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTest>

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr int RunLimit = 20000; // ms; a run that has not shown enough by then has failed
constexpr int Patience = 5000;  // ms; every other wait, reached only on failure
constexpr int MinFaults = 4;    // a run goes on until the window has seen this many
constexpr int MinGood = 5;

struct TTally {
    std::int64_t Ok = 0;
    std::int64_t Fail = 0;
};

/// OK and FAIL by slave address.
using TTallies = std::map<int, TTally>;

QString Describe(const TTallies& tallies) {
    QStringList parts;
    for (const auto& [slave, tally] : tallies)
        parts << QStringLiteral("%1: OK %2 FAIL %3").arg(slave).arg(tally.Ok).arg(tally.Fail);
    return parts.join(QStringLiteral(", "));
}

QString Request(int slave, const TWindowSettings& settings) {
    return QStringLiteral("发送: ") + QString::fromStdString(HexText(BuildReadRequest(
                                          slave, settings.RegisterBegin, settings.RegisterCount)));
}

std::int64_t CountContaining(const QStringList& lines, const QString& part) {
    return std::count_if(lines.begin(), lines.end(),
                         [&](const QString& line) { return line.contains(part); });
}

std::int64_t LineCount(const QStringList& lines) {
    return lines.size();
}

/// What one run left behind.
struct TRunRecord {
    std::optional<TSimSummary> Summary;
    /// Every result the poll thread posted, the one dropped at Stop included.
    TTallies All;
    QStringList Lines;
    /// Results that came after Stop, which the window ignored.
    int Dropped = 0;
    /// Polls whose reply wait Stop cut short: they give no result (0 or 1).
    std::int64_t Cut = 0;
    /// The window's Value cells of each slave at the end.
    std::map<int, QStringList> Values;
};

/// Compares the counts of a run on slaves 1 to `last`, polled with `last` + 1 outside, with
/// the simulator's summary: every read of a slave counts OK when answered well and FAIL when
/// `faultKey` spoiled it (nothing else happens to them); every poll of the outside address
/// counts FAIL, but for one Stop cut short.
void CompareCounts(const TRunRecord& record, int last, const std::string& faultKey) {
    const TSimSummary& summary = *record.Summary;
    TTallies expected;
    for (int slave = 1; slave <= last; ++slave) {
        expected[slave] = {summary.Slave(slave, "replied_good_reads"),
                           faultKey.empty() ? 0 : summary.Slave(slave, faultKey)};
        QCOMPARE(summary.Slave(slave, "read_requests"), expected[slave].Ok + expected[slave].Fail);
    }
    expected[last + 1] = {0, summary.Total("ignored_requests") - record.Cut};
    QCOMPARE(Describe(record.All), Describe(expected));
}

} // namespace

class SimulatorWindowTest : public QObject {
    Q_OBJECT
private slots:
    void init() { RunState.Reset(); }
    void cleanup() { RunState.Reset(); }

    void spoiledReplyCountsOneFail_data();
    void spoiledReplyCountsOneFail();
    void noiseAddsALineAndNoCount();
    void lateReplyEndsNoLaterPoll();

private:
    /// Starts the simulator with `simArgs` and the window on it with `settings`, runs until
    /// `enough` holds, stops the run while `outside` (an address the simulator does not
    /// play) is polled, then the simulator; checks what holds for every kind of fault.
    void RunAgainstSimulator(const std::vector<std::string>& simArgs, TWindowSettings settings,
                             int outside, const std::function<bool(TShownWindow&)>& enough,
                             TRunRecord& record);
};

void SimulatorWindowTest::RunAgainstSimulator(const std::vector<std::string>& simArgs,
                                              TWindowSettings settings, int outside,
                                              const std::function<bool(TShownWindow&)>& enough,
                                              TRunRecord& record) {
    TSimulatorChild sim(simArgs);
    QVERIFY2(!sim.Path.empty(), sim.Process.Stderr().c_str());
    settings.Port = sim.Path;
    TShownWindow w(settings);
    TPollResultRecorder recorder;

    w.Click("btnStart");
    QCOMPARE(w.StartCaption(), QStringLiteral("停止运行"));
    QTRY_VERIFY_WITH_TIMEOUT(enough(w), RunLimit);

    // Stop while the outside address waits out its Poll Timeout: the request shown is the
    // last one the run sends, and no reply can be under way when the port closes. Watched
    // in the run's own caption: the panel follows it at most a frame (40 ms) late, and
    // might still show the outside request while the next one is out.
    const QString outsideRequest = Request(outside, settings);
    QElapsedTimer waiting;
    waiting.start();
    while (QString::fromStdString(RunState.SendCaption()) != outsideRequest &&
           waiting.elapsed() < Patience)
        QTest::qWait(1);
    QCOMPARE(QString::fromStdString(RunState.SendCaption()), outsideRequest);
    recorder.MarkStop();
    w.Click("btnStart");
    QCOMPARE(w.StartCaption(), QStringLiteral("开始运行"));
    QTest::qWait(100); // whatever was posted during Stop
    QCOMPARE(w.Caption("pnlSend"), outsideRequest);

    record.Summary = sim.Stop();
    QVERIFY2(record.Summary.has_value(), sim.Process.Stderr().c_str());
    const TSimSummary& summary = *record.Summary;
    QCOMPARE(summary.Total("aborted_replies"), std::int64_t{0});

    // The table shows every result handled while the run was on. Stop ends the poll
    // under way at once, normally the outside address's poll waiting out its Poll Timeout:
    // its request was received by the simulator, but it gives no result. Only when Stop
    // came in the interval after that poll did it give one, which may still reach the
    // window after the click and be ignored.
    TTallies counted;
    int& afterStop = record.Dropped;
    for (const TPollResultRecorder::TResult& result : recorder.Results) {
        TTally& all = record.All[result.Slave];
        (result.Good ? all.Ok : all.Fail) += 1;
        if (result.AfterStop) {
            ++afterStop;
            QCOMPARE(result.Slave, outside);
        } else {
            TTally& shown = counted[result.Slave];
            (result.Good ? shown.Ok : shown.Fail) += 1;
        }
    }
    qInfo().noquote() << "results" << Describe(record.All) << "- dropped at Stop:" << afterStop
                      << "- lines:" << w.Info().size();
    QVERIFY2(afterStop <= 1, qPrintable(QString::number(afterStop)));
    TTallies shown;
    for (int slave = settings.PollFrom; slave <= settings.PollTo; ++slave)
        shown[slave] = {w.Ok(slave), w.Fail(slave)};
    QCOMPARE(Describe(shown), Describe(counted));

    // One result for every request the simulator received, but for a poll cut short.
    std::int64_t results = 0;
    for (const auto& [slave, tally] : record.All)
        results += tally.Ok + tally.Fail;
    record.Cut = summary.Total("received_requests") - results;
    QVERIFY2(record.Cut == 0 || record.Cut == 1, qPrintable(QString::number(record.Cut)));
    QVERIFY(record.Cut + afterStop <= 1);

    record.Lines = w.Info();
    QCOMPARE(CountContaining(record.Lines, QStringLiteral("[异常接收!]")), std::int64_t{0});
    for (int slave = settings.PollFrom; slave <= settings.PollTo; ++slave)
        record.Values[slave] = w.Values(slave);
}

void SimulatorWindowTest::spoiledReplyCountsOneFail_data() {
    QTest::addColumn<QString>("kind");   // the simulator's name of the fault
    QTest::addColumn<QString>("marker"); // what the error line of one fault says
    QTest::addColumn<int>("linesPerFault");
    QTest::addColumn<int>("seed");
    QTest::newRow("bad CRC") << "bad-crc"
                             << "[CRC校验错误!]" << 1 << 11;
    QTest::newRow("wrong slave") << "wrong-slave"
                                 << "[应答站号不符!]" << 2 << 12;
    QTest::newRow("truncated") << "truncated"
                               << "[帧长度错误!]" << 1 << 13;
    QTest::newRow("extra bytes") << "extra-bytes"
                                 << "[帧长度错误!]" << 1 << 14;
    QTest::newRow("no reply") << "no-reply" << QString() << 0 << 15;
    // The length line, then the line that decodes the refusal.
    QTest::newRow("exception") << "exception"
                               << "[帧长度错误!]" << 2 << 16;
}

// A spoiled reply fails its check (or, without a reply, there is nothing to check), so its
// poll waits out Poll Timeout and counts one FAIL for its own slave; every unspoiled reply
// counts one OK. The outside address counts a FAIL for each of its polls.
void SimulatorWindowTest::spoiledReplyCountsOneFail() {
    QFETCH(QString, kind);
    QFETCH(QString, marker);
    QFETCH(int, linesPerFault);
    QFETCH(int, seed);
    const std::string key = "injected_" + QString(kind).replace('-', '_').toStdString();
    constexpr int last = 4; // the simulator plays 1 to 4; 5 is polled and never answers

    TWindowSettings settings;
    settings.PollFrom = 1;
    settings.PollTo = last + 1;
    settings.PollTimeout = 200;
    settings.PollInterval = 10;
    settings.RegisterCount = 4;
    TRunRecord record;
    RunAgainstSimulator(
        {"--slaves", "1-" + std::to_string(last), "--seed", std::to_string(seed),
         "--" + kind.toStdString(), "0.25"},
        settings, last + 1,
        [&](TShownWindow& w) {
            int ok = 0;
            int fail = 0;
            for (int slave = 1; slave <= last; ++slave) {
                ok += w.Ok(slave);
                fail += w.Fail(slave);
            }
            return ok >= MinGood && fail >= MinFaults;
        },
        record);
    if (QTest::currentTestFailed())
        return;
    const TSimSummary& summary = *record.Summary;
    CompareCounts(record, last, key);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(summary.Total(key) >= MinFaults);

    const std::int64_t faults = summary.Total(key);
    QCOMPARE(LineCount(record.Lines), linesPerFault * faults);
    if (!marker.isEmpty())
        QCOMPARE(CountContaining(record.Lines, marker), faults);
    if (kind == QLatin1String("exception"))
        QCOMPARE(CountContaining(record.Lines,
                                 QStringLiteral("[从机异常应答!][功能码:03 读保持寄存器][异常码:02 "
                                                "非法数据地址]")),
                 faults);
    if (kind == QLatin1String("wrong-slave")) {
        // The request the reply does not match, then the line naming the address asked.
        QCOMPARE(CountContaining(record.Lines, QStringLiteral("发送: ")), faults);
        for (int slave = 1; slave <= last; ++slave)
            QCOMPARE(CountContaining(record.Lines, QStringLiteral("[请求站号为:%1]").arg(slave)),
                     summary.Slave(slave, key));
    }
}

// Noise arrives as a block of its own before the reply, since the simulator keeps the line
// quiet for longer than ReadInterval in between. The noise takes the request's pending mark
// and fails the length check: one line. The reply after it is good, is accepted without the
// mark and ends the poll as good: no count changes.
void SimulatorWindowTest::noiseAddsALineAndNoCount() {
    constexpr int last = 4;
    TWindowSettings settings;
    settings.PollFrom = 1;
    settings.PollTo = last + 1;
    settings.PollTimeout = 200; // well beyond the noise gap (50 ms) and ReadInterval (20 ms)
    settings.PollInterval = 10;
    settings.RegisterCount = 4;
    TRunRecord record;
    RunAgainstSimulator(
        {"--slaves", "1-" + std::to_string(last), "--seed", "17", "--noise", "0.3"}, settings,
        last + 1,
        [&](TShownWindow& w) {
            int ok = 0;
            for (int slave = 1; slave <= last; ++slave)
                ok += w.Ok(slave);
            return ok >= MinGood && w.Info().size() >= MinFaults;
        },
        record);
    if (QTest::currentTestFailed())
        return;
    const TSimSummary& summary = *record.Summary;
    CompareCounts(record, last, {});
    if (QTest::currentTestFailed())
        return;

    const std::int64_t noise = summary.Total("injected_noise");
    QVERIFY(noise >= MinFaults);
    QCOMPARE(LineCount(record.Lines), noise);
    // "[hh:mm:ss] [帧长度错误!][" and one to eight bytes.
    const QRegularExpression noiseLine(
        QStringLiteral(R"(^\[\d\d:\d\d:\d\d\] \[帧长度错误!\]\[([0-9A-F]{2} ){1,8}\]$)"));
    for (const QString& line : record.Lines)
        QVERIFY2(noiseLine.match(line).hasMatch(), qPrintable(line));
}

// Slaves 1 to 3 are polled; the simulator plays 1 and 2, and slave 2 answers every read
// 250 ms late: after its Poll Timeout (200 ms), inside its Poll Interval (300 ms). Each
// poll ends only on a reply that comes during its own wait: slave 2 always fails, and so
// does slave 3, which never answers, however the late replies fall; slave 1 never fails.
void SimulatorWindowTest::lateReplyEndsNoLaterPoll() {
    TWindowSettings settings;
    settings.PollFrom = 1;
    settings.PollTo = 3;
    settings.PollTimeout = 200;
    settings.PollInterval = 300;
    settings.ReadInterval = 20;
    settings.RegisterCount = 4;
    TRunRecord record;
    RunAgainstSimulator(
        {"--slaves", "1-2", "--seed", "18", "--freeze", "--late-slaves", "2", "--late-delay",
         "250"},
        settings, 3, [](TShownWindow& w) { return w.Fail(3) >= 3; }, record);
    if (QTest::currentTestFailed())
        return;
    const TSimSummary& summary = *record.Summary;

    const std::int64_t late = summary.Slave(2, "injected_late");
    QCOMPARE(late, summary.Slave(2, "read_requests"));
    const TTallies expected{
        {1, {summary.Slave(1, "replied_good_reads"), 0}},
        {2, {0, late}},
        {3, {0, summary.Total("ignored_requests") - record.Cut}},
    };
    QCOMPARE(Describe(record.All), Describe(expected));
    QVERIFY(late >= 3);
    QVERIFY2(record.Lines.isEmpty(), qPrintable(record.Lines.join('\n')));
    QCOMPARE(record.Values[3], QStringList({QString(), QString()})); // never a good reply
}

QTEST_MAIN(SimulatorWindowTest)
#include "SimulatorWindowTest.moc"
