#include "server/Reload.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "httpd/Httpd.h"
#include "log/Log.h"
#include "net/LocalRequest.h"
#include "platform/Command.h"
#include "platform/Files.h"
#include "platform/Platform.h"
#include "platform/Process.h"
#include "platform/Registry.h"
#include "platform/Service.h"
#include "platform/Text.h"
#include "schema/Init.h"
#include "server/MonitorProcess.h"

namespace {

// A reload does not wait for a database server that does not answer: one
// attempt, and the site is left as it was until the next reload or start.
constexpr unsigned ReloadConnectAttempts = 1;
// Longest run of the web server's syntax check.
constexpr unsigned WebCheckLimitMilliseconds = 60000;
// How often the reload command looks for the outcome.
constexpr unsigned OutcomePollMilliseconds = 50;

std::string instance = "vtd";
bool webServerManaged = true;

std::atomic<bool> requested{false};
std::atomic<bool> running{false};
std::thread worker;

// Held by a reload from its last look at the stop flag until its files are
// written and the web server has been told; StopServer takes it once after
// setting the flag.
std::mutex writeLock;

std::mutex noteLock;
std::string lastReloadNote;

// Reloads begun and ended in this run, as the outcome file counts them.
unsigned reloadsStarted = 0;
unsigned reloadsDone = 0;

void SetNote(const std::string& note)
{
    std::lock_guard<std::mutex> guard(noteLock);
    lastReloadNote = note;
}

// A report line, without the text of whatever OS error came before.
void LogLine(const std::string& line)
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

// The outcome file: one "name value" line each. Written whole through a
// temporary file, so a reader sees the old or the new outcome, never half.
struct Outcome {
    int pid = 0;
    unsigned started = 0;
    unsigned done = 0;
    std::string result; // "running", "ok", "refused", "stopped"
    std::string reason;
};

std::string OutcomeText(const Outcome& outcome)
{
    return "pid " + std::to_string(outcome.pid) + "\nstarted " + std::to_string(outcome.started) + "\ndone " +
           std::to_string(outcome.done) + "\nresult " + outcome.result + "\nreason " + outcome.reason + "\n";
}

bool ReadOutcome(const std::string& path, Outcome& outcome)
{
    std::string text;
    if (!ReadWholeFile(path, text))
        return false;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        size_t blank = line.find(' ');
        std::string name = line.substr(0, blank);
        std::string value = blank == std::string::npos ? std::string() : line.substr(blank + 1);
        if (name == "pid")
            outcome.pid = std::atoi(value.c_str());
        else if (name == "started")
            outcome.started = static_cast<unsigned>(std::strtoul(value.c_str(), nullptr, 10));
        else if (name == "done")
            outcome.done = static_cast<unsigned>(std::strtoul(value.c_str(), nullptr, 10));
        else if (name == "result")
            outcome.result = value;
        else if (name == "reason")
            outcome.reason = value;
    }
    return outcome.pid != 0;
}

void WriteOutcome(const std::string& result, const std::string& reason)
{
    std::string path = ReloadOutcomePath(instance.c_str());
    if (path.empty())
        return;
    std::string folder = path.substr(0, path.rfind(PathSeparator));
    if (!FolderExists(folder))
        CreateFolder(folder);
    Outcome outcome{CurrentProcessId(), reloadsStarted, reloadsDone, result, reason};
    if (!WriteFileAtomically(path, OutcomeText(outcome), {0644, false, false}))
        LogLine("the outcome of reload " + std::to_string(reloadsStarted) + " could not be recorded in " + path);
}

// One line of a program's output, its line ends joined by blanks.
std::string OneLine(const std::string& text)
{
    std::string line;
    for (char c : text) {
        if (c == '\r')
            continue;
        if (c == '\n') {
            if (!line.empty() && line.back() != ' ')
                line += ' ';
            continue;
        }
        line += c;
    }
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return line;
}

// The web server's own judgement of the new httpd.conf, written beside the
// running one as httpd.conf.new and checked there with -t, started as the
// supervisor starts it. accepted also when there is nothing to check with:
// no conf folder (writing then fails as at start-up) or no web server
// program (nothing runs the file before the next start).
struct WebCheck {
    bool accepted = true;
    std::string reason;
};

