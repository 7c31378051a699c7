// Service and console control on Windows: the Service Control Manager's
// dispatcher, control handler and status reports; the console control
// handler.
#include "platform/Service.h"

#include <atomic>
#include <cstdio>
#include <string>

#include "platform/Win32.h"

namespace {

ServiceEntryFunction serviceEntry = nullptr;
ServiceControlFunction controlHandler = nullptr;
ConsoleControlFunction consoleHandler = nullptr;
std::atomic<uint32_t> lastExitCode{0};
std::string serviceName;
// The stopped report, held back until the service's work is done.
SERVICE_STATUS_HANDLE stoppedHandle = nullptr;
SERVICE_STATUS stoppedReport {};

void WINAPI ServiceMain(DWORD argc, LPSTR* argv)
{
    if (serviceEntry != nullptr)
        serviceEntry(static_cast<int>(argc), argv);
    if (stoppedHandle == nullptr)
        return;
    // STOPPED is the last thing the process does. The service manager takes
    // it as the end of the service: an installer then replaces or deletes
    // the program, which it cannot while the process still runs. So nothing
    // is left to run after it: no return through the dispatcher, no exit
    // handlers.
    std::fflush(nullptr);
    UINT code = stoppedReport.dwWin32ExitCode == 0 ? 0 : 1;
    ::SetServiceStatus(stoppedHandle, &stoppedReport);
    ::ExitProcess(code);
}

void WINAPI ControlHandler(DWORD control)
{
    if (controlHandler != nullptr)
        controlHandler(control);
}

BOOL WINAPI ConsoleHandler(DWORD type)
{
    return consoleHandler != nullptr && consoleHandler(type) ? TRUE : FALSE;
}

} // namespace

bool ServiceRunDispatcher(const char* name, ServiceEntryFunction entry)
{
    serviceEntry = entry;
    serviceName = name != nullptr ? name : "";
    SERVICE_TABLE_ENTRYA table[] = {
        {serviceName.data(), ServiceMain},
        {nullptr, nullptr},
    };
    // Returns once the service has reported that it stopped; fails at once
    // (ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) for a program that the
    // service manager did not start.
    return ::StartServiceCtrlDispatcherA(table) != 0;
}

ServiceStatusHandle ServiceRegisterControlHandler(const char* name, ServiceControlFunction handler)
{
    controlHandler = handler;
    SERVICE_STATUS_HANDLE handle = ::RegisterServiceCtrlHandlerA(name, ControlHandler);
    return reinterpret_cast<ServiceStatusHandle>(handle);
}

bool ServiceSetStatus(ServiceStatusHandle handle, const ServiceStatus& status)
{
    SERVICE_STATUS report {};
    report.dwServiceType = status.dwServiceType;
    report.dwCurrentState = status.dwCurrentState;
    report.dwControlsAccepted = status.dwControlsAccepted;
    report.dwWin32ExitCode = status.dwWin32ExitCode;
    report.dwServiceSpecificExitCode = status.dwServiceSpecificExitCode;
    report.dwCheckPoint = status.dwCheckPoint;
    report.dwWaitHint = status.dwWaitHint;
    if (status.dwCurrentState == ServiceStopped)
        lastExitCode = status.dwWin32ExitCode;
    if (handle == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (status.dwCurrentState == ServiceStopped) {
        // Sent by ServiceMain once the service's work has returned.
        stoppedHandle = reinterpret_cast<SERVICE_STATUS_HANDLE>(handle);
        stoppedReport = report;
        return true;
    }
    return ::SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &report) != 0;
}

void ServiceSetProgress(const std::string&)
{
    // The service control manager shows states and checkpoints, no text.
}

void ServiceNotifyReload(bool)
{
    // A parameter change has no state of its own in the service manager.
}

uint32_t ServiceLastExitCode()
{
    return lastExitCode;
}

bool ConsoleStartControlThread(ConsoleControlFunction handler)
{
    // The system runs the handler on a thread of its own for each event.
    consoleHandler = handler;
    return ::SetConsoleCtrlHandler(ConsoleHandler, TRUE) != 0;
}
