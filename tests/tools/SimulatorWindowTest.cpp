// The window against the transmitter simulator, one kind of fault at a time at a fixed
// seed: the OK and FAIL counts the window shows must follow, by the rules of reply handling
// and of the poll cycle, from what the simulator says it answered and injected.
//
// Every run polls one address the simulator does not play, and is stopped while that
// address is being polled, so that no reply is on its way when the port closes and the one
// poll Stop cuts short (it counts nothing) is known.
#include "ModbusRtu.h"
#include "TShownWindow.h"
#include "TSimulatorChild.h"
#include "WindowNotices.h"

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
// Poll Timeout where every reply must count. The simulator is a process of its own: on a
// busy machine it may not run for a few hundred ms, and a reply it sent "on time" would
// then come after its poll's time-out. The wait leaves room for that.
constexpr int AnswerTimeout = 500; // ms

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
    /// What the run counted, by slave address; the window shows the same.
    TTallies Counted;
    QStringList Lines;
    /// Polls whose reply wait Stop cut short: they count nothing (0 or 1).
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
    if (Describe(record.Counted) != Describe(expected))
        qInfo().noquote() << "lines:" << record.Lines.join('\n');
    QCOMPARE(Describe(record.Counted), Describe(expected));
}

} // namespace

class SimulatorWindowTest : public QObject {
    Q_OBJECT
private slots:
    void spoiledReplyCountsOneFail_data();
    void spoiledReplyCountsOneFail();
    void noiseAddsALineAndNoCount();
    void lateReplyIsOnlyALine();

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
    const TPollingRun& run = w.Window->RunSession().Run;

    w.Click("btnStart");
    QCOMPARE(w.StartCaption(), QStringLiteral("停止运行"));
    QTRY_VERIFY_WITH_TIMEOUT(enough(w), RunLimit);

    // Stop just after the outside address's request has gone out, while it waits out its
    // Poll Timeout: the request shown is the last one the run sends, and no reply can be
    // under way when the port closes. Watched in the run's own caption: the panel follows
    // it at most a frame (40 ms) late, and might still show the outside request while the
    // next one is out.
    const QString outsideRequest = Request(outside, settings);
    const auto sent = [&] { return QString::fromStdString(run.SendCaption()); };
    for (const bool atOutside : {false, true}) {
        QElapsedTimer waiting;
        waiting.start();
        while ((sent() == outsideRequest) != atOutside && waiting.elapsed() < Patience)
            QTest::qWait(1);
    }
    QCOMPARE(sent(), outsideRequest);
    w.Click("btnStart");
    QCOMPARE(w.StartCaption(), QStringLiteral("开始运行"));
    QVERIFY(RunPostedNotices(*w.Window));
    QCOMPARE(sent(), outsideRequest);
    QCOMPARE(w.Caption("pnlSend"), outsideRequest);

    record.Summary = sim.Stop();
    QVERIFY2(record.Summary.has_value(), sim.Process.Stderr().c_str());
    const TSimSummary& summary = *record.Summary;
    QCOMPARE(summary.Total("aborted_replies"), std::int64_t{0});

    // The table shows what the run counted, to the last poll before Stop.
    TTallies shown;
    for (int slave = settings.PollFrom; slave <= settings.PollTo; ++slave) {
        const TRowSnapshot row = run.Row(static_cast<std::size_t>(slave - settings.PollFrom));
        record.Counted[slave] = {row.Ok, row.Fail};
        shown[slave] = {w.Ok(slave), w.Fail(slave)};
    }
    qInfo().noquote() << "counted" << Describe(record.Counted) << "- lines:" << w.Info().size();
    QCOMPARE(Describe(shown), Describe(record.Counted));

    // One result for every request the simulator received, but for a poll cut short: the
    // outside address's, normally; none when Stop came in the interval after it.
    std::int64_t results = 0;
    for (const auto& [slave, tally] : record.Counted)
        results += tally.Ok + tally.Fail;
    record.Cut = summary.Total("received_requests") - results;
    QVERIFY2(record.Cut == 0 || record.Cut == 1, qPrintable(QString::number(record.Cut)));

    record.Lines = w.Info();
    QCOMPARE(CountContaining(record.Lines, QStringLiteral("[异常接收!]")), std::int64_t{0});
    for (int slave = settings.PollFrom; slave <= settings.PollTo; ++slave)
        record.Values[slave] = w.Values(slave);
}

