// The settings store: a registry hive kept as a ".reg" text file (the
// registry editor's export format). The file named by VTD_REGISTRY (default
// /etc/vantry/vtd.reg; a folder means every *.reg in it, merged in name
// order) is loaded on first use. Paths are below HKEY_LOCAL_MACHINE, written
// with '\' ("SOFTWARE\Vantry\Server"); key and value names match without
// regard to letter case. Writes change only the in-memory hive.
#pragma once

#include <cstdint>
#include <string>

// Value types, numbered as the registry numbers them.
enum : uint32_t {
    RegNone = 0,
    RegSz = 1,
    RegExpandSz = 2,
    RegBinary = 3,
    RegDword = 4,
    RegDwordBigEndian = 5,
    RegLink = 6,
    RegMultiSz = 7,
    RegResourceList = 8,
    RegQword = 11,
};

struct RegistryNode;
using RegKey = RegistryNode*;

// Opens an existing key; false when the key does not exist.
bool RegOpenKey(const char* path, RegKey* key);
// Opens a key, creating it and missing parents in memory.
bool RegCreateKey(const char* path, RegKey* key);
void RegCloseKey(RegKey key);

// As RegQueryValueExA: text values come back as bytes (UTF-8) with their
// terminating NUL. *size holds the buffer size on entry and the data size on
// return; false when the value is missing or the data does not fit (then
// *size holds the size needed). data may be null to ask for the size only.
bool RegQueryValue(RegKey key, const char* name, uint32_t* type, void* data, uint32_t* size);
bool RegSetValue(RegKey key, const char* name, uint32_t type, const void* data, uint32_t size);
// Name of the subkey at index in case-insensitive name order; false past the
// last subkey or when the name does not fit nameSize bytes with its NUL.
bool RegEnumKey(RegKey key, uint32_t index, char* name, uint32_t nameSize);

// Replaces %NAME% with the environment variable NAME; unknown names stay.
std::string ExpandEnvironmentText(const std::string& text);

// Drops the loaded hive so the next call reads the file again (tests).
void RegistryReload();

// Parses hive text (the bytes of one .reg file) into a fresh hive, for tests
// and fuzzing; false with a message "file:line: reason" in error when refused.
bool RegistryParseForTest(const std::string& fileName, const std::string& bytes, std::string& error);
