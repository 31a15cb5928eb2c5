#include "TTerminationRequests.h"

// The program runs without a console, so there are no console control events
// to take; ending the session or closing the window from outside arrives as a
// close of the window, which the window handles itself.
struct TTerminationRequests::TImpl {};

TTerminationRequests::TTerminationRequests(QObject* parent)
    : QObject(parent), Impl(std::make_unique<TImpl>()) {}

TTerminationRequests::~TTerminationRequests() = default;

void TTerminationRequests::Deliver() {
    FReceived = true;
    emit Requested();
}
