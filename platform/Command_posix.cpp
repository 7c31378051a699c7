// Command on Linux: posix_spawn with a pipe, mkdtemp.
#include "platform/Command.h"

#include "platform/EarlyStop.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

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
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
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

    struct timespec started {};
    clock_gettime(CLOCK_MONOTONIC, &started);
    // Milliseconds left of the time limit; -1 for none.
    auto left = [&]() -> int {
        if (timeLimitMilliseconds == 0)
            return -1;
        struct timespec now {};
        clock_gettime(CLOCK_MONOTONIC, &now);
        long long spent = (now.tv_sec - started.tv_sec) * 1000LL + (now.tv_nsec - started.tv_nsec) / 1000000LL;
        return spent >= timeLimitMilliseconds ? 0 : static_cast<int>(timeLimitMilliseconds - spent);
    };
    // Looked at in short steps: a stop of the daemon ends the wait too.
    constexpr int StepMs = 100;
    int endError = 0;
    char buffer[4096];
    for (;;) {
        if (EarlyStopRequested()) {
            endError = EINTR;
            break;
        }
        int wait = left();
        if (wait == 0) {
            endError = ETIMEDOUT;
            break;
        }
        struct pollfd entry {pipeEnds[0], POLLIN, 0};
        int ready = poll(&entry, 1, wait < 0 || wait > StepMs ? StepMs : wait);
        if (ready == 0)
            continue;
        if (ready < 0 && errno == EINTR)
            continue;
        ssize_t n = read(pipeEnds[0], buffer, sizeof buffer);
        if (n > 0)
            output.append(buffer, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR)
            break;
    }
    close(pipeEnds[0]);
    if (endError != 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        errno = endError;
        return false;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return true;
    }
    exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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
