// The basic platform services on Linux.
#include "platform/Platform.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>
#include <unistd.h>
#include <vector>

std::string GetExecutablePath()
{
    std::vector<char> buffer(4096);
    ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0)
        return {};
    return std::string(buffer.data(), static_cast<size_t>(n));
}

std::string GetExecutableFolder()
{
    std::string path = GetExecutablePath();
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return {};
    return path.substr(0, slash);
}

std::string GetComputerNameText()
{
    char name[256] = {};
    if (gethostname(name, sizeof(name) - 1) != 0)
        return {};
    return name;
}

LocalTime GetLocalTime()
{
    time_t now = time(nullptr);
    struct tm parts {};
    localtime_r(&now, &parts);
    return {parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec};
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
    int saved = errno;
    std::this_thread::sleep_for(std::chrono::microseconds(static_cast<uint64_t>(milliseconds) * 1000 / sleepDivisor));
    errno = saved;
}

int GetLastOsError()
{
    return errno;
}

void SetLastOsError(int code)
{
    errno = code;
}

bool GetOsErrorText(int code, std::string& text)
{
    int saved = errno;
    char buffer[512] = {};
    // The GNU strerror_r returns a pointer that may or may not be buffer.
    const char* message = strerror_r(code, buffer, sizeof(buffer));
    bool known = message != nullptr && std::strncmp(message, "Unknown error", 13) != 0;
    if (known)
        text = message;
    else
        text.clear();
    errno = saved;
    return known;
}




void WriteDebuggerChannel(const std::string& text)
{
    (void)text;
}

void ShowMessageBox(const char* caption, const std::string& text)
{
    WriteStandardError(std::string(caption) + ": " + text + "\n", 3);
}
