// Settings-file text for tests: values written the way the registry editor
// exports them.
#pragma once

#include <string>

// hex(2): data of text in UTF-16LE with its NUL, as the registry editor
// exports an expandable text (so any byte, a line feed say, can be stored).
inline std::string ExpandableHex(const std::string& text)
{
    static const char digits[] = "0123456789abcdef";
    std::string out = "hex(2):";
    for (size_t i = 0; i <= text.size(); i++) {
        auto c = static_cast<unsigned char>(i < text.size() ? text[i] : 0);
        out += std::string(i == 0 ? "" : ",") + digits[c >> 4] + digits[c & 15] + ",00";
    }
    return out;
}
