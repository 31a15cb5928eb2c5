// The context menus of the error list and of the result table: copy to the clipboard and
// export to a file that the save dialog names (the test answers the dialog).
#include "TPtyDevice.h"
#include "TShownWindow.h"
#include "TWindowTestKit.h"
#include "TfrmMain.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr int Patience = 5000; // ms; reached only when a test fails
const QByteArray Bom("\xEF\xBB\xBF");

/// The file read as text: lines end as the system writes them (CR LF on Windows).
QByteArray FileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly | QIODevice::Text) ? file.readAll() : QByteArray();
}

/// The entry of a view's context menu with this caption.
QAction& MenuEntry(QWidget& view, const QString& caption) {
    QAction* found = nullptr;
    for (QAction* action : view.actions())
        if (action->text() == caption)
            found = action;
    if (found == nullptr)
        qFatal("no menu entry %s", qPrintable(caption));
    return *found;
}

} // namespace

class TfrmMainExportTest : public QObject {
    Q_OBJECT
private slots:

    void errorListMenu();
    void resultTableMenu();
    void limitsGiveAVerdictAndARecord();
};

void TfrmMainExportTest::errorListMenu() {
    TShownWindow w(TWindowSettings{.Port = "/nonexistent/port"});
    QTemporaryDir dir;
    QStringList asked;
    QString answer;
    w.Window->AskSavePath = [&](const QString& caption, const QString& name, const QString&) {
        asked << caption + QLatin1Char('|') + name;
        return answer;
    };
    const QStringList lines{QStringLiteral("[10:20:30] [CRC校验错误!][01 03 ]"),
                            QStringLiteral("发送: 01 03 00 00 00 02 C4 0B "),
                            QStringLiteral("清零超时！")};
    for (const QString& line : lines)
        w.Window->InfoModel().Append(line);
    w.Window->InfoModel().Flush();

    auto& list = w.Child<QListView>("lbxInfo");
    QCOMPARE(list.contextMenuPolicy(), Qt::ActionsContextMenu);
    QCOMPARE(list.actions().size(), 3);
    // The user picks the third line, then the second with Ctrl held.
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {},
                      list.visualRect(list.model()->index(2, 0)).center());
    QTest::mouseClick(list.viewport(), Qt::LeftButton, Qt::ControlModifier,
                      list.visualRect(list.model()->index(1, 0)).center());
    QCOMPARE(list.selectionModel()->selectedRows().size(), 2);

    MenuEntry(list, QStringLiteral("复制")).trigger();
    QCOMPARE(QApplication::clipboard()->text(), lines[1] + QLatin1Char('\n') + lines[2]);
    MenuEntry(list, QStringLiteral("全部复制")).trigger();
    QCOMPARE(QApplication::clipboard()->text(), lines.join(QLatin1Char('\n')));

    // Cancelled: nothing is written.
    MenuEntry(list, QStringLiteral("导出…")).trigger();
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList());
    answer = dir.filePath(QStringLiteral("info.txt"));
    MenuEntry(list, QStringLiteral("导出…")).trigger();
    QCOMPARE(FileBytes(answer), Bom + (lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8());
    QCOMPARE(asked.size(), 2);
    QCOMPARE(asked.at(0), QStringLiteral("导出出错信息|出错信息.txt"));
}

void TfrmMainExportTest::resultTableMenu() {
    TPtyDevice device;
    device.SetScript(AnswerAll([](int slave) { return std::vector<std::int32_t>{-5 * slave}; }));
    TShownWindow w({.Port = device.Path(), .PollFrom = 1, .PollTo = 2, .FrameBreakMode = 0});
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("result.csv"));
    w.Window->AskSavePath = [&](const QString&, const QString&, const QString&) { return path; };

    w.Click("btnStart");
    QTRY_VERIFY_WITH_TIMEOUT(w.Ok(1) >= 3 && w.Ok(2) >= 3, Patience);
    w.Click("btnStart");
    QCOMPARE(w.StartCaption(), QStringLiteral("开始运行"));

    // Without limits the columns stay as they were.
    QCOMPARE(w.Table().columnCount(), 4);
    // The Id cell's tooltip carries the response times and the values' statistics.
    const QRegularExpression tip(QStringLiteral(
        R"(^响应时间 最小/平均/P99/最大: (\d+\.\d) / (\d+\.\d) / (\d+\.\d) / (\d+\.\d) ms\n)"
        R"(Value1 最小/最大/平均: (-\d+) / \5 / \5$)"));
    for (int row = 0; row < 2; ++row) {
        const QRegularExpressionMatch match = tip.match(w.Table().item(row, 0)->toolTip());
        QVERIFY2(match.hasMatch(), qPrintable(w.Table().item(row, 0)->toolTip()));
        QVERIFY(match.captured(1).toDouble() <= match.captured(4).toDouble());
        QCOMPARE(match.captured(5).toInt(), -5 * (row + 1));
    }

    auto& table = w.Table();
    QCOMPARE(table.contextMenuPolicy(), Qt::ActionsContextMenu);
    QTest::mouseClick(table.viewport(), Qt::LeftButton, {},
                      table.visualRect(table.model()->index(1, 1)).center());
    MenuEntry(table, QStringLiteral("复制")).trigger();
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("2\t-10\t%1\t0").arg(w.Ok(2)));

    MenuEntry(table, QStringLiteral("导出CSV…")).trigger();
    const QByteArray bytes = FileBytes(path);
    QVERIFY(bytes.startsWith(Bom));
    const QStringList rows = QString::fromUtf8(bytes.mid(Bom.size())).split(QLatin1Char('\n'));
    QCOMPARE(rows.size(), 4); // header, two slaves, the empty rest after the last line end
    QCOMPARE(rows.at(0), QStringLiteral("Id,Value1,OK,FAIL,响应时间最小(ms),响应时间平均(ms),"
                                        "响应时间P99(ms),响应时间最大(ms)"));
    const QRegularExpression row(QStringLiteral(R"(^(\d),(-\d+),(\d+),0(,\d+\.\d{3}){4}$)"));
    for (int slave = 1; slave <= 2; ++slave) {
        const QRegularExpressionMatch match = row.match(rows.at(slave));
        QVERIFY2(match.hasMatch(), qPrintable(rows.at(slave)));
        QCOMPARE(match.captured(1).toInt(), slave);
        QCOMPARE(match.captured(2).toInt(), -5 * slave);
        QCOMPARE(match.captured(3).toInt(), w.Ok(slave));
    }
    QCOMPARE(rows.at(3), QString());
}

