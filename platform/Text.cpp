#include "platform/Text.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

char FoldCase(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

} // namespace

void CopyText(char* target, size_t size, const char* source)
{
    if (size == 0)
        return;
    size_t length = source != nullptr ? strnlen(source, size - 1) : 0;
    std::memcpy(target, source != nullptr ? source : "", length);
    target[length] = '\0';
}

bool FormatToField(char* target, size_t size, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(target, size, format, args);
    va_end(args);
    return length >= 0 && static_cast<size_t>(length) < size;
}

bool EqualsNoCase(const char* a, const char* b)
{
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (FoldCase(*a) != FoldCase(*b))
            return false;
    }
    return *a == *b;
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

int CompareNoCase(const std::string& a, const std::string& b)
{
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        auto x = static_cast<unsigned char>(FoldCase(a[i]));
        auto y = static_cast<unsigned char>(FoldCase(b[i]));
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

std::string PrintableText(const std::string& text)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F) {
            out += "\\x";
            out += digits[c >> 4];
            out += digits[c & 15];
        } else {
            out += ch;
        }
    }
    return out;
}

bool HasControlCharacter(const char* text)
{
    for (const char* p = text; *p != '\0'; ++p) {
        auto c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7F)
            return true;
    }
    return false;
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string JoinPath(const std::string& folder, const std::string& name, char separator)
{
    std::string path = folder;
    path += separator;
    path += name;
    return path;
}

std::string ToCrLf(const std::string& text)
{
    // Counted first, then copied a line at a time: one allocation of the
    // exact size, however large the text (a configuration of many sites).
    size_t bare = 0;
    for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1))
        if (at == 0 || text[at - 1] != '\r')
            ++bare;
    std::string out;
    out.reserve(text.size() + bare);
    size_t start = 0;
    for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1)) {
        out.append(text, start, at - start);
        if (at == 0 || text[at - 1] != '\r')
            out += '\r';
        out += '\n';
        start = at + 1;
    }
    out.append(text, start, std::string::npos);
    return out;
}
