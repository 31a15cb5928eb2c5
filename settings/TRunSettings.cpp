#include "TRunSettings.h"

#include "TSysParam.h"

TRunSettings RunSettingsFromParams() {
    TRunSettings s;
    s.CommName = ParamCommPort->AsString();
    s.BaudRate = ParamBaudRate->AsInteger();
    s.PollInterval = ParamPollInterval->AsInteger();
    s.PollTimeout = ParamPollTimeout->AsInteger();
    s.PollFrom = ParamPollFrom->AsInteger();
    s.PollTo = ParamPollTo->AsInteger();
    s.FrameBreakMode = ParamFrameBreakMode->AsInteger();
    s.ReadInterval = ParamReadInterval->AsInteger();
    s.RegisterBegin = ParamRegisterBegin->AsInteger();
    s.RegisterCount = ParamRegisterCount->AsInteger();
    s.FunctionCode = ParamFunctionCode->AsInteger();
    s.ValueFormat = ParseValueFormat(ParamValueFormat->AsString()).value_or(TValueFormat{});
    s.Parity = ParseParity(ParamParity->AsString()).value_or(TLineParity::None);
    s.StopBits = ParamStopBits->AsInteger();
    return s;
}

std::optional<std::string> ValueFormatProblem() {
    if (ParseValueFormat(ParamValueFormat->AsString()))
        return std::nullopt;
    return ParamValueFormat->AsString();
}

std::optional<std::string> ParityProblem() {
    if (ParseParity(ParamParity->AsString()))
        return std::nullopt;
    return ParamParity->AsString();
}

bool PortSettingsDiffer(const TRunSettings& opened, const TRunSettings& wanted) {
    return opened.CommName != wanted.CommName || opened.BaudRate != wanted.BaudRate ||
           opened.Parity != wanted.Parity || opened.StopBits != wanted.StopBits ||
           opened.FixedInterval() != wanted.FixedInterval() ||
           opened.ReadInterval != wanted.ReadInterval ||
           opened.RegisterCount != wanted.RegisterCount || opened.Rs485 != wanted.Rs485;
}
