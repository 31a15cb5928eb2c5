#include "TComComboBox.h"
#include "ListSerialPorts.h"
#include "TComDataPacket.h"
#include "TComLed.h"

#include <QAbstractItemView>
#include <QFile>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

/// Stands in for the machine's port list: fixed names, in registry order.
class TFixedSource : public TSerialPortSource {
public:
    explicit TFixedSource(const std::vector<std::string>& names) : FNames(names) {}
    std::optional<std::string> Next() override {
        if (FIndex >= FNames.size())
            return std::nullopt;
        return FNames[FIndex++];
    }

private:
    const std::vector<std::string>& FNames;
    std::size_t FIndex = 0;
};

std::vector<std::string> RegisteredPorts;
int ListCalls = 0;

/// Every OnChange of one box, with the bound port's name at that moment.
struct TChangeLog {
    explicit TChangeLog(TComComboBox& box) {
        box.OnChange = [this, &box](TComComboBox& sender) {
            QVERIFY(&sender == &box);
            PortNames.push_back(box.ComPort() ? box.ComPort()->Port() : std::string("-"));
            Texts.push_back(box.Text());
        };
    }
    std::vector<std::string> PortNames;
    QStringList Texts;
};

QStringList Items(const QComboBox& box) {
    QStringList items;
    for (int i = 0; i < box.count(); ++i)
        items << box.itemText(i);
    return items;
}

/// Opens the drop-down with a click on its arrow and clicks the item, as a user does.
bool PickWithMouse(TComComboBox& box, int index) {
    QTest::mouseClick(&box, Qt::LeftButton, {}, QPoint(box.width() - 6, box.height() / 2));
    QAbstractItemView* view = box.view();
    if (!QTest::qWaitFor([view] { return view->isVisible(); }, 5000))
        return false;
    const QRect item = view->visualRect(view->model()->index(index, 0));
    // The drop-down ignores a release that follows the opening click too
    // closely (it takes it for the end of that click); a user is slower.
    QTest::mouseMove(view->viewport(), item.center());
    QTest::qWait(QApplication::doubleClickInterval() + 50);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, item.center());
    return QTest::qWaitFor([view] { return !view->isVisible(); }, 5000);
}

} // namespace

class TComComboBoxTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void isADropDownListOfThePortsFilledOnce();
    void textSelectsByPortNameAndReadsEmptyWithoutSelection();
    void bindingSelectsThePortsNameAsTheListWritesIt();
    void userPickUpdatesThePortBeforeOnChange();
    void pickingTheNameThePortHoldsFiresOnChangeAndKeepsThePort();
    void withoutAutoApplyAPickLeavesThePort();
    void selectingFromCodeFiresNothing();
    void destroyingThePortFirstUnbindsAndSelectsTheFirstItem();
    void noRegisteredPortLeavesNothingToPick();
    void offersTheOtherSettingsToo();
    void pickingAPortChangesOnlyThePortName();
    void portsShowTheirDetailsAndStableNamesFindTheirPort();
    void theListFollowsThePortsAndKeepsTheShownOne();
    void aTypedNameIsTakenAsAPick();

private:
    /// A shown window with a box offering the registered ports, set up as the
    /// main window's form does, bound to `port`.
    TComComboBox* MakeBox(TComPort* port, bool autoApply = true);

    std::unique_ptr<QWidget> FWindow;
    /// Where the boxes watch for ports that come and go: a folder of the test's own.
    std::unique_ptr<QTemporaryDir> FDevices;
};

void TComComboBoxTest::init() {
    FDevices = std::make_unique<QTemporaryDir>();
    TComComboBox::SetPortWatchPlace(FDevices->path().toStdString());
    RegisteredPorts = {"COM2", "COM10", "COM1"};
    ListCalls = 0;
    TComComboBox::SetPortListSource([](std::vector<std::string>& target) {
        ++ListCalls;
        TFixedSource source(RegisteredPorts);
        ListSerialPorts(target, source);
    });
}

void TComComboBoxTest::cleanup() {
    FWindow.reset();
    TComComboBox::SetPortListSource({});
    TComComboBox::SetPortDetailSource({});
    TComComboBox::SetPortWatchPlace({});
    FDevices.reset();
}

