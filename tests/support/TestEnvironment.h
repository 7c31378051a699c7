// Environment variables and the settings store of a test, the same way on
// every platform.
#pragma once

#include <string>

// Sets or removes an environment variable of the test process.
void SetEnvironment(const char* name, const std::string& value);
void RemoveEnvironment(const char* name);

// Makes the settings store hold what the .reg file at path holds, and
// nothing else below SOFTWARE\Vantry. On Linux the store reads the file
// (VTD_REGISTRY); on Windows the file is imported into the registry with the
// registry editor, as an administrator would. A path that names no file
// leaves the store empty.
void UseSettingsFile(const std::string& path);
// Empties the store again (removes VTD_REGISTRY, or the imported keys).
void ForgetSettingsFile();
