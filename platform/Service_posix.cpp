// Service and console control on Linux: systemd's notify protocol, signals.
#include "platform/Service.h"

#include "platform/EarlyStop.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <pthread.h>
#include <systemd/sd-daemon.h>
#include <thread>

namespace {

std::mutex stateLock;
ServiceControlFunction controlHandler = nullptr;
bool acceptsStop = false;
std::atomic<uint32_t> lastExitCode{0};
std::atomic<bool> entryDone{false};
std::atomic<bool> serviceRunning{false};
// Once the stop has been reported, only the thread that reported it (the
// stop's own) says anything more before the stopped report: a reload still
// under way on another thread reports nothing after STOPPING=1.
bool stopReported = false;
std::thread::id stopThread;

// Sends message unless a stop was reported by another thread; notifyLock
// held, so that the check and the send are one step against the stop report.
// Taken around every notification and the stop flag; never by the thread
// that waits for the controls, so a service manager slow to read does not
// hold up the stop signal's handling.
std::mutex notifyLock;

void NotifyUnlessStopping(const char* message)
{
    std::lock_guard<std::mutex> guard(notifyLock);
    if (stopReported && std::this_thread::get_id() != stopThread)
        return;
    sd_notify(0, message);
}

// A non-null handle; there is only one service per process.
int statusHandleTag;

void BlockSignals(std::initializer_list<int> signals, sigset_t& set)
{
    sigemptyset(&set);
    for (int signal : signals)
        sigaddset(&set, signal);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

} // namespace

bool ServiceRunDispatcher(const char* name, ServiceEntryFunction entry)
{
    const char* socket = std::getenv("NOTIFY_SOCKET");
    if (socket == nullptr || *socket == '\0') {
        errno = ENOTCONN;
        return false;
    }
    // Blocked before the service thread starts, so that thread (and every
    // thread it starts) leaves the controls to this one.
    sigset_t stopSignals;
    BlockSignals({SIGTERM, SIGHUP}, stopSignals);
    serviceRunning = true;

    entryDone = false;
    stopReported = false;
    std::thread service([entry] {
        static char program[] = "vtd";
        static char* argv[] = {program, nullptr};
        entry(1, argv);
        entryDone = true;
    });

    // A reload asked for before the control handler is registered, handed
    // on once it is.
    bool reloadPending = false;
    while (!entryDone) {
        struct timespec timeout {0, 20 * 1000 * 1000};
        int signal = sigtimedwait(&stopSignals, nullptr, &timeout);
        ServiceControlFunction handler = nullptr;
        bool accepts = false;
        {
            std::lock_guard<std::mutex> guard(stateLock);
            handler = controlHandler;
            accepts = acceptsStop;
        }
        if (signal == SIGHUP)
            reloadPending = true;
        // The reload request is handed on at once, during the start-up too:
        // the daemon carries it out once it runs.
        if (reloadPending && handler != nullptr) {
            reloadPending = false;
            handler(ServiceControlParamChange);
        }
        if (signal != SIGTERM)
            continue;
        if (handler == nullptr || !accepts) {
            // Before the service runs a stop ends the start-up at its next
            // safe point; the service then stops on its own.
            RequestEarlyStop();
            continue;
        }
        handler(ServiceControlStop);
    }
    service.join();
    serviceRunning = false;
    (void)name;
    return true;
}

ServiceStatusHandle ServiceRegisterControlHandler(const char* name, ServiceControlFunction handler)
{
    std::lock_guard<std::mutex> guard(stateLock);
    controlHandler = handler;
    (void)name;
    return &statusHandleTag;
}

bool ServiceSetStatus(ServiceStatusHandle handle, const ServiceStatus& status)
{
    if (handle == nullptr) {
        errno = EINVAL;
        return false;
    }
    char message[256];
    switch (status.dwCurrentState) {
    case ServiceStartPending:
        std::snprintf(message, sizeof(message), "STATUS=Starting (checkpoint %u)\nEXTEND_TIMEOUT_USEC=%llu",
                      status.dwCheckPoint, static_cast<unsigned long long>(status.dwWaitHint) * 1000ULL);
        break;
    case ServiceRunning:
        std::snprintf(message, sizeof(message), "READY=1\nSTATUS=Running");
        break;
    case ServiceStopPending:
        std::snprintf(message, sizeof(message), "STOPPING=1\nSTATUS=Stopping (checkpoint %u)", status.dwCheckPoint);
        break;
    case ServiceStopped:
        std::snprintf(message, sizeof(message), "STATUS=Stopped (exit code %u)", status.dwWin32ExitCode);
        lastExitCode = status.dwWin32ExitCode;
        break;
    default:
        std::snprintf(message, sizeof(message), "STATUS=State %u", status.dwCurrentState);
        break;
    }
    {
        std::lock_guard<std::mutex> guard(stateLock);
        acceptsStop = (status.dwControlsAccepted & ServiceAcceptStop) != 0 && status.dwCurrentState != ServiceStopped;
    }
    int result = 0;
    {
        std::lock_guard<std::mutex> guard(notifyLock);
        if (status.dwCurrentState == ServiceStopPending && !stopReported) {
            stopReported = true;
            stopThread = std::this_thread::get_id();
        }
        result = sd_notify(0, message);
    }
    if (result <= 0) {
        // 0: no socket to report to; negative: the send failed.
        errno = result < 0 ? -result : ENOTCONN;
        return false;
    }
    return true;
}

void ServiceSetProgress(const std::string& text)
{
    if (!serviceRunning)
        return;
    std::string message = "STATUS=" + text;
    NotifyUnlessStopping(message.c_str());
}

void ServiceNotifyReload(bool begins)
{
    if (!serviceRunning)
        return;
    if (!begins) {
        NotifyUnlessStopping("READY=1");
        return;
    }
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    char message[96];
    std::snprintf(message, sizeof message, "RELOADING=1\nMONOTONIC_USEC=%llu",
                  static_cast<unsigned long long>(now.tv_sec) * 1000000ULL +
                      static_cast<unsigned long long>(now.tv_nsec) / 1000ULL);
    NotifyUnlessStopping(message);
}

uint32_t ServiceLastExitCode()
{
    return lastExitCode;
}

bool ConsoleStartControlThread(ConsoleControlFunction handler)
{
    sigset_t set;
    BlockSignals({SIGINT, SIGQUIT, SIGTERM}, set);
    std::thread control([handler, set] {
        for (;;) {
            int signal = 0;
            if (sigwait(&set, &signal) != 0)
                continue;
            uint32_t type = signal == SIGINT ? ConsoleCtrlC : ConsoleCtrlBreak;
            if (!handler(type)) {
                // Not handled: the signal's default action ends the process.
                std::signal(signal, SIG_DFL);
                sigset_t one;
                sigemptyset(&one);
                sigaddset(&one, signal);
                pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
                raise(signal);
            }
        }
    });
    control.detach();
    return true;
}