TComComboBox* TComComboBoxTest::MakeBox(TComPort* port, bool autoApply) {
    FWindow = std::make_unique<QWidget>();
    auto* placed = new TComComboBox(FWindow.get());
    placed->setObjectName("cbbComPort");
    placed->setGeometry(10, 10, 120, 24);
    placed->SetComProperty(TComProperty::cpPort);
    placed->SetAutoApply(autoApply);
    placed->SetText("COM1");
    placed->setCurrentIndex(0);
    placed->SetComPort(port);
    FWindow->resize(200, 60);
    FWindow->show();
    if (!QTest::qWaitForWindowExposed(FWindow.get()))
        qWarning("window not exposed");
    return FWindow->findChild<TComComboBox*>("cbbComPort");
}

void TComComboBoxTest::isADropDownListOfThePortsFilledOnce() {
    TComComboBox box;
    QVERIFY(!box.isEditable());
    QVERIFY(box.ComProperty() == TComProperty::cpNone);
    QVERIFY(!box.AutoApply());
    QVERIFY(box.ComPort() == nullptr);
    QCOMPARE(box.count(), 0);
    QCOMPARE(ListCalls, 0);

    box.SetComProperty(TComProperty::cpPort);
    QCOMPARE(ListCalls, 1);
    QCOMPARE(Items(box), QStringList({"COM1", "COM10", "COM2"}));
    QCOMPARE(box.currentIndex(), 0); // unbound: the first item
    QCOMPARE(box.Text(), QString("COM1"));
    QVERIFY(box.isEditable()); // a port name may be typed too

    box.SetComProperty(TComProperty::cpNone);
    QVERIFY(!box.isEditable());
    QCOMPARE(box.count(), 0);
    QCOMPARE(box.Text(), QString());
    QCOMPARE(ListCalls, 1);
}

void TComComboBoxTest::textSelectsByPortNameAndReadsEmptyWithoutSelection() {
    RegisteredPorts = {"COM3", "COM1", "com3", ""};
    TComComboBox box;
    box.SetComProperty(TComProperty::cpPort);
    QCOMPARE(Items(box), QStringList({"", "COM1", "COM3", "com3"}));
    // Where the system ignores case in port names, the first of the two;
    // elsewhere only the exact name.
    const bool ignoreCase = PortNamesIgnoreCase();
    box.SetText("com3");
    QCOMPARE(box.currentIndex(), ignoreCase ? 2 : 3);
    box.SetText("Com3");
    QCOMPARE(box.currentIndex(), ignoreCase ? 2 : 3); // not a name on Linux: nothing changes
    box.SetText("COM3");
    QCOMPARE(box.currentIndex(), 2);
    box.SetText("COM7");
    QCOMPARE(box.currentIndex(), 2); // not listed: nothing changes
    box.setCurrentIndex(-1);
    QCOMPARE(box.Text(), QString());
    box.SetText("");
    QCOMPARE(box.currentIndex(), 0); // the empty entry is an item like any other
}

void TComComboBoxTest::bindingSelectsThePortsNameAsTheListWritesIt() {
    TComPort port;
    port.SetPort("com2");
    TComComboBox box;
    box.SetComProperty(TComProperty::cpPort);
    box.SetComPort(&port);
    if (PortNamesIgnoreCase()) {
        QCOMPARE(box.Text(), QString("COM2"));
        QCOMPARE(box.ChosenPort(), std::string("COM2"));
    } else {
        // A saved "ttyusb0" must not show "ttyUSB0" while Start opens "ttyusb0".
        QCOMPARE(box.currentIndex(), -1);
        port.SetPort("COM2");
        box.SetComPort(nullptr);
        box.SetComPort(&port);
        QCOMPARE(box.ChosenPort(), std::string("COM2"));
    }
    QCOMPARE(port.Port(),
             std::string(PortNamesIgnoreCase() ? "com2" : "COM2")); // binding writes nothing

    TComPort unplugged;
    unplugged.SetPort("ttyUSB7");
    box.SetComPort(&unplugged);
    QCOMPARE(box.currentIndex(), -1);
    QCOMPARE(box.Text(), QString());
    QCOMPARE(box.ChosenPort(), std::string("COM2"));

    // Rebuilding the list while bound selects from the port again.
    RegisteredPorts = {"ttyS0", "ttyUSB7"};
    box.SetComProperty(TComProperty::cpPort);
    QCOMPARE(box.Text(), QString("ttyUSB7"));
}

