#include "config/Config.h"

#include <cstring>

ServerConfig Config{};
std::atomic<bool> StopRequested{false};
std::atomic<bool> UpdateTriggerRequested{false};

void CopyText(char* target, size_t size, const char* source)
{
    if (size == 0)
        return;
    size_t length = source != nullptr ? strnlen(source, size - 1) : 0;
    std::memcpy(target, source != nullptr ? source : "", length);
    target[length] = '\0';
}
