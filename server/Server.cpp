// Program entry, service and console control, start-up, run and stop.
#include "server/Server.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "database/Database.h"
#include "httpd/Httpd.h"
#include "log/Log.h"
#include "net/LocalRequest.h"
#include "platform/EarlyStop.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/Registry.h"
#include "platform/Service.h"
#include "platform/Socket.h"
#include "schema/Init.h"
#include "server/MonitorProcess.h"
#include "server/Reload.h"

ServerConfig Config{};
std::atomic<bool> UpdateTriggerRequested{false};
char ServiceName[ServiceNameSize] = "vtd";
int ProgramArgumentCount = 0;
char** ProgramArguments = nullptr;

namespace {

constexpr const char* ProductTitle = "Vantry Server";
constexpr const char* Unit = "Server";
// Line number of this unit's failure report.
constexpr int SocketStartFailureLine = 46;

// The service status record and its checkpoint counter; reports come from
// the service thread and from the control handler's thread.
std::mutex statusLock;
ServiceStatus status = {ServiceWin32OwnProcess, ServiceStopped, 0, 0, 0, 0, 0};
ServiceStatusHandle statusHandle = nullptr;
uint32_t checkPoint = 1;

// Held for the whole of StopServer, so the exit can wait for the
// terminations to finish.
std::mutex stopLock;

int Usage()
{
    PrintMessage("Usage: %s -d\n\n", ProductTitle);
    return 1;
}

// Longest wait for a database server the daemon started itself.
constexpr unsigned DatabaseStartLimitMilliseconds = 10000;

// Steps in which the wait looks at the database server's process.
constexpr unsigned DatabaseWatchStepMilliseconds = 500;

// Waits until the database server that start-up started answers, at most
// the start limit while it runs. One that exits meanwhile is reported and
// started again as the supervisor would, and the wait begins anew.
void WaitForDatabaseServer(const ServerConfig& config)
{
    const SiteConfig* site = nullptr;
    for (ListNode* node = config.Sites.first; node != nullptr && site == nullptr; node = node->next) {
        const auto* candidate = static_cast<const SiteConfig*>(node->item);
        if (candidate->sql_database[0] != '\0')
            site = candidate;
    }
    if (site == nullptr)
        return;
    ManagedProcess* server = FindManagedProcess("mysqld");
    for (unsigned waited = 0; waited < DatabaseStartLimitMilliseconds;) {
        if (DbWaitForServer(site, DatabaseWatchStepMilliseconds) || EarlyStopRequested())
            return;
        int status = -1;
        if (server == nullptr || server->process.handle < 0 || !QueryProcessExit(server->process, status)) {
            waited += DatabaseWatchStepMilliseconds;
            continue;
        }
        std::string exit = status < 0 ? std::string("exit status unknown") : "exit status " + std::to_string(status);
        SetLastOsError(0);
        LogError("database server %s%c%s exited during start-up (%s); starting it again", server->folder,
                 PathSeparator, server->name, exit.c_str());
        ServiceSetProgress("Database server exited during start-up (" + exit + "); starting it again");
        RestartProcess(server, 2000);
        ServiceSetProgress("Starting the database server");
        waited = 0;
    }
}

} // namespace

bool HasOption(char letter)
{
    for (int i = 1; i < ProgramArgumentCount; i++) {
        const char* argument = ProgramArguments[i];
        if (argument != nullptr && argument[0] == '-' && argument[1] == letter)
            return true;
    }
    return false;
}

namespace {
int RunProgram(int argc, char** argv);
}

int ServerMain(int argc, char** argv)
{
    IgnoreStraySignals();
    // Descendants of the managed programs that leave their group come back
    // to the daemon, to be ended with their program.
    AdoptOrphanedDescendants();
    SettingsRememberStartFolder();
    int code = RunProgram(argc, argv);
    // Nothing runs any more that could look at the table or the settings.
    ReleaseProcessTable();
    ReleaseReloadedSettings();
    ClearSites(Config);
    return code;
}

