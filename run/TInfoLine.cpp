#include "TInfoLine.h"

std::string_view InfoKindName(TInfoKind kind) {
    switch (kind) {
    case TInfoKind::Length:
        return "length";
    case TInfoKind::Slave:
        return "slave";
    case TInfoKind::Crc:
        return "crc";
    case TInfoKind::Function:
        return "function";
    case TInfoKind::ByteCount:
        return "byte_count";
    case TInfoKind::Exception:
        return "exception";
    case TInfoKind::Late:
        return "late";
    case TInfoKind::Discarded:
        return "discarded";
    case TInfoKind::PortLost:
        return "port_lost";
    case TInfoKind::PortRestored:
        return "port_restored";
    case TInfoKind::PortOpen:
        return "port_open";
    case TInfoKind::Rate:
        return "rate";
    case TInfoKind::LineSetting:
        return "line_setting";
    case TInfoKind::Overflow:
        return "overflow";
    case TInfoKind::Sent:
        return "sent";
    case TInfoKind::Other:
        break;
    }
    return "other";
}
