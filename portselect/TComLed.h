#pragma once

#include "TComPort.h"

#include <QImage>
#include <QTimer>
#include <QWidget>

#include <array>
#include <cstdint>
#include <functional>

/// Which image pair an LED shows.
enum class TLedKind : std::uint8_t {
    lkRedLight,
    lkGreenLight,
    lkBlueLight,
    lkYellowLight,
    lkPurpleLight,
    lkBulb,
    lkCustom
};
/// Which signal of the bound port an LED follows.
enum class TComLedSignal : std::uint8_t { lsConn, lsCTS, lsDSR, lsRLSD, lsRing, lsRx, lsTx };
enum class TLedState : std::uint8_t { lsOff, lsOn };

/// An LED that shows one signal of a port. It is painted straight onto its
/// parent: only the image of the current state, centred, with the colour of
/// the image's bottom-left pixel transparent; no background and no border.
/// With a port bound the port drives the state; without one, State may be
/// written. Use on the window thread only.
class TComLed : public QWidget, private TComPortObserver {
    Q_OBJECT
    Q_PROPERTY(int RingDuration READ RingDuration WRITE SetRingDuration)

public:
    using TLedStateEvent = std::function<void(TComLed& Sender, TLedState AState)>;

    /// 25 x 25 pixels, off, red, following lsConn, unbound.
    explicit TComLed(QWidget* parent = nullptr);
    /// Unbinds the port (removing the link) without firing OnChange.
    ~TComLed() override;

    /// Binding a connected port takes the signal's current value at once;
    /// binding a closed one leaves the state; binding none turns the LED off.
    void SetComPort(TCustomComPort* port);
    TCustomComPort* ComPort() const { return FComPort; }

    /// Switches the link to the new signal; the state waits for its first notice.
    void SetLedSignal(TComLedSignal signal);
    TComLedSignal LedSignal() const { return FLedSignal; }

    /// Loads the kind's images (lkCustom keeps the current ones) and repaints.
    void SetKind(TLedKind kind);
    TLedKind Kind() const { return FKind; }

    /// The current images, as loaded or given; null until first needed.
    QImage GlyphOn() const { return FGlyphs[On]; }
    QImage GlyphOff() const { return FGlyphs[Off]; }
    /// Ignored unless Kind is lkCustom.
    void SetGlyphOn(const QImage& image) { SetGlyph(On, image); }
    void SetGlyphOff(const QImage& image) { SetGlyph(Off, image); }

    TLedState State() const { return FState; }
    /// Raises EComPort code 19 while a port is bound (the port drives it).
    void SetState(TLedState state);

    /// How long a ring keeps the LED on, in milliseconds (default 1000).
    int RingDuration() const { return FRingTimer.interval(); }
    void SetRingDuration(int milliseconds) { FRingTimer.setInterval(milliseconds); }
    /// Runs while a ring holds the LED on.
    const QTimer& RingTimer() const { return FRingTimer; }

    /// The current value of the followed signal: for lsConn whether the bound
    /// port is connected, for the modem lines their state, else false.
    bool SignalIsOn() const;
    /// Replaces both images with the kind's resource images; lkCustom does nothing.
    void LoadKindGlyphs(TLedKind kind);

    /// The link this LED registers with its port.
    const TComLink& Link() const { return FLink; }

    /// Fired on every state assignment, even one that repeats the state.
    TLedStateEvent OnChange;

    QSize sizeHint() const override { return {25, 25}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    void ChangeState(TLedState state);

private:
    static constexpr int Off = 0;
    static constexpr int On = 1;

    void ComPortRemoved(TCustomComPort& Port) override;
    void SetGlyph(int index, const QImage& image);
    void SignalHandler(bool onOff);
    void RingHandler();
    void RingTimerFired();

    TCustomComPort* FComPort = nullptr;
    TComLedSignal FLedSignal = TComLedSignal::lsConn;
    TLedKind FKind = TLedKind::lkRedLight;
    TLedState FState = TLedState::lsOff;
    std::array<QImage, 2> FGlyphs;      // as loaded or given, lsOff first
    std::array<QImage, 2> FPaintGlyphs; // the same with the transparent colour cleared
    TComLink FLink;
    QTimer FRingTimer;
    bool FDestroying = false;
};
