// The supervised child programs and the process utilities around them.
#include "server/MonitorProcess.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include <string>

#include "log/Log.h"
#include "platform/Registry.h"
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

// Held around every program start. StopServer takes it after setting
// StopRequested, so a start that saw the flag clear has finished (and its
// process can be terminated by name) before the terminations begin, and no
// start follows them.
std::mutex startLock;

} // namespace

bool BuildCommandLine(const ManagedProcess* process, char* commandLine, size_t size)
{
    return FormatToField(commandLine, size, "%s%c%s %s", process->folder, PathSeparator, process->name,
                      process->arguments);
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
        if (!IsDatabaseServerName(process->name))
            TerminateProcessAndGroup(process->process);
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

    char path[ManagedTextSize * 2 + 2];
    std::snprintf(path, sizeof(path), "%s%c%s", process->folder, PathSeparator, process->name);
    KillProcessByName(process->name);
    AuthorizeFirewallProgram(path);
    StartProcess(process);
}

void MonitorProcesses()
{
    for (ListNode* node = ProcessTable.first; node != nullptr; node = node->next) {
        if (StopRequested)
            return;
        auto* process = static_cast<ManagedProcess*>(node->item);
        if (!WaitForProcess(process->process, 10))
            continue;
        // Ended, or never started: release the old process, end what it may
        // have left running in its process group, and start anew. The handle
        // changes under the start lock only, which the stop and the reload
        // hold while they use it.
        int group = 0;
        {
            std::lock_guard<std::mutex> guard(startLock);
            if (StopRequested)
                return;
            group = process->process.pid;
            CloseProcess(process->process);
        }
        TerminateProcessGroup(group);
        Sleep(2000);
        StartProcess(process);
    }
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
        if (executable == process->name)
            TerminateProcessGroup(process->process.pid);
    }
}

bool StartDatabaseServer(const ServerConfig& config)
{
    for (const char* name : DatabaseServerNames)
        if (IsProcessRunning(ExecutableName(name).c_str()))
            return false;
    const char* install = config.InstallFolder;
    const char sep = PathSeparator;
    char folder[ManagedTextSize];
    char arguments[ManagedTextSize];
    FormatToField(folder, sizeof(folder), "%s%cmysql%cbin", install, sep, sep);
    FormatToField(arguments, sizeof(arguments), "-b %s%cmysql -h %s%cmysql%cdata --init-file=%s%cmysql%cmy.ini",
                  install, sep, install, sep, sep, install, sep, sep);
    AddManagedProcess("mysqld", folder, arguments);
    return true;
}

bool IsProcessRunning(const char* name)
{
    return FindProcessByName(name) != 0;
}

void KillProcessByName(const char* name)
{
    for (;;) {
        int pid = FindProcessByName(name);
        if (pid == 0)
            return;
        TerminateResult result = TerminateProcessByName(pid, name);
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
