#pragma once

#include "TLimits.h"
#include "TLineParity.h"
#include "ValueFormat.h"

#include <cstdint>
#include <optional>
#include <string>

/// The settings one run or one coil command works with: read from the
/// parameters once, when it starts, and never changed while it lasts. The
/// threads of a run read this copy, never a parameter object.
struct TRunSettings {
    std::string CommName = "COM1";
    std::int32_t BaudRate = 9600;
    std::int32_t PollInterval = 10;
    std::int32_t PollTimeout = 500;
    std::int32_t PollFrom = 1;
    std::int32_t PollTo = 10;
    /// 0 fixed length, 1 fixed interval (any other value counts as fixed length).
    std::int32_t FrameBreakMode = 1;
    std::int32_t ReadInterval = 20;
    std::int32_t RegisterBegin = 0;
    std::int32_t RegisterCount = 2;
    /// 3 reads holding registers, 4 input registers.
    std::int32_t FunctionCode = 3;
    TValueFormat ValueFormat;
    /// The line's parity and stop bits; 8 data bits always.
    TLineParity Parity = TLineParity::None;
    std::int32_t StopBits = 1;
    /// What a transmitter must do to pass; none set, no verdict.
    TLimits Limits;
    /// RTS switched by the driver around each transmission (RS-485); not kept in Config.ini.
    bool Rs485 = false;

    bool FixedInterval() const { return FrameBreakMode == 1; }
    bool operator==(const TRunSettings&) const = default;
};

/// The settings the parameters hold now (after LoadParams). A Value Format
/// that names no format counts as the default (see ValueFormatProblem), and
/// so does a Parity that is no parity (ParityProblem).
TRunSettings RunSettingsFromParams();

/// The text of Value Format when it names no format; none when it does.
std::optional<std::string> ValueFormatProblem();

/// The text of Parity when it is not N, E or O; none when it is.
std::optional<std::string> ParityProblem();

/// Whether a port opened with `opened` must be opened again for `wanted`: the
/// port, the line settings, the framing or the reply length differ. A port opened with
/// other ones would cut replies to a stale length or talk on a stale port.
bool PortSettingsDiffer(const TRunSettings& opened, const TRunSettings& wanted);
