// The settings store under HKEY_LOCAL_MACHINE. Paths are written with '\'
// ("SOFTWARE\Vantry\Server"); key and value names match without regard to
// letter case. On Windows this is the registry itself. On Linux it is a
// registry hive kept as ".reg" text (RegistryFile.h): the file named by
// VTD_REGISTRY (default /etc/vantry/vtd.reg; a folder means every *.reg in it,
// merged in name order), loaded on first use; writes change only the
// in-memory hive, never the file.
#pragma once

#include <cstdint>
#include <string>

#include "platform/RegistryFile.h"

struct SettingsKeyHandle;
using SettingsKey = SettingsKeyHandle*;

// Opens an existing key; false when the key does not exist.
bool SettingsOpenKey(const char* path, SettingsKey* key);
// Opens a key, creating it and missing parents.
bool SettingsCreateKey(const char* path, SettingsKey* key);
void SettingsCloseKey(SettingsKey key);

// As RegQueryValueExA: text values come back as bytes with their terminating
// NUL. *size holds the buffer size on entry and the data size on return;
// false when the value is missing or the data does not fit (then *size holds
// the size needed). data may be null to ask for the size only.
bool SettingsQueryValue(SettingsKey key, const char* name, uint32_t* type, void* data, uint32_t* size);
bool SettingsSetValue(SettingsKey key, const char* name, uint32_t type, const void* data, uint32_t size);
// Name of the subkey at index in the store's enumeration order (on Linux
// case-insensitive name order); false past the last subkey or when the name
// does not fit nameSize bytes with its NUL.
bool SettingsEnumKey(SettingsKey key, uint32_t index, char* name, uint32_t nameSize);

// Replaces %NAME% with the environment variable NAME; unknown names stay.
std::string ExpandEnvironmentText(const std::string& text);

// Makes the next access read the settings anew (Linux: the files again).
void SettingsReload();

// How the settings were loaded (loading them now when that has not happened
// yet). refused: the settings files could not be used as a whole (a file
// that does not parse, with "file:line: reason" in message, or a path that
// names neither a file nor a folder); the store then holds nothing. Without
// refused, message may still say why there are no settings (no file, a
// folder without *.reg files). The Windows registry is never refused.
struct SettingsStatus {
    bool refused = false;
    std::string message;
};
SettingsStatus SettingsLoadStatus();

// Remembers the folder the program was started in, so a relative
// VTD_REGISTRY still names the same file after the daemon changed folder.
// Called first thing at program start.
void SettingsRememberStartFolder();
