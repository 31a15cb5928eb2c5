#include "TSettingsTable.h"

#include <array>
#include <string>

namespace {

// Ranges: what the Modbus serial line allows (an address is one byte, 0 the
// broadcast nobody answers; a read carries 1 to 125 registers from any of the
// 65536 addresses), and bounds that keep a Stop prompt (waits and pauses of
// at most 10 s). A rate beyond 4 Mbaud no serial adapter offers.
constexpr std::array<TSettingEntry, 14> Table{{
    {TSettingId::CommPort, "Communication", "Comm Port", TParamKind::pkString, 0, "COM1", 0, 0},
    {TSettingId::BaudRate, "Communication", "Baud Rate", TParamKind::pkInteger, 9600, "", 50,
     4'000'000},
    {TSettingId::PollInterval, "Communication", "Poll Interval", TParamKind::pkInteger, 10, "", 0,
     10000},
    {TSettingId::PollTimeout, "Communication", "Poll Timeout", TParamKind::pkInteger, 500, "", 1,
     10000},
    {TSettingId::PollFrom, "Communication", "Poll From", TParamKind::pkInteger, 1, "", 1, 254},
    {TSettingId::PollTo, "Communication", "Poll To", TParamKind::pkInteger, 10, "", 1, 254},
    {TSettingId::FrameBreakMode, "Communication", "FrameBreakMode", TParamKind::pkInteger, 1, "", 0,
     1},
    {TSettingId::ReadInterval, "Communication", "ReadInterval", TParamKind::pkInteger, 20, "", 1,
     200},
    {TSettingId::RegisterBegin, "Modbus", "Register Begin", TParamKind::pkInteger, 0, "", 0, 65535},
    {TSettingId::RegisterCount, "Modbus", "Register Count", TParamKind::pkInteger, 2, "", 1, 125},
    // 3 reads holding registers, 4 input registers.
    {TSettingId::FunctionCode, "Modbus", "Function Code", TParamKind::pkInteger, 3, "", 3, 4},
    // A text such as "float32:cdab" (ParseValueFormat); the default decodes as before.
    {TSettingId::ValueFormat, "Modbus", "Value Format", TParamKind::pkString, 0, "int32:abcd", 0,
     0},
    // N, E or O (ParseParity); 8 data bits throughout, as every Modbus RTU device has.
    {TSettingId::Parity, "Communication", "Parity", TParamKind::pkString, 0, "N", 0, 0},
    {TSettingId::StopBits, "Communication", "Stop Bits", TParamKind::pkInteger, 1, "", 1, 2},
}};

} // namespace

TSysParam::TValue TSettingEntry::Default() const {
    if (Kind == TParamKind::pkString)
        return std::string(DefaultText);
    return DefaultNumber;
}

std::span<const TSettingEntry> SettingEntries() {
    return Table;
}

const TSettingEntry& SettingEntry(TSettingId id) {
    return Table[static_cast<std::size_t>(id)];
}

TSysParam* SettingParam(TSettingId id) {
    return AllParams()[static_cast<std::size_t>(id)];
}
