#include "config/RegistryKey.h"

#include <cstring>

bool RegistryKey::Open(const char* keyPath)
{
    Close();
    SettingsKey key = nullptr;
    if (keyPath == nullptr || !SettingsOpenKey(keyPath, &key))
        return false;
    handle = key;
    CopyText(path, keyPath);
    return true;
}

bool RegistryKey::ReadNumber(const char* name, int& target)
{
    if (handle == nullptr)
        return false;
    uint32_t type = RegNone;
    uint32_t value = 0;
    uint32_t size = sizeof value;
    if (!SettingsQueryValue(handle, name, &type, &value, &size) || type != RegDword || size != 4)
        return false;
    target = static_cast<int>(value);
    return true;
}

bool RegistryKey::ReadText(const char* name, char* target, size_t size)
{
    if (handle == nullptr || target == nullptr || size == 0)
        return false;
    // One spare byte so data that fills the whole limit without a NUL of its
    // own can still be ended after its byte count.
    char buffer[RegistryReadLimit + 1];
    uint32_t type = RegNone;
    uint32_t count = RegistryReadLimit;
    if (!SettingsQueryValue(handle, name, &type, buffer, &count))
        return false;
    buffer[count] = '\0';
    if (type == RegExpandSz) {
        // The expanded text must fit the same limit; a longer one counts as
        // a failed read rather than a cut path.
        std::string expanded = ExpandEnvironmentText(buffer);
        if (expanded.size() + 1 > RegistryReadLimit)
            return false;
        CopyText(target, size, expanded.c_str());
        return true;
    }
    CopyText(target, size, buffer);
    return true;
}

bool RegistryKey::SubkeyName(uint32_t index, char* name, uint32_t size)
{
    if (handle == nullptr)
        return false;
    return SettingsEnumKey(handle, index, name, size < RegistryReadLimit ? size : RegistryReadLimit);
}

void RegistryKey::Close()
{
    if (handle != nullptr)
        SettingsCloseKey(handle);
    handle = nullptr;
}
