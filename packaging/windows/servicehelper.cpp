// Installer helper, run by the MSI from its own Binary table (so it holds
// nothing in the program folder):
//
//     servicehelper stop NAME [LOGFOLDER]
//         stops the service NAME and waits until its process has ended, not
//         only until the service manager says STOPPED: the program file and
//         its folder can be removed or replaced only once no process runs
//         from them. With LOGFOLDER it then deletes the *.log files in that
//         folder and the folder itself (at the removal of the product, not at
//         an upgrade).
//     servicehelper quote NAME PROGRAM
//         sets the command of the service NAME to PROGRAM in double quotes.
//         The installer's own service install writes the path as it is, and
//         a path with a blank ("C:\Program Files\...") would then start
//         C:\Program.exe when there is one.
//
// "stop" always exits 0: a service that is not there or not running needs
// nothing done. "quote" exits 1 when the command cannot be set.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>

namespace {

// How long the service's process may take to end after the stop request.
constexpr DWORD ProcessWaitMs = 120000;
constexpr DWORD PollMs = 200;

bool QueryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS& status)
{
    DWORD needed = 0;
    return ::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                  sizeof(status), &needed) != 0;
}

void StopAndWait(const char* name)
{
    SC_HANDLE manager = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr)
        return;
    SC_HANDLE service = ::OpenServiceA(manager, name, SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (service == nullptr) {
        ::CloseServiceHandle(manager);
        return;
    }
    SERVICE_STATUS_PROCESS status {};
    if (QueryStatus(service, status) && status.dwCurrentState != SERVICE_STOPPED) {
        // The process handle is taken before the stop, while the id still
        // names the service's process.
        HANDLE process = status.dwProcessId != 0
            ? ::OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId) : nullptr;
        SERVICE_STATUS ignored {};
        if (status.dwCurrentState != SERVICE_STOP_PENDING)
            ::ControlService(service, SERVICE_CONTROL_STOP, &ignored);
        if (process != nullptr) {
            ::WaitForSingleObject(process, ProcessWaitMs);
            ::CloseHandle(process);
        } else {
            for (DWORD waited = 0; waited < ProcessWaitMs; waited += PollMs) {
                if (!QueryStatus(service, status) || status.dwCurrentState == SERVICE_STOPPED)
                    break;
                ::Sleep(PollMs);
            }
        }
    }
    ::CloseServiceHandle(service);
    ::CloseServiceHandle(manager);
}

void RemoveLogFolder(std::string folder)
{
    while (!folder.empty() && (folder.back() == '\\' || folder.back() == '/'))
        folder.pop_back();
    if (folder.empty())
        return;
    WIN32_FIND_DATAA found {};
    HANDLE search = ::FindFirstFileA((folder + "\\*.log").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
                ::DeleteFileA((folder + "\\" + found.cFileName).c_str());
        } while (::FindNextFileA(search, &found));
        ::FindClose(search);
    }
    // Only an empty folder goes: files of another kind stay, with it.
    ::RemoveDirectoryA(folder.c_str());
}

bool QuoteCommand(const char* name, const char* program)
{
    SC_HANDLE manager = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr)
        return false;
    SC_HANDLE service = ::OpenServiceA(manager, name, SERVICE_CHANGE_CONFIG);
    bool done = false;
    if (service != nullptr) {
        std::string command = std::string("\"") + program + "\"";
        done = ::ChangeServiceConfigA(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                      command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr,
                                      nullptr) != 0;
        ::CloseServiceHandle(service);
    }
    ::CloseServiceHandle(manager);
    return done;
}

} // namespace

int main(int argc, char** argv)
{
    std::string command = argc > 1 ? argv[1] : "";
    if (command == "stop" && argc > 2) {
        StopAndWait(argv[2]);
        if (argc > 3)
            RemoveLogFolder(argv[3]);
        return 0;
    }
    if (command == "quote" && argc == 4)
        return QuoteCommand(argv[2], argv[3]) ? 0 : 1;
    return 2;
}
