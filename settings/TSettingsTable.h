#pragma once

#include "TSysParam.h"

#include <cstdint>
#include <span>
#include <string>

/// The settings of Config.ini: the ten the program began with, then the read
/// function and the format of the values, then the parity and the stop bits.
enum class TSettingId : std::uint8_t {
    CommPort,
    BaudRate,
    PollInterval,
    PollTimeout,
    PollFrom,
    PollTo,
    FrameBreakMode,
    ReadInterval,
    RegisterBegin,
    RegisterCount,
    FunctionCode,
    ValueFormat,
    Parity,
    StopBits,
};

/// One setting as every part of the program knows it: where Config.ini keeps
/// it, its kind and default, and the values a run accepts (both ends
/// included; for numbers only). The window's boxes, the console's options and
/// messages, and the checks of values read from the file all take their
/// ranges from here, so that none of them rewrites what another accepts.
struct TSettingEntry {
    TSettingId Id;
    const char* Section;
    const char* Key;
    TParamKind Kind;
    std::int32_t DefaultNumber; ///< the default of a number
    const char* DefaultText;    ///< the default of a text
    std::int32_t Min;
    std::int32_t Max;

    TSysParam::TValue Default() const;
};

/// Every setting, in the order LoadParams creates them.
std::span<const TSettingEntry> SettingEntries();

const TSettingEntry& SettingEntry(TSettingId id);

/// The parameter object of a setting (after LoadParams).
TSysParam* SettingParam(TSettingId id);
