#include "TComComboBox.h"

#include "ListSerialPorts.h"
#include "TPortInfo.h"

#include <QAbstractItemView>
#include <QHelpEvent>
#include <QLineEdit>
#include <QToolTip>

#include <array>

namespace {

TPortListSource& PortListSource() {
    static TPortListSource source;
    return source;
}

TPortDetailSource& PortDetailSource() {
    static TPortDetailSource source;
    return source;
}

std::string& PortWatchPlace() {
    static std::string place;
    return place;
}

std::vector<std::string> PortNames() {
    std::vector<std::string> names;
    if (PortListSource())
        PortListSource()(names);
    else
        ListSerialPorts(names);
    return names;
}

/// The drop-down item's tool tip: the name, then one detail a line; empty
/// when nothing beyond the name is known.
QString PortToolTip(const std::string& name) {
    const std::vector<std::string> details =
        PortDetailSource() ? PortDetailSource()(name) : PortDetails(DescribePort(name));
    if (details.empty())
        return {};
    QString tip = QString::fromLocal8Bit(name);
    for (const std::string& detail : details)
        tip += QLatin1Char('\n') + QString::fromLocal8Bit(detail);
    return tip;
}

// The texts offered for the settings other than the port name. Item i stands
// for enumeration value i, except for baud rates, where brCustom has no item.
const std::array<const char*, 15> BaudRateTexts{"110",   "300",   "600",    "1200",   "2400",
                                                "4800",  "9600",  "14400",  "19200",  "38400",
                                                "56000", "57600", "115200", "128000", "256000"};
const std::array<const char*, 4> DataBitsTexts{"5", "6", "7", "8"};
const std::array<const char*, 3> StopBitsTexts{"1", "1.5", "2"};
const std::array<const char*, 5> ParityTexts{"None", "Odd", "Even", "Mark", "Space"};
const std::array<const char*, 4> FlowControlTexts{"Hardware", "Software", "None", "Custom"};

template <std::size_t N> QStringList TextsOf(const std::array<const char*, N>& texts) {
    QStringList list;
    for (const char* text : texts)
        list << QString::fromLatin1(text);
    return list;
}

// The first item naming the same port as `text`: ignoring case where the
// system does, exactly where "ttyUSB0" and "ttyusb0" are different devices.
int FindPortName(const QComboBox& box, const QString& text) {
    const Qt::CaseSensitivity cs = PortNamesIgnoreCase() ? Qt::CaseInsensitive : Qt::CaseSensitive;
    for (int i = 0; i < box.count(); ++i) {
        if (box.itemText(i).compare(text, cs) == 0)
            return i;
    }
    return -1;
}

template <typename E> E FromIndex(int index, int offset = 0) {
    return static_cast<E>(index + offset);
}
template <typename E> int ToIndex(E value, int offset = 0) {
    return static_cast<int>(value) - offset;
}

} // namespace

void TComSelect::SelectFromPort() {
    if (ComPort == nullptr)
        return;
    int index = -1;
    switch (ComProperty) {
    case TComProperty::cpNone:
        return;
    case TComProperty::cpPort:
        index = FindPortName(Items, QString::fromLocal8Bit(ComPort->Port()));
        break;
    case TComProperty::cpBaudRate:
        index = ToIndex(ComPort->BaudRate(), 1);
        break;
    case TComProperty::cpDataBits:
        index = ToIndex(ComPort->DataBits());
        break;
    case TComProperty::cpStopBits:
        index = ToIndex(ComPort->StopBits());
        break;
    case TComProperty::cpParity:
        index = ToIndex(ComPort->Parity().Bits());
        break;
    case TComProperty::cpFlowControl:
        index = ToIndex(ComPort->FlowControl().FlowControl());
        break;
    }
    if (index >= Items.count())
        index = -1;
    Items.setCurrentIndex(index);
    if (index >= 0)
        TakeChoice();
}

void TComSelect::TakeChoice() {
    const int index = Items.currentIndex();
    if (index < 0)
        return;
    switch (ComProperty) {
    case TComProperty::cpNone:
        break;
    case TComProperty::cpPort:
        // As the list writes it, whatever the case of the port's own name.
        ChosenPort = Items.itemText(index).toLocal8Bit().toStdString();
        break;
    case TComProperty::cpBaudRate:
        ChosenBaudRate = FromIndex<TBaudRate>(index, 1);
        break;
    case TComProperty::cpDataBits:
        ChosenDataBits = FromIndex<TDataBits>(index);
        break;
    case TComProperty::cpStopBits:
        ChosenStopBits = FromIndex<TStopBits>(index);
        break;
    case TComProperty::cpParity:
        ChosenParity = FromIndex<TParityBits>(index);
        break;
    case TComProperty::cpFlowControl:
        ChosenFlowControl = FromIndex<TFlowControl>(index);
        break;
    }
}

