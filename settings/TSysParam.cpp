#include "TSysParam.h"
#include "FileReplace.h"
#include "TSettingsTable.h"

#include <array>
#include <charconv>
#include <memory>

TSysParam* ParamCommPort = nullptr;
TSysParam* ParamBaudRate = nullptr;
TSysParam* ParamPollInterval = nullptr;
TSysParam* ParamPollTimeout = nullptr;
TSysParam* ParamPollFrom = nullptr;
TSysParam* ParamPollTo = nullptr;
TSysParam* ParamFrameBreakMode = nullptr;
TSysParam* ParamReadInterval = nullptr;
TSysParam* ParamRegisterBegin = nullptr;
TSysParam* ParamRegisterCount = nullptr;
TSysParam* ParamFunctionCode = nullptr;
TSysParam* ParamValueFormat = nullptr;
TSysParam* ParamParity = nullptr;
TSysParam* ParamStopBits = nullptr;
TIniFile* ConfigFile = nullptr;

std::optional<std::int32_t> ParseIntegerText(const std::string& text) {
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        // Hexadecimal text fills the 32 bits, so 0xFFFFFFFF reads as -1.
        std::uint32_t value = 0;
        const auto [end, ec] = std::from_chars(first + 2, last, value, 16);
        if (ec != std::errc() || end != last)
            return std::nullopt;
        return static_cast<std::int32_t>(value);
    }
    if (first != last && *first == '+')
        ++first;
    std::int32_t value = 0;
    const auto [end, ec] = std::from_chars(first, last, value, 10);
    if (first == last || ec != std::errc() || end != last)
        return std::nullopt;
    return value;
}

namespace {

std::optional<double> ParseFloatText(const std::string& text) {
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::string FloatText(double value) {
    std::array<char, 32> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                      std::chars_format::general);
    return std::string(buffer.data(), result.ptr);
}

std::int32_t ToInteger(const TSysParam::TValue& value) {
    struct TVisitor {
        std::int32_t operator()(std::int32_t v) const { return v; }
        std::int32_t operator()(double v) const { return static_cast<std::int32_t>(v); }
        std::int32_t operator()(const std::string& v) const {
            return ParseIntegerText(v).value_or(0);
        }
        std::int32_t operator()(bool v) const { return v ? 1 : 0; }
    };
    return std::visit(TVisitor{}, value);
}

std::string ToText(const TSysParam::TValue& value) {
    struct TVisitor {
        std::string operator()(std::int32_t v) const { return std::to_string(v); }
        std::string operator()(double v) const { return FloatText(v); }
        std::string operator()(const std::string& v) const { return v; }
        std::string operator()(bool v) const { return v ? "True" : "False"; }
    };
    return std::visit(TVisitor{}, value);
}

} // namespace

TSysParam::TSysParam(TIniFile& iniFile, std::string section, std::string key, TParamKind kind,
                     TValue defaultValue, std::exception_ptr* fileError)
    : IniFile(iniFile), FValue(std::move(defaultValue)), FKind(kind), FSection(std::move(section)),
      FKey(std::move(key)) {
    // A file that is there but unreadable leaves the default in memory and
    // nothing is written: the file may hold settings that must not be lost.
    std::string text;
    try {
        if (!IniFile.ValueExists(FSection, FKey)) {
            // Missing key: the default is already the value; write it out.
            Write();
            return;
        }
        text = IniFile.ReadString(FSection, FKey, "");
    } catch (const EIniError&) {
        if (fileError == nullptr)
            throw;
        *fileError = std::current_exception();
        return;
    }
    // Present, even with an empty value: read it, falling back to the default
    // without writing anything back.
    switch (FKind) {
    case TParamKind::pkInteger:
        if (const auto v = ParseIntegerText(text))
            FValue = *v;
        else
            FInvalidText = text;
        break;
    case TParamKind::pkFloat:
        if (const auto v = ParseFloatText(text))
            FValue = *v;
        else
            FInvalidText = text;
        break;
    case TParamKind::pkString:
        FValue = text;
        break;
    case TParamKind::pkBoolean:
        if (const auto v = ParseIntegerText(text))
            FValue = *v != 0;
        else
            FInvalidText = text;
        break;
    }
}

