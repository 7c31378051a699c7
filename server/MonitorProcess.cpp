// The supervised child programs and the process utilities around them.
#include "server/MonitorProcess.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include <string>
#include <vector>

#include "log/Log.h"
#include "platform/Registry.h"
#include "platform/Service.h"
#include "platform/SystemInfo.h"
#include "platform/Text.h"

List ProcessTable;
std::atomic<bool> StopRequested{false};

namespace {

constexpr const char* Unit = "MonitorProcess";
// Line number of this unit's failure report.
constexpr int StartFailureLine = 29;

// Names under which a running database server is recognised.
const char* const DatabaseServerNames[] = {"mysqld", "mysqld-nt", "mariadbd"};

std::string ExecutableName(const char* name)
{
    return std::string(name) + ExecutableSuffix;
}

// The media converter of this installation, and the programs whose
// descendants count as the installation's own; set by
// SetInstallationPrograms.
std::mutex installationLock;
std::string mediaConverter;

// A report line that is not about an OS error.
template <typename... Args>
void LogLine(const char* format, Args... args)
{
    SetLastOsError(0);
    LogError(format, args...);
}

bool IsMediaConverterName(const char* name)
{
    for (const char* converter : {"ffmpeg", "ffmpeg32"})
        if (EqualsNoCase(name, converter) || EqualsNoCase(name, ExecutableName(converter).c_str()))
            return true;
    return false;
}

// Ends every process started under the program path path.
void KillProcessesStartedFrom(const std::string& path, const char* name)
{
    for (;;) {
        int pid = FindProcessByPath(path.c_str());
        if (pid == 0)
            return;
        TerminateResult result = TerminateProcessByPath(pid, path.c_str());
        if (result == TerminateResult::Denied) {
            LogError("OpenProcess %s", name);
            return;
        }
        if (result == TerminateResult::Failed)
            return;
    }
}

// Program paths of the managed programs.
std::vector<std::string> ManagedProgramPaths()
{
    std::vector<std::string> paths;
    for (ListNode* node = ProcessTable.first; node != nullptr; node = node->next)
        paths.push_back(ProgramPath(static_cast<ManagedProcess*>(node->item)));
    return paths;
}

// Held around every program start. StopServer takes it after setting
// StopRequested, so a start that saw the flag clear has finished (and its
// process can be terminated by name) before the terminations begin, and no
// start follows them.
std::mutex startLock;

} // namespace

std::string ProgramPath(const ManagedProcess* process)
{
    return std::string(process->folder) + PathSeparator + process->name;
}

bool BuildCommandLine(const ManagedProcess* process, char* commandLine, size_t size)
{
    // A path with a blank is quoted, so the system never takes the part
    // before the blank for the program (C:\Program.exe for C:\Program Files\...).
    // A path holding a double quote cannot be written into a command line
    // at all: it counts as one that does not fit.
    std::string path = std::string(process->folder) + PathSeparator + process->name;
    if (path.find('"') != std::string::npos) {
        if (size > 0)
            commandLine[0] = '\0';
        return false;
    }
    bool quoted = path.find_first_of(" \t") != std::string::npos;
    return FormatToField(commandLine, size, quoted ? "\"%s\" %s" : "%s %s", path.c_str(), process->arguments);
}

bool StartProcess(ManagedProcess* process)
{
    std::lock_guard<std::mutex> guard(startLock);
    if (StopRequested)
        return false;
    char commandLine[CommandLineLimit + 1];
    // A command line cut at the limit would start the program with other
    // arguments than configured (a cut path, a lost option): it counts as a
    // failed start.
    if (!BuildCommandLine(process, commandLine, sizeof(commandLine)) ||
        !SpawnProcess(commandLine, process->process)) {
        LOG_ASSERT("b", Unit, StartFailureLine);
        LogError("%s could not be started from %s%c%s", process->name, process->folder, PathSeparator,
                 process->name);
        return false;
    }
    return true;
}

void ReleaseProcessTable()
{
    ProcessTable.RemoveAll([](void* item) {
        auto* process = static_cast<ManagedProcess*>(item);
        CloseProcess(process->process);
        delete process;
    });
}

void FinishProcessStarts()
{
    std::lock_guard<std::mutex> guard(startLock);
}

bool IsDatabaseServerName(const char* name)
{
    for (const char* server : DatabaseServerNames)
        if (ExecutableName(server) == name)
            return true;
    return false;
}

void StopManagedPrograms()
{
    std::lock_guard<std::mutex> guard(startLock);
    for (ListNode* node = ProcessTable.first; node != nullptr; node = node->next) {
        auto* process = static_cast<ManagedProcess*>(node->item);
        if (IsDatabaseServerName(process->name))
            continue;
        TerminateProcessAndGroup(process->process);
        // What left the program's group and came back to the daemon goes
        // with it.
        EndAdoptedProcesses(ProgramPath(process).c_str());
    }
}

