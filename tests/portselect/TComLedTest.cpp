#include "TComLed.h"
#include "LedImages.h"

#include <QtTest>

#include <memory>
#include <vector>

namespace {

/// A port that plays the device side: it reports connection and line changes.
class TTestPort : public TComPort {
public:
    using TCustomComPort::ReportConnection;
    TModemLines ModemLines() const override { return Lines; }
    void NotifyCTS(bool on) {
        ForEachLink([&](TComLink& link) {
            if (link.LinkCTS)
                link.LinkCTS(*this, on);
        });
    }
    void NotifyRing() {
        ForEachLink([&](TComLink& link) {
            if (link.LinkRing)
                link.LinkRing(*this);
        });
    }
    int LinkCount() {
        int count = 0;
        ForEachLink([&count](TComLink&) { ++count; });
        return count;
    }
    TModemLines Lines;
};

/// Every OnChange call of one LED.
struct TChangeLog {
    explicit TChangeLog(TComLed& led) {
        led.OnChange = [this, &led](TComLed& sender, TLedState state) {
            QVERIFY(&sender == &led);
            States.push_back(state);
        };
    }
    std::vector<TLedState> States;
};

QImage Painted(TComLed& led) {
    return led.grab().toImage().convertToFormat(QImage::Format_ARGB32);
}

/// True when `painted` shows `glyph` at `at` with its bottom-left colour
/// transparent, and nothing at all elsewhere.
bool ShowsGlyphAt(const QImage& painted, const QImage& glyph, QPoint at) {
    const QRgb key = glyph.pixel(0, glyph.height() - 1);
    for (int y = 0; y < painted.height(); ++y) {
        for (int x = 0; x < painted.width(); ++x) {
            const QPoint g(x - at.x(), y - at.y());
            const QRgb got = painted.pixel(x, y);
            const bool inside =
                g.x() >= 0 && g.y() >= 0 && g.x() < glyph.width() && g.y() < glyph.height();
            const QRgb want = inside ? glyph.pixel(g) : key;
            const bool ok = want == key ? qAlpha(got) == 0 : got == (want | 0xFF000000u);
            if (!ok) {
                qWarning("pixel (%d,%d) is %08x, expected %08x", x, y, got, want);
                return false;
            }
        }
    }
    return true;
}

bool PaintsNothing(const QImage& painted) {
    for (int y = 0; y < painted.height(); ++y)
        for (int x = 0; x < painted.width(); ++x)
            if (qAlpha(painted.pixel(x, y)) != 0)
                return false;
    return true;
}

/// A small two-colour image whose bottom-left pixel is its background.
QImage CustomImage(QRgb background, QRgb lamp) {
    QImage image(9, 9, QImage::Format_RGB32);
    image.fill(background);
    for (int y = 2; y < 7; ++y)
        for (int x = 2; x < 7; ++x)
            image.setPixel(x, y, lamp);
    return image;
}

} // namespace

class TComLedTest : public QObject {
    Q_OBJECT

private slots:
    void startsAsARedLedFollowingTheConnection();
    void imagesMatchTheirDescription_data();
    void imagesMatchTheirDescription();
    void paintsTheStateImageCentredByTruncatingDivision_data();
    void paintsTheStateImageCentredByTruncatingDivision();
    void disabledLedPaintsItsOffImage();
    void kindLoadsItsPairAndUnsetKindPaintsRed();
    void customKindWithAndWithoutImages();
    void onChangeFiresOnEveryNotice();
    void bindingAClosedPortKeepsTheStateAndUnbindingTurnsOff();
    void bindingAnOpenPortTakesTheSignalAtOnce();
    void changingTheSignalLeavesTheStateUntilItsFirstNotice();
    void writingTheStateWhileBoundRaisesCode19();
    void ringHoldsTheLedOnForRingDurationWithoutRestarting();
    void portDestroyedFirstOrLedDestroyedFirstRemovesTheLinkOnce();
    void placedLikeTheMainWindowsLedItShowsGreenOff();
};

