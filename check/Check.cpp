// Check: the settings as the daemon loads them, what it would refuse, and the
// web configuration it would write, judged by the web server's own check.
#include "check/Check.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "config/Config.h"
#include "config/RegistryKey.h"
#include "httpd/Httpd.h"
#include "log/Log.h"
#include "platform/Command.h"
#include "platform/Files.h"
#include "platform/Platform.h"
#include "platform/Registry.h"
#include "platform/Text.h"

namespace {

void Print(const char* format, ...) VTD_PRINTF(1, 2);
void Print(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
}

std::string Quoted(const char* text)
{
    return "\"" + PrintableText(text) + "\"";
}

// One server value as the daemon loaded it. "(default)" when the settings do
// not hold a usable value of that name, "(refused, default used)" when they
// hold one that the daemon replaced, "(not set)" for a missing value that has
// no default.
struct ServerValues {
    RegistryKey& key;

    void Number(const char* name, int loaded)
    {
        int stored = 0;
        const char* mark = "";
        if (!key.ReadNumber(name, stored))
            mark = " (default)";
        else if (stored != loaded)
            mark = " (refused, default used)";
        Print("  %s = %d%s\n", name, loaded, mark);
    }

    void Text(const char* name, const char* loaded, bool hasDefault)
    {
        char stored[ConfigTextSize] = {};
        const char* mark = "";
        if (!key.ReadText(name, stored))
            mark = hasDefault ? " (default)" : " (not set)";
        else if (std::strcmp(stored, loaded) != 0)
            mark = " (refused, default used)";
        Print("  %s = %s%s\n", name, Quoted(loaded).c_str(), mark);
    }

    // A secret is never shown: only whether it is set.
    void Secret(const char* name, const char* loaded)
    {
        Print("  %s %s\n", name, loaded[0] != '\0' ? "is set" : "= \"\" (not set)");
    }
};

void PrintServerValues(const ServerConfig& config, RegistryKey& key)
{
    Print("server values:\n");
    ServerValues values{key};
    values.Number("VtdRole", config.VtdRole);
    values.Text("VtdMasterName", config.VtdMasterName, true);
    values.Number("PortNumber", config.PortNumber);
    values.Number("HttpEnabled", config.HttpEnabled);
    values.Text("HttpForward", config.HttpForward, true);
    values.Number("HttpsPortNumber", config.HttpsPortNumber);
    values.Number("HttpsEnabled", config.HttpsEnabled);
    values.Text("HttpsForward", config.HttpsForward, true);
    values.Number("HttpsCertificateId", config.HttpsCertificateId);
    values.Number("RtmpPortNumber", config.RtmpPortNumber);
    values.Number("RtmpEnabled", config.RtmpEnabled);
    values.Number("TranscodeThreads", config.TranscodeThreads);
    values.Text("InstallFolder", config.InstallFolder, false);
    values.Text("Version", config.Version, true);
    values.Text("SmtpHost", config.SmtpHost, false);
    values.Text("SmtpUser", config.SmtpUser, false);
    values.Secret("SmtpPassword", config.SmtpPassword);
    values.Text("SmtpEmail", config.SmtpEmail, false);
}

void PrintSite(const SiteConfig& site)
{
    Print("site %s%s:\n", Quoted(site.name).c_str(), IsDefaultSite(site) ? " (answers every other host name)" : "");
    Print("  path = %s\n", Quoted(site.path).c_str());
    Print("  path_htdocs = %s%s\n", Quoted(site.path_htdocs).c_str(),
          site.path_htdocs[0] == '\0' ? " (left out of httpd.conf)" : "");
    Print("  path_files = %s\n", Quoted(site.path_files).c_str());
    Print("  path_cache = %s\n", Quoted(site.path_cache).c_str());
    Print("  path_temp = %s\n", Quoted(site.path_temp).c_str());
    if (site.sql_database[0] == '\0')
        Print("  database: none\n");
    else
        Print("  database %s on %s, user %s, password %s\n", Quoted(site.sql_database).c_str(),
              Quoted(site.sql_server).c_str(), Quoted(site.sql_user).c_str(),
              site.sql_password[0] != '\0' ? "set" : "empty");
    std::string aliases;
    for (const auto& alias : site.aliases) {
        if (alias[0] == '\0')
            break;
        aliases += (aliases.empty() ? "" : ", ") + std::string(alias);
    }
    if (IsDefaultSite(site))
        Print("  aliases: %s (the default site answers as _default_)\n", aliases.empty() ? "none" : aliases.c_str());
    else
        Print("  aliases: %s\n", aliases.empty() ? "none (no virtual host)" : aliases.c_str());
}

std::string FolderOf(const std::string& path)
{
    size_t at = path.rfind(PathSeparator);
    return at == std::string::npos ? std::string() : path.substr(0, at);
}

// The web server's syntax check gets this long before it is ended and
// counted as a problem: under a service manager's start a check that never
// ends would hold the start for ever.
constexpr unsigned WebServerCheckMilliseconds = 60000;

// The checks after loading. Each problem is printed where it is found and
// counted.
struct Checker {
    explicit Checker(const CheckOptions& chosen) : options(chosen) {}

