// Command on Linux: posix_spawn with a pipe, mkdtemp; folders held open by
// descriptor for the files of a one-shot tool.
#include "platform/Command.h"

#include "platform/EarlyStop.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

#include "platform/Platform.h"
#include "platform/Text.h"

extern char** environ;

namespace {

// Pause between two looks at a program run with a time limit.
constexpr unsigned PollMilliseconds = 10;

int ExitCodeOf(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Reads what the pipe holds now; false once it is at its end (or broken).
bool ReadAvailable(int fd, std::string& output)
{
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            output.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

} // namespace

bool RunProgramCapturingOutput(const std::vector<std::string>& arguments, std::string& output, int& exitCode,
                               unsigned timeLimitMilliseconds)
{
    output.clear();
    exitCode = -1;
    if (arguments.empty()) {
        errno = EINVAL;
        return false;
    }
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0)
        return false;
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 2);
    sigset_t mask;
    sigemptyset(&mask);
    posix_spawnattr_setsigmask(&attributes, &mask);
    sigset_t defaults;
    sigfillset(&defaults);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    // A program that may have to be killed gets a process group of its own,
    // so whatever it started goes with it.
    if (timeLimitMilliseconds != 0) {
        flags |= POSIX_SPAWN_SETPGROUP;
        posix_spawnattr_setpgroup(&attributes, 0);
    }
    posix_spawnattr_setflags(&attributes, flags);
    pid_t pid = 0;
    int error = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(pipeEnds[1]);
    if (error != 0) {
        close(pipeEnds[0]);
        errno = error;
        return false;
    }

    if (timeLimitMilliseconds != 0) {
        int readEnd = pipeEnds[0];
        (void)fcntl(readEnd, F_SETFL, fcntl(readEnd, F_GETFL) | O_NONBLOCK);
        bool open = true;
        bool ended = false;
        bool reaped = false;
        int status = 0;
        for (unsigned waited = 0;; waited += PollMilliseconds) {
            if (open)
                open = ReadAvailable(readEnd, output);
            if (!ended) {
                pid_t done = waitpid(pid, &status, WNOHANG);
                reaped = done == pid;
                ended = reaped || (done < 0 && errno != EINTR);
            }
            if (ended && !open)
                break;
            bool stopping = EarlyStopRequested();
            if (waited >= timeLimitMilliseconds || stopping) {
                if (ended)
                    break; // it ended; something it left behind holds the pipe
                kill(-pid, SIGKILL);
                while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
                }
                close(readEnd);
                exitCode = ExitCodeOf(status);
                errno = stopping ? EINTR : OsErrorTimedOut;
                return false;
            }
            Sleep(PollMilliseconds);
        }
        close(readEnd);
        exitCode = reaped ? ExitCodeOf(status) : -1;
        return true;
    }

    char buffer[4096];
    for (;;) {
        ssize_t n = read(pipeEnds[0], buffer, sizeof buffer);
        if (n > 0)
            output.append(buffer, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR)
            break;
    }
    close(pipeEnds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return true;
    }
    exitCode = ExitCodeOf(status);
    return true;
}

bool CreatePrivateTemporaryFolder(const std::string& prefix, std::string& path)
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && base[0] == '/' ? base : "/tmp") + "/" + prefix + "XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        return false;
    path = pattern;
    return true;
}

namespace {

// What one path was found to be, remembered while many paths are resolved.
struct PathEntry {
    bool ok = false;      // lstat answered, or the path does not exist
    bool missing = false; // it does not exist
    bool link = false;
    std::string target;   // a link's text
};

using PathCache = std::unordered_map<std::string, PathEntry>;

PathEntry Look(const std::string& path, PathCache* cache)
{
    if (cache != nullptr) {
        auto it = cache->find(path);
        if (it != cache->end())
            return it->second;
    }
    PathEntry entry;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        entry.ok = entry.missing = errno == ENOENT;
    } else if (S_ISLNK(st.st_mode)) {
        std::vector<char> target(PATH_MAX + 1);
        ssize_t n = readlink(path.c_str(), target.data(), PATH_MAX);
        entry.ok = n >= 0;
        entry.link = true;
        if (n >= 0)
            entry.target.assign(target.data(), static_cast<size_t>(n));
    } else {
        entry.ok = true;
    }
    if (cache != nullptr)
        cache->emplace(path, entry);
    return entry;
}

