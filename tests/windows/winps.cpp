// Process list helper for the shell-driven Windows tests (Wine has no
// working tasklist): "winps list NAME" prints the id of every process whose
// executable name is NAME (letter case ignored), one a line; "winps kill
// NAME" terminates them all and prints how many.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

std::vector<DWORD> Find(const char* name)
{
    std::vector<DWORD> found;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return found;
    PROCESSENTRY32 entry {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
        if (_stricmp(entry.szExeFile, name) == 0)
            found.push_back(entry.th32ProcessID);
    CloseHandle(snapshot);
    return found;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: winps list|kill NAME\n");
        return 2;
    }
    std::vector<DWORD> pids = Find(argv[2]);
    if (std::strcmp(argv[1], "list") == 0) {
        for (DWORD pid : pids)
            std::printf("%lu\n", pid);
        return 0;
    }
    if (std::strcmp(argv[1], "kill") == 0) {
        int ended = 0;
        for (DWORD pid : pids) {
            HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
            if (process == nullptr)
                continue;
            if (TerminateProcess(process, 9) && WaitForSingleObject(process, 5000) == WAIT_OBJECT_0)
                ++ended;
            CloseHandle(process);
        }
        std::printf("%d\n", ended);
        return 0;
    }
    std::fprintf(stderr, "usage: winps list|kill NAME\n");
    return 2;
}