    const CheckOptions& options;
    ServerConfig config{};
    int problems = 0;
    PrivateFolder folder;
    bool ownFolder = false;
    // Folders the check made for -o, deepest last, removed again when the
    // folder is refused.
    std::vector<std::string> madeFolders;
    std::vector<std::string> written;

    void Problem(const std::string& line)
    {
        Print("%s\n", line.c_str());
        ++problems;
    }

    // The folders of the installation: the install folder and every site's
    // folders. The check writes into none of them, nor below them.
    std::vector<std::string> InstallationFolders() const
    {
        std::vector<std::string> folders = {config.InstallFolder};
        for (const ListNode* node = config.Sites.first; node != nullptr; node = node->next) {
            const SiteConfig& site = *static_cast<const SiteConfig*>(node->item);
            for (const char* path : {site.path, site.path_htdocs, site.path_files, site.path_cache, site.path_temp})
                if (path[0] != '\0')
                    folders.emplace_back(path);
        }
        return folders;
    }

    // The installation folders as given and as the system resolves them.
    struct ResolvedFolder {
        std::string given;
        std::string real;
    };
    static std::vector<ResolvedFolder> Resolved(const std::vector<std::string>& folders)
    {
        std::vector<std::string> real = ResolvedPaths(folders);
        std::vector<ResolvedFolder> resolved;
        for (size_t i = 0; i < folders.size(); ++i)
            resolved.push_back({folders[i], real[i]});
        return resolved;
    }

    // The installation folder that the real path real lies in, or "": both
    // are compared as the system resolves them (links followed, "." and ".."
    // applied), so a link, a relative path or a linked parent cannot lead
    // into the installation unseen.
    static std::string InstallationFolderHolding(const std::string& real, const std::vector<ResolvedFolder>& folders)
    {
        for (const ResolvedFolder& folder : folders) {
            const std::string& root = folder.real;
            if (root.empty())
                continue;
            if (real == root || root == "/" || real.rfind(root + "/", 0) == 0)
                return folder.given;
        }
        return {};
    }

    void RemoveMadeFolders()
    {
        for (auto it = madeFolders.rbegin(); it != madeFolders.rend(); ++it)
            RemoveFolder(*it);
        madeFolders.clear();
    }

    // The folder given with -o: refused when it lies in the installation or
    // is not safe from other users, checked before anything is made there
    // and again on the folder as opened. Missing folders are made.
    bool PrepareGivenFolder()
    {
        const std::string shown = PrintableText(options.folder);
        const std::string real = ResolvedPath(options.folder);
        if (real.empty()) {
            Problem("-o " + shown + " cannot be resolved: " + OsErrorText());
            return false;
        }
        std::vector<std::string> installation = InstallationFolders();
        std::vector<ResolvedFolder> resolved = Resolved(installation);
        std::string inside = InstallationFolderHolding(real, resolved);
        if (!inside.empty()) {
            Problem("-o " + shown + " lies in the installation (in " + PrintableText(inside) +
                    "); choose a folder outside it");
            return false;
        }
        // Made one level at a time, so that the folders to remove again are
        // known.
        for (size_t at = real.find('/', 1); !FolderExists(real); at = real.find('/', at + 1)) {
            std::string part = at == std::string::npos ? real : real.substr(0, at);
            if (!PathExists(part)) {
                if (!CreateFolder(part)) {
                    Problem("cannot create the folder " + PrintableText(part) + ": " + OsErrorText());
                    RemoveMadeFolders();
                    return false;
                }
                madeFolders.push_back(part);
            }
            if (at == std::string::npos)
                break;
        }
        std::string refusal;
        if (!OpenPrivateFolder(real, folder, refusal)) {
            Problem("-o " + shown + " refused: " + refusal + "; nothing written");
            RemoveMadeFolders();
            return false;
        }
        inside = ContainingFolder(folder, installation);
        if (inside.empty())
            inside = InstallationFolderHolding(folder.path, resolved);
        if (!inside.empty()) {
            Problem("-o " + shown + " lies in the installation (in " + PrintableText(inside) +
                    "); choose a folder outside it");
            ClosePrivateFolder(folder);
            RemoveMadeFolders();
            return false;
        }
        return true;
    }