ProgramReload ReloadManagedProgram(const char* name)
{
    std::string executable = ExecutableName(name);
    int pid = 0;
    std::vector<int> before;
    {
        std::lock_guard<std::mutex> guard(startLock);
        if (StopRequested)
            return ProgramReload::NotRunning;
        ManagedProcess* process = nullptr;
        for (ListNode* node = ProcessTable.first; node != nullptr; node = node->next)
            if (executable == static_cast<ManagedProcess*>(node->item)->name)
                process = static_cast<ManagedProcess*>(node->item);
        if (process == nullptr || WaitForProcess(process->process, 0))
            return ProgramReload::NotRunning;
        pid = process->process.pid;
        before = ChildProcessesOf(pid);
        if (!RequestConfigurationReload(process->process))
            return ProgramReload::Restarting;
    }
    // The server has taken the new configuration once it runs a worker that
    // it started after the request (its old workers finish what they serve
    // and end).
    for (unsigned waited = 0; waited < ProgramReloadLimitMilliseconds; waited += ProgramReloadStepMilliseconds) {
        if (StopRequested)
            return ProgramReload::NotRunning;
        if (!ProcessIsRunning(pid))
            return ProgramReload::Restarting;
        for (int child : ChildProcessesOf(pid))
            if (std::find(before.begin(), before.end(), child) == before.end())
                return ProgramReload::Reloaded;
        Sleep(ProgramReloadStepMilliseconds);
    }
    return ProgramReload::Unconfirmed;
}

void AddManagedProcess(const char* name, const char* folder, const char* arguments)
{
    auto* process = new ManagedProcess{};
    CopyText(process->name, ExecutableName(name).c_str());
    CopyText(process->folder, folder);
    CopyText(process->arguments, arguments);
    ProcessTable.Append(process);

    // Copies of this installation's program left by an earlier run; the
    // same program started from elsewhere is someone else's.
    std::string path = ProgramPath(process);
    KillProcessesStartedFrom(path, process->name);
    AuthorizeFirewallProgram(path.c_str());
    StartProcess(process);
}

void MonitorProcesses()
{
    ReapAdoptedProcesses();
    for (ListNode* node = ProcessTable.first; node != nullptr; node = node->next) {
        if (StopRequested)
            return;
        auto* process = static_cast<ManagedProcess*>(node->item);
        if (!WaitForProcess(process->process, 10))
            continue;
        RestartProcess(process, 2000);
    }
}

void RestartProcess(ManagedProcess* process, unsigned pauseMilliseconds)
{
    // Ended, or never started: release the old process, end what it may
    // have left running in its process group and what left that group and
    // came back to the daemon, and start anew.
    // The handle changes under the start lock only, which the stop and the
    // reload hold while they use it. The group of a process taken over from
    // an earlier run is left: its id may belong to someone else by now,
    // since nothing held it.
    int group = 0;
    {
        std::lock_guard<std::mutex> guard(startLock);
        if (StopRequested)
            return;
        group = process->takenOver ? 0 : process->process.pid;
        process->takenOver = false;
        CloseProcess(process->process);
    }
    TerminateProcessGroup(group);
    EndAdoptedProcesses(ProgramPath(process).c_str());
    Sleep(pauseMilliseconds);
    StartProcess(process);
}

ManagedProcess* FindManagedProcess(const char* name)
{
    std::string executable = ExecutableName(name);
    for (ListNode* node = ProcessTable.first; node != nullptr; node = node->next) {
        auto* process = static_cast<ManagedProcess*>(node->item);
        if (executable == process->name)
            return process;
    }
    return nullptr;
}

std::string ManagedProgramNames()
{
    std::string names;
    for (ListNode* node = ProcessTable.first; node != nullptr; node = node->next) {
        if (!names.empty())
            names += node->next == nullptr ? " and " : ", ";
        names += static_cast<ManagedProcess*>(node->item)->name;
    }
    return names;
}

void TerminateProcessGroupsOf(const char* name)
{
    std::string executable = ExecutableName(name);
    for (ListNode* node = ProcessTable.first; node != nullptr; node = node->next) {
        auto* process = static_cast<ManagedProcess*>(node->item);
        if (executable == process->name) {
            TerminateProcessGroup(process->process.pid);
            EndAdoptedProcesses(ProgramPath(process).c_str());
        }
    }
}

