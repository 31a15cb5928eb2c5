#include "TIniFile.h"
#include "FileReplace.h"

#include <algorithm>
#include <cctype>
#include <optional>

EIniWriteError::EIniWriteError(const std::string& path, std::error_code reason)
    : EIniError("Unable to write to " + path, reason) {}

EIniReadError::EIniReadError(const std::string& path, std::error_code reason)
    : EIniError("Unable to read " + path, reason) {}

namespace {

// One line of the file: its text without the line end, and the line end
// itself ("\r\n", "\n" or "" for a last line without one), kept so that a
// rewrite gives back every untouched line byte for byte.
struct TLine {
    std::string Text;
    std::string End;
};

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string Trim(const std::string& s) {
    std::size_t first = 0;
    std::size_t last = s.size();
    while (first < last && IsBlank(s[first]))
        ++first;
    while (last > first && (IsBlank(s[last - 1]) || s[last - 1] == '\r'))
        --last;
    return s.substr(first, last - first);
}

// The file as lines. An editor on Windows may put a UTF-8 byte-order mark
// first; it is no part of the first line and goes back in front on writing.
struct TIniText {
    std::vector<TLine> Lines;
    std::string Bom;
    bool Exists = false;
    std::string Original;
};

const std::string Utf8Bom = "\xEF\xBB\xBF";

TIniText Split(std::string content) {
    TIniText text;
    text.Exists = true;
    text.Original = content;
    if (content.compare(0, Utf8Bom.size(), Utf8Bom) == 0) {
        text.Bom = Utf8Bom;
        content.erase(0, Utf8Bom.size());
    }
    std::size_t pos = 0;
    while (pos < content.size()) {
        const std::size_t nl = content.find('\n', pos);
        if (nl == std::string::npos) {
            text.Lines.push_back({content.substr(pos), ""});
            break;
        }
        std::size_t textEnd = nl;
        if (textEnd > pos && content[textEnd - 1] == '\r')
            --textEnd;
        text.Lines.push_back(
            {content.substr(pos, textEnd - pos), content.substr(textEnd, nl + 1 - textEnd)});
        pos = nl + 1;
    }
    return text;
}

// An absent file reads as empty; one that is there but unreadable throws.
template <class TError> TIniText ReadText(const std::string& path) {
    TFileContent file = ReadFileContent(path);
    switch (file.Outcome) {
    case TReadOutcome::Read:
        return Split(std::move(file.Content));
    case TReadOutcome::Absent:
        return {};
    case TReadOutcome::Unreadable:
        break;
    }
    throw TError(path, file.Error);
}

std::optional<std::string> SectionName(const std::string& text) {
    const std::string t = Trim(text);
    if (t.empty() || t.front() != '[')
        return std::nullopt;
    const std::size_t close = t.find(']');
    if (close == std::string::npos)
        return std::nullopt;
    return Trim(t.substr(1, close - 1));
}

bool IsComment(const std::string& text) {
    const std::string t = Trim(text);
    return !t.empty() && (t.front() == ';' || t.front() == '#');
}

// The key of a "key=value" line, if the line is one.
std::optional<std::string> KeyName(const std::string& text) {
    if (IsComment(text) || SectionName(text))
        return std::nullopt;
    const std::size_t eq = text.find('=');
    if (eq == std::string::npos)
        return std::nullopt;
    return Trim(text.substr(0, eq));
}

// Lines [first, last) of the first section with this name, header excluded.
struct TSectionRange {
    std::size_t Header;
    std::size_t First;
    std::size_t Last;
};

std::optional<TSectionRange> FindSection(const std::vector<TLine>& lines,
                                         const std::string& section) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const auto name = SectionName(lines[i].Text);
        if (!name || !SameIniName(*name, section))
            continue;
        std::size_t end = i + 1;
        while (end < lines.size() && !SectionName(lines[end].Text))
            ++end;
        return TSectionRange{i, i + 1, end};
    }
    return std::nullopt;
}