WebCheck CheckWebConfig(const ServerConfig& config, const std::string& httpdConf)
{
    WebCheck check;
    std::string path = HttpdConfPath(config);
    if (!FolderExists(path.substr(0, path.rfind(PathSeparator))))
        return check;
    std::string apache = JoinPath(config.InstallFolder, "apache");
    std::string program = JoinPath(JoinPath(apache, "bin"), std::string("httpd") + ExecutableSuffix);
    if (!IsRegularFile(program))
        return check;
    std::string candidate = path + ".new";
    if (!WriteFileAtomically(candidate, httpdConf, {0644, false, false})) {
        std::string text;
        GetOsErrorText(GetLastOsError(), text);
        check.accepted = false;
        check.reason = "the new configuration could not be written to " + candidate + ": " + text;
        return check;
    }
    std::vector<std::string> arguments = {program, "-d", apache, "-D", WebServerDefine, "-f", candidate, "-t"};
    std::string output;
    int exitCode = 0;
    if (!RunProgramCapturingOutput(arguments, output, exitCode, WebCheckLimitMilliseconds)) {
        int error = GetLastOsError();
        std::string text;
        GetOsErrorText(error, text);
        check.accepted = false;
        check.reason = error == OsErrorTimedOut
                           ? "the web server's check of " + candidate + " did not end within " +
                                 std::to_string(WebCheckLimitMilliseconds / 1000) + " s"
                           : "the web server's check could not be started (" + program + "): " + text;
        return check;
    }
    if (exitCode != 0) {
        check.accepted = false;
        check.reason = "the web server refused " + candidate + " (exit status " + std::to_string(exitCode) +
                       "): " + OneLine(output);
        return check;
    }
    // Checked and about to be written in place: the copy has done its part.
    RemoveFile(candidate);
    return check;
}

// Ends a reload: records the outcome and, unless the daemon is stopping,
// tells the service manager that it is done.
void Finish(const char* result, const std::string& reason)
{
    reloadsDone = reloadsStarted;
    WriteOutcome(result, reason);
    if (StopRequested)
        return;
    ServiceSetProgress(RunningStatus());
    ServiceNotifyReload(false);
}

void Reload(ServerConfig& config)
{
    reloadsStarted++;
    WriteOutcome("running", "");
    ServiceNotifyReload(true);
    ServiceSetProgress("Reloading: reading the settings");
    SettingsReload();
    SetInstanceName(config, instance.c_str());
    if (!LoadUsableSettings(config, "the running settings are kept")) {
        std::string message = SettingsLoadStatus().message;
        SetNote("; settings refused, the running settings kept: " + message);
        Finish("refused", "settings refused, the running settings are kept: " + OneLine(message));
        return;
    }
    const std::string stopped = "the daemon stopped before the reload was done";
    if (StopRequested)
        return Finish("stopped", stopped);
    SiteDatabasesResult sites = StartSiteDatabases(config, ReloadConnectAttempts);
    // The stop ends the reload between sites, and before anything is written.
    if (StopRequested || sites.stopped)
        return Finish("stopped", stopped);

    ServiceSetProgress("Reloading: checking the web configuration");
    // Without a conf folder nothing is composed: writing reports it alone.
    std::string confPath = HttpdConfPath(config);
    bool haveFolder = FolderExists(confPath.substr(0, confPath.rfind(PathSeparator)));
    std::string httpdConf = haveFolder ? ComposeHttpdConf(config) : std::string();
    WebCheck check = CheckWebConfig(config, httpdConf);
    if (StopRequested)
        return Finish("stopped", stopped);
    if (!check.accepted) {
        LogLine("web configuration refused, the running configuration is kept: " + check.reason);
        SetNote("; web configuration refused, the running configuration kept: " + check.reason);
        Finish("refused", "web configuration refused, the running configuration is kept: " + check.reason);
        return;
    }

    ProgramReload webServer = ProgramReload::NotRunning;
    {
        std::lock_guard<std::mutex> guard(writeLock);
        if (StopRequested)
            return Finish("stopped", stopped);
        ServiceSetProgress("Reloading: writing the web configuration");
        WriteWebConfigFrom(config, httpdConf);
        // The running web server reads it again; requests in flight finish
        // on the old one. Without a running web server of the daemon's the
        // file waits for the next start.
        if (webServerManaged)
            webServer = ReloadManagedProgram("httpd");
    }
    std::string note = UnreachableNote(sites.unreachable);
    if (webServer == ProgramReload::Unconfirmed) {
        LogLine("the web server was asked to read its new configuration and showed no sign of it within " +
                std::to_string(ProgramReloadLimitMilliseconds / 1000) + " s");
        note += "; the web server did not confirm the new configuration";
    }
    SetNote(note);
    Finish("ok", OneLine(note.empty() ? std::string() : note.substr(2)));
    if (sites.upgraded && !StopRequested)
        TriggerDatabaseUpdate(config);
}

} // namespace