namespace {

int RunProgram(int argc, char** argv)
{
    ProgramArgumentCount = argc;
    ProgramArguments = argv;

    PrintMessage("%s Version %s - %s\n", ProductTitle, ProgramVersion, __DATE__);
    PrintMessage("Copyright (C) Vantry. All rights reserved.\n\n");

    for (int i = 1; i < argc; i++) {
        const char* argument = argv[i];
        if (argument[0] != '-')
            return Usage();
        switch (argument[1]) {
        case 'd':
            if (!InitServer(ServiceName))
                return 1;
            ConsoleStartControlThread(ConsoleControlHandler);
            RunServer(Config);
            WaitForStopServer();
            return 0;
        case 'n':
            // The name must be there and fit the buffer whole: a cut name
            // would silently select another instance's settings.
            if (i + 1 >= argc || std::strlen(argv[i + 1]) >= ServiceNameSize)
                return Usage();
            CopyText(ServiceName, argv[++i]);
            break;
        case 'w':
            break;
        default:
            return Usage();
        }
    }

    if (!ServiceRunDispatcher(ServiceName, ServiceEntry)) {
        PrintMessage("Failed to run the service.\n");
        return 0;
    }
    return ServiceLastExitCode() == 0 ? 0 : 1;
}

} // namespace

bool ReportServiceStatus(uint32_t state, uint32_t exitCode, uint32_t waitHint)
{
    std::lock_guard<std::mutex> guard(statusLock);
    status.dwCurrentState = state;
    status.dwWin32ExitCode = exitCode;
    status.dwWaitHint = waitHint;
    status.dwControlsAccepted = state == ServiceStartPending ? 0 : ServiceAcceptStop;
    if (state == ServiceRunning || state == ServiceStopped)
        status.dwCheckPoint = 0;
    else
        status.dwCheckPoint = checkPoint++;
    return ServiceSetStatus(statusHandle, status);
}

void ServiceEntry(int argc, char** argv)
{
    (void)argc;
    (void)argv;
    uint32_t finalCode = 0;
    statusHandle = ServiceRegisterControlHandler(ServiceName, ServiceControlHandler);
    if (statusHandle == nullptr)
        finalCode = static_cast<uint32_t>(GetLastOsError());
    else if (!ReportServiceStatus(ServiceStartPending, finalCode, 60000))
        finalCode = static_cast<uint32_t>(GetLastOsError());

    if (finalCode == 0) {
        bool started = InitServer(ServiceName);
        if (EarlyStopRequested()) {
            // A stop during the start-up: it ended at a safe point, and the
            // service stops as it would have once running.
            ReportServiceStatus(ServiceStopPending, 0, 0);
        } else if (!started) {
            finalCode = ServiceSpecificError;
        } else if (!ReportServiceStatus(ServiceRunning, 0, 3000) && GetLastOsError() != 0) {
            finalCode = static_cast<uint32_t>(GetLastOsError());
        } else {
            // A stop that came after the start-up's last look at it and
            // before the service accepted stops: carried out now.
            if (EarlyStopRequested())
                ServiceControlHandler(ServiceControlStop);
            try {
                RunServer(Config);
            } catch (...) {
                finalCode = ServiceSpecificError;
            }
            WaitForStopServer();
        }
    }

    if (statusHandle != nullptr)
        ReportServiceStatus(ServiceStopped, finalCode, 0);
}

void ServiceControlHandler(uint32_t control)
{
    if (control == ServiceControlParamChange) {
        RequestReload();
        return;
    }
    if (control != ServiceControlStop)
        return;
    ReportServiceStatus(ServiceStopPending, 0, 0);
    StopServer();
}

bool ConsoleControlHandler(uint32_t type)
{
    if (type != ConsoleCtrlC && type != ConsoleCtrlBreak)
        return false;
    StopServer();
    return true;
}

