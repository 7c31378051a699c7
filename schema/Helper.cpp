#include "schema/Helper.h"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "log/Log.h"
#include "platform/Files.h"

namespace {
// Line number of this unit's failure report.
constexpr int OpenFailureLine = 535;
} // namespace

bool FileExists(const char* name)
{
    return name != nullptr && PathExists(name);
}

int64_t GetFileSize64(const char* name)
{
    int64_t size = 0;
    if (name == nullptr || !ReadFileSize(name, &size)) {
        LOG_ASSERT("h != INVALID_HANDLE_VALUE", "Helper", OpenFailureLine);
        return 0;
    }
    return size;
}

namespace {

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Length of the decimal number at the start of text: optional sign, digits
// with an optional fraction, optional exponent. 0 when there is none.
size_t DecimalNumberLength(const char* text)
{
    size_t i = 0;
    if (text[i] == '+' || text[i] == '-')
        i++;
    size_t digits = 0;
    while (IsDigit(text[i])) {
        i++;
        digits++;
    }
    if (text[i] == '.') {
        i++;
        while (IsDigit(text[i])) {
            i++;
            digits++;
        }
    }
    if (digits == 0)
        return 0;
    if (text[i] == 'e' || text[i] == 'E') {
        size_t j = i + 1;
        if (text[j] == '+' || text[j] == '-')
            j++;
        if (IsDigit(text[j])) {
            while (IsDigit(text[j]))
                j++;
            i = j;
        }
    }
    return i;
}

}  // namespace

int ParseBitrate(const char* text)
{
    constexpr size_t MaxText = 259;
    char compact[MaxText + 1];
    size_t length = 0;
    for (size_t i = 0; text != nullptr && text[i] != '\0' && i < MaxText; i++) {
        if (text[i] == ' ' || text[i] == '\t' || text[i] == ',')
            continue;
        compact[length++] = text[i];
    }
    compact[length] = '\0';
    if (length == 0)
        return 0;

    size_t numberLength = DecimalNumberLength(compact);
    if (numberLength == 0)
        return 0;
    char number[MaxText + 1];
    std::memcpy(number, compact, numberLength);
    number[numberLength] = '\0';
    double value = std::strtod(number, nullptr);

    switch (compact[length - 1]) {
    case 'k': case 'K': value *= 1e3; break;
    case 'm': case 'M': value *= 1e6; break;
    case 'g': case 'G': value *= 1e9; break;
    default: break;
    }
    if (std::isnan(value))
        return 0;
    if (value >= static_cast<double>(INT_MAX))
        return INT_MAX;
    if (value <= static_cast<double>(INT_MIN))
        return INT_MIN;
    return static_cast<int>(value);
}
