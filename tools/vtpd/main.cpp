// Stand-in for the platform daemon: runs until it is terminated and says so
// once at start and once at stop.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

namespace {
volatile std::sig_atomic_t stopSignal = 0;

void OnStop(int signal)
{
    stopSignal = signal;
}
} // namespace

int main()
{
    std::signal(SIGTERM, OnStop);
    std::signal(SIGINT, OnStop);
    std::printf("vtpd: started\n");
    std::fflush(stdout);
    while (stopSignal == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::printf("vtpd: stopped (signal %d)\n", static_cast<int>(stopSignal));
    std::fflush(stdout);
    return 0;
}
