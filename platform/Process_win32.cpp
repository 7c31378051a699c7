// Child processes and the process list on Windows: CreateProcessA, process
// handles, Toolhelp32 snapshots, TerminateProcess.
#include "platform/Process.h"

#include <cstdlib>
#include <cstring>

#include "platform/Text.h"
#include "platform/Win32.h"
#include <tlhelp32.h>

namespace {

// How long a terminated process may take to be gone from the process list.
constexpr DWORD TerminateWaitMs = 5000;

HANDLE AsHandle(intptr_t value)
{
    return reinterpret_cast<HANDLE>(value);
}

// Whether the process's executable lies in the folder tree that
// VTD_PROCESS_FOLDER names (always, when it is not set).
bool InScope(DWORD pid)
{
    const char* folder = std::getenv("VTD_PROCESS_FOLDER");
    if (folder == nullptr || *folder == '\0')
        return true;
    HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr)
        return false;
    char path[MAX_PATH * 4] = {};
    DWORD size = sizeof(path);
    bool known = ::QueryFullProcessImageNameA(process, 0, path, &size) != 0;
    ::CloseHandle(process);
    if (!known)
        return false;
    std::string prefix = folder;
    if (prefix.back() != '\\')
        prefix += '\\';
    return StartsWithNoCase(path, prefix.c_str());
}

} // namespace

bool SpawnProcess(const char* commandLine, ProcessHandle& handle)
{
    STARTUPINFOA startup {};
    ::GetStartupInfoA(&startup);
    startup.dwFlags = 0;
    // CreateProcessA may write into the command line: hand it a copy.
    std::string line = commandLine != nullptr ? commandLine : "";
    std::vector<char> buffer(line.begin(), line.end());
    buffer.push_back('\0');
    // The child works in its program's own folder, so it holds no other
    // folder in use (an uninstall or an upgrade can remove the daemon's).
    std::string program;
    if (!line.empty() && line[0] == '"') {
        size_t close = line.find('"', 1);
        program = line.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    } else {
        program = line.substr(0, line.find_first_of(" \t"));
    }
    size_t separator = program.find_last_of("\\/");
    std::string folder = separator == std::string::npos ? std::string() : program.substr(0, separator);
    if (folder.size() == 2 && folder[1] == ':')
        folder += '\\'; // "C:" alone would be that drive's current folder
    PROCESS_INFORMATION created {};
    if (!::CreateProcessA(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          folder.empty() ? nullptr : folder.c_str(), &startup, &created))
        return false;
    ::CloseHandle(created.hThread);
    handle.pid = static_cast<int>(created.dwProcessId);
    handle.handle = reinterpret_cast<intptr_t>(created.hProcess);
    return true;
}

bool WaitForProcess(const ProcessHandle& handle, unsigned milliseconds)
{
    if (handle.handle < 0 || handle.handle == 0)
        return true;
    DWORD saved = ::GetLastError();
    DWORD result = ::WaitForSingleObject(AsHandle(handle.handle), milliseconds);
    ::SetLastError(saved);
    return result != WAIT_TIMEOUT;
}

void CloseProcess(ProcessHandle& handle)
{
    if (handle.handle > 0) {
        DWORD saved = ::GetLastError();
        ::CloseHandle(AsHandle(handle.handle));
        ::SetLastError(saved);
    }
    handle.handle = -1;
    handle.pid = 0;
}

int FindProcessByName(const char* name)
{
    DWORD saved = ::GetLastError();
    int found = 0;
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot != INVALID_HANDLE_VALUE) {
        PROCESSENTRY32 entry {};
        entry.dwSize = sizeof(entry);
        DWORD self = ::GetCurrentProcessId();
        for (BOOL more = ::Process32First(snapshot, &entry); more; more = ::Process32Next(snapshot, &entry)) {
            if (entry.th32ProcessID != self && EqualsNoCase(entry.szExeFile, name) && InScope(entry.th32ProcessID)) {
                found = static_cast<int>(entry.th32ProcessID);
                break;
            }
        }
        ::CloseHandle(snapshot);
    }
    ::SetLastError(saved);
    return found;
}

