// Child processes and the process list on Linux: posix_spawn, pidfd and /proc.
#include "platform/Process.h"

#include "platform/CommandLine.h"
#include "platform/Files.h"
#include "platform/Text.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// Grace time for a process to end after SIGTERM, and after SIGKILL.
constexpr int TerminateGraceMs = 3000;
constexpr int KillWaitMs = 5000;

int OpenPidFd(int pid)
{
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

int SendSignal(int pidfd, int signal)
{
    return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
}

// true when the process behind pidfd ended within milliseconds.
bool PollEnded(int pidfd, int milliseconds)
{
    struct pollfd entry {pidfd, POLLIN, 0};
    for (;;) {
        int n = poll(&entry, 1, milliseconds);
        if (n > 0)
            return true;
        if (n == 0)
            return false;
        if (errno != EINTR)
            return true; // a broken handle: nothing left to wait on
    }
}

void ReapIfChild(int pidfd)
{
    siginfo_t info {};
    waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd), &info, WEXITED | WNOHANG);
}

// Small /proc file read whole; "" when unreadable.
std::string ReadProcFile(int pid, const char* entry)
{
    char path[64];
    std::snprintf(path, sizeof(path), "/proc/%d/%s", pid, entry);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    std::string text;
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(buffer, static_cast<size_t>(n));
        if (text.size() > 65536)
            break;
    }
    close(fd);
    return text;
}

bool InScope(int pid)
{
    const char* folder = std::getenv("VTD_PROCESS_FOLDER");
    if (folder == nullptr || *folder == '\0')
        return true;
    char path[64];
    char target[4096];
    std::snprintf(path, sizeof(path), "/proc/%d/exe", pid);
    ssize_t n = readlink(path, target, sizeof(target) - 1);
    if (n <= 0)
        return false;
    target[n] = '\0';
    std::string prefix = folder;
    if (prefix.back() != '/')
        prefix += '/';
    return std::strncmp(target, prefix.c_str(), prefix.size()) == 0;
}

// Whether pid is a live (not zombie) process running under name.
bool ProcessMatches(int pid, const char* name)
{
    std::string stat = ReadProcFile(pid, "stat");
    size_t paren = stat.rfind(')');
    if (paren == std::string::npos || paren + 2 >= stat.size())
        return false;
    char state = stat[paren + 2];
    if (state == 'Z' || state == 'X' || state == 'x')
        return false;

    std::string comm = ReadProcFile(pid, "comm");
    if (!comm.empty() && comm.back() == '\n')
        comm.pop_back();
    bool match = strcasecmp(comm.c_str(), name) == 0;
    if (!match && std::strlen(name) > 15) {
        std::string cmdline = ReadProcFile(pid, "cmdline");
        std::string argv0 = cmdline.substr(0, cmdline.find('\0'));
        size_t slash = argv0.rfind('/');
        std::string base = slash == std::string::npos ? argv0 : argv0.substr(slash + 1);
        match = strcasecmp(base.c_str(), name) == 0;
    }
    return match && InScope(pid);
}

// The arguments of a command line as CreateProcess finds the program: an
// unquoted program path with blanks is the shortest blank-ended prefix that
// names a file.
std::vector<std::string> ProgramArguments(const char* commandLine)
{
    std::vector<std::string> arguments = SplitCommandLine(commandLine);
    if (arguments.empty() || commandLine[0] == '"' || IsRegularFile(arguments[0]))
        return arguments;
    for (const char* p = commandLine; *p != '\0'; ++p) {
        if (!IsBlank(*p))
            continue;
        std::string candidate(commandLine, static_cast<size_t>(p - commandLine));
        if (candidate.find('"') != std::string::npos)
            break;
        if (IsRegularFile(candidate)) {
            arguments.clear();
            arguments.push_back(candidate);
            SplitArguments(p, arguments);
            break;
        }
    }
    return arguments;
}

} // namespace

