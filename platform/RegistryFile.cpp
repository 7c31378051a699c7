// The registry editor's export format (".reg" files), parsed into a tree of
// keys and values:
//   Windows Registry Editor Version 5.00   (UTF-16LE with BOM, or UTF-8)
//   REGEDIT4                               (ANSI; UTF-8 is accepted as well)
//   [HKEY_LOCAL_MACHINE\Path\To\Key]       key, created when missing
//   [-HKEY_LOCAL_MACHINE\Path\To\Key]      key deleted with all below it
//   "name"="text"  @="text"                text values (\\ and \" escapes)
//   "name"=dword:0000001f                  32-bit number
//   "name"=hex:01,02  "name"=hex(n):...    raw bytes of value type n
//   "name"=-                               value deleted
//   ; comment, and a hex list may go on after a trailing backslash.
// Text types written as hex (1, 2 and 7) hold UTF-16LE in version 5 files
// and ANSI in REGEDIT4 files; they are kept as UTF-8.
#include "platform/RegistryFile.h"

#include <iterator>

#include <cstring>

#include "platform/Text.h"

namespace {

// Registry limits: a key name holds at most 255 characters, a value name at
// most 16383, and keys nest at most 512 deep.
constexpr size_t MaxKeyNameLength = 255;
constexpr size_t MaxValueNameLength = 16383;
constexpr size_t MaxKeyDepth = 512;

void AppendUtf8(std::string& out, uint32_t code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// UTF-16LE bytes to UTF-8; unpaired surrogates become U+FFFD and a lone last
// byte is dropped.
std::string Utf16ToUtf8(const unsigned char* bytes, size_t size)
{
    std::string out;
    out.reserve(size);
    size_t units = size / 2;
    for (size_t i = 0; i < units; ++i) {
        uint32_t unit = bytes[2 * i] | (bytes[2 * i + 1] << 8);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units) {
            uint32_t low = bytes[2 * i + 2] | (bytes[2 * i + 3] << 8);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        if (unit >= 0xD800 && unit <= 0xDFFF)
            unit = 0xFFFD;
        AppendUtf8(out, unit);
    }
    return out;
}

bool IsValidUtf8(const std::string& text)
{
    size_t i = 0, n = text.size();
    while (i < n) {
        auto c = static_cast<unsigned char>(text[i]);
        size_t extra;
        if (c < 0x80)
            extra = 0;
        else if (c >= 0xC2 && c <= 0xDF)
            extra = 1;
        else if ((c & 0xF0) == 0xE0)
            extra = 2;
        else if (c >= 0xF0 && c <= 0xF4)
            extra = 3;
        else
            return false;
        if (i + extra >= n && extra > 0)
            return false;
        for (size_t k = 1; k <= extra; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
                return false;
        i += extra + 1;
    }
    return true;
}

// ANSI text (Windows code page 1252) to UTF-8. Text that already is valid
// UTF-8 is kept as it is, so a file written on Linux reads the same.
std::string AnsiToUtf8(const std::string& text)
{
    if (IsValidUtf8(text))
        return text;
    static const uint16_t high[32] = {
        0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};
    std::string out;
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        AppendUtf8(out, c >= 0x80 && c < 0xA0 ? high[c - 0x80] : c);
    }
    return out;
}


struct ParseState {
    const std::string& fileName;
    std::string& error;
    RegistryNode& root;
    bool unicode = true;             // version 5 (hex text in UTF-16LE)
    RegistryNode* current = nullptr; // key that takes values; null: skip them
    bool inKey = false;              // a key line was seen
    size_t lineNumber = 0;
    size_t ignoredKeys = 0;          // keys below other roots
    size_t firstIgnoredLine = 0;

    bool Fail(size_t line, const std::string& reason)
    {
        error = PrintableText(fileName) + ":" + std::to_string(line) + ": " + reason;
        return false;
    }
};

std::string Trim(const std::string& text)
{
    size_t begin = 0, end = text.size();
    while (begin < end && IsBlank(text[begin]))
        ++begin;
    while (end > begin && IsBlank(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

// Splits a key path at '\'. Empty parts are refused, except one trailing '\'.
bool SplitKeyPath(const std::string& path, std::vector<std::string>& parts, std::string& reason)
{
    parts.clear();
    size_t start = 0;
    std::string text = path;
    if (!text.empty() && text.back() == '\\')
        text.pop_back();
    if (text.empty())
        return true;
    while (true) {
        size_t cut = text.find('\\', start);
        std::string part = text.substr(start, cut == std::string::npos ? std::string::npos : cut - start);
        if (part.empty()) {
            reason = "empty key name in \"" + path + "\"";
            return false;
        }
        if (part.size() > MaxKeyNameLength) {
            reason = "key name longer than 255 characters";
            return false;
        }
        parts.push_back(part);
        if (parts.size() > MaxKeyDepth) {
            reason = "keys nested deeper than 512 levels";
            return false;
        }
        if (cut == std::string::npos)
            return true;
        start = cut + 1;
    }
}

// "[HKEY_LOCAL_MACHINE\...]" or "[-HKEY_LOCAL_MACHINE\...]".
bool ParseKeyLine(ParseState& state, const std::string& line)
{
    size_t line0 = state.lineNumber;
    if (line.size() < 2 || line.back() != ']')
        return state.Fail(line0, "key line does not end in ']'");
    std::string path = line.substr(1, line.size() - 2);
    bool remove = !path.empty() && path[0] == '-';
    if (remove)
        path.erase(0, 1);
    size_t cut = path.find('\\');
    std::string rootName = path.substr(0, cut);
    std::string rest = cut == std::string::npos ? std::string() : path.substr(cut + 1);
    state.inKey = true;
    state.current = nullptr;
    if (!EqualsNoCase(rootName.c_str(), "HKEY_LOCAL_MACHINE") && !EqualsNoCase(rootName.c_str(), "HKLM")) {
        static const char* const otherRoots[] = {"HKEY_CURRENT_USER",   "HKEY_CLASSES_ROOT", "HKEY_USERS",
                                                 "HKEY_CURRENT_CONFIG", "HKCU",              "HKCR",
                                                 "HKU",                 "HKCC"};
        for (const char* other : otherRoots)
            if (EqualsNoCase(rootName.c_str(), other)) {
                if (state.ignoredKeys++ == 0)
                    state.firstIgnoredLine = line0;
                return true;
            }
        return state.Fail(line0, "unknown root key \"" + rootName + "\"");
    }
    std::vector<std::string> parts;
    std::string reason;
    if (!SplitKeyPath(rest, parts, reason))
        return state.Fail(line0, reason);
    if (remove) {
        if (parts.empty())
            return state.Fail(line0, "the root key cannot be deleted");
        std::vector<std::string> parentParts(parts.begin(), parts.end() - 1);
        if (RegistryNode* parent = FindRegistryKey(state.root, parentParts, false)) {
            parent->subkeys.erase(parts.back());
            parent->cursorValid = false;
        }
        return true;
    }
    state.current = FindRegistryKey(state.root, parts, true);
    return true;
}

// A quoted text at pos (which holds '"'); pos ends after the closing quote.
bool ParseQuoted(const std::string& line, size_t& pos, std::string& out)
{
    out.clear();
    ++pos;
    while (pos < line.size()) {
        char c = line[pos++];
        if (c == '"')
            return true;
        if (c == '\\' && pos < line.size() && (line[pos] == '\\' || line[pos] == '"')) {
            out += line[pos++];
            continue;
        }
        out += c;
    }
    return false;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// One to eight hex digits.
bool ParseHexNumber(const std::string& text, uint32_t& value)
{
    if (text.empty() || text.size() > 8)
        return false;
    value = 0;
    for (char c : text) {
        int d = HexDigit(c);
        if (d < 0)
            return false;
        value = (value << 4) | static_cast<uint32_t>(d);
    }
    return true;
}

// "01,02, ff" (continuations already joined); a trailing comma is allowed.
bool ParseHexBytes(const std::string& text, std::string& out)
{
    out.clear();
    size_t pos = 0;
    while (true) {
        while (pos < text.size() && IsBlank(text[pos]))
            ++pos;
        if (pos == text.size())
            return true;
        size_t start = pos;
        while (pos < text.size() && HexDigit(text[pos]) >= 0)
            ++pos;
        size_t digits = pos - start;
        if (digits == 0 || digits > 2)
            return false;
        uint32_t value = 0;
        ParseHexNumber(text.substr(start, digits), value);
        out += static_cast<char>(value);
        while (pos < text.size() && IsBlank(text[pos]))
            ++pos;
        if (pos == text.size())
            return true;
        if (text[pos] != ',')
            return false;
        ++pos;
    }
}

// Text after a value: blanks, then nothing or a ';' comment.
bool OnlyCommentLeft(const std::string& line, size_t pos)
{
    while (pos < line.size() && IsBlank(line[pos]))
        ++pos;
    return pos == line.size() || line[pos] == ';';
}

std::string TextValue(const std::string& text)
{
    std::string data = text;
    data += '\0';
    return data;
}

// A text value ends at its first NUL: one with more text behind a NUL would
// be read cut short, so it is refused. NULs at the end are its terminator.
bool HasInnerNul(const std::string& data)
{
    size_t nul = data.find('\0');
    return nul != std::string::npos && data.find_first_not_of('\0', nul) != std::string::npos;
}

// "text" after the '=' of a value line.
bool ParseTextData(ParseState& state, const std::string& rest, RegistryValue& value)
{
    std::string text;
    size_t end = 0;
    if (!ParseQuoted(rest, end, text))
        return state.Fail(state.lineNumber, "text value has no closing '\"'");
    if (!OnlyCommentLeft(rest, end))
        return state.Fail(state.lineNumber, "unexpected text after the value");
    value.type = RegSz;
    value.data = TextValue(text); // REGEDIT4 lines are UTF-8 already
    if (HasInnerNul(value.data))
        return state.Fail(state.lineNumber, "NUL character inside a text value");
    return true;
}

// dword:0000001f
bool ParseDwordData(ParseState& state, const std::string& rest, RegistryValue& value)
{
    std::string digits = rest.substr(6);
    size_t cut = digits.find(';');
    digits = Trim(digits.substr(0, cut));
    uint32_t number = 0;
    if (!ParseHexNumber(digits, number))
        return state.Fail(state.lineNumber, "dword: needs one to eight hex digits");
    value.type = RegDword;
    for (int i = 0; i < 4; ++i)
        value.data += static_cast<char>((number >> (8 * i)) & 0xFF);
    return true;
}

// hex:01,02 or hex(n):01,02, the list going on after a trailing backslash;
// next fetches the continuation lines.
template <typename NextLine>
bool ParseHexData(ParseState& state, const std::string& rest, RegistryValue& value, NextLine next)
{
    size_t line0 = state.lineNumber;
    size_t at = 3;
    uint32_t type = RegBinary;
    if (at < rest.size() && rest[at] == '(') {
        size_t close = rest.find(')', at);
        if (close == std::string::npos || !ParseHexNumber(rest.substr(at + 1, close - at - 1), type))
            return state.Fail(line0, "hex(n): needs a hex type number");
        at = close + 1;
    }
    if (at >= rest.size() || rest[at] != ':')
        return state.Fail(line0, "':' expected after hex");
    std::string list;
    std::string piece = rest.substr(at + 1);
    while (true) {
        std::string trimmed = Trim(piece);
        bool more = !trimmed.empty() && trimmed.back() == '\\';
        if (more)
            trimmed.pop_back();
        list += trimmed;
        if (!more)
            break;
        if (!next(piece))
            return state.Fail(line0, "hex list continues past the end of the file");
    }
    std::string bytes;
    if (!ParseHexBytes(list, bytes))
        return state.Fail(line0, "malformed hex byte list");
    value.type = type;
    if (type == RegSz || type == RegExpandSz || type == RegMultiSz)
        value.data = state.unicode
            ? Utf16ToUtf8(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size())
            : AnsiToUtf8(bytes);
    else
        value.data = bytes;
    if ((type == RegSz || type == RegExpandSz) && HasInnerNul(value.data))
        return state.Fail(line0, "NUL character inside a text value");
    return true;
}

// The value name of a value line (or @ for the default value) and the text
// after its '='; pos ends at the data.
bool ParseValueName(ParseState& state, const std::string& line, RegistryValue& value, std::string& rest)
{
    size_t line0 = state.lineNumber;
    size_t pos = 0;
    if (line[0] == '@')
        pos = 1;
    else if (!ParseQuoted(line, pos, value.name))
        return state.Fail(line0, "value name has no closing '\"'");
    if (value.name.size() > MaxValueNameLength)
        return state.Fail(line0, "value name longer than 16383 characters");
    while (pos < line.size() && IsBlank(line[pos]))
        ++pos;
    if (pos >= line.size() || line[pos] != '=')
        return state.Fail(line0, "'=' expected after the value name");
    ++pos;
    while (pos < line.size() && IsBlank(line[pos]))
        ++pos;
    rest = line.substr(pos);
    if (!state.inKey)
        return state.Fail(line0, "value before the first key line");
    return true;
}

// A value line; next is called to fetch continuation lines of hex data.
template <typename NextLine>
bool ParseValueLine(ParseState& state, const std::string& line, NextLine next)
{
    RegistryValue value;
    std::string rest;
    if (!ParseValueName(state, line, value, rest))
        return false;
    bool remove = false;
    bool ok = true;
    if (!rest.empty() && rest[0] == '"')
        ok = ParseTextData(state, rest, value);
    else if (!rest.empty() && rest[0] == '-' && OnlyCommentLeft(rest, 1))
        remove = true;
    else if (StartsWithNoCase(rest, "dword:"))
        ok = ParseDwordData(state, rest, value);
    else if (StartsWithNoCase(rest, "hex"))
        ok = ParseHexData(state, rest, value, next);
    else
        ok = state.Fail(state.lineNumber, "unrecognised value data \"" + rest.substr(0, 40) + "\"");
    if (!ok)
        return false;

    if (state.current == nullptr)
        return true; // below a deleted or ignored key
    if (remove) {
        state.current->values.erase(value.name);
        return true;
    }
    std::string key = value.name;
    state.current->values[key] = std::move(value);
    return true;
}

// Decodes the file's bytes into lines (UTF-8, line ends removed).
std::vector<std::string> SplitLines(const std::string& bytes)
{
    std::string text;
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    if (bytes.size() >= 2 && data[0] == 0xFF && data[1] == 0xFE)
        text = Utf16ToUtf8(data + 2, bytes.size() - 2);
    else if (bytes.size() >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF)
        text = bytes.substr(3);
    else
        text = bytes;
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

} // namespace

bool ParseRegistryFile(const std::string& fileName, const std::string& bytes, RegistryNode& root,
                       std::string& error, std::string* notice)
{
    error.clear();
    ParseState state{fileName, error, root};
    std::vector<std::string> lines = SplitLines(bytes);
    if (lines.empty())
        return state.Fail(1, "empty file, \"Windows Registry Editor Version 5.00\" expected");
    std::string header = Trim(lines[0]);
    if (header == "Windows Registry Editor Version 5.00")
        state.unicode = true;
    else if (header == "REGEDIT4")
        state.unicode = false;
    else
        return state.Fail(1, "not a registry file: \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\" expected");
    if (!state.unicode)
        for (size_t i = 1; i < lines.size(); ++i)
            lines[i] = AnsiToUtf8(lines[i]);

    size_t index = 1;
    auto next = [&](std::string& out) {
        if (index >= lines.size())
            return false;
        out = Trim(lines[index++]);
        return true;
    };
    while (index < lines.size()) {
        state.lineNumber = index + 1;
        std::string line = Trim(lines[index++]);
        if (line.empty() || line[0] == ';')
            continue;
        bool ok;
        if (line[0] == '[')
            ok = ParseKeyLine(state, line);
        else if (line[0] == '"' || line[0] == '@')
            ok = ParseValueLine(state, line, next);
        else
            ok = state.Fail(state.lineNumber, "unrecognised line \"" + line.substr(0, 40) + "\"");
        if (!ok)
            return false;
    }
    if (notice != nullptr && state.ignoredKeys > 0)
        *notice = PrintableText(fileName) + ":" + std::to_string(state.firstIgnoredLine) + ": " + std::to_string(state.ignoredKeys) +
            " key(s) outside HKEY_LOCAL_MACHINE ignored\n";
    return true;
}

RegistryNode* FindRegistryKey(RegistryNode& root, const std::vector<std::string>& parts, bool create)
{
    RegistryNode* node = &root;
    for (const auto& part : parts) {
        auto it = node->subkeys.find(part);
        if (it == node->subkeys.end()) {
            if (!create)
                return nullptr;
            auto child = std::make_unique<RegistryNode>();
            child->name = part;
            it = node->subkeys.emplace(part, std::move(child)).first;
            node->cursorValid = false;
        }
        node = it->second.get();
    }
    return node;
}

RegistryNode* RegistrySubkeyAt(RegistryNode& key, size_t index)
{
    if (index >= key.subkeys.size())
        return nullptr;
    if (!key.cursorValid || index < key.cursorIndex) {
        key.cursor = key.subkeys.begin();
        key.cursorIndex = 0;
        key.cursorValid = true;
    }
    std::advance(key.cursor, static_cast<std::ptrdiff_t>(index - key.cursorIndex));
    key.cursorIndex = index;
    return key.cursor->second.get();
}