TerminateResult TerminateProcessByName(int pid, const char* name)
{
    (void)name;
    HANDLE process = ::OpenProcess(PROCESS_ALL_ACCESS, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr) {
        // Gone since the snapshot: nothing left to end.
        return ::GetLastError() == ERROR_INVALID_PARAMETER ? TerminateResult::Ended : TerminateResult::Denied;
    }
    if (!::TerminateProcess(process, 0)) {
        DWORD code = ::GetLastError();
        bool gone = ::WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
        ::CloseHandle(process);
        ::SetLastError(code);
        return gone ? TerminateResult::Ended : TerminateResult::Failed;
    }
    // Termination completes asynchronously: wait so that the next snapshot
    // no longer lists it.
    bool gone = ::WaitForSingleObject(process, TerminateWaitMs) == WAIT_OBJECT_0;
    ::CloseHandle(process);
    return gone ? TerminateResult::Ended : TerminateResult::Failed;
}

bool SetProcessPrivilege(const char* name, bool enable)
{
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return false;
    TOKEN_PRIVILEGES privileges {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = 0;
    bool ok = ::LookupPrivilegeValueA(nullptr, name, &privileges.Privileges[0].Luid) != 0;
    if (ok) {
        // The first adjustment hands back the privilege's previous state; the
        // second sets or clears its enabled flag in that state.
        TOKEN_PRIVILEGES previous {};
        DWORD size = sizeof(previous);
        ::AdjustTokenPrivileges(token, FALSE, &privileges, sizeof(privileges), &previous, &size);
        ok = ::GetLastError() == ERROR_SUCCESS;
        if (ok) {
            previous.PrivilegeCount = 1;
            previous.Privileges[0].Luid = privileges.Privileges[0].Luid;
            if (enable)
                previous.Privileges[0].Attributes |= SE_PRIVILEGE_ENABLED;
            else
                previous.Privileges[0].Attributes &= ~static_cast<DWORD>(SE_PRIVILEGE_ENABLED);
            ::AdjustTokenPrivileges(token, FALSE, &previous, size, nullptr, nullptr);
            ok = ::GetLastError() == ERROR_SUCCESS;
        }
    }
    DWORD code = ::GetLastError();
    ::CloseHandle(token);
    ::SetLastError(code);
    return ok;
}

void TerminateProcessGroup(int groupId)
{
    // A child's own children are not grouped with it on Windows.
    (void)groupId;
}

void IgnoreStraySignals()
{
    // No signal of the system can end the daemon here: a closed peer makes
    // the send fail, a full disk the write.
}

namespace {

std::string ImagePathOf(DWORD pid)
{
    HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr)
        return {};
    char path[MAX_PATH * 4] = {};
    DWORD size = sizeof(path);
    bool known = ::QueryFullProcessImageNameA(process, 0, path, &size) != 0;
    ::CloseHandle(process);
    return known ? std::string(path, size) : std::string();
}

// Windows paths: letter case and the kind of slash do not matter.
bool SamePath(std::string a, std::string b)
{
    for (std::string* text : {&a, &b})
        for (char& c : *text)
            if (c == '/')
                c = '\\';
    return EqualsNoCase(a.c_str(), b.c_str());
}

std::string FileNameOf(const std::string& path)
{
    size_t separator = path.find_last_of("\\/");
    return separator == std::string::npos ? path : path.substr(separator + 1);
}

struct SnapshotEntry {
    DWORD pid;
    DWORD parent;
    std::string name;
};

std::vector<SnapshotEntry> TakeSnapshot()
{
    std::vector<SnapshotEntry> entries;
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return entries;
    PROCESSENTRY32 entry {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32First(snapshot, &entry); more; more = ::Process32Next(snapshot, &entry))
        entries.push_back({entry.th32ProcessID, entry.th32ParentProcessID, entry.szExeFile});
    ::CloseHandle(snapshot);
    return entries;
}

} // namespace

std::string ProcessProgramPath(int pid)
{
    DWORD saved = ::GetLastError();
    std::string path = ImagePathOf(static_cast<DWORD>(pid));
    ::SetLastError(saved);
    return path;
}

int FindProcessByPath(const char* path)
{
    if (path == nullptr || *path == '\0')
        return 0;
    DWORD saved = ::GetLastError();
    DWORD self = ::GetCurrentProcessId();
    std::string name = FileNameOf(path);
    int found = 0;
    for (const SnapshotEntry& entry : TakeSnapshot()) {
        if (entry.pid != self && EqualsNoCase(entry.name.c_str(), name.c_str()) && SamePath(ImagePathOf(entry.pid), path)) {
            found = static_cast<int>(entry.pid);
            break;
        }
    }
    ::SetLastError(saved);
    return found;
}