bool SpawnProcess(const char* commandLine, ProcessHandle& handle)
{
    handle = ProcessHandle{};
    std::vector<std::string> arguments = ProgramArguments(commandLine);
    if (arguments.empty() || arguments[0].empty()) {
        errno = ENOENT;
        return false;
    }

    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    // Only standard input, output and error reach the child.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    sigset_t mask;
    sigemptyset(&mask);
    posix_spawnattr_setsigmask(&attributes, &mask);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGCHLD, SIGXFSZ, SIGUSR1, SIGUSR2, SIGALRM})
        sigaddset(&defaults, signal);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    pid_t pid = 0;
    int result = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (result != 0) {
        errno = result;
        return false;
    }
    int fd = OpenPidFd(pid);
    if (fd < 0) {
        // Without a handle the child could not be watched: do not leave it.
        int error = errno;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        errno = error;
        return false;
    }
    handle.pid = pid;
    handle.handle = fd;
    return true;
}

bool WaitForProcess(const ProcessHandle& handle, unsigned milliseconds)
{
    if (handle.handle < 0)
        return true;
    return PollEnded(static_cast<int>(handle.handle), static_cast<int>(milliseconds));
}

void CloseProcess(ProcessHandle& handle)
{
    if (handle.handle >= 0) {
        int saved = errno;
        int fd = static_cast<int>(handle.handle);
        if (PollEnded(fd, 0))
            ReapIfChild(fd);
        close(fd);
        errno = saved;
    }
    handle = ProcessHandle{};
}

int FindProcessByName(const char* name)
{
    int saved = errno;
    int self = getpid();
    int found = 0;
    DIR* dir = opendir("/proc");
    if (dir != nullptr) {
        while (struct dirent* entry = readdir(dir)) {
            char* end = nullptr;
            long pid = std::strtol(entry->d_name, &end, 10);
            if (end == entry->d_name || *end != '\0' || pid <= 0 || pid == self)
                continue;
            if (ProcessMatches(static_cast<int>(pid), name)) {
                found = static_cast<int>(pid);
                break;
            }
        }
        closedir(dir);
    }
    errno = saved;
    return found;
}

TerminateResult TerminateProcessByName(int pid, const char* name)
{
    int fd = OpenPidFd(pid);
    if (fd < 0)
        return errno == ESRCH ? TerminateResult::Ended : TerminateResult::Denied;
    // The id is pinned now; make sure it still belongs to the named process.
    if (!ProcessMatches(pid, name)) {
        close(fd);
        return TerminateResult::Ended;
    }
    if (SendSignal(fd, SIGTERM) != 0) {
        int error = errno;
        close(fd);
        errno = error;
        return error == ESRCH ? TerminateResult::Ended : TerminateResult::Denied;
    }
    TerminateResult result = TerminateResult::Ended;
    if (!PollEnded(fd, TerminateGraceMs)) {
        SendSignal(fd, SIGKILL);
        if (!PollEnded(fd, KillWaitMs))
            result = TerminateResult::Failed;
    }
    if (result == TerminateResult::Ended)
        ReapIfChild(fd);
    close(fd);
    return result;
}

namespace {

// Whether a process of group groupId still runs. Zombies do not count: a
// member whose parent has gone waits to be reaped by whoever adopts it.
bool GroupHasLiveMember(int groupId)
{
    if (kill(-groupId, 0) != 0)
        return false;
    bool live = false;
    DIR* dir = opendir("/proc");
    if (dir == nullptr)
        return true;
    while (struct dirent* entry = readdir(dir)) {
        char* end = nullptr;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || pid <= 0)
            continue;
        // "pid (comm) state ppid pgrp ..."
        std::string stat = ReadProcFile(static_cast<int>(pid), "stat");
        size_t paren = stat.rfind(')');
        if (paren == std::string::npos)
            continue;
        char state = 0;
        int parent = 0, group = 0;
        if (std::sscanf(stat.c_str() + paren + 1, " %c %d %d", &state, &parent, &group) == 3 && group == groupId &&
            state != 'Z' && state != 'X') {
            live = true;
            break;
        }
    }
    closedir(dir);
    return live;
}