void TComLedTest::startsAsARedLedFollowingTheConnection() {
    TComLed led;
    QCOMPARE(led.size(), QSize(25, 25));
    QVERIFY(led.State() == TLedState::lsOff);
    QVERIFY(led.Kind() == TLedKind::lkRedLight);
    QVERIFY(led.LedSignal() == TComLedSignal::lsConn);
    QVERIFY(led.ComPort() == nullptr);
    QVERIFY(bool(led.Link().LinkConn));
    QVERIFY(!led.RingTimer().isActive());
    QCOMPARE(led.RingDuration(), 1000);
    QVERIFY(led.GlyphOn().isNull() && led.GlyphOff().isNull()); // loaded when first needed
    QVERIFY(!led.autoFillBackground());
}

void TComLedTest::imagesMatchTheirDescription_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRgb>("background");
    QTest::addColumn<QRgb>("lamp");
    QTest::addColumn<bool>("highlights");
    const QRgb olive = qRgb(128, 128, 0);
    const QRgb purple = qRgb(128, 0, 128);
    QTest::newRow("red off") << "LEDREDOFF" << olive << qRgb(128, 0, 0) << false;
    QTest::newRow("red on") << "LEDREDON" << olive << qRgb(255, 0, 0) << true;
    QTest::newRow("green off") << "LEDGREENOFF" << olive << qRgb(0, 128, 0) << false;
    QTest::newRow("green on") << "LEDGREENON" << olive << qRgb(0, 255, 0) << true;
    QTest::newRow("blue off") << "LEDBLUEOFF" << olive << qRgb(0, 0, 128) << false;
    QTest::newRow("blue on") << "LEDBLUEON" << olive << qRgb(0, 0, 255) << true;
    QTest::newRow("yellow off") << "LEDYELLOWOFF" << purple << qRgb(128, 128, 0) << false;
    QTest::newRow("yellow on") << "LEDYELLOWON" << purple << qRgb(255, 255, 0) << true;
    QTest::newRow("purple off") << "LEDPURPLEOFF" << olive << qRgb(128, 0, 128) << false;
    QTest::newRow("purple on") << "LEDPURPLEON" << olive << qRgb(255, 0, 255) << true;
    QTest::newRow("bulb off") << "LEDBULBOFF" << olive << qRgb(255, 255, 255) << false;
    QTest::newRow("bulb on") << "LEDBULBON" << olive << qRgb(255, 255, 0) << true;
}

void TComLedTest::imagesMatchTheirDescription() {
    QFETCH(QString, name);
    QFETCH(QRgb, background);
    QFETCH(QRgb, lamp);
    QFETCH(bool, highlights);
    const QImage image = LoadLedImage(name);
    QVERIFY2(!image.isNull(), qPrintable(name));
    QCOMPARE(image.size(), QSize(15, 15));
    QVERIFY(image.colorCount() > 0 && image.colorCount() <= 16);
    for (QPoint corner : {QPoint(0, 0), QPoint(14, 0), QPoint(0, 14), QPoint(14, 14)})
        QCOMPARE(image.pixel(corner), background | 0xFF000000u);
    QCOMPARE(image.pixel(7, 7), lamp | 0xFF000000u);
    QSet<QRgb> colours;
    for (int y = 0; y < 15; ++y)
        for (int x = 0; x < 15; ++x)
            colours.insert(image.pixel(x, y) & 0xFFFFFFu);
    QVERIFY(colours.contains(0x000000) && colours.contains(0x808080) &&
            colours.contains(0xFFFFFF)); // the rim
    // The on images light white highlights inside the lamp; the off images do not.
    int whiteInLamp = 0;
    for (int y = 3; y < 12; ++y)
        for (int x = 3; x < 12; ++x)
            whiteInLamp += (image.pixel(x, y) & 0xFFFFFFu) == 0xFFFFFF;
    if (lamp != qRgb(255, 255, 255))
        QCOMPARE(whiteInLamp > 0, highlights);
    QVERIFY(LoadLedImage("LEDNOSUCH").isNull());
}