void SimulatorWindowTest::spoiledReplyCountsOneFail_data() {
    QTest::addColumn<QString>("kind");   // the simulator's name of the fault
    QTest::addColumn<int>("mode");       // FrameBreakMode: 0 fixed length, 1 fixed interval
    QTest::addColumn<QString>("marker"); // what the error line of one fault says
    QTest::addColumn<int>("linesPerFault");
    QTest::addColumn<int>("seed");
    QTest::newRow("bad CRC") << "bad-crc" << 1 << "[CRC校验错误!]" << 1 << 11;
    // The request the reply does not match, then the line naming the address asked.
    QTest::newRow("wrong slave") << "wrong-slave" << 1 << "[应答站号不符!]" << 2 << 12;
    // The address byte altered on the way: the CRC no longer matches, and that is the fault,
    // not the address.
    QTest::newRow("damaged slave") << "damaged-slave" << 1 << "[CRC校验错误!]" << 1 << 19;
    QTest::newRow("truncated") << "truncated" << 1 << "[帧长度错误!]" << 1 << 13;
    QTest::newRow("extra bytes") << "extra-bytes" << 1 << "[帧长度错误!]" << 1 << 14;
    QTest::newRow("no reply") << "no-reply" << 1 << QString() << 0 << 15;
    // The length line, then the line that decodes the refusal. In fixed length the five
    // bytes are a block of their own, nothing is left on the line for the next poll.
    QTest::newRow("exception") << "exception" << 1 << "[帧长度错误!]" << 2 << 16;
    QTest::newRow("exception, fixed length") << "exception" << 0 << "[帧长度错误!]" << 2 << 16;
}

// A spoiled reply fails its check (or, without a reply, there is nothing to check), so its
// poll counts one FAIL for its own slave: at its Poll Timeout, or at once for a refusal.
// Every unspoiled reply counts one OK. The outside address counts a FAIL for each of its
// polls.
void SimulatorWindowTest::spoiledReplyCountsOneFail() {
    QFETCH(QString, kind);
    QFETCH(int, mode);
    QFETCH(QString, marker);
    QFETCH(int, linesPerFault);
    QFETCH(int, seed);
    const std::string key = "injected_" + QString(kind).replace('-', '_').toStdString();
    constexpr int last = 4; // the simulator plays 1 to 4; 5 is polled and never answers

    TWindowSettings settings;
    settings.PollFrom = 1;
    settings.PollTo = last + 1;
    settings.PollTimeout = AnswerTimeout;
    settings.PollInterval = 10;
    settings.FrameBreakMode = mode;
    settings.RegisterCount = 4;
    TRunRecord record;
    RunAgainstSimulator(
        {"--slaves", "1-" + std::to_string(last), "--seed", std::to_string(seed),
         "--" + kind.toStdString(), "0.4"},
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
        QCOMPARE(CountContaining(record.Lines, QStringLiteral("发送: ")), faults);
        for (int slave = 1; slave <= last; ++slave)
            QCOMPARE(CountContaining(record.Lines, QStringLiteral("[请求站号为:%1]").arg(slave)),
                     summary.Slave(slave, key));
    }
}

// Noise arrives as a block of its own before the reply, since the simulator keeps the line
// quiet for longer than ReadInterval in between. The noise fails the length check: one
// line. The reply after it is good, still in time for the request, and ends the poll as
// good: no count changes.
void SimulatorWindowTest::noiseAddsALineAndNoCount() {
    constexpr int last = 4;
    TWindowSettings settings;
    settings.PollFrom = 1;
    settings.PollTo = last + 1;
    settings.PollTimeout = AnswerTimeout; // beyond the noise gap (50 ms) and ReadInterval
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
// 550 ms late: well after its Poll Timeout (350 ms), well before the next request (Poll
// Interval 550 ms after the time-out). A reply after its poll's time-out is never counted
// nor timed: it is one line naming the slave and how late it came. Nor does it end a later
// poll: slave 3, which never answers, always fails; slave 1 never does.
void SimulatorWindowTest::lateReplyIsOnlyALine() {
    constexpr int lateDelay = 550;
    TWindowSettings settings;
    settings.PollFrom = 1;
    settings.PollTo = 3;
    settings.PollTimeout = 350;
    settings.PollInterval = 550;
    settings.ReadInterval = 20;
    settings.RegisterCount = 4;
    TRunRecord record;
    RunAgainstSimulator(
        {"--slaves", "1-2", "--seed", "18", "--freeze", "--late-slaves", "2", "--late-delay",
         std::to_string(lateDelay)},
        settings, 3, [](TShownWindow& w) { return w.Fail(2) >= 3; }, record);
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
    QCOMPARE(Describe(record.Counted), Describe(expected));
    QVERIFY(late >= 3);
    // Neither the late slave nor the silent one ever had a good reply.
    QCOMPARE(record.Values[2], QStringList({QString(), QString()}));
    QCOMPARE(record.Values[3], QStringList({QString(), QString()}));

    // "[hh:mm:ss] [超时后应答!][站号:2][超时后Xms][" and the reply's 13 bytes. X counts
    // from the time-out, not from the request (that would be more than the late delay).
    QCOMPARE(LineCount(record.Lines), late);
    const QRegularExpression lateLine(QStringLiteral(
        R"(^\[\d\d:\d\d:\d\d\] \[超时后应答!\]\[站号:2\]\[超时后(\d+)ms\]\[([0-9A-F]{2} ){13}\]$)"));
    for (const QString& line : record.Lines) {
        const QRegularExpressionMatch match = lateLine.match(line);
        QVERIFY2(match.hasMatch(), qPrintable(line));
        const int lateBy = match.captured(1).toInt();
        QVERIFY2(lateBy >= 50 && lateBy < lateDelay, qPrintable(line));
    }
}

QTEST_MAIN(SimulatorWindowTest)
#include "SimulatorWindowTest.moc"
