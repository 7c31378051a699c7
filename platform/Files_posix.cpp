// Files and folders on Linux.
#include "platform/Files.h"

#include "platform/Platform.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

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

bool IsRegularFile(const std::string& path)
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

bool ReadFileSize(const std::string& path, int64_t* size)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat st {};
    bool ok = fstat(fd, &st) == 0;
    int saved = errno;
    if (ok && !S_ISREG(st.st_mode)) {
        ok = false;
        saved = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    }
    close(fd);
    errno = saved;
    if (ok)
        *size = static_cast<int64_t>(st.st_size);
    return ok;
}

bool RemoveFile(const std::string& path)
{
    return unlink(path.c_str()) == 0;
}

bool RemoveFolder(const std::string& path)
{
    return rmdir(path.c_str()) == 0;
}

bool IsFolderEntry(const std::string& path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ReadWholeFile(const std::string& path, std::string& bytes)
{
    bytes.clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            bytes.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        int saved = errno;
        close(fd);
        if (n < 0) {
            errno = saved;
            bytes.clear();
            return false;
        }
        return true;
    }
}

// Standard error is written like a file, in as few writes as it takes.
void WriteStandardError(const std::string& text)
{
    int saved = errno;
    WriteAll(STDERR_FILENO, text);
    errno = saved;
}