std::string Resolve(const std::string& path, PathCache* cache)
{
    if (path.empty())
        return {};
    std::string start;
    if (path[0] != '/') {
        char here[PATH_MAX];
        if (getcwd(here, sizeof here) == nullptr)
            return {};
        start = here;
    }
    // The components still to walk, the next one last.
    std::vector<std::string> pending;
    auto push = [&pending](const std::string& text) {
        std::vector<std::string> parts;
        size_t at = 0;
        while (at <= text.size()) {
            size_t cut = text.find('/', at);
            if (cut == std::string::npos)
                cut = text.size();
            if (cut > at)
                parts.push_back(text.substr(at, cut - at));
            at = cut + 1;
        }
        pending.insert(pending.end(), parts.rbegin(), parts.rend());
    };
    push(path);
    push(start);
    std::string resolved; // "" stands for "/"
    bool missing = false;   // from here on nothing exists: text only
    int links = 0;
    while (!pending.empty()) {
        std::string part = pending.back();
        pending.pop_back();
        if (part == ".")
            continue;
        if (part == "..") {
            // resolved holds no link, so its parent is its text's parent.
            size_t slash = resolved.rfind('/');
            resolved.erase(slash == std::string::npos ? 0 : slash);
            continue;
        }
        std::string next = resolved + "/" + part;
        if (missing) {
            resolved = next;
            continue;
        }
        PathEntry entry = Look(next, cache);
        if (!entry.ok)
            return {};
        if (!entry.link) {
            missing = entry.missing;
            resolved = next;
            continue;
        }
        if (++links > 40)
            return {};
        if (!entry.target.empty() && entry.target[0] == '/')
            resolved.clear();
        push(entry.target);
    }
    return resolved.empty() ? "/" : resolved;
}

} // namespace

std::string ResolvedPath(const std::string& path)
{
    return Resolve(path, nullptr);
}

std::vector<std::string> ResolvedPaths(const std::vector<std::string>& paths)
{
    // Paths of one installation share most of their folders: each is
    // looked at once.
    PathCache cache;
    std::vector<std::string> resolved;
    resolved.reserve(paths.size());
    for (const std::string& path : paths)
        resolved.push_back(Resolve(path, &cache));
    return resolved;
}

namespace {

// Temporary files of WritePrivateFile: "<name>.tmp" and six random letters.
constexpr const char* TemporaryMark = ".tmp";
constexpr size_t TemporaryRandomLength = 6;

std::string RandomLetters()
{
    static std::mt19937 generator{std::random_device{}()};
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::uniform_int_distribution<size_t> pick(0, sizeof letters - 2);
    std::string text;
    for (size_t i = 0; i < TemporaryRandomLength; ++i)
        text += letters[pick(generator)];
    return text;
}

bool IsTemporaryName(const std::string& name)
{
    size_t tail = std::strlen(TemporaryMark) + TemporaryRandomLength;
    return name.size() > tail && name.compare(name.size() - tail, std::strlen(TemporaryMark), TemporaryMark) == 0;
}

// Whether a folder with these attributes is safe from other users: theirs
// or root's, and writable by no one else (a sticky folder may be, since
// there one cannot rename or remove another user's entries).
bool SafeFolder(const struct stat& st, bool allowSticky)
{
    if (st.st_uid != geteuid() && st.st_uid != 0)
        return false;
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) == 0)
        return true;
    return allowSticky && (st.st_mode & S_ISVTX) != 0;
}

void RemoveStaleTemporaries(int folder)
{
    int copy = fcntl(folder, F_DUPFD_CLOEXEC, 0);
    if (copy < 0)
        return;
    DIR* dir = fdopendir(copy);
    if (dir == nullptr) {
        close(copy);
        return;
    }
    std::vector<std::string> stale;
    while (struct dirent* entry = readdir(dir))
        if (IsTemporaryName(entry->d_name))
            stale.emplace_back(entry->d_name);
    closedir(dir);
    for (const std::string& name : stale)
        (void)unlinkat(folder, name.c_str(), 0);
}

std::string Shown(const std::string& path)
{
    return PrintableText(path);
}

} // namespace

