// Small wrapper over a settings-store key: a key handle plus the key's path.
#pragma once

#include <cstdint>

#include "config/Config.h"
#include "platform/Registry.h"

// Registry reads are limited to this many bytes (text plus its NUL).
constexpr uint32_t RegistryReadLimit = 260;

struct RegistryKey {
    SettingsKey handle = nullptr;
    char path[ConfigTextSize] = {};

    RegistryKey() = default;
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    ~RegistryKey() { Close(); }

    // Opens path below HKEY_LOCAL_MACHINE; false when it cannot be opened.
    bool Open(const char* keyPath);
    // A REG_DWORD of size 4 into target; target changes only on success.
    bool ReadNumber(const char* name, int& target);
    // A text of at most 259 characters into target (size bytes); expandable
    // texts are expanded; a value of any other type is taken as text.
    bool ReadText(const char* name, char* target, size_t size);
    template <size_t N> bool ReadText(const char* name, char (&target)[N]) { return ReadText(name, target, N); }
    // Name of the subkey at index into a 260-byte buffer.
    bool SubkeyName(uint32_t index, char* name, uint32_t size);
    void Close();
};
