// The settings store on Windows: the registry itself, below
// HKEY_LOCAL_MACHINE.
#include "platform/Registry.h"

#include <vector>

#include "platform/Win32.h"

namespace {

// Keys are opened for reading their values and subkeys and for the one value
// the daemon writes.
constexpr REGSAM KeyAccess = KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY;

HKEY AsKey(SettingsKey key)
{
    return reinterpret_cast<HKEY>(key);
}

bool Done(LONG result)
{
    if (result == ERROR_SUCCESS)
        return true;
    ::SetLastError(static_cast<DWORD>(result));
    return false;
}

} // namespace

bool SettingsOpenKey(const char* path, SettingsKey* key)
{
    HKEY opened = nullptr;
    if (!Done(::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KeyAccess, &opened)))
        return false;
    *key = reinterpret_cast<SettingsKey>(opened);
    return true;
}

bool SettingsCreateKey(const char* path, SettingsKey* key)
{
    HKEY opened = nullptr;
    if (!Done(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KeyAccess, nullptr,
                                &opened, nullptr)))
        return false;
    *key = reinterpret_cast<SettingsKey>(opened);
    return true;
}

void SettingsCloseKey(SettingsKey key)
{
    if (key != nullptr)
        ::RegCloseKey(AsKey(key));
}

bool SettingsQueryValue(SettingsKey key, const char* name, uint32_t* type, void* data, uint32_t* size)
{
    if (key == nullptr || (data != nullptr && size == nullptr))
        return false;
    DWORD valueType = 0;
    DWORD valueSize = size != nullptr ? *size : 0;
    LONG result = ::RegQueryValueExA(AsKey(key), name, nullptr, &valueType, static_cast<BYTE*>(data),
                                     size != nullptr ? &valueSize : nullptr);
    if (type != nullptr && (result == ERROR_SUCCESS || result == ERROR_MORE_DATA))
        *type = valueType;
    if (size != nullptr && (result == ERROR_SUCCESS || result == ERROR_MORE_DATA))
        *size = valueSize;
    return Done(result);
}

bool SettingsSetValue(SettingsKey key, const char* name, uint32_t type, const void* data, uint32_t size)
{
    if (key == nullptr)
        return false;
    return Done(::RegSetValueExA(AsKey(key), name, 0, type, static_cast<const BYTE*>(data), size));
}

bool SettingsEnumKey(SettingsKey key, uint32_t index, char* name, uint32_t nameSize)
{
    if (key == nullptr || name == nullptr || nameSize == 0)
        return false;
    DWORD length = nameSize;
    return Done(::RegEnumKeyExA(AsKey(key), index, name, &length, nullptr, nullptr, nullptr, nullptr));
}

std::string ExpandEnvironmentText(const std::string& text)
{
    DWORD saved = ::GetLastError();
    std::vector<char> buffer(text.size() + 256);
    for (;;) {
        DWORD needed = ::ExpandEnvironmentStringsA(text.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
        if (needed == 0) {
            ::SetLastError(saved);
            return text;
        }
        if (needed <= buffer.size()) {
            ::SetLastError(saved);
            return std::string(buffer.data());
        }
        buffer.resize(needed);
    }
}

void SettingsReload()
{
    // The registry is read afresh at every access.
}

SettingsStatus SettingsLoadStatus()
{
    // The registry is there or the key is missing; it is never refused.
    return {};
}

void SettingsRememberStartFolder()
{
    // The registry is not named by a path.
}