bool LoadUsableSettings(ServerConfig& config, const char* consequence)
{
    SettingsStatus status = SettingsLoadStatus();
    if (status.refused) {
        LogLine(std::string("settings refused, ") + consequence + ": " + status.message);
        return false;
    }
    LoadSettings(config);
    for (const std::string& refusal : config.Refusals)
        LogLine(refusal);
    return true;
}

void ConfigureReload(const char* instanceName, bool webServerIsManaged)
{
    instance = instanceName;
    webServerManaged = webServerIsManaged;
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
        {
            // A reload's settings live as long as the reload: nothing else
            // refers to them once it is done.
            ServerConfig config{};
            Reload(config);
            ClearSites(config);
        }
        running = false;
    });
}

void FinishReload()
{
    if (worker.joinable())
        worker.join();
}

void FinishReloadWrites()
{
    std::lock_guard<std::mutex> guard(writeLock);
}

std::string RunningStatus()
{
    std::lock_guard<std::mutex> guard(noteLock);
    std::string names = ManagedProgramNames();
    return "Running: supervising " + (names.empty() ? std::string("no program") : names) + lastReloadNote;
}

std::string ReloadOutcomePath(const char* instanceName)
{
    const char* runtime = std::getenv("RUNTIME_DIRECTORY");
    std::string folder;
    if (runtime != nullptr && runtime[0] != '\0') {
        // systemd may list several folders, separated by colons: the first.
        folder = runtime;
        folder = folder.substr(0, folder.find(':'));
    } else {
        if (DefaultRuntimeFolder[0] == '\0')
            return {};
        std::string name = instanceName;
        // An instance name that is not one folder name has no folder of its own.
        if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
            name.find('\\') != std::string::npos)
            return {};
        folder = JoinPath(DefaultRuntimeFolder, name == "vtd" ? name : "vtd-" + name);
    }
    return JoinPath(folder, "reload");
}

int RunReloadCommand(const char* instanceName, const char* pidText)
{
    char* end = nullptr;
    long pid = std::strtol(pidText, &end, 10);
    if (end == pidText || *end != '\0' || pid <= 0 || pid > 0x7fffffff) {
        PrintMessageAt(3, "vtd: --reload needs the daemon's process id, not \"%s\"\n", pidText);
        return 1;
    }
    std::string path = ReloadOutcomePath(instanceName);
    if (path.empty()) {
        PrintMessageAt(3, "vtd: no runtime folder for instance \"%s\" to learn the outcome from\n", instanceName);
        return 1;
    }
    Outcome before;
    unsigned startedBefore = ReadOutcome(path, before) && before.pid == pid ? before.started : 0;
    if (!SendReloadRequest(static_cast<int>(pid))) {
        std::string text;
        GetOsErrorText(GetLastOsError(), text);
        PrintMessageAt(3, "vtd: the daemon (pid %ld) cannot be asked to reload: %s\n", pid, text.c_str());
        return 1;
    }
    for (;;) {
        bool alive = ProcessIsRunning(static_cast<int>(pid));
        Outcome now;
        if (ReadOutcome(path, now) && now.pid == pid && now.done > startedBefore && now.result != "running") {
            if (now.result == "ok") {
                PrintMessageAt(6, "vtd: reload %u done%s%s\n", now.done, now.reason.empty() ? "" : ": ",
                               now.reason.c_str());
                return 0;
            }
            PrintMessageAt(3, "vtd: reload %u %s: %s\n", now.done, now.result.c_str(), now.reason.c_str());
            return 1;
        }
        if (!alive) {
            PrintMessageAt(3, "vtd: the daemon (pid %ld) ended before the reload was done\n", pid);
            return 1;
        }
        Sleep(OutcomePollMilliseconds);
    }
}
