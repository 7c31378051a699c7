// The basic platform services on Windows.
#include "platform/Platform.h"

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "platform/Win32.h"

std::string GetExecutablePath()
{
    char path[MAX_PATH * 4] = {};
    DWORD saved = ::GetLastError();
    DWORD length = ::GetModuleFileNameA(nullptr, path, sizeof(path));
    ::SetLastError(saved);
    if (length == 0 || length >= sizeof(path))
        return {};
    return std::string(path, length);
}

std::string GetExecutableFolder()
{
    std::string path = GetExecutablePath();
    size_t slash = path.rfind('\\');
    if (slash == std::string::npos)
        return {};
    return path.substr(0, slash);
}

std::string GetComputerNameText()
{
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof(name);
    if (!::GetComputerNameA(name, &size))
        return {};
    return std::string(name, size);
}

LocalTime GetLocalTime()
{
    SYSTEMTIME now {};
    ::GetLocalTime(&now);
    return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

namespace {
std::atomic<unsigned> sleepDivisor{1};
}

void SetSleepDivisor(unsigned divisor)
{
    sleepDivisor = divisor == 0 ? 1 : divisor;
}

void Sleep(unsigned milliseconds)
{
    DWORD saved = ::GetLastError();
    ::Sleep(static_cast<DWORD>(milliseconds / sleepDivisor));
    ::SetLastError(saved);
}

int GetLastOsError()
{
    return static_cast<int>(::GetLastError());
}

void SetLastOsError(int code)
{
    ::SetLastError(static_cast<DWORD>(code));
}

bool GetOsErrorText(int code, std::string& text)
{
    DWORD saved = ::GetLastError();
    char* message = nullptr;
    DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                        FORMAT_MESSAGE_IGNORE_INSERTS,
                                    nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                    reinterpret_cast<char*>(&message), 0, nullptr);
    bool known = length > 0 && message != nullptr;
    if (known) {
        // The system's texts end in CR LF: the callers add their own line end.
        while (length > 0 && (message[length - 1] == '\n' || message[length - 1] == '\r'))
            --length;
        text.assign(message, length);
    } else {
        text.clear();
    }
    if (message != nullptr)
        ::LocalFree(message);
    ::SetLastError(saved);
    return known;
}

// The journal's priorities are systemd's: nothing is added on Windows.
void WriteStandardError(const std::string& text, int)
{
    DWORD saved = ::GetLastError();
    HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
    if (error != nullptr && error != INVALID_HANDLE_VALUE) {
        size_t done = 0;
        while (done < text.size()) {
            DWORD written = 0;
            DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - done, 1 << 20));
            if (!::WriteFile(error, text.data() + done, chunk, &written, nullptr) || written == 0)
                break;
            done += written;
        }
    }
    ::SetLastError(saved);
}

void WriteDebuggerChannel(const std::string& text)
{
    DWORD saved = ::GetLastError();
    ::OutputDebugStringA(text.c_str());
    ::SetLastError(saved);
}

void ShowMessageBox(const char* caption, const std::string& text)
{
    DWORD saved = ::GetLastError();
    // A box waits for a click: it is shown only to a user who watches the
    // program at a console window. A service, a program whose output goes to
    // a file or a pipe (as under a test) and one without a console write the
    // text to standard error instead and go on at once.
    DWORD mode = 0;
    bool watched = ::GetConsoleWindow() != nullptr && ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode);
    if (watched)
        ::MessageBoxA(nullptr, text.c_str(), caption, MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
    else
        WriteStandardError(std::string(caption) + ": " + text + "\n");
    ::SetLastError(saved);
}
