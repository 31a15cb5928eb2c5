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
    return s;
}

std::optional<std::string> ValueFormatProblem() {
    if (ParseValueFormat(ParamValueFormat->AsString()))
        return std::nullopt;
    return ParamValueFormat->AsString();
}

bool PortSettingsDiffer(const TRunSettings& opened, const TRunSettings& wanted) {
    return opened.CommName != wanted.CommName || opened.BaudRate != wanted.BaudRate ||
           opened.FixedInterval() != wanted.FixedInterval() ||
           opened.ReadInterval != wanted.ReadInterval ||
           opened.RegisterCount != wanted.RegisterCount || opened.Rs485 != wanted.Rs485;
}