void TComLedTest::paintsTheStateImageCentredByTruncatingDivision_data() {
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QPoint>("at");
    QTest::newRow("25x25") << QSize(25, 25) << QPoint(5, 5);
    QTest::newRow("24x24") << QSize(24, 24) << QPoint(4, 4);
    QTest::newRow("30x18") << QSize(30, 18) << QPoint(7, 1);
    QTest::newRow("smaller than the image") << QSize(10, 12) << QPoint(0, 0);
}

void TComLedTest::paintsTheStateImageCentredByTruncatingDivision() {
    QFETCH(QSize, size);
    QFETCH(QPoint, at);
    QWidget parent;
    auto* led = new TComLed(&parent);
    led->resize(size);
    led->SetKind(TLedKind::lkGreenLight);
    parent.show();
    QVERIFY(ShowsGlyphAt(Painted(*led), LoadLedImage("LEDGREENOFF"), at));
    led->SetState(TLedState::lsOn);
    QVERIFY(ShowsGlyphAt(Painted(*led), LoadLedImage("LEDGREENON"), at));
}

void TComLedTest::disabledLedPaintsItsOffImage() {
    TComLed led;
    led.SetKind(TLedKind::lkBlueLight);
    led.SetState(TLedState::lsOn);
    led.setEnabled(false);
    QVERIFY(led.State() == TLedState::lsOn);
    QVERIFY(ShowsGlyphAt(Painted(led), LoadLedImage("LEDBLUEOFF"), {5, 5}));
    led.setEnabled(true);
    QVERIFY(ShowsGlyphAt(Painted(led), LoadLedImage("LEDBLUEON"), {5, 5}));
}

void TComLedTest::kindLoadsItsPairAndUnsetKindPaintsRed() {
    TComLed led;
    QVERIFY(ShowsGlyphAt(Painted(led), LoadLedImage("LEDREDOFF"), {5, 5}));
    QCOMPARE(led.GlyphOn(), LoadLedImage("LEDREDON"));
    const std::pair<TLedKind, const char*> kinds[] = {
        {TLedKind::lkGreenLight, "GREEN"},   {TLedKind::lkBlueLight, "BLUE"},
        {TLedKind::lkYellowLight, "YELLOW"}, {TLedKind::lkPurpleLight, "PURPLE"},
        {TLedKind::lkBulb, "BULB"},          {TLedKind::lkRedLight, "RED"}};
    for (const auto& [kind, colour] : kinds) {
        led.SetKind(kind);
        QCOMPARE(led.GlyphOn(), LoadLedImage(QStringLiteral("LED%1ON").arg(colour)));
        QCOMPARE(led.GlyphOff(), LoadLedImage(QStringLiteral("LED%1OFF").arg(colour)));
    }
}

void TComLedTest::customKindWithAndWithoutImages() {
    TComLed bare;
    bare.SetKind(TLedKind::lkCustom);
    QVERIFY(PaintsNothing(Painted(bare)));

    const QImage on = CustomImage(qRgb(1, 2, 3), qRgb(200, 10, 10));
    const QImage off = CustomImage(qRgb(4, 5, 6), qRgb(10, 10, 200));
    bare.SetGlyphOn(on);
    QVERIFY(PaintsNothing(Painted(bare))); // off still has no image
    bare.SetGlyphOff(off);
    QCOMPARE(bare.GlyphOn(), on);
    QVERIFY(ShowsGlyphAt(Painted(bare), off, {8, 8}));
    bare.SetState(TLedState::lsOn);
    QVERIFY(ShowsGlyphAt(Painted(bare), on, {8, 8}));

    // Switching to lkCustom keeps the previous kind's pair until new images come.
    TComLed green;
    green.SetKind(TLedKind::lkGreenLight);
    green.SetGlyphOn(on); // ignored: not custom
    QCOMPARE(green.GlyphOn(), LoadLedImage("LEDGREENON"));
    green.SetKind(TLedKind::lkCustom);
    QCOMPARE(green.GlyphOn(), LoadLedImage("LEDGREENON"));
    QVERIFY(ShowsGlyphAt(Painted(green), LoadLedImage("LEDGREENOFF"), {5, 5}));
    green.SetGlyphOff(off);
    QVERIFY(ShowsGlyphAt(Painted(green), off, {8, 8}));
}

