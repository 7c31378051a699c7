// POSIX implementation of the basic platform services.
#include "platform/Platform.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fnmatch.h>
#include <dirent.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <algorithm>

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

bool PathExists(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

bool FolderExists(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileExists(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool CreateFolder(const std::string& path)
{
    return mkdir(path.c_str(), 0755) == 0;
}

bool SetCurrentFolder(const std::string& path)
{
    return chdir(path.c_str()) == 0;
}

std::vector<std::string> FindFiles(const std::string& folder, const std::string& pattern)
{
    std::vector<std::string> names;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr)
        return names;
    while (struct dirent* entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        if (fnmatch(pattern.c_str(), entry->d_name, 0) == 0)
            names.emplace_back(entry->d_name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

namespace {
bool WriteAll(int fd, const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}
}

bool AppendToFile(const std::string& path, const std::string& bytes)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = WriteAll(fd, bytes);
    int saved = errno;
    close(fd);
    errno = saved;
    return ok;
}

bool WriteFileAtomically(const std::string& path, const std::string& bytes, unsigned mode)
{
    std::string temp = path + ".tmpXXXXXX";
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = fchmod(fd, static_cast<mode_t>(mode)) == 0 && WriteAll(fd, bytes) && fsync(fd) == 0;
    int saved = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (ok && rename(name.data(), path.c_str()) != 0) {
        ok = false;
        saved = errno;
    }
    if (!ok) {
        unlink(name.data());
        errno = saved;
    }
    return ok;
}

void WriteStandardError(const std::string& text)
{
    int saved = errno;
    WriteAll(STDERR_FILENO, text);
    errno = saved;
}
