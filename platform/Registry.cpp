// The settings store: an in-memory registry hive filled from ".reg" files.
//
// File format (the registry editor's export format):
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
// and ANSI in REGEDIT4 files; they are kept as UTF-8, which is what reads
// return. A file that cannot be parsed is refused as a whole with a message
// "file:line: reason", and the store then holds nothing: the daemon runs as
// if no settings existed rather than on half a file.
#include "platform/Registry.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "platform/Platform.h"

extern char** environ;

namespace {

// Registry limits: a key name holds at most 255 characters, a value name at
// most 16383, and keys nest at most 512 deep.
constexpr size_t MaxKeyNameLength = 255;
constexpr size_t MaxValueNameLength = 16383;
constexpr size_t MaxKeyDepth = 512;
// Larger settings files are refused unread.
constexpr size_t MaxHiveFileSize = 64u << 20;

char FoldCase(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Registry names compare as the registry compares them: letters folded to
// upper case, then byte by byte.
struct NameLess {
    bool operator()(const std::string& a, const std::string& b) const
    {
        size_t n = std::min(a.size(), b.size());
        for (size_t i = 0; i < n; ++i) {
            auto x = static_cast<unsigned char>(FoldCase(a[i]));
            auto y = static_cast<unsigned char>(FoldCase(b[i]));
            if (x != y)
                return x < y;
        }
        return a.size() < b.size();
    }
};

struct RegistryValue {
    std::string name;
    uint32_t type = RegNone;
    std::string data;
};

} // namespace

struct RegistryNode {
    std::string name;
    std::map<std::string, std::unique_ptr<RegistryNode>, NameLess> subkeys;
    std::map<std::string, RegistryValue, NameLess> values;
};

namespace {

// ---------------------------------------------------------------- text codes

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

// ---------------------------------------------------------------- parser

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
        error = fileName + ":" + std::to_string(line) + ": " + reason;
        return false;
    }
};

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string Trim(const std::string& text)
{
    size_t begin = 0, end = text.size();
    while (begin < end && IsBlank(text[begin]))
        ++begin;
    while (end > begin && IsBlank(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

bool StartsWithNoCase(const std::string& text, const char* prefix)
{
    size_t n = std::strlen(prefix);
    if (text.size() < n)
        return false;
    for (size_t i = 0; i < n; ++i)
        if (FoldCase(text[i]) != FoldCase(prefix[i]))
            return false;
    return true;
}

bool EqualsNoCase(const std::string& a, const char* b)
{
    return a.size() == std::strlen(b) && StartsWithNoCase(a, b);
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

RegistryNode* FindKey(RegistryNode& root, const std::vector<std::string>& parts, bool create)
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
        }
        node = it->second.get();
    }
    return node;
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
    if (!EqualsNoCase(rootName, "HKEY_LOCAL_MACHINE") && !EqualsNoCase(rootName, "HKLM")) {
        static const char* const otherRoots[] = {"HKEY_CURRENT_USER",   "HKEY_CLASSES_ROOT", "HKEY_USERS",
                                                 "HKEY_CURRENT_CONFIG", "HKCU",              "HKCR",
                                                 "HKU",                 "HKCC"};
        for (const char* other : otherRoots)
            if (EqualsNoCase(rootName, other)) {
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
        if (RegistryNode* parent = FindKey(state.root, parentParts, false))
            parent->subkeys.erase(parts.back());
        return true;
    }
    state.current = FindKey(state.root, parts, true);
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

// A value line; next is called to fetch continuation lines of hex data.
template <typename NextLine>
bool ParseValueLine(ParseState& state, const std::string& line, NextLine next)
{
    size_t line0 = state.lineNumber;
    RegistryValue value;
    size_t pos = 0;
    if (line[0] == '@') {
        pos = 1;
    } else if (!ParseQuoted(line, pos, value.name)) {
        return state.Fail(line0, "value name has no closing '\"'");
    }
    if (value.name.size() > MaxValueNameLength)
        return state.Fail(line0, "value name longer than 16383 characters");
    while (pos < line.size() && IsBlank(line[pos]))
        ++pos;
    if (pos >= line.size() || line[pos] != '=')
        return state.Fail(line0, "'=' expected after the value name");
    ++pos;
    while (pos < line.size() && IsBlank(line[pos]))
        ++pos;
    std::string rest = line.substr(pos);
    if (!state.inKey)
        return state.Fail(line0, "value before the first key line");

    bool remove = false;
    if (!rest.empty() && rest[0] == '"') {
        std::string text;
        size_t end = 0;
        if (!ParseQuoted(rest, end, text))
            return state.Fail(line0, "text value has no closing '\"'");
        if (!OnlyCommentLeft(rest, end))
            return state.Fail(line0, "unexpected text after the value");
        value.type = RegSz;
        value.data = TextValue(text); // REGEDIT4 lines are UTF-8 already
    } else if (rest.size() >= 1 && rest[0] == '-' && OnlyCommentLeft(rest, 1)) {
        remove = true;
    } else if (StartsWithNoCase(rest, "dword:")) {
        std::string digits = rest.substr(6);
        size_t cut = digits.find(';');
        digits = Trim(digits.substr(0, cut));
        uint32_t number = 0;
        if (!ParseHexNumber(digits, number))
            return state.Fail(line0, "dword: needs one to eight hex digits");
        value.type = RegDword;
        for (int i = 0; i < 4; ++i)
            value.data += static_cast<char>((number >> (8 * i)) & 0xFF);
    } else if (StartsWithNoCase(rest, "hex")) {
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
        // A trailing backslash continues the list on the next line.
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
    } else {
        return state.Fail(line0, "unrecognised value data \"" + rest.substr(0, 40) + "\"");
    }

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

bool ParseHive(const std::string& fileName, const std::string& bytes, RegistryNode& root, std::string& error,
               std::string* notice = nullptr)
{
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
        *notice = fileName + ":" + std::to_string(state.firstIgnoredLine) + ": " + std::to_string(state.ignoredKeys) +
            " key(s) outside HKEY_LOCAL_MACHINE ignored\n";
    return true;
}

// ---------------------------------------------------------------- the store

struct Store {
    std::mutex lock;
    std::unique_ptr<RegistryNode> root; // null until loaded
    int openKeys = 0;
    // Hives dropped by a reload while keys were still open into them.
    std::vector<std::unique_ptr<RegistryNode>> retired;
};

Store& TheStore()
{
    static Store store;
    return store;
}

bool ReadWholeFile(const std::string& path, std::string& bytes, std::string& error)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = path + ": cannot open: " + std::strerror(errno);
        return false;
    }
    bytes.clear();
    char buffer[65536];
    while (true) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = path + ": cannot read: " + std::strerror(errno);
            close(fd);
            return false;
        }
        if (n == 0)
            break;
        bytes.append(buffer, static_cast<size_t>(n));
        if (bytes.size() > MaxHiveFileSize) {
            error = path + ": larger than 64 MiB, refused";
            close(fd);
            return false;
        }
    }
    close(fd);
    return true;
}