// Polls in short steps until the group has no live member, at most
// milliseconds; the members are not our children, there is nothing to wait
// on.
bool WaitGroupGone(int groupId, int milliseconds)
{
    constexpr int StepMs = 10;
    for (int waited = 0; waited < milliseconds; waited += StepMs) {
        if (!GroupHasLiveMember(groupId))
            return true;
        poll(nullptr, 0, StepMs);
    }
    return !GroupHasLiveMember(groupId);
}

} // namespace

void TerminateProcessGroup(int groupId)
{
    if (groupId <= 0 || !GroupHasLiveMember(groupId))
        return;
    int saved = errno;
    kill(-groupId, SIGTERM);
    if (!WaitGroupGone(groupId, TerminateGraceMs)) {
        kill(-groupId, SIGKILL);
        WaitGroupGone(groupId, KillWaitMs);
    }
    errno = saved;
}

void IgnoreStraySignals()
{
    for (int signal : {SIGPIPE, SIGXFSZ, SIGUSR1, SIGUSR2, SIGALRM})
        std::signal(signal, SIG_IGN);
}

bool SetProcessPrivilege(const char* name, bool enable)
{
    (void)name;
    (void)enable;
    return true;
}

void TerminateProcessAndGroup(ProcessHandle& handle)
{
    if (handle.handle < 0) {
        handle = ProcessHandle{};
        return;
    }
    int saved = errno;
    int fd = static_cast<int>(handle.handle);
    int group = handle.pid;
    if (!PollEnded(fd, 0)) {
        SendSignal(fd, SIGTERM);
        if (!PollEnded(fd, TerminateGraceMs)) {
            kill(-group, SIGKILL);
            SendSignal(fd, SIGKILL);
            PollEnded(fd, KillWaitMs);
        }
    }
    ReapIfChild(fd);
    close(fd);
    handle = ProcessHandle{};
    TerminateProcessGroup(group);
    errno = saved;
}

bool RequestConfigurationReload(const ProcessHandle& handle)
{
    if (handle.handle < 0 || PollEnded(static_cast<int>(handle.handle), 0))
        return false;
    return SendSignal(static_cast<int>(handle.handle), SIGUSR1) == 0;
}

std::vector<int> ChildProcessesOf(int parentId)
{
    std::vector<int> children;
    int saved = errno;
    DIR* dir = opendir("/proc");
    if (dir == nullptr)
        return children;
    while (struct dirent* entry = readdir(dir)) {
        char* end = nullptr;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || pid <= 0)
            continue;
        std::string stat = ReadProcFile(static_cast<int>(pid), "stat");
        size_t paren = stat.rfind(')');
        if (paren == std::string::npos)
            continue;
        char state = 0;
        int parent = 0;
        if (std::sscanf(stat.c_str() + paren + 1, " %c %d", &state, &parent) == 2 && parent == parentId &&
            state != 'Z' && state != 'X')
            children.push_back(static_cast<int>(pid));
    }
    closedir(dir);
    errno = saved;
    return children;
}

bool ProcessIsRunning(int pid)
{
    if (pid <= 0)
        return false;
    std::string stat = ReadProcFile(pid, "stat");
    size_t paren = stat.rfind(')');
    if (paren == std::string::npos || paren + 2 >= stat.size())
        return false;
    char state = stat[paren + 2];
    return state != 'Z' && state != 'X';
}

bool SendReloadRequest(int pid)
{
    if (pid <= 0) {
        errno = ESRCH;
        return false;
    }
    return kill(pid, SIGHUP) == 0;
}

int CurrentProcessId()
{
    return static_cast<int>(getpid());
}
