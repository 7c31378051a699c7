#include "TestEnvironment.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/Registry.h"

void SetEnvironment(const char* name, const std::string& value)
{
#ifdef _WIN32
    _putenv_s(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
}

void RemoveEnvironment(const char* name)
{
#ifdef _WIN32
    _putenv_s(name, "");
#else
    unsetenv(name);
#endif
}

#ifdef _WIN32
namespace {

// Runs a program of the system and waits for its end; false when it cannot
// be started.
bool RunSystemProgram(const std::string& commandLine)
{
    ProcessHandle process;
    if (!SpawnProcess(commandLine.c_str(), process))
        return false;
    while (!WaitForProcess(process, 100)) {
    }
    CloseProcess(process);
    return true;
}

// The registry editor reads a file without byte-order mark in the ANSI code
// page, where the expandable texts' UTF-16 bytes come out wrong: a version 5
// file is handed to it as the editor itself exports, in UTF-16LE.
std::string EditorForm(const std::string& bytes)
{
    if (bytes.rfind("\xff\xfe", 0) == 0 || bytes.rfind("REGEDIT4", 0) == 0)
        return bytes;
    size_t at = bytes.rfind("\xef\xbb\xbf", 0) == 0 ? 3 : 0;
    std::string out = "\xff\xfe";
    auto unit = [&out](uint32_t u) {
        out += static_cast<char>(u & 0xff);
        out += static_cast<char>(u >> 8);
    };
    while (at < bytes.size()) {
        auto c = static_cast<unsigned char>(bytes[at]);
        int length = c < 0x80 ? 1 : c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : 2;
        uint32_t code = length == 1 ? c : c & (0x3f >> (length - 1));
        for (int i = 1; i < length && at + i < bytes.size(); ++i)
            code = (code << 6) | (static_cast<unsigned char>(bytes[at + i]) & 0x3f);
        at += length;
        if (code >= 0x10000) {
            code -= 0x10000;
            unit(0xd800 + (code >> 10));
            unit(0xdc00 + (code & 0x3ff));
        } else {
            unit(code);
        }
    }
    return out;
}

void DeleteSettingsKeys()
{
    for (const char* key : {"HKLM\\SOFTWARE\\Vantry", "HKLM\\SOFTWARE\\KOLTINC"})
        if (!RunSystemProgram(std::string("reg.exe delete ") + key + " /f"))
            throw std::runtime_error("reg.exe cannot be started");
}

} // namespace

void UseSettingsFile(const std::string& path)
{
    DeleteSettingsKeys();
    std::string bytes;
    if (IsRegularFile(path) && ReadWholeFile(path, bytes)) {
        std::string import = (std::filesystem::temp_directory_path() / "vtd-settings-import.reg").string();
        std::ofstream(import, std::ios::binary | std::ios::trunc) << EditorForm(bytes);
        if (!RunSystemProgram("regedit.exe /S \"" + import + "\""))
            throw std::runtime_error("regedit.exe cannot be started");
        std::filesystem::remove(import);
    }
    SettingsReload();
}

void ForgetSettingsFile()
{
    DeleteSettingsKeys();
    SettingsReload();
}
#else
void UseSettingsFile(const std::string& path)
{
    SetEnvironment("VTD_REGISTRY", path);
    SettingsReload();
}

void ForgetSettingsFile()
{
    RemoveEnvironment("VTD_REGISTRY");
    SettingsReload();
}
#endif
