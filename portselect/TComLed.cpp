#include "TComLed.h"

#include "LedImages.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPainter>

#include <algorithm>

namespace {

const char* const KindGlyphNames[][2] = {
    {"LEDREDOFF", "LEDREDON"},       {"LEDGREENOFF", "LEDGREENON"},   {"LEDBLUEOFF", "LEDBLUEON"},
    {"LEDYELLOWOFF", "LEDYELLOWON"}, {"LEDPURPLEOFF", "LEDPURPLEON"}, {"LEDBULBOFF", "LEDBULBON"},
};

} // namespace

TComLed::TComLed(QWidget* parent) : QWidget(parent) {
    // Painted on the parent: nothing of the LED's own shows but the image.
    setAutoFillBackground(false);
    setAttribute(Qt::WA_TranslucentBackground);
    resize(25, 25);
    FRingTimer.setInterval(1000);
    connect(&FRingTimer, &QTimer::timeout, this, [this] { RingTimerFired(); });
    FLink.LinkConn = [this](TCustomComPort&, bool onOff) { SignalHandler(onOff); };
}

TComLed::~TComLed() {
    // OnChange usually belongs to the window that owns this LED, and that
    // window is already partly destroyed when its child widgets go.
    FDestroying = true;
    FRingTimer.stop();
    SetComPort(nullptr);
}

void TComLed::SetComPort(TCustomComPort* port) {
    if (port == FComPort)
        return;
    if (FComPort != nullptr)
        FComPort->Detach(FLink, *this);
    FComPort = port;
    if (FComPort == nullptr) {
        ChangeState(TLedState::lsOff);
        return;
    }
    FComPort->Attach(FLink, *this);
    if (FComPort->Connected())
        ChangeState(SignalIsOn() ? TLedState::lsOn : TLedState::lsOff);
}

void TComLed::ComPortRemoved(TCustomComPort& Port) {
    if (&Port == FComPort)
        SetComPort(nullptr);
}

void TComLed::SetLedSignal(TComLedSignal signal) {
    if (signal == FLedSignal)
        return;
    FLedSignal = signal;
    FLink.LinkConn = nullptr;
    FLink.LinkCTS = nullptr;
    FLink.LinkDSR = nullptr;
    FLink.LinkRLSD = nullptr;
    FLink.LinkRing = nullptr;
    FLink.LinkTx = nullptr;
    FLink.LinkRx = nullptr;
    const TComLinkSignal handler = [this](TCustomComPort&, bool onOff) { SignalHandler(onOff); };
    switch (signal) {
    case TComLedSignal::lsConn:
        FLink.LinkConn = handler;
        break;
    case TComLedSignal::lsCTS:
        FLink.LinkCTS = handler;
        break;
    case TComLedSignal::lsDSR:
        FLink.LinkDSR = handler;
        break;
    case TComLedSignal::lsRLSD:
        FLink.LinkRLSD = handler;
        break;
    case TComLedSignal::lsRing:
        FLink.LinkRing = [this](TCustomComPort&) { RingHandler(); };
        break;
    case TComLedSignal::lsRx:
        FLink.LinkRx = handler;
        break;
    case TComLedSignal::lsTx:
        FLink.LinkTx = handler;
        break;
    }
}

void TComLed::SetKind(TLedKind kind) {
    if (kind == FKind)
        return;
    FKind = kind;
    LoadKindGlyphs(kind);
    update();
}

void TComLed::LoadKindGlyphs(TLedKind kind) {
    if (kind == TLedKind::lkCustom)
        return;
    const auto& names = KindGlyphNames[static_cast<int>(kind)];
    for (int i : {Off, On}) {
        FGlyphs[i] = LoadLedImage(QString::fromLatin1(names[i]));
        FPaintGlyphs[i] = TransparentCopy(FGlyphs[i]);
    }
}

void TComLed::SetGlyph(int index, const QImage& image) {
    if (FKind != TLedKind::lkCustom)
        return;
    FGlyphs[index] = image;
    FPaintGlyphs[index] = TransparentCopy(image);
    update();
}

void TComLed::SetState(TLedState state) {
    if (FComPort != nullptr)
        throw EComPort(EComPort::LedStateFailed);
    ChangeState(state);
}

void TComLed::ChangeState(TLedState state) {
    FState = state;
    if (OnChange && !FDestroying)
        OnChange(*this, state);
    update();
}

bool TComLed::SignalIsOn() const {
    if (FComPort == nullptr)
        return false;
    switch (FLedSignal) {
    case TComLedSignal::lsConn:
        return FComPort->Connected();
    case TComLedSignal::lsCTS:
        return FComPort->ModemLines().CTS;
    case TComLedSignal::lsDSR:
        return FComPort->ModemLines().DSR;
    case TComLedSignal::lsRLSD:
        return FComPort->ModemLines().RLSD;
    case TComLedSignal::lsRing:
    case TComLedSignal::lsRx:
    case TComLedSignal::lsTx:
        break;
    }
    return false;
}

void TComLed::SignalHandler(bool onOff) {
    ChangeState(onOff ? TLedState::lsOn : TLedState::lsOff);
    // Let the new image show before the port carries on.
    QCoreApplication::processEvents();
}

void TComLed::RingHandler() {
    // A ring during the on period does not lengthen it.
    if (!FRingTimer.isActive())
        FRingTimer.start();
    ChangeState(TLedState::lsOn);
}

void TComLed::RingTimerFired() {
    FRingTimer.stop();
    ChangeState(TLedState::lsOff);
}

void TComLed::paintEvent(QPaintEvent*) {
    if (FGlyphs[Off].isNull() || FGlyphs[On].isNull())
        LoadKindGlyphs(FKind);
    const int index = isEnabled() && FState == TLedState::lsOn ? On : Off;
    const QImage& glyph = FPaintGlyphs[index];
    if (glyph.isNull())
        return;
    const QRect client = rect();
    // Integer division truncates, so an odd spare pixel goes right and down.
    const int x = client.left() + std::max(0, (client.width() - glyph.width()) / 2);
    const int y = client.top() + std::max(0, (client.height() - glyph.height()) / 2);
    QPainter painter(this);
    painter.drawImage(x, y, glyph);
}

void TComLed::changeEvent(QEvent* event) {
    if (event->type() == QEvent::EnabledChange)
        update();
    QWidget::changeEvent(event);
}
