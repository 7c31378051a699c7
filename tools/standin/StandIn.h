// Stand-in for one of the managed daemons: runs until it is terminated and
// says so once at start and once at stop, each line led by the program's name.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#ifndef _WIN32
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace standin {

inline volatile std::sig_atomic_t stopSignal = 0;

inline void OnStop(int signal)
{
    stopSignal = signal;
}

inline volatile std::sig_atomic_t reloads = 0;

inline void OnReload(int)
{
    reloads = reloads + 1;
}

// Runs the stand-in named name until SIGTERM or SIGINT; the exit status.
// Standing in for the web server it also answers the syntax check (-t) with
// "Syntax OK" at once, and on SIGUSR1, the web server's graceful restart,
// replaces its one worker process by a new one, as the web server does.
inline int Run(const char* name, int argc = 0, char** argv = nullptr)
{
    for (int i = 1; i < argc; i++) {
        if (std::string(argv[i]) == "-t") {
            std::printf("Syntax OK\n");
            return 0;
        }
    }
    std::signal(SIGTERM, OnStop);
    std::signal(SIGINT, OnStop);
#ifndef _WIN32
    std::signal(SIGUSR1, OnReload);
    pid_t workerPid = 0;
    int seen = 0;
#endif
    std::printf("%s: started\n", name);
    std::fflush(stdout);
    while (stopSignal == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
#ifndef _WIN32
        if (reloads != seen) {
            seen = reloads;
            if (workerPid > 0) {
                kill(workerPid, SIGKILL);
                waitpid(workerPid, nullptr, 0);
            }
            workerPid = fork();
            if (workerPid == 0) {
                // The worker ends with its parent, or with its group.
                std::signal(SIGTERM, SIG_DFL);
                std::signal(SIGINT, SIG_DFL);
                std::signal(SIGUSR1, SIG_DFL);
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                for (;;)
                    pause();
            }
            std::printf("%s: reloaded\n", name);
            std::fflush(stdout);
        }
#endif
    }
#ifndef _WIN32
    if (workerPid > 0) {
        kill(workerPid, SIGKILL);
        waitpid(workerPid, nullptr, 0);
    }
#endif
    std::printf("%s: stopped (signal %d)\n", name, static_cast<int>(stopSignal));
    std::fflush(stdout);
    return 0;
}

}  // namespace standin
