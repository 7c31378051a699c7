// Service and console control: the service manager's protocol (systemd's
// notify protocol here) and the console's stop keys, in the shape of the
// Windows service interface so the daemon's logic is written once.
#pragma once

#include <cstdint>
#include <string>

// Service states, numbered as the Windows service manager numbers them.
enum : uint32_t {
    ServiceStopped = 1,
    ServiceStartPending = 2,
    ServiceStopPending = 3,
    ServiceRunning = 4,
};
constexpr uint32_t ServiceWin32OwnProcess = 0x10;
constexpr uint32_t ServiceAcceptStop = 1;
constexpr uint32_t ServiceControlStop = 1;
// The settings changed: read them again (SIGHUP under systemd).
constexpr uint32_t ServiceControlParamChange = 6;
// Exit code of a service whose own start-up failed.
constexpr uint32_t ServiceSpecificError = 1066;

struct ServiceStatus {
    uint32_t dwServiceType;
    uint32_t dwCurrentState;
    uint32_t dwControlsAccepted;
    uint32_t dwWin32ExitCode;
    uint32_t dwServiceSpecificExitCode;
    uint32_t dwCheckPoint;
    uint32_t dwWaitHint;
};

using ServiceStatusHandle = void*;
using ServiceEntryFunction = void (*)(int argc, char** argv);
using ServiceControlFunction = void (*)(uint32_t control);

// Hands the calling thread to the service manager: entry runs on a thread of
// its own while this thread waits for the controls (on Linux SIGTERM for the
// stop, SIGHUP for the settings) and passes them to the registered control
// handler. A stop that arrives before the service accepts it (while it
// reports start-pending) requests an early stop instead (EarlyStop.h): the
// service is to look at it once its start-up is over. A reload request
// (SIGHUP) is handed to the handler whenever it comes, during the start-up
// too, and the daemon carries it out once it runs.
// Returns once entry has returned. false at once, with the OS error set, when
// the program was not started by the service manager (no NOTIFY_SOCKET).
bool ServiceRunDispatcher(const char* name, ServiceEntryFunction entry);

// Registers the control handler of the service; null on failure.
ServiceStatusHandle ServiceRegisterControlHandler(const char* name, ServiceControlFunction handler);

// Sends the status to the service manager as one notify message:
// start-pending: STATUS= and EXTEND_TIMEOUT_USEC= from the wait hint;
// running: READY=1; stop-pending: STOPPING=1; stopped: STATUS= with the exit
// code. false with the OS error set when the message cannot be sent.
// On Windows the stopped report is held back until entry has returned, then
// sent as the process's last act: the process ends with it, and
// ServiceRunDispatcher does not return.
bool ServiceSetStatus(ServiceStatusHandle handle, const ServiceStatus& status);

// A line saying what the service does now, for the service manager's status
// display (systemd's STATUS=); nothing when not running as a service or
// where the service manager shows no such text. Once the stop has been
// reported (stop-pending), this and ServiceNotifyReload send nothing except
// from the thread that reported it: after STOPPING=1 the service manager
// hears only the stop's own lines.
void ServiceSetProgress(const std::string& text);
// A reload of the settings begins (RELOADING=1 with MONOTONIC_USEC=) or is
// done (READY=1); nothing where the service manager knows no reload.
void ServiceNotifyReload(bool begins);

// Exit code of the last stopped report (0 when none was made): the process
// exit status is 0 only when this is 0.
uint32_t ServiceLastExitCode();

// Console control types, numbered as the Windows console numbers them.
constexpr uint32_t ConsoleCtrlC = 0;
constexpr uint32_t ConsoleCtrlBreak = 1;
using ConsoleControlFunction = bool (*)(uint32_t type);

// Starts the console control thread: SIGINT (Ctrl+C) arrives as ConsoleCtrlC,
// SIGQUIT (Ctrl+\) and SIGTERM as ConsoleCtrlBreak. The handler runs on that
// thread; when it returns false the signal gets its default handling. Call it
// from the main thread before any other thread is started after it, since
// the three signals are blocked in the calling thread.
bool ConsoleStartControlThread(ConsoleControlFunction handler);