void TComLedTest::onChangeFiresOnEveryNotice() {
    TTestPort port;
    TComLed led;
    TChangeLog log(led);
    led.SetComPort(&port);
    QVERIFY(log.States.empty());
    port.ReportConnection(false);
    port.ReportConnection(false);
    QCOMPARE(log.States.size(), std::size_t(2));
    QVERIFY(log.States[0] == TLedState::lsOff && log.States[1] == TLedState::lsOff);
    port.ReportConnection(true);
    port.ReportConnection(true);
    QCOMPARE(log.States.size(), std::size_t(4));
    QVERIFY(log.States[3] == TLedState::lsOn && led.State() == TLedState::lsOn);
    led.setEnabled(true);
    QVERIFY(ShowsGlyphAt(Painted(led), LoadLedImage("LEDREDON"), {5, 5}));
}

void TComLedTest::bindingAClosedPortKeepsTheStateAndUnbindingTurnsOff() {
    TTestPort port;
    TComLed led;
    led.SetState(TLedState::lsOn);
    TChangeLog log(led);
    led.SetComPort(&port);
    QVERIFY(led.State() == TLedState::lsOn);
    QVERIFY(log.States.empty());
    QCOMPARE(port.LinkCount(), 1);
    led.SetComPort(&port); // the same port: nothing happens
    QCOMPARE(port.LinkCount(), 1);
    QVERIFY(log.States.empty());

    led.SetComPort(nullptr);
    QVERIFY(led.State() == TLedState::lsOff);
    QCOMPARE(log.States.size(), std::size_t(1));
    QCOMPARE(port.LinkCount(), 0);
}

void TComLedTest::bindingAnOpenPortTakesTheSignalAtOnce() {
    TTestPort port;
    port.ReportConnection(true);
    TComLed conn;
    TChangeLog log(conn);
    conn.SetComPort(&port);
    QVERIFY(conn.State() == TLedState::lsOn);
    QCOMPARE(log.States.size(), std::size_t(1));

    TComLed cts;
    cts.SetLedSignal(TComLedSignal::lsCTS);
    cts.SetState(TLedState::lsOn);
    cts.SetComPort(&port); // CTS is low
    QVERIFY(cts.State() == TLedState::lsOff);
    cts.SetComPort(nullptr);
    port.Lines.CTS = true;
    cts.SetComPort(&port);
    QVERIFY(cts.State() == TLedState::lsOn);
    QVERIFY(cts.SignalIsOn());

    TComLed rx;
    rx.SetLedSignal(TComLedSignal::lsRx);
    rx.SetState(TLedState::lsOn);
    rx.SetComPort(&port);
    QVERIFY(rx.State() == TLedState::lsOff);
}

void TComLedTest::changingTheSignalLeavesTheStateUntilItsFirstNotice() {
    TTestPort port;
    TComLed led;
    led.SetState(TLedState::lsOn);
    led.SetComPort(&port);
    TChangeLog log(led);
    led.SetLedSignal(TComLedSignal::lsCTS);
    QVERIFY(led.State() == TLedState::lsOn);
    QVERIFY(!led.Link().LinkConn && bool(led.Link().LinkCTS));
    port.ReportConnection(false); // no longer followed
    QVERIFY(led.State() == TLedState::lsOn);
    QVERIFY(log.States.empty());
    port.NotifyCTS(false);
    QVERIFY(led.State() == TLedState::lsOff);
    QCOMPARE(log.States.size(), std::size_t(1));

    led.SetLedSignal(TComLedSignal::lsRing);
    QVERIFY(!led.Link().LinkCTS && bool(led.Link().LinkRing));
    led.SetLedSignal(TComLedSignal::lsConn);
    QVERIFY(!led.Link().LinkRing && bool(led.Link().LinkConn));
}