    bool PrepareFolder()
    {
        if (!options.folder.empty())
            return PrepareGivenFolder();
        std::string path;
        if (!CreatePrivateTemporaryFolder("vtd-check.", path)) {
            Problem("cannot create a temporary folder: " + OsErrorText());
            return false;
        }
        std::string refusal;
        if (!OpenPrivateFolder(path, folder, refusal)) {
            Problem("the temporary folder " + PrintableText(path) + " refused: " + refusal);
            RemoveFolder(path);
            return false;
        }
        ownFolder = true;
        return true;
    }

    static std::string OsErrorText()
    {
        std::string text;
        if (!GetOsErrorText(GetLastOsError(), text))
            text = "error " + std::to_string(GetLastOsError());
        return text;
    }

    // Every file is a new one of the user running the check, whatever was
    // there before under that name.
    bool Write(const std::string& name, const std::string& bytes, unsigned mode)
    {
        std::string path = JoinPath(folder.path, name);
        if (!WritePrivateFile(folder, name, bytes, mode)) {
            Problem("cannot write " + PrintableText(path) + ": " + OsErrorText());
            return false;
        }
        written.push_back(name);
        Print("wrote %s\n", PrintableText(path).c_str());
        return true;
    }

    // httpd.conf and every serverconfig.php, composed as the daemon does.
    // false when httpd.conf could not be composed or written.
    bool WriteWebConfiguration()
    {
        std::string conf = FolderOf(HttpdConfPath(config));
        if (!FolderExists(conf)) {
            Problem("web configuration: the conf folder " + PrintableText(conf) +
                    " does not exist; the daemon would write no httpd.conf and no serverconfig.php");
            return false;
        }
        // Written as it is composed: with many sites it runs to gigabytes.
        std::vector<std::string> unread;
        std::string path = JoinPath(folder.path, "httpd.conf");
        PrivateFile file;
        if (!BeginPrivateFile(folder, "httpd.conf", 0640, file)) {
            Problem("cannot write " + PrintableText(path) + ": " + OsErrorText());
            return false;
        }
        ComposeHttpdConfInPieces(config, &unread, [&file](const std::string& piece) { AppendPrivateFile(file, piece); });
        for (const std::string& fragment : unread)
            Problem("web configuration: the fragment " + PrintableText(fragment) +
                    " cannot be read; httpd.conf would lack it");
        if (!FinishPrivateFile(folder, file)) {
            Problem("cannot write " + PrintableText(path) + ": " + OsErrorText());
            return false;
        }
        written.push_back("httpd.conf");
        Print("wrote %s\n", PrintableText(path).c_str());
        for (const ListNode* node = config.Sites.first; node != nullptr; node = node->next) {
            const SiteConfig& site = *static_cast<const SiteConfig*>(node->item);
            if (site.path[0] == '\0')
                continue;
            // It holds the database and mail passwords.
            Write(std::string(site.name) + ".serverconfig.php", ComposeServerConfigPhp(config, site), 0600);
        }
        return true;
    }

