// The window's commissioning controls with real widgets: the parity and stop-bits boxes,
// and the scan dialog, whose "使用此设置" hands a device it found to the main window. The
// device is played on a pseudo-terminal (under wine: on a COM-port pair).
#include "TfrmScan.h"
#include "TPtyDevice.h"
#include "TSysParam.h"
#include "TTempConfig.h"
#include "TWindowTestKit.h"
#include "TfrmMain.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QTest>

#include <filesystem>

using namespace std::chrono_literals;

namespace {

constexpr int Patience = 20000; // ms; reached only when a test fails

std::string ConfigFor(const std::string& port) {
    // 9600 8E2 and the range 1 to 10 in the file: the scan's device is elsewhere on all.
    return "[Communication]\nComm Port=" + port +
           "\nBaud Rate=9600\nPoll From=1\nPoll To=10\nParity=E\nStop Bits=2\n";
}

template <class T> T* Child(QObject& parent, const char* name) {
    T* child = parent.findChild<T*>(QString::fromLatin1(name));
    if (child == nullptr)
        qFatal("no control %s", name);
    return child;
}

} // namespace

class TfrmScanTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }

    void parityAndStopBitsPicksGoToConfigIni();
    void aTypedPortNameGoesToConfigIniAndComesBack();
    void useThisSettingPutsTheFoundDeviceIntoTheMainWindow();
};

void TfrmScanTest::parityAndStopBitsPicksGoToConfigIni() {
    TTempConfig config(ConfigFor("COM1"));
    TfrmMain window(config.Path());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* parity = Child<QComboBox>(window, "cbbParity");
    auto* stopBits = Child<QComboBox>(window, "cbbStopBits");
    QCOMPARE(parity->currentText(), QStringLiteral("偶校验"));
    QCOMPARE(stopBits->currentText(), QStringLiteral("2"));
    parity->setFocus();
    QTest::keyClick(parity, Qt::Key_Down);
    QCOMPARE(parity->currentText(), QStringLiteral("奇校验"));
    stopBits->setFocus();
    QTest::keyClick(stopBits, Qt::Key_Up);
    const std::string contents = config.Contents();
    QVERIFY2(contents.find("Parity=O\n") != std::string::npos, contents.c_str());
    QVERIFY2(contents.find("Stop Bits=1\n") != std::string::npos, contents.c_str());
}

void TfrmScanTest::aTypedPortNameGoesToConfigIniAndComesBack() {
    TTempConfig config(ConfigFor("COM1"));
    {
        TfrmMain window(config.Path());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QLineEdit* field = Child<QComboBox>(window, "cbbComPort")->lineEdit();
        QVERIFY(field != nullptr);
        field->setFocus();
        field->selectAll();
        QTest::keyClicks(field, QStringLiteral("COM17"));
        QTest::keyClick(field, Qt::Key_Return);
        const std::string contents = config.Contents();
        QVERIFY2(contents.find("Comm Port=COM17\n") != std::string::npos, contents.c_str());
        QCOMPARE(window.ComPort().Port(), std::string("COM17"));
    }
    TfrmMain again(config.Path());
    again.show();
    QVERIFY(QTest::qWaitForWindowExposed(&again));
    QCOMPARE(Child<QComboBox>(again, "cbbComPort")->currentText(), QStringLiteral("COM17"));
}

