#pragma once

#include "TComPort.h"
#include "TPortWatch.h"

#include <QComboBox>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

/// Which setting of the bound port a port combo box offers.
enum class TComProperty : std::uint8_t {
    cpNone,
    cpPort,
    cpBaudRate,
    cpDataBits,
    cpStopBits,
    cpParity,
    cpFlowControl
};

/// Fills a name list with the serial ports to offer, replacing its contents.
using TPortListSource = std::function<void(std::vector<std::string>& Target)>;

/// What is known of one listed port, one detail per entry (see PortDetails).
using TPortDetailSource = std::function<std::vector<std::string>(const std::string& name)>;

/// What a port combo box has chosen, and the port it applies it to. One per
/// box; the box owns it.
class TComSelect : public TComPortTypes {
public:
    /// `items` is the box whose item list this selection reads; not owned.
    explicit TComSelect(QComboBox& items) : Items(items) {}

    /// Selects the item that matches the bound port's setting (the port name
    /// as the system compares port names), or no item when none matches.
    void SelectFromPort();
    /// Writes the chosen value into the bound port, if any.
    void ApplyToPort();
    /// Takes the value of the item now selected as the chosen one.
    void TakeChoice();

    std::string ChosenPort;
    TBaudRate ChosenBaudRate = TBaudRate::br9600;
    TDataBits ChosenDataBits = TDataBits::dbEight;
    TStopBits ChosenStopBits = TStopBits::sbOneStopBit;
    TParityBits ChosenParity = TParityBits::prNone;
    TFlowControl ChosenFlowControl = TFlowControl::fcNone;
    QComboBox& Items;
    TComProperty ComProperty = TComProperty::cpNone;
    TCustomComPort* ComPort = nullptr;
    bool AutoApply = false;
};

/// A drop-down list of the serial ports, or of another port setting, bound to
/// a port-settings component. A pick by the user is stored, written into the
/// bound port when AutoApply is set, and then reported through OnChange and
/// changed(); a selection made from code reports nothing. The list of ports
/// follows the adapters: it is read again when the system's ports change
/// (TPortWatch; where the system does not tell, every few seconds), and the
/// port shown stays shown. It also takes a port name typed into its edit
/// field (a stable link, a pseudo-terminal, "COM17"), as a pick once the
/// field is left or Enter is pressed.
class TComComboBox : public QComboBox, private TComPortObserver {
    Q_OBJECT
    Q_PROPERTY(bool AutoApply READ AutoApply WRITE SetAutoApply)

public:
    explicit TComComboBox(QWidget* parent = nullptr);
    ~TComComboBox() override;

    /// Rebuilds the items: cpPort fills them from the port list source, the
    /// other settings from their fixed lists, cpNone leaves them empty. Then
    /// selects the first item, or the bound port's value when bound.
    void SetComProperty(TComProperty property);
    TComProperty ComProperty() const { return FSelect->ComProperty; }

    /// Binds `port` (not owned), asks it for a removal notice and selects its
    /// value. The notice unbinds the box and selects the first item.
    void SetComPort(TCustomComPort* port);
    TCustomComPort* ComPort() const { return FSelect->ComPort; }

    bool AutoApply() const { return FSelect->AutoApply; }
    void SetAutoApply(bool on) { FSelect->AutoApply = on; }

    /// The selected item's text, empty with no item selected; with the edit
    /// field of a port list, the text it shows (a typed name too).
    QString Text() const;
    /// Selects the first item naming the same port as `text` (see
    /// FindPort); otherwise nothing changes.
    void SetText(const QString& text);
    /// Shows `name` as the port: the item that names it or leads to it (see
    /// FindPort), else the name itself in the edit field. Reports nothing.
    void ShowPort(const QString& name);
    /// Reads the port list again; when it changed, the items follow and the
    /// port shown stays shown (in the edit field while it is not listed).
    /// Waits while the drop-down is open or a name is being typed.
    void RefreshPorts();
    /// Index of the first item naming the same port as `name`: ignoring case
    /// on Windows, exactly on Linux (PortNamesIgnoreCase); failing that, the
    /// port that a device path or a stable link such as /dev/serial/by-id/...
    /// leads to. -1 when none does.
    int FindPort(const QString& name) const;

    /// What the tool tip shows over the box: its own hint, then the selected
    /// port's details. Each item's details are its own tool tip in the drop-down.
    QString CurrentToolTip() const;

    /// The port name last taken from the list, by a pick or by matching the port.
    const std::string& ChosenPort() const { return FSelect->ChosenPort; }
    const TComSelect& Select() const { return *FSelect; }

    /// Where every box gets its port names; an empty function restores the
    /// system list (ListSerialPorts). Tests set their own.
    static void SetPortListSource(TPortListSource source);
    /// Where every box gets the details of its ports; an empty function
    /// restores the system's (DescribePort). Tests set their own.
    static void SetPortDetailSource(TPortDetailSource source);
    /// Where boxes made from now on watch for ports that come and go (see
    /// TPortWatch); empty for the system's own place. Tests set their own.
    static void SetPortWatchPlace(std::string place);
    /// How long a box lets a burst of changes settle before it reads the list.
    static constexpr int SettleMs = 300;
    /// How often a box reads the list where the system does not tell of changes.
    static constexpr int LookAgainMs = 2000;

    /// Closes the drop-down; a list that changed meanwhile is read again.
    void hidePopup() override;

    /// Fired after a pick by the user, once the pick is applied to the port.
    std::function<void(TComComboBox& Sender)> OnChange;

signals:
    /// Emitted right after OnChange.
    void changed();

protected:
    bool event(QEvent* e) override;
    void hideEvent(QHideEvent* event) override;

private:
    void ComPortRemoved(TCustomComPort& Port) override;
    void Change();
    /// The edit field was left or Enter pressed: a typed name is a pick.
    void TakeTypedName();
    /// The item list of `names`, with each port's details as its tool tip.
    void FillPorts(const std::vector<std::string>& names);
    void FollowPorts(bool on);

    std::unique_ptr<TComSelect> FSelect;
    /// The names the items were made of.
    std::vector<std::string> Listed;
    /// What the edit field held when it last showed a port, picked or not.
    QString Settled;
    bool RefreshWaiting = false;
    /// The user has typed into the edit field since it last showed a port.
    bool Typed = false;
    QTimer Settle;
    QTimer LookAgain;
    std::unique_ptr<TPortWatch> Watch; // its thread ends first, in the destructor
};
