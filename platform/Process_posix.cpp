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
#include <functional>
#include <mutex>
#include <set>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <strings.h>
#include <sys/prctl.h>
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

// The children started by SpawnProcess whose handle is still open: they are
// reaped through their handle, never as adopted processes.
std::mutex spawnedLock;
std::set<int> spawned;

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

// Variables of the service manager meant for the daemon's own process: a
// child that found them would take the notifications, the watchdog or the
// passed sockets for its own.
bool ForMainProcessOnly(const char* assignment)
{
    for (const char* name : {"NOTIFY_SOCKET=", "WATCHDOG_PID=", "WATCHDOG_USEC=", "LISTEN_PID=", "LISTEN_FDS=",
                             "LISTEN_FDNAMES="})
        if (std::strncmp(assignment, name, std::strlen(name)) == 0)
            return true;
    return false;
}

// The environment of a child: the daemon's, less the service manager's
// variables for the main process, with ProgramMarker naming the program the
// child was started from (its descendants inherit it, so one that leaves its
// process group can still be told apart).
std::vector<std::string> ChildEnvironment(const std::string& program)
{
    std::vector<std::string> environment;
    const size_t markerLength = std::strlen(ProgramMarker);
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        if (ForMainProcessOnly(*entry))
            continue;
        if (std::strncmp(*entry, ProgramMarker, markerLength) == 0 && (*entry)[markerLength] == '=')
            continue;
        environment.emplace_back(*entry);
    }
    environment.push_back(std::string(ProgramMarker) + "=" + program);
    return environment;
}

} // namespace