bool StartDatabaseServer(const ServerConfig& config)
{
    const char* install = config.InstallFolder;
    const char sep = PathSeparator;
    char folder[ManagedTextSize];
    char arguments[ManagedTextSize];
    FormatToField(folder, sizeof(folder), "%s%cmysql%cbin", install, sep, sep);
    FormatToField(arguments, sizeof(arguments),
                  "-b \"%s%cmysql\" -h \"%s%cmysql%cdata\" --init-file=\"%s%cmysql%cmy.ini\"", install, sep, install,
                  sep, sep, install, sep, sep);

    // The installation's own server, left running by an earlier run: it is
    // supervised again from its process (it is not the daemon's child), and
    // started anew when it exits. It is never terminated.
    auto* own = new ManagedProcess{};
    CopyText(own->name, ExecutableName("mysqld").c_str());
    CopyText(own->folder, folder);
    CopyText(own->arguments, arguments);
    char commandLine[CommandLineLimit + 1];
    if (BuildCommandLine(own, commandLine, sizeof(commandLine))) {
        int pid = FindProcessByCommandLine(commandLine);
        if (pid != 0 && OpenProcessHandle(pid, own->process)) {
            own->takenOver = true;
            ProcessTable.Append(own);
            LogLine("database server %s (pid %d) of an earlier run is running; it is supervised again",
                    ProgramPath(own).c_str(), pid);
            ServiceSetProgress("Database server of an earlier run supervised again: pid " + std::to_string(pid));
            return false;
        }
    }
    delete own;

    // Any other database server is left alone, and none of the
    // installation's is started beside it: it would find the port taken.
    for (const char* name : DatabaseServerNames) {
        int pid = FindProcessByName(ExecutableName(name).c_str());
        if (pid != 0) {
            std::string program = ProcessProgramPath(pid);
            LogLine("a database server runs already (pid %d, %s): the installation's own is not started", pid,
                    program.c_str());
            ServiceSetProgress("Database server not started: one runs already, pid " + std::to_string(pid) + " " +
                               program);
            return false;
        }
    }
    AddManagedProcess("mysqld", folder, arguments);
    return true;
}

bool IsProcessRunning(const char* name)
{
    return FindProcessByName(name) != 0;
}

void SetInstallationPrograms(const ServerConfig& config)
{
    std::lock_guard<std::mutex> guard(installationLock);
    mediaConverter = MediaConverterPath(config);
}

std::string MediaConverterPath(const ServerConfig& config)
{
    if (config.FfmpegPathSet)
        return config.FfmpegPath;
    return std::string(config.InstallFolder) + PathSeparator + "bin" + PathSeparator +
           (IsNativeX86() ? "ffmpeg32" : "ffmpeg") + ExecutableSuffix;
}

void KillProcessByName(const char* name)
{
    if (std::strchr(name, PathSeparator) != nullptr || std::strchr(name, '/') != nullptr) {
        KillProcessesStartedFrom(name, name);
        return;
    }
    for (ListNode* node = ProcessTable.first; node != nullptr; node = node->next) {
        auto* process = static_cast<ManagedProcess*>(node->item);
        if (EqualsNoCase(process->name, name))
            KillProcessesStartedFrom(ProgramPath(process), process->name);
    }
    if (!IsMediaConverterName(name))
        return;
    std::string converter;
    {
        std::lock_guard<std::mutex> guard(installationLock);
        converter = mediaConverter;
    }
    if (!converter.empty())
        KillProcessesStartedFrom(converter, name);
    // Converters that the installation's programs started, wherever their
    // program lies.
    std::vector<std::string> programs = ManagedProgramPaths();
    for (int rounds = 0; rounds < 1000; rounds++) {
        int pid = FindDescendantByName(name, programs);
        if (pid == 0)
            return;
        std::string path = ProcessProgramPath(pid);
        TerminateResult result = TerminateProcessByPath(pid, path.c_str());
        if (result == TerminateResult::Denied) {
            LogError("OpenProcess %s", name);
            return;
        }
        if (result == TerminateResult::Failed)
            return;
    }
}

void AuthorizeFirewallProgram(const char* path)
{
    SettingsKey key = nullptr;
    if (!SettingsCreateKey("SYSTEM\\Select", &key))
        return;
    uint32_t current = 0;
    uint32_t type = 0;
    uint32_t size = sizeof(current);
    bool found = SettingsQueryValue(key, "Current", &type, &current, &size);
    SettingsCloseKey(key);
    if (!found)
        return;

    char keyPath[512];
    std::snprintf(keyPath, sizeof(keyPath),
                  "SYSTEM\\ControlSet%03d\\Services\\SharedAccess\\Parameters\\FirewallPolicy\\StandardProfile"
                  "\\AuthorizedApplications\\List",
                  static_cast<int>(current));
    if (!SettingsCreateKey(keyPath, &key))
        return;
    char data[ManagedTextSize * 3];
    std::snprintf(data, sizeof(data), "%s:*:Enabled:@xpsp2res.dll,-22019", path);
    SettingsSetValue(key, path, RegSz, data, static_cast<uint32_t>(std::strlen(data) + 1));
    SettingsCloseKey(key);
}

bool EnablePrivilege(const char* name, bool enable)
{
    return SetProcessPrivilege(name, enable);
}