void TComSelect::ApplyToPort() {
    if (ComPort == nullptr)
        return;
    switch (ComProperty) {
    case TComProperty::cpNone:
        break;
    case TComProperty::cpPort:
        ComPort->SetPort(ChosenPort);
        break;
    case TComProperty::cpBaudRate:
        ComPort->SetBaudRate(ChosenBaudRate);
        break;
    case TComProperty::cpDataBits:
        ComPort->SetDataBits(ChosenDataBits);
        break;
    case TComProperty::cpStopBits:
        ComPort->SetStopBits(ChosenStopBits);
        break;
    case TComProperty::cpParity:
        ComPort->Parity().SetBits(ChosenParity);
        break;
    case TComProperty::cpFlowControl:
        ComPort->FlowControl().SetFlowControl(ChosenFlowControl);
        break;
    }
}

TComComboBox::TComComboBox(QWidget* parent)
    : QComboBox(parent), FSelect(std::make_unique<TComSelect>(*this)) {
    setEditable(false); // a drop-down list until it lists ports
    // `activated` comes from the user's pick only, never from code.
    connect(this, &QComboBox::activated, this, [this](int) { Change(); });
    Settle.setSingleShot(true);
    Settle.setInterval(SettleMs);
    connect(&Settle, &QTimer::timeout, this, [this] {
        RefreshPorts();
        // A watch the system ended: the list is looked at now and then instead.
        if (Watch && !Watch->Watching() && !LookAgain.isActive())
            LookAgain.start();
    });
    LookAgain.setInterval(LookAgainMs);
    connect(&LookAgain, &QTimer::timeout, this, [this] { RefreshPorts(); });
}

TComComboBox::~TComComboBox() {
    // The watch's thread posts to this box: it ends before the box does.
    Watch.reset();
    if (FSelect->ComPort != nullptr)
        FSelect->ComPort->RemoveFreeNotification(*this);
}

void TComComboBox::SetPortWatchPlace(std::string place) {
    PortWatchPlace() = std::move(place);
}

void TComComboBox::FollowPorts(bool on) {
    if (!on) {
        Watch.reset();
        LookAgain.stop();
        Settle.stop();
        return;
    }
    if (Watch)
        return;
    // A change is told on the watch's thread; the list is read on the box's,
    // once the burst of changes of one plug has settled.
    Watch = std::make_unique<TPortWatch>(
        [this] {
            QMetaObject::invokeMethod(
                this, [this] { Settle.start(); }, Qt::QueuedConnection);
        },
        PortWatchPlace());
    if (!Watch->Watching())
        LookAgain.start();
}

void TComComboBox::FillPorts(const std::vector<std::string>& names) {
    clear();
    for (const std::string& name : names) {
        // Read from the system's device records; the ports are not opened.
        addItem(QString::fromLocal8Bit(name));
        if (const QString tip = PortToolTip(name); !tip.isEmpty())
            setItemData(count() - 1, tip, Qt::ToolTipRole);
    }
    Listed = names;
}

void TComComboBox::RefreshPorts() {
    if (FSelect->ComProperty != TComProperty::cpPort)
        return;
    std::vector<std::string> names = PortNames();
    if (names == Listed)
        return;
    // Items that change under the open drop-down or a name being typed would
    // pull the ground from under the user: later.
    const bool typing = isEditable() && lineEdit()->hasFocus() && Typed;
    if ((view() != nullptr && view()->isVisible()) || typing) {
        RefreshWaiting = true;
        return;
    }
    RefreshWaiting = false;
    const QString shown = currentText();
    FillPorts(names);
    const int index = shown.isEmpty() ? -1 : FindPortName(*this, shown);
    setCurrentIndex(index);
    if (index < 0 && isEditable())
        setEditText(shown);
    Settled = currentText();
}

void TComComboBox::hideEvent(QHideEvent* event) {
    // A name half typed when the window goes is dropped, not taken as it loses the focus.
    Typed = false;
    QComboBox::hideEvent(event);
}

void TComComboBox::hidePopup() {
    QComboBox::hidePopup();
    if (RefreshWaiting)
        Settle.start();
}

void TComComboBox::ShowPort(const QString& name) {
    const int index = FindPort(name);
    setCurrentIndex(index);
    if (index < 0 && isEditable())
        setEditText(name);
    Settled = currentText();
}