std::unique_ptr<RegistryNode> LoadHive()
{
    auto root = std::make_unique<RegistryNode>();
    const char* named = std::getenv("VTD_REGISTRY");
    std::string path = named != nullptr && named[0] != '\0' ? named : "/etc/vantry/vtd.reg";
    std::vector<std::string> files;
    if (FolderExists(path)) {
        for (const auto& name : FindFiles(path, "*.[rR][eE][gG]"))
            if (FileExists(path + "/" + name))
                files.push_back(path + "/" + name);
    } else if (FileExists(path)) {
        files.push_back(path);
    } else {
        WriteStandardError("settings file " + path + " not found; no settings loaded\n");
        return root;
    }
    for (const auto& file : files) {
        std::string bytes, error, notice;
        if (!ReadWholeFile(file, bytes, error) || !ParseHive(file, bytes, *root, error, &notice)) {
            WriteStandardError(error + "\nsettings refused; no settings loaded\n");
            return std::make_unique<RegistryNode>();
        }
        if (!notice.empty())
            WriteStandardError(notice);
    }
    return root;
}

RegistryNode& Root(Store& store)
{
    if (!store.root)
        store.root = LoadHive();
    return *store.root;
}

std::vector<std::string> SplitRequestPath(const char* path)
{
    std::vector<std::string> parts;
    std::string text = path != nullptr ? path : "";
    size_t start = 0;
    while (start <= text.size()) {
        size_t cut = text.find('\\', start);
        if (cut == std::string::npos)
            cut = text.size();
        if (cut > start)
            parts.push_back(text.substr(start, cut - start));
        start = cut + 1;
    }
    return parts;
}