TerminateResult TerminateProcessByPath(int pid, const char* path)
{
    HANDLE process = ::OpenProcess(PROCESS_ALL_ACCESS, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr)
        return ::GetLastError() == ERROR_INVALID_PARAMETER ? TerminateResult::Ended : TerminateResult::Denied;
    char image[MAX_PATH * 4] = {};
    DWORD size = sizeof(image);
    bool same = ::QueryFullProcessImageNameA(process, 0, image, &size) != 0 && SamePath(image, path);
    ::CloseHandle(process);
    // Still the process that was found: end it as by name.
    return same ? TerminateProcessByName(pid, FileNameOf(path).c_str()) : TerminateResult::Ended;
}

int FindDescendantByName(const char* name, const std::vector<std::string>& programs)
{
    (void)programs; // another process's environment is not read here
    DWORD saved = ::GetLastError();
    DWORD self = ::GetCurrentProcessId();
    std::vector<SnapshotEntry> entries = TakeSnapshot();
    int found = 0;
    for (const SnapshotEntry& entry : entries) {
        if (entry.pid == self || !EqualsNoCase(entry.name.c_str(), name))
            continue;
        DWORD at = entry.parent;
        for (int steps = 0; found == 0 && at != 0 && steps < 64; steps++) {
            if (at == self) {
                found = static_cast<int>(entry.pid);
                break;
            }
            DWORD next = 0;
            for (const SnapshotEntry& parent : entries)
                if (parent.pid == at)
                    next = parent.parent;
            at = next;
        }
        if (found != 0)
            break;
    }
    ::SetLastError(saved);
    return found;
}

int FindProcessByCommandLine(const char* commandLine)
{
    std::string line = commandLine != nullptr ? commandLine : "";
    std::string program;
    if (!line.empty() && line[0] == '"') {
        size_t close = line.find('"', 1);
        program = line.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    } else {
        program = line.substr(0, line.find_first_of(" \t"));
    }
    return FindProcessByPath(program.c_str());
}

bool OpenProcessHandle(int pid, ProcessHandle& handle)
{
    handle = ProcessHandle{};
    HANDLE process = ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr)
        return false;
    handle.pid = pid;
    handle.handle = reinterpret_cast<intptr_t>(process);
    return true;
}

bool QueryProcessExit(ProcessHandle& handle, int& status)
{
    status = -1;
    if (handle.handle <= 0)
        return true;
    DWORD saved = ::GetLastError();
    bool ended = ::WaitForSingleObject(AsHandle(handle.handle), 0) != WAIT_TIMEOUT;
    DWORD code = 0;
    if (ended && ::GetExitCodeProcess(AsHandle(handle.handle), &code))
        status = static_cast<int>(code);
    ::SetLastError(saved);
    return ended;
}

bool AdoptOrphanedDescendants()
{
    return true;
}

void EndAdoptedProcesses(const char* program, const char* spare)
{
    (void)program;
    (void)spare;
}

void ReapAdoptedProcesses()
{
}

void TerminateProcessAndGroup(ProcessHandle& handle)
{
    if (handle.handle > 0) {
        DWORD saved = ::GetLastError();
        HANDLE process = AsHandle(handle.handle);
        if (::WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
            ::TerminateProcess(process, 0);
            ::WaitForSingleObject(process, TerminateWaitMs);
        }
        ::SetLastError(saved);
    }
    CloseProcess(handle);
}

bool RequestConfigurationReload(const ProcessHandle& handle)
{
    // Run with -D ONE_PROCESS the web server has no parent process of its
    // own that could restart it gracefully: it is ended, and the supervisor
    // starts it again with the new configuration.
    if (handle.handle > 0 && ::WaitForSingleObject(AsHandle(handle.handle), 0) == WAIT_TIMEOUT) {
        ::TerminateProcess(AsHandle(handle.handle), 0);
        ::WaitForSingleObject(AsHandle(handle.handle), TerminateWaitMs);
    }
    return false;
}

std::vector<int> ChildProcessesOf(int parentId)
{
    std::vector<int> children;
    for (const SnapshotEntry& entry : TakeSnapshot())
        if (static_cast<int>(entry.parent) == parentId)
            children.push_back(static_cast<int>(entry.pid));
    return children;
}

bool ProcessIsRunning(int pid)
{
    HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr)
        return false;
    bool running = ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    ::CloseHandle(process);
    return running;
}

bool SendReloadRequest(int pid)
{
    (void)pid;
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return false;
}

int CurrentProcessId()
{
    return static_cast<int>(::GetCurrentProcessId());
}