void TComComboBoxTest::userPickUpdatesThePortBeforeOnChange() {
    TComPort port;
    auto box = MakeBox(&port);
    TChangeLog log(*box);
    QSignalSpy spy(box, &TComComboBox::changed);
    QCOMPARE(box->Text(), QString("COM1"));

    QVERIFY(PickWithMouse(*box, 2));
    QCOMPARE(log.Texts, QStringList({"COM2"}));
    QCOMPARE(log.PortNames, std::vector<std::string>({"COM2"})); // already applied
    QCOMPARE(port.Port(), std::string("COM2"));
    QCOMPARE(spy.count(), 1);

    // A pick with the keyboard on the closed box is a user's pick as well.
    box->setFocus();
    QTest::keyClick(box, Qt::Key_Up);
    QCOMPARE(port.Port(), std::string("COM10"));
    QCOMPARE(log.PortNames.back(), std::string("COM10"));
}

void TComComboBoxTest::pickingTheNameThePortHoldsFiresOnChangeAndKeepsThePort() {
    TComPort port;
    port.SetPort("com1");
    auto box = MakeBox(&port);
    TChangeLog log(*box);
    box->setCurrentIndex(2); // as the window's show handler does
    QVERIFY(log.PortNames.empty());

    QVERIFY(PickWithMouse(*box, 0));
    QCOMPARE(log.PortNames.size(), std::size_t(1));
    // The list's spelling differs in case, so it is the name now stored.
    QCOMPARE(port.Port(), std::string("COM1"));

    QVERIFY(PickWithMouse(*box, 0)); // the same name again
    QCOMPARE(log.PortNames.size(), std::size_t(2));
    QCOMPARE(log.PortNames.back(), std::string("COM1"));
    QCOMPARE(port.Port(), std::string("COM1"));
    QCOMPARE(box->Text(), QString("COM1"));
}

void TComComboBoxTest::withoutAutoApplyAPickLeavesThePort() {
    TComPort port;
    auto box = MakeBox(&port, false);
    TChangeLog log(*box);
    QVERIFY(PickWithMouse(*box, 1));
    QCOMPARE(log.Texts, QStringList({"COM10"}));
    QCOMPARE(box->ChosenPort(), std::string("COM10"));
    QCOMPARE(port.Port(), std::string("COM1"));
}

void TComComboBoxTest::selectingFromCodeFiresNothing() {
    TComPort port;
    auto box = MakeBox(&port);
    TChangeLog log(*box);
    QSignalSpy spy(box, &TComComboBox::changed);
    box->setCurrentIndex(1);
    box->SetText("com2");
    box->setCurrentIndex(-1);
    TComPort other;
    box->SetComPort(&other);
    box->SetComProperty(TComProperty::cpPort);
    QVERIFY(log.PortNames.empty());
    QCOMPARE(spy.count(), 0);
    QCOMPARE(port.Port(), std::string("COM1"));
    QCOMPARE(ListCalls, 2);
}

void TComComboBoxTest::destroyingThePortFirstUnbindsAndSelectsTheFirstItem() {
    auto port = std::make_unique<TComPort>();
    port->SetPort("COM2");
    auto box = MakeBox(port.get());
    TChangeLog log(*box);
    QCOMPARE(box->currentIndex(), 2);
    port.reset();
    QVERIFY(box->ComPort() == nullptr);
    QCOMPARE(box->currentIndex(), 0);
    QVERIFY(log.PortNames.empty());
    // Unbound, a pick still reports but writes nowhere.
    QVERIFY(PickWithMouse(*box, 1));
    QCOMPARE(log.PortNames, std::vector<std::string>({"-"}));

    // The other order: the box goes first and the port must not notify it.
    auto survivor = std::make_unique<TComPort>();
    box->SetComPort(survivor.get());
    delete box;
    survivor.reset();
}