bool InitServer(const char* instanceName)
{
    // 1. Application framework: nothing to set up here.
    // 2. Privilege for acting as part of the system; the result does not matter.
    EnablePrivilege("SeTcbPrivilege", true);
    // 3. From here on failure reports also go to the error log.
    ErrorLogEnabled = true;
    // 4. Socket library.
    if (!StartSocketLibrary()) {
        LOG_ASSERT("!res", Unit, SocketStartFailureLine);
        return false;
    }
    // 5. Database client library; its result does not matter.
    DbLibraryInit();
    // 6. Work in the program's own folder.
    SetCurrentFolder(GetExecutableFolder());
    // 7. Settings; with no settings key the start goes on with empty settings.
    //    Settings files that cannot be parsed stop the start here, before
    //    anything is written from half the settings or from none.
    SetInstanceName(Config, instanceName);
    if (!LoadUsableSettings(Config, "start-up stopped"))
        return false;
    SetInstallationPrograms(Config);
    // 8. The database server, unless one runs (or -m leaves it out). One
    //    started here is given time to accept connections, so the first
    //    connection finds it ready instead of failing and waiting 10 s.
    if (EarlyStopRequested())
        return false;
    ServiceSetProgress("Starting the database server");
    if (!HasOption('m') && StartDatabaseServer(Config))
        WaitForDatabaseServer(Config);
    // 9. Site databases: create or upgrade each one; only an upgrade matters
    //    to what follows. A stop asked for meanwhile ends the start-up here,
    //    before any configuration file is written.
    if (StartSiteDatabases(Config).upgraded)
        UpdateTriggerRequested = true;
    if (EarlyStopRequested())
        return false;
    // 10. Web server and site configuration.
    ServiceSetProgress("Writing the web configuration");
    WriteWebConfig(Config);
    // 11. -i asks every site to run its update page once supervision starts.
    if (HasOption('i'))
        UpdateTriggerRequested = true;
    return true;
}

void RunServer(const ServerConfig& config)
{
    const char sep = PathSeparator;
    std::string programFolder = GetExecutableFolder();
    char folder[ManagedTextSize];
    char arguments[ManagedTextSize];

    FormatToField(folder, sizeof(folder), "%s%capache%cbin", config.InstallFolder, sep, sep);
    FormatToField(arguments, sizeof(arguments), "-d \"%s%capache\" -D ONE_PROCESS", config.InstallFolder, sep);
    if (!HasOption('h'))
        AddManagedProcess("httpd", folder, arguments);
    if (!HasOption('r'))
        AddManagedProcess("rtmpd", programFolder.c_str(), "");
    if (!HasOption('s'))
        AddManagedProcess("vtpd", programFolder.c_str(), "");

    ConfigureReload(config.InstanceName, !HasOption('h'));
    ServiceSetProgress(RunningStatus());
    // After an upgrade (or with -i) every site runs its update page once,
    // before supervision begins.
    if (UpdateTriggerRequested)
        TriggerDatabaseUpdate(config);

    while (!StopRequested) {
        MonitorProcesses();
        StartRequestedReload();
        Sleep(2000);
    }
    FinishReload();
}

void StopServer()
{
    std::lock_guard<std::mutex> guard(stopLock);
    StopRequested = true;
    ServiceSetProgress("Stopping: terminating httpd, rtmpd, vtpd and ffmpeg");
    Sleep(1000);
    // A start that saw the flag clear finishes before the terminations, and
    // none follows them: when this returns none of these programs runs.
    FinishProcessStarts();
    for (const char* name : {"httpd", "rtmpd", "vtpd", "ffmpeg"})
        KillProcessByName((std::string(name) + ExecutableSuffix).c_str());
    // What the resident programs started and left running goes too; the
    // database server's processes stay.
    for (const char* name : {"httpd", "rtmpd", "vtpd"})
        TerminateProcessGroupsOf(name);
}

void WaitForStopServer()
{
    std::lock_guard<std::mutex> guard(stopLock);
}