std::int32_t TSysParam::AsInteger() const {
    return ToInteger(FValue);
}

std::string TSysParam::AsString() const {
    return ToText(FValue);
}

void TSysParam::SetValue(std::int32_t value) {
    FInvalidText.reset();
    FValue = value;
    Write();
}

void TSysParam::SetValueUnsaved(std::int32_t value) {
    FInvalidText.reset();
    FValue = value;
}

void TSysParam::SetValue(const std::string& text) {
    FInvalidText.reset();
    FValue = text;
    Write();
}

void TSysParam::Write() {
    std::string text;
    switch (FKind) {
    case TParamKind::pkInteger:
        text = std::to_string(ToInteger(FValue));
        break;
    case TParamKind::pkFloat:
        text = std::holds_alternative<double>(FValue) ? FloatText(std::get<double>(FValue))
                                                      : FloatText(ToInteger(FValue));
        break;
    case TParamKind::pkString:
        text = ToText(FValue);
        break;
    case TParamKind::pkBoolean:
        text.assign(1, ToInteger(FValue) != 0 ? '1' : '0');
        break;
    default:
        return; // an unknown kind reads and writes nothing
    }
    IniFile.WriteString(FSection, FKey, text);
}

std::array<TSysParam*, 14> AllParams() {
    return {ParamCommPort,      ParamBaudRate,      ParamPollInterval,   ParamPollTimeout,
            ParamPollFrom,      ParamPollTo,        ParamFrameBreakMode, ParamReadInterval,
            ParamRegisterBegin, ParamRegisterCount, ParamFunctionCode,   ParamValueFormat,
            ParamParity,        ParamStopBits};
}

std::string DefaultConfigPath() {
    const std::string exe = ExecutablePath();
    const std::size_t cut = exe.find_last_of("/\\");
    return (cut == std::string::npos ? std::string() : exe.substr(0, cut + 1)) + "Config.ini";
}

void LoadParams() {
    LoadParams(DefaultConfigPath());
}

void LoadParams(const std::string& configPath, TIniFile::TAccess access) {
    // The objects live until the process ends; a second load (tests) replaces them.
    static std::unique_ptr<TIniFile> file;
    static std::array<std::unique_ptr<TSysParam>, 14> storage;

    // A writer killed before its rename leaves its temporary file behind;
    // only a program that may write the settings tidies those up.
    if (access == TIniFile::TAccess::ReadWrite)
        RemoveStaleTemporaries(configPath);
    file = std::make_unique<TIniFile>(configPath, access);
    ConfigFile = file.get();

    TSysParam** const targets[] = {&ParamCommPort,       &ParamBaudRate,     &ParamPollInterval,
                                   &ParamPollTimeout,    &ParamPollFrom,     &ParamPollTo,
                                   &ParamFrameBreakMode, &ParamReadInterval, &ParamRegisterBegin,
                                   &ParamRegisterCount,  &ParamFunctionCode, &ParamValueFormat,
                                   &ParamParity,         &ParamStopBits};
    const std::span<const TSettingEntry> definitions = SettingEntries();

    // A refused write or an unreadable file must not leave parameters missing:
    // every one is created, and one error is reported at the end, the first
    // read error if there was one, else the first refused write.
    std::exception_ptr firstReadError;
    std::exception_ptr firstWriteError;
    for (std::size_t i = 0; i < definitions.size(); ++i) {
        const TSettingEntry& d = definitions[i];
        std::exception_ptr error;
        storage[i] =
            std::make_unique<TSysParam>(*file, d.Section, d.Key, d.Kind, d.Default(), &error);
        *targets[static_cast<std::size_t>(d.Id)] = storage[i].get();
        if (!error)
            continue;
        try {
            std::rethrow_exception(error);
        } catch (const EIniReadError&) {
            if (!firstReadError)
                firstReadError = error;
        } catch (const EIniError&) {
            if (!firstWriteError)
                firstWriteError = error;
        }
    }
    if (firstReadError)
        std::rethrow_exception(firstReadError);
    if (firstWriteError)
        std::rethrow_exception(firstWriteError);
}