bool OpenOrCreate(const char* path, RegKey* key, bool create)
{
    if (key == nullptr)
        return false;
    Store& store = TheStore();
    std::lock_guard guard(store.lock);
    std::vector<std::string> parts = SplitRequestPath(path);
    if (create)
        for (const auto& part : parts)
            if (part.size() > MaxKeyNameLength)
                return false;
    RegistryNode* node = FindKey(Root(store), parts, create);
    if (node == nullptr)
        return false;
    *key = node;
    ++store.openKeys;
    return true;
}

} // namespace

bool RegOpenKey(const char* path, RegKey* key)
{
    return OpenOrCreate(path, key, false);
}

bool RegCreateKey(const char* path, RegKey* key)
{
    return OpenOrCreate(path, key, true);
}

void RegCloseKey(RegKey key)
{
    if (key == nullptr)
        return;
    Store& store = TheStore();
    std::lock_guard guard(store.lock);
    if (store.openKeys > 0 && --store.openKeys == 0)
        store.retired.clear();
}

bool RegQueryValue(RegKey key, const char* name, uint32_t* type, void* data, uint32_t* size)
{
    if (key == nullptr || (data != nullptr && size == nullptr))
        return false;
    Store& store = TheStore();
    std::lock_guard guard(store.lock);
    auto it = key->values.find(name != nullptr ? name : "");
    if (it == key->values.end())
        return false;
    const RegistryValue& value = it->second;
    auto needed = static_cast<uint32_t>(value.data.size());
    if (type != nullptr)
        *type = value.type;
    if (data == nullptr) {
        if (size != nullptr)
            *size = needed;
        return true;
    }
    bool fits = needed <= *size;
    if (fits)
        std::memcpy(data, value.data.data(), needed);
    *size = needed;
    return fits;
}

bool RegSetValue(RegKey key, const char* name, uint32_t type, const void* data, uint32_t size)
{
    if (key == nullptr || (data == nullptr && size != 0))
        return false;
    Store& store = TheStore();
    std::lock_guard guard(store.lock);
    RegistryValue value;
    value.name = name != nullptr ? name : "";
    value.type = type;
    if (size != 0)
        value.data.assign(static_cast<const char*>(data), size);
    std::string valueName = value.name;
    key->values[valueName] = std::move(value);
    return true;
}

bool RegEnumKey(RegKey key, uint32_t index, char* name, uint32_t nameSize)
{
    if (key == nullptr || name == nullptr)
        return false;
    Store& store = TheStore();
    std::lock_guard guard(store.lock);
    if (index >= key->subkeys.size())
        return false;
    auto it = key->subkeys.begin();
    std::advance(it, index);
    const std::string& text = it->second->name;
    if (text.size() + 1 > nameSize)
        return false;
    std::memcpy(name, text.c_str(), text.size() + 1);
    return true;
}

std::string ExpandEnvironmentText(const std::string& text)
{
    std::string out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t open = text.find('%', pos);
        if (open == std::string::npos) {
            out.append(text, pos, std::string::npos);
            break;
        }
        out.append(text, pos, open - pos);
        size_t close = text.find('%', open + 1);
        if (close == std::string::npos) {
            out.append(text, open, std::string::npos);
            break;
        }
        std::string name = text.substr(open + 1, close - open - 1);
        const char* found = name.empty() ? nullptr : std::getenv(name.c_str());
        // Names copied from Windows settings may differ in letter case.
        for (char** entry = environ; found == nullptr && !name.empty() && entry != nullptr && *entry != nullptr; ++entry) {
            const char* equals = std::strchr(*entry, '=');
            if (equals != nullptr && static_cast<size_t>(equals - *entry) == name.size() &&
                StartsWithNoCase(std::string(*entry, name.size()), name.c_str()))
                found = equals + 1;
        }
        if (found != nullptr) {
            out += found;
            pos = close + 1;
        } else {
            // Unknown: the name stays as written, and its closing '%' may
            // open the next name.
            out.append(text, open, close - open);
            pos = close;
        }
    }
    return out;
}

void RegistryReload()
{
    Store& store = TheStore();
    std::lock_guard guard(store.lock);
    if (store.root && store.openKeys > 0)
        store.retired.push_back(std::move(store.root));
    store.root.reset();
}

bool RegistryParseForTest(const std::string& fileName, const std::string& bytes, std::string& error)
{
    RegistryNode root;
    error.clear();
    return ParseHive(fileName, bytes, root, error);
}