void TComComboBoxTest::noRegisteredPortLeavesNothingToPick() {
    RegisteredPorts.clear();
    TComPort port;
    auto box = MakeBox(&port);
    QCOMPARE(box->count(), 0);
    QCOMPARE(box->currentIndex(), -1);
    QCOMPARE(box->Text(), QString());
    box->SetText("COM1");
    QCOMPARE(box->Text(), QString());
    QCOMPARE(port.Port(), std::string("COM1"));
}

void TComComboBoxTest::offersTheOtherSettingsToo() {
    TComPort port;
    TComComboBox box;
    box.SetComPort(&port);
    box.SetAutoApply(true);
    box.SetComProperty(TComProperty::cpBaudRate);
    QCOMPARE(box.Text(), QString("9600"));
    box.show();
    QVERIFY(QTest::qWaitForWindowExposed(&box));
    box.setFocus();
    QTest::keyClick(&box, Qt::Key_Down);
    QVERIFY(port.BaudRate() == TComPortTypes::TBaudRate::br14400);

    box.SetComProperty(TComProperty::cpParity);
    QCOMPARE(box.Text(), QString("None"));
    QTest::keyClick(&box, Qt::Key_Down);
    QVERIFY(port.Parity().Bits() == TComPortTypes::TParityBits::prOdd);
    QCOMPARE(port.Port(), std::string("COM1"));
}

void TComComboBoxTest::pickingAPortChangesOnlyThePortName() {
    TComPort comPort1;
    int portEvents = 0;
    comPort1.OnAfterOpen = [&](TCustomComPort&) { ++portEvents; };
    comPort1.OnAfterClose = [&](TCustomComPort&) { ++portEvents; };
    auto* box = MakeBox(&comPort1);
    auto* led = new TComLed(FWindow.get());
    led->setObjectName("ComLed1");
    led->SetKind(TLedKind::lkGreenLight);
    led->SetComPort(&comPort1);
    int ledChanges = 0;
    led->OnChange = [&](TComLed&, TLedState) { ++ledChanges; };
    TComDataPacket packet;
    packet.SetComPort(&comPort1);

    QVERIFY(PickWithMouse(*box, 1));
    QCOMPARE(comPort1.Port(), std::string("COM10"));
    QVERIFY(!comPort1.Connected());
    QCOMPARE(portEvents, 0);
    QCOMPARE(ledChanges, 0);
    QVERIFY(FWindow->findChild<TComLed*>("ComLed1")->State() == TLedState::lsOff);
    QVERIFY(comPort1.HasRxBufLink());
    FWindow.reset(); // before the counters the LED's handler refers to
}

void TComComboBoxTest::portsShowTheirDetailsAndStableNamesFindTheirPort() {
    RegisteredPorts = {"ttyS0", "null"};
    TComComboBox::SetPortDetailSource([](const std::string& name) {
        return name == "null" ? std::vector<std::string>{"USB 0403:6001 FTDI", "driver ftdi_sio"}
                              : std::vector<std::string>{};
    });
    TComComboBox box;
    box.setToolTip(QStringLiteral("串行口号"));
    box.SetComProperty(TComProperty::cpPort);
    QCOMPARE(Items(box), QStringList({"null", "ttyS0"})); // the names stay as they are
    QCOMPARE(box.itemData(0, Qt::ToolTipRole).toString(),
             QStringLiteral("null\nUSB 0403:6001 FTDI\ndriver ftdi_sio"));
    QVERIFY(box.itemData(1, Qt::ToolTipRole).isNull());
    QCOMPARE(box.CurrentToolTip(),
             QStringLiteral("串行口号\nnull\nUSB 0403:6001 FTDI\ndriver ftdi_sio"));
    box.setCurrentIndex(1);
    QCOMPARE(box.CurrentToolTip(), QStringLiteral("串行口号"));

    // A saved device path, or a link to it such as the stable names udev
    // makes, finds the port it leads to (here /dev/null stands for the device).
#ifdef Q_OS_WIN
    QSKIP("device paths and their links exist on POSIX systems only");
#endif
    QTemporaryDir dir;
    const QString link = dir.filePath("usb-FTDI_FT232R_A50285BI-if00-port0");
    QVERIFY(QFile::link(QStringLiteral("/dev/null"), link));
    QCOMPARE(box.FindPort(link), 0);
    QCOMPARE(box.FindPort(QStringLiteral("/dev/null")), 0);
    QCOMPARE(box.FindPort(QStringLiteral("ttyS0")), 1);
    QCOMPARE(box.FindPort(dir.filePath("missing")), -1);
    QCOMPARE(box.FindPort(QString()), -1);
}

