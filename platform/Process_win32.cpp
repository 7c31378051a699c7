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