void TfrmMainExportTest::limitsGiveAVerdictAndARecord() {
    TPtyDevice device;
    device.SetScript(AnswerAll([](int slave) { return std::vector<std::int32_t>{50 * slave}; }));
    TShownWindow w({.Port = device.Path(), .PollFrom = 1, .PollTo = 2, .FrameBreakMode = 0});

    // The limits dialog: a wrong entry keeps it open with a box saying why; a right
    // one is taken and written to Config.ini.
    QList<bool> taken;
    TMessageBoxCatcher catcher;
    w.Window->OpenLimitsDialog = [&](QDialog& dialog) {
        const auto field = [&](const char* name) -> QLineEdit& {
            return *dialog.findChild<QLineEdit*>(QString::fromLatin1(name));
        };
        QPushButton* ok = dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
        const struct {
            const char *Min, *Max, *MaxFail;
        } entries[] = {{"70", "60", ""}, {"1.5", "", ""}, {"", "60", "-1"}, {"", "60", ""}};
        for (const auto& entry : entries) {
            field("Value1Min").setText(QString::fromLatin1(entry.Min));
            field("Value1Max").setText(QString::fromLatin1(entry.Max));
            field("MaxFail").setText(QString::fromLatin1(entry.MaxFail));
            QTest::mouseClick(ok, Qt::LeftButton);
            taken << (dialog.result() == QDialog::Accepted);
        }
        return dialog.result() == QDialog::Accepted;
    };
    w.Click("btnLimits");
    QCOMPARE(taken, (QList<bool>{false, false, false, true}));
    QCOMPARE(catcher.Texts,
             (QStringList{QStringLiteral("Value1的下限大于上限"),
                          QStringLiteral("Value1的下限“1.5”不是int32:abcd格式的数值"),
                          QStringLiteral("允许的失败次数须为0或正整数")}));
    QVERIFY(w.Config.Contents().find("[Limits]") != std::string::npos);
    QVERIFY(w.Config.Contents().find("Value1 Max=60") != std::string::npos);

    w.Click("btnStart");
    QVERIFY(!w.Child<QPushButton>("btnLimits").isEnabled()); // like the settings panel
    QTRY_VERIFY_WITH_TIMEOUT(w.Ok(1) >= 3 && w.Ok(2) >= 3, Patience);
    w.Click("btnStart");
    QVERIFY(w.Child<QPushButton>("btnLimits").isEnabled());

    // 判定: slave 1 reads 50, within; slave 2 reads 100, above 60.
    QCOMPARE(w.Header(w.Table().columnCount() - 1), QStringLiteral("判定"));
    const auto verdict = [&](int row) { return w.Table().item(row, w.Table().columnCount() - 1); };
    QCOMPARE(verdict(0)->text(), QStringLiteral("合格"));
    QCOMPARE(verdict(0)->toolTip(), QString());
    QCOMPARE(verdict(1)->text(), QStringLiteral("不合格"));
    QCOMPARE(verdict(1)->toolTip(),
             QStringLiteral("Value1高于上限60：%1次中%1次，最高100").arg(w.Ok(2)));
    QVERIFY(verdict(0)->background().color().green() > verdict(0)->background().color().red());
    QVERIFY(verdict(1)->background().color().red() > verdict(1)->background().color().green());

    // The record, by the button beside 清空 and by the table's menu (as PDF).
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("record.html"));
    w.Window->AskSavePath = [&](const QString&, const QString&, const QString&) { return path; };
    w.Click("btnReport");
    const QString page = QString::fromUtf8(FileBytes(path));
    QCOMPARE(page.count(QStringLiteral("<tr class=\"slave\">")), 2);
    QCOMPARE(page.count(QStringLiteral("<td class=\"verdict pass\"><pre>合格</pre></td>")), 1);
    QVERIFY(page.contains(QStringLiteral("<td class=\"verdict fail\"><pre>不合格\n") +
                          verdict(1)->toolTip() + QStringLiteral("</pre></td>")));
    QVERIFY(page.contains(QStringLiteral("合格 1 台，不合格 1 台")));
    path = dir.filePath(QStringLiteral("record.pdf"));
    MenuEntry(w.Table(), QStringLiteral("导出报告…")).trigger();
    QVERIFY(FileBytes(path).startsWith("%PDF"));
}

QTEST_MAIN(TfrmMainExportTest)
#include "TfrmMainExportTest.moc"
