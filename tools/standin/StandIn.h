// Stand-in for one of the managed daemons: runs until it is terminated and
// says so once at start and once at stop, each line led by the program's name.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

namespace standin {

inline volatile std::sig_atomic_t stopSignal = 0;

inline void OnStop(int signal)
{
    stopSignal = signal;
}

// Runs the stand-in named name until SIGTERM or SIGINT; the exit status.
inline int Run(const char* name)
{
    std::signal(SIGTERM, OnStop);
    std::signal(SIGINT, OnStop);
    std::printf("%s: started\n", name);
    std::fflush(stdout);
    while (stopSignal == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::printf("%s: stopped (signal %d)\n", name, static_cast<int>(stopSignal));
    std::fflush(stdout);
    return 0;
}

}  // namespace standin