void TfrmScanTest::useThisSettingPutsTheFoundDeviceIntoTheMainWindow() {
    TPtyDevice device;
    device.SetScript([](const TFrame8& request) {
        return request[0] == 5 ? std::vector<TDeviceReply>{{GoodReply(5, 1, {}), {}}}
                               : std::vector<TDeviceReply>{};
    });
    TTempConfig config(ConfigFor(device.Path()));
    TfrmMain window(config.Path());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    QTest::mouseClick(Child<QPushButton>(window, "btnScan"), Qt::LeftButton);
    TfrmScan* dialog = Child<TfrmScan>(window, "frmScan");
    QTRY_VERIFY(dialog->isVisible());
    // Addresses 3 to 7 at 19200 without parity, one stop bit.
    Child<QSpinBox>(*dialog, "speFrom")->setValue(3);
    Child<QSpinBox>(*dialog, "speTo")->setValue(7);
    Child<QSpinBox>(*dialog, "speTurnaround")->setValue(200); // room for a busy machine
    for (QCheckBox* box : dialog->findChildren<QCheckBox*>())
        if (box->isChecked() != (box->objectName() == QStringLiteral("chkBaud19200") ||
                                 box->objectName() == QStringLiteral("chkParityN")))
            QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(4, box->height() / 2));
    auto* stopBits = Child<QComboBox>(*dialog, "cbbStopBits");
    QCOMPARE(stopBits->currentText(), QStringLiteral("2")); // the main window's
    stopBits->setCurrentIndex(0);
    QVERIFY(!Child<QPushButton>(*dialog, "btnUse")->isEnabled());

    QTest::mouseClick(Child<QPushButton>(*dialog, "btnStart"), Qt::LeftButton);
    auto* found = Child<QTableWidget>(*dialog, "lvFound");
    auto* use = Child<QPushButton>(*dialog, "btnUse");
    QTRY_VERIFY_WITH_TIMEOUT(use->isEnabled(), Patience);
    QCOMPARE(found->rowCount(), 1);
    QCOMPARE(found->item(0, 0)->text(), QStringLiteral("5"));
    QCOMPARE(found->item(0, 1)->text(), QStringLiteral("19200"));
    QCOMPARE(found->item(0, 2)->text(), QStringLiteral("无校验"));
    QCOMPARE(found->item(0, 4)->text(), QStringLiteral("4660 (0x1234)"));

    QTest::mouseClick(found->viewport(), Qt::LeftButton, {},
                      found->visualItemRect(found->item(0, 0)).center());
    QTest::mouseClick(use, Qt::LeftButton);
    QTRY_VERIFY(window.findChild<TfrmScan*>() == nullptr);

    QCOMPARE(Child<QComboBox>(window, "cbbBaud")->currentText(), QStringLiteral("19200"));
    QCOMPARE(Child<QComboBox>(window, "cbbParity")->currentText(), QStringLiteral("无校验"));
    QCOMPARE(Child<QComboBox>(window, "cbbStopBits")->currentText(), QStringLiteral("1"));
    QCOMPARE(Child<QSpinBox>(window, "spePollFrom")->value(), 5);
    QCOMPARE(Child<QSpinBox>(window, "spePollTo")->value(), 5);
    const std::string contents = config.Contents();
    for (const char* line :
         {"Baud Rate=19200\n", "Parity=N\n", "Stop Bits=1\n", "Poll From=5\n", "Poll To=5\n"})
        QVERIFY2(contents.find(line) != std::string::npos, contents.c_str());

    // Config.ini refuses writes now: the next find (slave 6 at 9600) is still taken
    // whole, the run uses every setting of it, and the refusal is told once.
    device.SetScript([](const TFrame8& request) {
        return request[0] == 6 ? std::vector<TDeviceReply>{{GoodReply(6, 1, {}), {}}}
                               : std::vector<TDeviceReply>{};
    });
    std::filesystem::permissions(config.Path(), std::filesystem::perms::owner_read);
    TMessageBoxCatcher catcher;
    QTest::mouseClick(Child<QPushButton>(window, "btnScan"), Qt::LeftButton);
    dialog = Child<TfrmScan>(window, "frmScan");
    QTRY_VERIFY(dialog->isVisible());
    Child<QSpinBox>(*dialog, "speFrom")->setValue(5);
    Child<QSpinBox>(*dialog, "speTo")->setValue(6);
    Child<QSpinBox>(*dialog, "speTurnaround")->setValue(200);
    for (QCheckBox* box : dialog->findChildren<QCheckBox*>())
        if (box->isChecked() != (box->objectName() == QStringLiteral("chkBaud9600") ||
                                 box->objectName() == QStringLiteral("chkParityN")))
            QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(4, box->height() / 2));
    QTest::mouseClick(Child<QPushButton>(*dialog, "btnStart"), Qt::LeftButton);
    found = Child<QTableWidget>(*dialog, "lvFound");
    use = Child<QPushButton>(*dialog, "btnUse");
    QTRY_VERIFY_WITH_TIMEOUT(use->isEnabled(), Patience);
    QCOMPARE(found->rowCount(), 1);
    QTest::mouseClick(found->viewport(), Qt::LeftButton, {},
                      found->visualItemRect(found->item(0, 0)).center());
    QTest::mouseClick(use, Qt::LeftButton);
    QTRY_VERIFY(window.findChild<TfrmScan*>() == nullptr);
    QCOMPARE(ParamBaudRate->AsInteger(), 9600);
    QCOMPARE(ParamPollFrom->AsInteger(), 6);
    QCOMPARE(ParamPollTo->AsInteger(), 6);
    QCOMPARE(Child<QComboBox>(window, "cbbBaud")->currentText(), QStringLiteral("9600"));
    QCOMPARE(Child<QSpinBox>(window, "spePollFrom")->value(), 6);
    QCOMPARE(catcher.Texts.size(), 1);
    QCOMPARE(config.Contents(), contents);
}

QTEST_MAIN(TfrmScanTest)
#include "TfrmScanTest.moc"