void TComComboBox::TakeTypedName() {
    // Only what the user typed: a selection made from code, or a field left as
    // it was, is no pick.
    if (!Typed)
        return;
    Typed = false;
    // A refresh put off while the name was typed follows, however the typing ends.
    if (RefreshWaiting)
        Settle.start();
    const QString typed = currentText().trimmed();
    if (typed.isEmpty()) {
        // An emptied field names no port: the one before stays.
        setEditText(currentIndex() >= 0 ? itemText(currentIndex()) : Settled);
        return;
    }
    // A listed name typed in full is a pick of that item.
    if (const int index = FindPortName(*this, typed); index >= 0) {
        setCurrentIndex(index);
        Change();
        return;
    }
    setCurrentIndex(-1);
    setEditText(typed);
    FSelect->ChosenPort = typed.toLocal8Bit().toStdString();
    Settled = typed;
    if (FSelect->AutoApply)
        FSelect->ApplyToPort();
    if (OnChange)
        OnChange(*this);
    emit changed();
}

void TComComboBox::SetPortListSource(TPortListSource source) {
    PortListSource() = std::move(source);
}

void TComComboBox::SetPortDetailSource(TPortDetailSource source) {
    PortDetailSource() = std::move(source);
}

QString TComComboBox::CurrentToolTip() const {
    const QString details =
        currentIndex() < 0 ? QString() : itemData(currentIndex(), Qt::ToolTipRole).toString();
    if (details.isEmpty())
        return toolTip();
    return toolTip().isEmpty() ? details : toolTip() + QLatin1Char('\n') + details;
}

bool TComComboBox::event(QEvent* e) {
    if (e->type() == QEvent::ToolTip) {
        const QString tip = CurrentToolTip();
        if (tip.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(static_cast<QHelpEvent*>(e)->globalPos(), tip, this);
        return true;
    }
    return QComboBox::event(e);
}

void TComComboBox::SetComProperty(TComProperty property) {
    FSelect->ComProperty = property;
    FollowPorts(property == TComProperty::cpPort);
    if (property != TComProperty::cpPort)
        setEditable(false);
    Listed.clear();
    clear();
    switch (property) {
    case TComProperty::cpNone:
        break;
    case TComProperty::cpPort:
        if (!isEditable()) {
            // A name the list lacks may be typed; it is never added as an item.
            setEditable(true);
            setInsertPolicy(QComboBox::NoInsert);
            setCompleter(nullptr);
            connect(lineEdit(), &QLineEdit::textEdited, this, [this] { Typed = true; });
            connect(lineEdit(), &QLineEdit::editingFinished, this, [this] { TakeTypedName(); });
        }
        FillPorts(PortNames());
        break;
    case TComProperty::cpBaudRate:
        addItems(TextsOf(BaudRateTexts));
        break;
    case TComProperty::cpDataBits:
        addItems(TextsOf(DataBitsTexts));
        break;
    case TComProperty::cpStopBits:
        addItems(TextsOf(StopBitsTexts));
        break;
    case TComProperty::cpParity:
        addItems(TextsOf(ParityTexts));
        break;
    case TComProperty::cpFlowControl:
        addItems(TextsOf(FlowControlTexts));
        break;
    }
    if (count() > 0) {
        if (FSelect->ComPort == nullptr)
            setCurrentIndex(0);
        else
            FSelect->SelectFromPort();
    }
    Settled = currentText();
}

void TComComboBox::SetComPort(TCustomComPort* port) {
    if (port == FSelect->ComPort)
        return;
    if (FSelect->ComPort != nullptr)
        FSelect->ComPort->RemoveFreeNotification(*this);
    FSelect->ComPort = port;
    if (port != nullptr) {
        port->FreeNotification(*this);
        FSelect->SelectFromPort();
    }
}

void TComComboBox::ComPortRemoved(TCustomComPort& Port) {
    if (&Port != FSelect->ComPort)
        return;
    FSelect->ComPort = nullptr;
    if (count() > 0)
        setCurrentIndex(0);
}

QString TComComboBox::Text() const {
    // With an edit field, what it shows: the picked item's text or a typed name.
    if (isEditable())
        return currentText();
    const int index = currentIndex();
    return index < 0 ? QString() : itemText(index);
}

int TComComboBox::FindPort(const QString& name) const {
    const int index = FindPortName(*this, name);
    if (index >= 0 || name.isEmpty())
        return index;
    const std::string port = PortNameOfPath(name.toLocal8Bit().toStdString());
    return port.empty() ? -1 : FindPortName(*this, QString::fromLocal8Bit(port));
}

void TComComboBox::SetText(const QString& text) {
    const int index = FindPortName(*this, text);
    if (index >= 0)
        setCurrentIndex(index);
}

void TComComboBox::Change() {
    FSelect->TakeChoice();
    Settled = currentText();
    Typed = false; // a name typed in full may have been picked already
    if (FSelect->AutoApply)
        FSelect->ApplyToPort();
    if (OnChange)
        OnChange(*this);
    emit changed();
}