    // The installation's web server checks the generated httpd.conf, started
    // as the daemon starts it, with -f naming the generated file.
    void CheckWithWebServer()
    {
        std::string apache = JoinPath(config.InstallFolder, "apache");
        std::string program = JoinPath(JoinPath(apache, "bin"), std::string("httpd") + ExecutableSuffix);
        if (!IsRegularFile(program)) {
            Print("web server check skipped: %s not found\n", PrintableText(program).c_str());
            return;
        }
        // The daemon writes the default site's certificate and key from its
        // database at every start, before it starts the web server; until a
        // first start they are not there, and the web server's check would
        // fail on what the daemon itself provides.
        if (config.HttpsEnabled != 0) {
            for (const char* name : {"default.crt", "default.pvk"}) {
                std::string file = JoinPath(config.InstallFolder, name);
                if (!IsRegularFile(file)) {
                    Print("web server check skipped: HTTPS is on and %s is not there yet (the daemon writes it from "
                          "the default site's database at start)\n",
                          PrintableText(file).c_str());
                    return;
                }
            }
        }
        // The same define as the daemon's start of the web server.
        std::vector<std::string> arguments = {program, "-d", apache, "-f", JoinPath(folder.path, "httpd.conf"),
                                              "-D", WebServerDefine, "-t"};
        std::string shown;
        for (const std::string& argument : arguments)
            shown += (shown.empty() ? "" : " ") + PrintableText(argument);
        Print("web server check: %s\n", shown.c_str());
        std::fflush(stdout);
        std::string output;
        int exitCode = 0;
        bool ran = RunProgramCapturingOutput(arguments, output, exitCode, WebServerCheckMilliseconds);
        bool timedOut = !ran && GetLastOsError() == OsErrorTimedOut;
        std::string error = OsErrorText();
        Print("%s", output.c_str());
        if (!output.empty() && output.back() != '\n')
            Print("\n");
        if (timedOut) {
            Problem("web server check: no result after " + std::to_string(WebServerCheckMilliseconds / 1000) +
                    " s; it was ended");
            return;
        }
        if (!ran) {
            Problem("web server check: cannot start " + PrintableText(program) + ": " + error);
            return;
        }
        if (exitCode != 0)
            Problem("web server check failed (exit status " + std::to_string(exitCode) + ")");
    }

    void CloseFolder()
    {
        if (ownFolder)
            for (const std::string& name : written)
                RemovePrivateFile(folder, name);
        std::string path = folder.path;
        ClosePrivateFolder(folder);
        if (ownFolder)
            RemoveFolder(path);
    }

    int Run()
    {
        // Exactly the daemon's loading: the files, the instance, the key.
        SettingsStatus status = SettingsLoadStatus();
        if (status.refused) {
            Problem(status.message);
            return Finish();
        }
        if (!status.message.empty())
            Print("%s\n", status.message.c_str());
        SetInstanceName(config, options.instance.c_str());
        Print("instance %s: key HKEY_LOCAL_MACHINE\\%s\n", PrintableText(config.InstanceName).c_str(),
              PrintableText(config.RegistryPath).c_str());
        bool haveKey = LoadSettings(config);
        if (!haveKey) {
            Problem("settings: the key is missing; the daemon would run with empty settings and write nothing useful");
            return Finish();
        }
        RegistryKey key;
        key.Open(config.RegistryPath);
        PrintServerValues(config, key);
        key.Close();
        if (config.InstallFolder[0] == '\0')
            Problem("settings: \"InstallFolder\" is not set; the daemon finds no database server, web server or "
                    "sites");
        if (config.Sites.first == nullptr)
            Print("no enabled site\n");
        for (const ListNode* node = config.Sites.first; node != nullptr; node = node->next)
            PrintSite(*static_cast<const SiteConfig*>(node->item));
        // What the daemon refuses it leaves out and starts without: listed,
        // not a reason to keep the service from starting.
        for (const std::string& refusal : config.Refusals)
            Print("%s\n", refusal.c_str());

        if (config.InstallFolder[0] != '\0' && PrepareFolder()) {
            if (WriteWebConfiguration())
                CheckWithWebServer();
            CloseFolder();
        }
        return Finish();
    }

    int Finish()
    {
        ClearSites(config);
        if (problems == 0) {
            Print("Settings OK\n");
            return 0;
        }
        Print("Settings not OK: %d problem%s\n", problems, problems == 1 ? "" : "s");
        return 1;
    }
};

} // namespace

bool ParseCheckArguments(int argc, char** argv, CheckOptions& options)
{
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if ((argument == "-n" || argument == "-o") && i + 1 < argc && argv[i + 1][0] != '\0') {
            std::string value = argv[++i];
            if (argument == "-n") {
                // As the daemon: a name that does not fit is refused, not cut.
                if (value.size() >= ConfigTextSize)
                    return false;
                options.instance = value;
            } else {
                options.folder = value;
            }
            continue;
        }
        return false;
    }
    return true;
}

int RunSettingsCheck(const CheckOptions& options)
{
    Checker checker(options);
    int result = checker.Run();
    std::fflush(stdout);
    return result;
}