bool SpawnProcess(const char* commandLine, ProcessHandle& handle)
{
    handle = ProcessHandle{};
    // The program is the command line's first argument and nothing else: a
    // path with blanks comes quoted, and no part of one is ever tried.
    std::vector<std::string> arguments = SplitCommandLine(commandLine);
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
    // The child works in its program's own folder, so it holds no other
    // folder in use. A relative program path is taken from the daemon's
    // current folder, before the change of folder.
    std::string program = arguments[0];
    if (program[0] != '/' && program.find('/') != std::string::npos) {
        char here[4096];
        if (getcwd(here, sizeof(here)) != nullptr)
            program = std::string(here) + "/" + program;
    }
    size_t slash = program.rfind('/');
    std::string folder = slash == std::string::npos ? std::string() : program.substr(0, slash == 0 ? 1 : slash);
    if (!folder.empty())
        posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
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

    std::vector<std::string> environment = ChildEnvironment(arguments[0]);
    std::vector<char*> envp;
    for (std::string& assignment : environment)
        envp.push_back(assignment.data());
    envp.push_back(nullptr);

    pid_t pid = 0;
    int result = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
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
    std::lock_guard<std::mutex> guard(spawnedLock);
    spawned.insert(pid);
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
        std::lock_guard<std::mutex> guard(spawnedLock);
        spawned.erase(handle.pid);
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

namespace {

// "pid (comm) state ppid pgrp ..." of /proc/PID/stat.
struct ProcessStat {
    char state = 0;
    int parent = 0;
    int group = 0;
};

bool ReadStat(int pid, ProcessStat& stat)
{
    std::string text = ReadProcFile(pid, "stat");
    size_t paren = text.rfind(')');
    if (paren == std::string::npos)
        return false;
    return std::sscanf(text.c_str() + paren + 1, " %c %d %d", &stat.state, &stat.parent, &stat.group) == 3;
}

bool IsLive(const ProcessStat& stat)
{
    return stat.state != 'Z' && stat.state != 'X' && stat.state != 'x';
}

// Calls visit with every process id of /proc but the caller's own, until it
// returns false.
void ForEachProcess(const std::function<bool(int)>& visit)
{
    int self = getpid();
    DIR* dir = opendir("/proc");
    if (dir == nullptr)
        return;
    while (struct dirent* entry = readdir(dir)) {
        char* end = nullptr;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || pid <= 0 || pid == self)
            continue;
        if (!visit(static_cast<int>(pid)))
            break;
    }
    closedir(dir);
}

std::vector<std::string> NulSeparated(const std::string& raw)
{
    std::vector<std::string> parts;
    for (size_t start = 0; start < raw.size();) {
        size_t end = raw.find('\0', start);
        if (end == std::string::npos)
            end = raw.size();
        parts.push_back(raw.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// The program path a descendant was started from, by the variable it
// inherited; "" when it has none (or its environment cannot be read).
std::string MarkerOf(int pid)
{
    const std::string prefix = std::string(ProgramMarker) + "=";
    for (const std::string& entry : NulSeparated(ReadProcFile(pid, "environ")))
        if (entry.compare(0, prefix.size(), prefix) == 0)
            return entry.substr(prefix.size());
    return {};
}

// Whether pid runs the program path: its argv[0], or for a script its
// first argument after the interpreter (the system's own argv[0] for a
// script; its name is then the script's).
bool StartedFrom(int pid, const char* path)
{
    ProcessStat stat;
    if (!ReadStat(pid, stat) || !IsLive(stat))
        return false;
    std::vector<std::string> argv = NulSeparated(ReadProcFile(pid, "cmdline"));
    if (argv.empty())
        return false;
    if (argv[0] == path)
        return true;
    if (argv.size() < 2 || argv[1] != path)
        return false;
    std::string comm = ReadProcFile(pid, "comm");
    if (!comm.empty() && comm.back() == '\n')
        comm.pop_back();
    const char* slash = std::strrchr(path, '/');
    std::string base = slash != nullptr ? slash + 1 : path;
    return !comm.empty() && base.compare(0, comm.size(), comm) == 0 && (base.size() == comm.size() || comm.size() == 15);
}

// Ends the process behind pidfd: SIGTERM, a bounded wait, SIGKILL; reaps it
// when it is our child.
TerminateResult EndPinned(int fd)
{
    if (SendSignal(fd, SIGTERM) != 0)
        return errno == ESRCH ? TerminateResult::Ended : TerminateResult::Denied;
    TerminateResult result = TerminateResult::Ended;
    if (!PollEnded(fd, TerminateGraceMs)) {
        SendSignal(fd, SIGKILL);
        if (!PollEnded(fd, KillWaitMs))
            result = TerminateResult::Failed;
    }
    if (result == TerminateResult::Ended)
        ReapIfChild(fd);
    return result;
}

bool IsSpawned(int pid)
{
    std::lock_guard<std::mutex> guard(spawnedLock);
    return spawned.count(pid) != 0;
}

// Children of the caller that it did not start itself: descendants of its
// programs that the system handed over when their parents ended. The
// caller's own group holds the programs it runs to completion itself; the
// managed programs and all their descendants live in other groups.
void ForEachAdopted(const std::function<void(int, const ProcessStat&)>& visit)
{
    int self = getpid();
    int ownGroup = getpgrp();
    ForEachProcess([&](int pid) {
        ProcessStat stat;
        if (ReadStat(pid, stat) && stat.parent == self && stat.group != ownGroup && !IsSpawned(pid))
            visit(pid, stat);
        return true;
    });
}

} // namespace

std::string ProcessProgramPath(int pid)
{
    std::string cmdline = ReadProcFile(pid, "cmdline");
    return cmdline.substr(0, cmdline.find('\0'));
}

int FindProcessByPath(const char* path)
{
    int saved = errno;
    int found = 0;
    if (path != nullptr && *path != '\0')
        ForEachProcess([&](int pid) {
            if (StartedFrom(pid, path))
                found = pid;
            return found == 0;
        });
    errno = saved;
    return found;
}

TerminateResult TerminateProcessByPath(int pid, const char* path)
{
    int fd = OpenPidFd(pid);
    if (fd < 0)
        return errno == ESRCH ? TerminateResult::Ended : TerminateResult::Denied;
    // The id is pinned now; make sure it still runs the program.
    TerminateResult result = StartedFrom(pid, path) ? EndPinned(fd) : TerminateResult::Ended;
    int error = errno;
    close(fd);
    errno = error;
    return result;
}

int FindDescendantByName(const char* name, const std::vector<std::string>& programs)
{
    int saved = errno;
    int self = getpid();
    int found = 0;
    ForEachProcess([&](int pid) {
        if (!ProcessMatches(pid, name))
            return true;
        std::string marker = MarkerOf(pid);
        for (const std::string& program : programs)
            if (!marker.empty() && marker == program)
                found = pid;
        // Up the line of parents: orphans come back to the caller while it
        // runs, so every descendant still has it among its ancestors.
        ProcessStat stat;
        for (int at = pid, steps = 0; found == 0 && at > 1 && steps < 4096 && ReadStat(at, stat); steps++) {
            if (stat.parent == self)
                found = pid;
            at = stat.parent;
        }
        return found == 0;
    });
    errno = saved;
    return found;
}

int FindProcessByCommandLine(const char* commandLine)
{
    int saved = errno;
    std::vector<std::string> wanted = SplitCommandLine(commandLine);
    int found = 0;
    if (!wanted.empty())
        ForEachProcess([&](int pid) {
            ProcessStat stat;
            if (ReadStat(pid, stat) && IsLive(stat) && NulSeparated(ReadProcFile(pid, "cmdline")) == wanted)
                found = pid;
            return found == 0;
        });
    errno = saved;
    return found;
}

bool OpenProcessHandle(int pid, ProcessHandle& handle)
{
    handle = ProcessHandle{};
    int fd = OpenPidFd(pid);
    if (fd < 0)
        return false;
    handle.pid = pid;
    handle.handle = fd;
    return true;
}

bool QueryProcessExit(ProcessHandle& handle, int& status)
{
    status = -1;
    if (handle.handle < 0)
        return true;
    int fd = static_cast<int>(handle.handle);
    if (!PollEnded(fd, 0))
        return false;
    int saved = errno;
    siginfo_t info {};
    // Reaped here when it is our child; the status of one that is not (a
    // process taken over from an earlier run) is not known.
    if (waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(fd), &info, WEXITED | WNOHANG) == 0 &&
        info.si_pid != 0)
        status = info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
    errno = saved;
    return true;
}

bool AdoptOrphanedDescendants()
{
    return prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0;
}

void EndAdoptedProcesses(const char* program, const char* spare)
{
    int saved = errno;
    ReapAdoptedProcesses();
    // A process ended here may leave children of its own, which come back
    // to the caller in turn: a few rounds, until none is left.
    for (int round = 0; round < 8; round++) {
        std::vector<std::pair<int, int>> ending; // pid, group when it leads one
        ForEachAdopted([&](int pid, const ProcessStat& stat) {
            if (!IsLive(stat))
                return;
            std::string marker = MarkerOf(pid);
            // One without the variable (it cleared its environment) cannot
            // be told apart and goes with whichever program ends.
            bool ours = program != nullptr ? marker == program || marker.empty()
                                           : spare == nullptr || marker != spare;
            if (ours)
                ending.emplace_back(pid, stat.group == pid ? pid : 0);
        });
        if (ending.empty())
            break;
        for (const auto& [pid, group] : ending) {
            int fd = OpenPidFd(pid);
            if (fd >= 0) {
                EndPinned(fd);
                close(fd);
            }
            // What it started in its own group (it left its program's
            // group with setsid) goes with it.
            if (group != 0)
                TerminateProcessGroup(group);
        }
        ReapAdoptedProcesses();
    }
    errno = saved;
}

void ReapAdoptedProcesses()
{
    int saved = errno;
    ForEachAdopted([](int pid, const ProcessStat& stat) {
        if (!IsLive(stat))
            waitpid(pid, nullptr, WNOHANG);
    });
    errno = saved;
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
    ForEachProcess([&](int pid) {
        ProcessStat stat;
        if (ReadStat(pid, stat) && stat.parent == parentId && IsLive(stat))
            children.push_back(pid);
        return true;
    });
    errno = saved;
    return children;
}

bool ProcessIsRunning(int pid)
{
    ProcessStat stat;
    return pid > 0 && ReadStat(pid, stat) && IsLive(stat);
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
