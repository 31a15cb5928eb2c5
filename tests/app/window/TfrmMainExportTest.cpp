// The context menus of the error list and of the result table: copy to the clipboard and
// export to a file that the save dialog names (the test answers the dialog).
#include "TPtyDevice.h"
#include "TShownWindow.h"
#include "TfrmMain.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QItemSelectionModel>
#include <QListView>
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

    // The Id cell's tooltip carries the response times; the columns stay as they were.
    QCOMPARE(w.Table().columnCount(), 4);
    const QRegularExpression tip(QStringLiteral(
        R"(^响应时间 最小/平均/P99/最大: (\d+\.\d) / (\d+\.\d) / (\d+\.\d) / (\d+\.\d) ms$)"));
    for (int row = 0; row < 2; ++row) {
        const QRegularExpressionMatch match = tip.match(w.Table().item(row, 0)->toolTip());
        QVERIFY2(match.hasMatch(), qPrintable(w.Table().item(row, 0)->toolTip()));
        QVERIFY(match.captured(1).toDouble() <= match.captured(4).toDouble());
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

QTEST_MAIN(TfrmMainExportTest)
#include "TfrmMainExportTest.moc"