std::optional<std::size_t> FindKey(const std::vector<TLine>& lines, const TSectionRange& range,
                                   const std::string& key) {
    for (std::size_t i = range.First; i < range.Last; ++i) {
        const auto name = KeyName(lines[i].Text);
        if (name && SameIniName(*name, key))
            return i;
    }
    return std::nullopt;
}

std::string LineEndOf(const std::vector<TLine>& lines) {
    for (const TLine& line : lines)
        if (!line.End.empty())
            return line.End;
    return "\n";
}

} // namespace

bool SameIniName(const std::string& a, const std::string& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

std::vector<std::string> TIniFile::ReadSection(const std::string& section) const {
    std::vector<std::string> keys;
    const std::vector<TLine> lines = ReadText<EIniReadError>(FFileName).Lines;
    if (const auto range = FindSection(lines, section))
        for (std::size_t i = range->First; i < range->Last; ++i)
            if (auto name = KeyName(lines[i].Text); name && !name->empty())
                keys.push_back(std::move(*name));
    return keys;
}

bool TIniFile::ValueExists(const std::string& section, const std::string& key) const {
    const std::vector<std::string> keys = ReadSection(section);
    return std::any_of(keys.begin(), keys.end(),
                       [&](const std::string& k) { return SameIniName(k, key); });
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& fallback) const {
    const std::vector<TLine> lines = ReadText<EIniReadError>(FFileName).Lines;
    const auto range = FindSection(lines, section);
    if (!range)
        return fallback;
    const auto at = FindKey(lines, *range, key);
    if (!at)
        return fallback;
    const std::string& text = lines[*at].Text;
    return Trim(text.substr(text.find('=') + 1));
}

void TIniFile::WriteString(const std::string& section, const std::string& key,
                           const std::string& value) {
    if (FAccess == TAccess::ReadOnly)
        return;
    // Nothing is written over a file whose content could not be read.
    TIniText text;
    try {
        text = ReadText<EIniWriteError>(FFileName);
    } catch (const EIniWriteError&) {
        Refused();
        throw;
    }
    std::vector<TLine>& lines = text.Lines;
    const std::string eol = LineEndOf(lines);
    const auto ensureEnded = [&](std::size_t i) {
        if (lines[i].End.empty())
            lines[i].End = eol;
    };

    if (const auto range = FindSection(lines, section)) {
        if (const auto at = FindKey(lines, *range, key)) {
            // Keep the key as the file spells it, the blanks around the equals
            // sign, and the line end; only the value changes.
            TLine& line = lines[*at];
            std::size_t valueAt = line.Text.find('=') + 1;
            while (valueAt < line.Text.size() && IsBlank(line.Text[valueAt]))
                ++valueAt;
            line.Text.replace(valueAt, std::string::npos, value);
        } else {
            // After the section's last non-blank line, so blank lines that
            // separate it from the next section stay where they are.
            std::size_t insertAt = range->First;
            for (std::size_t i = range->First; i < range->Last; ++i)
                if (!Trim(lines[i].Text).empty())
                    insertAt = i + 1;
            ensureEnded(insertAt - 1);
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt),
                         TLine{key + "=" + value, eol});
        }
    } else {
        if (!lines.empty())
            ensureEnded(lines.size() - 1);
        lines.push_back({"[" + section + "]", eol});
        lines.push_back({key + "=" + value, eol});
    }

    std::string content = text.Bom;
    for (const TLine& line : lines)
        content += line.Text + line.End;
    // Unchanged: no rename and no flush, and a read-only file is no obstacle.
    if (text.Exists && content == text.Original)
        return;
    if (const std::error_code error = ReplaceFileContent(FFileName, content)) {
        Refused();
        throw EIniWriteError(FFileName, error);
    }
    ++FWrites;
    FWriteRefused = false;
}

void TIniFile::Refused() {
    ++FWrites;
    FWriteRefused = true;
}