// An adapter plugged in or pulled out: the list follows once the watched place changes
// (where the system tells nothing, within a few seconds all the same), and the port
// shown stays shown, listed or not, without a pick.
void TComComboBoxTest::theListFollowsThePortsAndKeepsTheShownOne() {
    TComPort port;
    auto box = MakeBox(&port);
    TChangeLog log(*box);
    QVERIFY(PickWithMouse(*box, 2)); // COM2
    const auto touch = [this](const char* name) {
        QFile device(FDevices->filePath(QString::fromLatin1(name)));
        if (device.exists())
            QVERIFY(device.remove());
        else
            QVERIFY(device.open(QIODevice::WriteOnly));
    };
    const int patience = TComComboBox::LookAgainMs + 5000;

    RegisteredPorts = {"COM2", "COM10", "COM1", "ttyUSB0"};
    touch("ttyUSB0");
    QTRY_COMPARE_WITH_TIMEOUT(Items(*box), QStringList({"COM1", "COM10", "COM2", "ttyUSB0"}),
                              patience);
    QCOMPARE(box->Text(), QString("COM2"));
    QCOMPARE(box->currentIndex(), 2);

    RegisteredPorts = {"COM10", "COM1", "ttyUSB0"}; // the shown port is pulled out
    touch("ttyUSB0");
    QTRY_COMPARE_WITH_TIMEOUT(Items(*box), QStringList({"COM1", "COM10", "ttyUSB0"}), patience);
    QCOMPARE(box->currentIndex(), -1);
    QCOMPARE(box->Text(), QString("COM2"));

    RegisteredPorts = {"COM2", "COM10", "COM1"}; // and back
    touch("ttyUSB0");
    QTRY_COMPARE_WITH_TIMEOUT(Items(*box), QStringList({"COM1", "COM10", "COM2"}), patience);
    QCOMPARE(box->currentIndex(), 2);
    QCOMPARE(box->Text(), QString("COM2"));
    QCOMPARE(log.PortNames, std::vector<std::string>({"COM2"})); // the pick alone
    QCOMPARE(port.Port(), std::string("COM2"));
}

// A name the list lacks is taken as typed when the field is left; a listed one typed in
// full is a pick of its item; a field left as it was changes nothing.
void TComComboBoxTest::aTypedNameIsTakenAsAPick() {
    TComPort port;
    auto box = MakeBox(&port);
    TChangeLog log(*box);
    const auto type = [&](const QString& text) {
        box->lineEdit()->setFocus();
        box->lineEdit()->selectAll();
        QTest::keyClicks(box->lineEdit(), text);
        QTest::keyClick(box->lineEdit(), Qt::Key_Return);
    };
    type(QStringLiteral("COM17"));
    QCOMPARE(log.Texts, QStringList({"COM17"}));
    QCOMPARE(port.Port(), std::string("COM17"));
    QCOMPARE(box->ChosenPort(), std::string("COM17"));
    QCOMPARE(box->currentIndex(), -1);
    QCOMPARE(Items(*box), QStringList({"COM1", "COM10", "COM2"})); // not made an item
    box->clearFocus();
    QCOMPARE(log.Texts.size(), 1); // left as it was: nothing

    type(QStringLiteral("COM2"));
    QCOMPARE(log.Texts, QStringList({"COM17", "COM2"}));
    QCOMPARE(box->currentIndex(), 2);
    QCOMPARE(port.Port(), std::string("COM2"));
}

QTEST_MAIN(TComComboBoxTest)
#include "TComComboBoxTest.moc"