void TComLedTest::writingTheStateWhileBoundRaisesCode19() {
    TTestPort port;
    TComLed led;
    led.SetComPort(&port);
    bool raised = false;
    try {
        led.SetState(TLedState::lsOn);
    } catch (const EComPort& e) {
        raised = true;
        QCOMPARE(e.Code(), 19);
        QCOMPARE(e.SystemCode(), -1);
        QCOMPARE(QString(e.what()), QString("Cannot change led state if ComPort is selected"));
    }
    QVERIFY(raised);
    QVERIFY(led.State() == TLedState::lsOff);
}

void TComLedTest::ringHoldsTheLedOnForRingDurationWithoutRestarting() {
    TTestPort port;
    TComLed led;
    led.SetLedSignal(TComLedSignal::lsRing);
    led.SetComPort(&port);
    led.SetRingDuration(50);
    TChangeLog log(led);
    port.NotifyRing();
    QVERIFY(led.State() == TLedState::lsOn);
    QVERIFY(led.RingTimer().isActive());
    QTRY_VERIFY_WITH_TIMEOUT(led.State() == TLedState::lsOff, 5000);
    QVERIFY(!led.RingTimer().isActive());
    QCOMPARE(log.States.size(), std::size_t(2));

    led.SetRingDuration(10000);
    port.NotifyRing();
    QTest::qWait(60);
    const int before = led.RingTimer().remainingTime();
    port.NotifyRing(); // during the on period: the timer keeps running, not restarted
    const int after = led.RingTimer().remainingTime();
    QVERIFY2(before > 0 && after <= before, qPrintable(QString("%1 -> %2").arg(before).arg(after)));
    QVERIFY(led.State() == TLedState::lsOn);
}

void TComLedTest::portDestroyedFirstOrLedDestroyedFirstRemovesTheLinkOnce() {
    {
        auto port = std::make_unique<TTestPort>();
        TComLed led;
        led.SetKind(TLedKind::lkGreenLight);
        led.SetComPort(port.get());
        TChangeLog log(led);
        port.reset(); // the notice unbinds the LED; a second RemoveLink would raise
        QVERIFY(led.ComPort() == nullptr);
        QVERIFY(led.State() == TLedState::lsOff);
        QCOMPARE(log.States.size(), std::size_t(1));
        led.SetState(TLedState::lsOn); // unbound again, so writable
    }
    {
        TTestPort port;
        int changes = 0;
        {
            TComLed led;
            led.SetComPort(&port);
            led.OnChange = [&changes](TComLed&, TLedState) { ++changes; };
            QCOMPARE(port.LinkCount(), 1);
        }
        QCOMPARE(port.LinkCount(), 0);
        QCOMPARE(changes, 0); // no handler runs from the destructor
    }                         // and the port must not notify the LED that is gone
}

void TComLedTest::placedLikeTheMainWindowsLedItShowsGreenOff() {
    TTestPort comPort1;
    {
        QWidget panel;
        panel.resize(860, 45);
        auto* placed = new TComLed(&panel);
        placed->setObjectName("ComLed1");
        placed->setGeometry(816, 10, 25, 25);
        placed->SetLedSignal(TComLedSignal::lsConn); // already the signal: nothing changes
        placed->SetKind(TLedKind::lkGreenLight);
        placed->SetComPort(&comPort1);
        panel.show();
        QVERIFY(QTest::qWaitForWindowExposed(&panel));

        auto* led = panel.findChild<TComLed*>("ComLed1");
        QVERIFY(led != nullptr);
        QVERIFY(led->State() == TLedState::lsOff);
        QCOMPARE(comPort1.LinkCount(), 1);
        QVERIFY(ShowsGlyphAt(Painted(*led), LoadLedImage("LEDGREENOFF"), {5, 5}));
        // On the panel the LED adds only its image: the corner pixels of the
        // image show the panel, not the olive background.
        const QImage onPanel = panel.grab().toImage();
        QVERIFY(onPanel.pixelColor(816 + 5, 10 + 5) != QColor(128, 128, 0));
        QCOMPARE(onPanel.pixel(816 + 12, 10 + 12), LoadLedImage("LEDGREENOFF").pixel(7, 7));
    }
    QCOMPARE(comPort1.LinkCount(), 0);
}

QTEST_MAIN(TComLedTest)
#include "TComLedTest.moc"
