#include "server/Reload.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "httpd/Httpd.h"
#include "log/Log.h"
#include "net/LocalRequest.h"
#include "platform/Registry.h"
#include "platform/Service.h"
#include "schema/Init.h"
#include "server/MonitorProcess.h"

namespace {

// A reload does not wait for a database server that does not answer: one
// attempt, and the site is left as it was until the next reload or start.
constexpr unsigned ReloadConnectAttempts = 1;

std::string instance = "vtd";
bool restartWebServer = true;

std::atomic<bool> requested{false};
std::atomic<bool> running{false};
std::thread worker;

// The settings of every reload, kept for the rest of the run: the running
// programs and the update requests may still refer to them.
std::mutex settingsLock;
std::vector<std::unique_ptr<ServerConfig>> loaded;
std::string lastReloadNote;

// A report line of the settings, without the text of whatever OS error
// came before.
void LogSettingsLine(const std::string& line)
{
    SetLastOsError(0);
    LogError("%s", line.c_str());
}

std::string UnreachableNote(const std::vector<std::string>& sites)
{
    if (sites.empty())
        return {};
    std::string note = "; the database server of site";
    note += sites.size() == 1 ? " " : "s ";
    for (size_t i = 0; i < sites.size(); i++)
        note += (i == 0 ? "" : ", ") + sites[i];
    return note + " did not answer, left as it was";
}

void Reload()
{
    ServiceNotifyReload(true);
    ServiceSetProgress("Reloading: reading the settings");
    SettingsReload();
    auto config = std::make_unique<ServerConfig>();
    SetInstanceName(*config, instance.c_str());
    if (!LoadUsableSettings(*config, "the running settings are kept")) {
        {
            std::lock_guard<std::mutex> guard(settingsLock);
            lastReloadNote = "; settings refused, the running settings kept: " + SettingsLoadStatus().message;
        }
        ServiceSetProgress(RunningStatus());
        ServiceNotifyReload(false);
        return;
    }
    SiteDatabasesResult sites = StartSiteDatabases(*config, ReloadConnectAttempts);
    ServiceSetProgress("Reloading: writing the web configuration");
    WriteWebConfig(*config);
    // The supervisor starts the web server again, with the new configuration.
    if (restartWebServer) {
        KillProcessByName((std::string("httpd") + ExecutableSuffix).c_str());
        TerminateProcessGroupsOf("httpd");
    }
    ServerConfig& kept = *config;
    {
        std::lock_guard<std::mutex> guard(settingsLock);
        loaded.push_back(std::move(config));
        lastReloadNote = UnreachableNote(sites.unreachable);
    }
    ServiceSetProgress(RunningStatus());
    if (sites.upgraded && !StopRequested)
        TriggerDatabaseUpdate(kept);
    ServiceNotifyReload(false);
}

} // namespace

bool LoadUsableSettings(ServerConfig& config, const char* consequence)
{
    SettingsStatus status = SettingsLoadStatus();
    if (status.refused) {
        LogSettingsLine(std::string("settings refused, ") + consequence + ": " + status.message);
        return false;
    }
    LoadSettings(config);
    for (const std::string& refusal : config.Refusals)
        LogSettingsLine(refusal);
    return true;
}

void ConfigureReload(const char* instanceName, bool webServerManaged)
{
    instance = instanceName;
    restartWebServer = webServerManaged;
}

void RequestReload()
{
    requested = true;
}

void StartRequestedReload()
{
    if (!requested || running)
        return;
    if (worker.joinable())
        worker.join();
    requested = false;
    running = true;
    worker = std::thread([] {
        Reload();
        running = false;
    });
}

void FinishReload()
{
    if (worker.joinable())
        worker.join();
}

void ReleaseReloadedSettings()
{
    std::lock_guard<std::mutex> guard(settingsLock);
    for (auto& config : loaded)
        ClearSites(*config);
    loaded.clear();
}

std::string RunningStatus()
{
    std::lock_guard<std::mutex> guard(settingsLock);
    std::string names = ManagedProgramNames();
    return "Running: supervising " + (names.empty() ? std::string("no program") : names) + lastReloadNote;
}
