// Files and folders on Linux.
#include "platform/Files.h"

#include "platform/Platform.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string FolderOf(const std::string& path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// name with the characters that a shell pattern gives a meaning escaped.
std::string PatternLiteral(const std::string& name)
{
    std::string out;
    for (char c : name) {
        if (c == '*' || c == '?' || c == '[' || c == '\\')
            out += '\\';
        out += c;
    }
    return out;
}

} // namespace

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
    if (mkdir(path.c_str(), 0755) != 0)
        return false;
    // A new folder belongs to the group of the folder it is made in, so a
    // group given to a parent folder (the web server's, say) reaches the
    // folders and files the daemon creates below it.
    struct stat parent {};
    struct stat made {};
    if (stat(FolderOf(path).c_str(), &parent) == 0 && stat(path.c_str(), &made) == 0 && made.st_gid != parent.st_gid)
        (void)chown(path.c_str(), static_cast<uid_t>(-1), parent.st_gid);
    return true;
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
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
    if (fd < 0)
        return false;
    bool ok = WriteAll(fd, bytes);
    int saved = errno;
    close(fd);
    errno = saved;
    return ok;
}


void RemoveStaleTemporaryFiles(const std::string& path)
{
    std::string folder = FolderOf(path);
    size_t slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    for (const std::string& stale : FindFiles(folder, PatternLiteral(name) + ".tmp??????"))
        unlink((folder + "/" + stale).c_str());
}

bool WriteFileAtomically(const std::string& path, const std::string& bytes, NewFileRights rights)
{
    // A file that is replaced keeps its rights, owner and group; a new one
    // gets the given rights and, when asked, the group of its folder.
    struct stat old {};
    bool replacing = stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode);
    struct stat folder {};
    mode_t mode = replacing ? (old.st_mode & 07777) : static_cast<mode_t>(rights.mode);
    uid_t owner = replacing ? old.st_uid : static_cast<uid_t>(-1);
    gid_t group = replacing ? old.st_gid : static_cast<gid_t>(-1);
    bool narrowed = false;
    if (replacing && rights.secret && (mode & ~static_cast<mode_t>(rights.mode)) != 0) {
        mode &= static_cast<mode_t>(rights.mode);
        narrowed = true;
    }
    if ((!replacing || narrowed) && rights.folderGroup && stat(FolderOf(path).c_str(), &folder) == 0)
        group = folder.st_gid;

    RemoveStaleTemporaryFiles(path);
    std::string temp = path + ".tmpXXXXXX";
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    // Created readable by its owner only; its final rights are set before
    // the first byte is written.
    int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    if (owner != static_cast<uid_t>(-1) || group != static_cast<gid_t>(-1)) {
        // Without the right to give the file away it stays the writer's.
        if (fchown(fd, owner, group) != 0)
            (void)fchown(fd, static_cast<uid_t>(-1), group);
    }
    bool ok = fchmod(fd, mode) == 0 && WriteAll(fd, bytes) && fsync(fd) == 0;
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

namespace {

bool StandardErrorIsJournal()
{
    const char* stream = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0, inode = 0;
    struct stat info {};
    return stream != nullptr && std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
           fstat(STDERR_FILENO, &info) == 0 && static_cast<unsigned long long>(info.st_dev) == device &&
           static_cast<unsigned long long>(info.st_ino) == inode;
}

// Whether the next byte written to standard error starts a line.
std::atomic<bool> atLineStart{true};

} // namespace

// Standard error is written like a file, in as few writes as it takes.
void WriteStandardError(const std::string& text, int priority)
{
    int saved = errno;
    if (!text.empty() && StandardErrorIsJournal()) {
        std::string prefix = "<" + std::to_string(priority) + ">";
        std::string lines;
        bool start = atLineStart;
        for (char c : text) {
            if (start)
                lines += prefix;
            lines += c;
            start = c == '\n';
        }
        atLineStart = start;
        WriteAll(STDERR_FILENO, lines);
    } else {
        if (!text.empty())
            atLineStart = text.back() == '\n';
        WriteAll(STDERR_FILENO, text);
    }
    errno = saved;
}
