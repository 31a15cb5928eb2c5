#pragma once

#include "TIniFile.h"

#include <array>
#include <cstdint>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>

/// How a parameter's value is written to and read from the file.
enum class TParamKind : std::uint8_t { pkInteger = 0, pkFloat = 1, pkString = 2, pkBoolean = 3 };

/// One persisted setting bound to one section and key of the INI file. A change
/// is written through at once; there is no save step.
class TSysParam {
public:
    using TValue = std::variant<std::int32_t, double, std::string, bool>;

    /// Reads the key if it exists (even with an empty value); otherwise takes
    /// the default and writes it. A file that cannot be read keeps the default
    /// and is not written. A refused write (EIniWriteError) or an unreadable
    /// file (EIniReadError) throws, or, when `fileError` is given, is stored
    /// there and the object is complete.
    TSysParam(TIniFile& iniFile, std::string section, std::string key, TParamKind kind,
              TValue defaultValue, std::exception_ptr* fileError = nullptr);

    std::int32_t AsInteger() const;
    std::string AsString() const;

    /// Stores the value, then writes it; a write that would leave the file as
    /// it is touches nothing. A refused write throws EIniWriteError with the
    /// new value kept.
    void SetValue(std::int32_t value);
    void SetValue(const std::string& text);
    /// Stores the value in memory only: the file keeps what it holds until the
    /// next SetValue (a value corrected for showing, not changed by the user).
    void SetValueUnsaved(std::int32_t value);

    /// The text the file holds for this key when it is not a valid value of
    /// the parameter's kind (the default is used instead); none otherwise.
    const std::optional<std::string>& InvalidText() const { return FInvalidText; }

    const TValue& Value() const { return FValue; }
    TParamKind Kind() const { return FKind; }
    const std::string& Section() const { return FSection; }
    const std::string& Key() const { return FKey; }

private:
    void Write();

    TIniFile& IniFile;
    TValue FValue;
    TParamKind FKind;
    std::string FSection;
    std::string FKey;
    std::optional<std::string> FInvalidText;
};

/// The settings, created by LoadParams and never freed: the ten the program
/// began with, then the read function and the value format, then the parity
/// and the stop bits.
extern TSysParam* ParamCommPort;
extern TSysParam* ParamBaudRate;
extern TSysParam* ParamPollInterval;
extern TSysParam* ParamPollTimeout;
extern TSysParam* ParamPollFrom;
extern TSysParam* ParamPollTo;
extern TSysParam* ParamFrameBreakMode;
extern TSysParam* ParamReadInterval;
extern TSysParam* ParamRegisterBegin;
extern TSysParam* ParamRegisterCount;
extern TSysParam* ParamFunctionCode;
extern TSysParam* ParamValueFormat;
extern TSysParam* ParamParity;
extern TSysParam* ParamStopBits;

/// Every parameter in the order LoadParams creates them (none before it has run).
std::array<TSysParam*, 14> AllParams();

/// The INI file beside the executable; created by LoadParams and never freed.
extern TIniFile* ConfigFile;

/// Full path of Config.ini beside the running executable, whatever the current directory.
std::string DefaultConfigPath();

/// Creates ConfigFile for DefaultConfigPath() and the ten parameters in order.
void LoadParams();

/// Integer text as the file holds it: more than two characters beginning
/// "0x"/"0X" is hexadecimal, anything else decimal; nothing for invalid text.
std::optional<std::int32_t> ParseIntegerText(const std::string& text);

/// The same for a given path (tests, demo). All ten parameters always exist
/// afterwards. If the file could not be read, EIniReadError is thrown once,
/// after the last parameter has been created; otherwise the first refused
/// write's EIniWriteError. With ReadWrite access, temporary files that killed
/// writers left beside the file are removed first.
void LoadParams(const std::string& configPath,
                TIniFile::TAccess access = TIniFile::TAccess::ReadWrite);