bool OpenPrivateFolder(const std::string& path, PrivateFolder& folder, std::string& refusal)
{
    folder = PrivateFolder{};
    std::string real = ResolvedPath(path);
    if (real.empty()) {
        refusal = Shown(path) + " cannot be resolved";
        return false;
    }
    int fd = open(real.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        std::string reason;
        GetOsErrorText(errno, reason);
        refusal = "cannot open the folder " + Shown(real) + ": " + reason;
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !SafeFolder(st, false)) {
        close(fd);
        refusal = Shown(real) + " is not a folder of the user running the check (or of root) that only its owner may "
                  "change";
        return false;
    }
    // Every folder above it, up to the root, by descriptor: none may let
    // another user move the folder away and put another in its place.
    int at = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    std::string above = real;
    while (at >= 0) {
        int parent = openat(at, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        struct stat mine {};
        struct stat up {};
        bool top = parent < 0 || fstat(at, &mine) != 0 || fstat(parent, &up) != 0 ||
                   (mine.st_dev == up.st_dev && mine.st_ino == up.st_ino);
        close(at);
        at = parent;
        if (top)
            break;
        size_t slash = above.rfind('/');
        above = slash == 0 || slash == std::string::npos ? "/" : above.substr(0, slash);
        if (!SafeFolder(up, true)) {
            close(at);
            close(fd);
            refusal = "the folder " + Shown(above) + " above " + Shown(real) +
                      " may be changed by other users; choose a folder that only its owner and root may change";
            return false;
        }
    }
    if (at >= 0)
        close(at);
    RemoveStaleTemporaries(fd);
    folder.handle = fd;
    folder.path = real;
    return true;
}

std::string ContainingFolder(const PrivateFolder& folder, const std::vector<std::string>& folders)
{
    struct Identity {
        dev_t device;
        ino_t inode;
        bool operator==(const Identity& other) const { return device == other.device && inode == other.inode; }
    };
    struct IdentityHash {
        size_t operator()(const Identity& id) const
        {
            return std::hash<unsigned long long>()(static_cast<unsigned long long>(id.inode) * 1000003u ^
                                                   static_cast<unsigned long long>(id.device));
        }
    };
    std::unordered_set<Identity, IdentityHash> chain;
    if (folder.handle < 0)
        return {};
    int at = fcntl(folder.handle, F_DUPFD_CLOEXEC, 0);
    while (at >= 0) {
        struct stat st {};
        if (fstat(at, &st) != 0 || !chain.insert({st.st_dev, st.st_ino}).second)
            break; // the root is its own parent
        int parent = openat(at, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        close(at);
        at = parent;
    }
    if (at >= 0)
        close(at);
    for (const std::string& candidate : folders) {
        struct stat st {};
        if (!candidate.empty() && stat(candidate.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
            chain.count({st.st_dev, st.st_ino}) != 0)
            return candidate;
    }
    return {};
}

bool BeginPrivateFile(const PrivateFolder& folder, const std::string& name, unsigned mode, PrivateFile& file)
{
    file = PrivateFile{};
    if (folder.handle < 0 || name.empty() || name.find('/') != std::string::npos) {
        errno = EINVAL;
        return false;
    }
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        file.temp = name + TemporaryMark + RandomLetters();
        fd = openat(folder.handle, file.temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            return false;
    }
    if (fd < 0)
        return false;
    if (fchmod(fd, static_cast<mode_t>(mode)) != 0) {
        int saved = errno;
        close(fd);
        (void)unlinkat(folder.handle, file.temp.c_str(), 0);
        errno = saved;
        return false;
    }
    file.handle = fd;
    file.name = name;
    return true;
}

bool AppendPrivateFile(PrivateFile& file, const std::string& bytes)
{
    size_t done = 0;
    while (file.error == 0 && done < bytes.size()) {
        ssize_t n = write(file.handle, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            file.error = n < 0 ? errno : EIO;
        else
            done += static_cast<size_t>(n);
    }
    if (file.error != 0)
        errno = file.error;
    return file.error == 0;
}

bool FinishPrivateFile(const PrivateFolder& folder, PrivateFile& file)
{
    if (file.handle < 0) {
        errno = EINVAL;
        return false;
    }
    int error = file.error;
    if (close(file.handle) != 0 && error == 0)
        error = errno;
    if (error == 0 && renameat(folder.handle, file.temp.c_str(), folder.handle, file.name.c_str()) != 0)
        error = errno;
    if (error != 0)
        (void)unlinkat(folder.handle, file.temp.c_str(), 0);
    file = PrivateFile{};
    errno = error;
    return error == 0;
}

bool WritePrivateFile(const PrivateFolder& folder, const std::string& name, const std::string& bytes, unsigned mode)
{
    PrivateFile file;
    if (!BeginPrivateFile(folder, name, mode, file))
        return false;
    AppendPrivateFile(file, bytes);
    return FinishPrivateFile(folder, file);
}

bool RemovePrivateFile(const PrivateFolder& folder, const std::string& name)
{
    return unlinkat(folder.handle, name.c_str(), 0) == 0;
}

void ClosePrivateFolder(PrivateFolder& folder)
{
    if (folder.handle >= 0)
        close(folder.handle);
    folder = PrivateFolder{};
}
