// vtd-check run as the program it is, on a table of settings files and
// installations: its exit status, its report, the files it writes, and that
// the installation is left as it was.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "TempFolder.h"
#include "platform/Platform.h"

namespace fs = std::filesystem;

namespace {

std::string Replace(std::string text, const std::string& from, const std::string& to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

std::string ShellWord(const std::string& text)
{
    return "'" + Replace(text, "'", "'\\''") + "'";
}

struct CheckRun {
    int status = -1;
    std::string out;
};

// vtd-check with VTD_REGISTRY=settings; its standard output (standard error
// to a file of its own) and exit status. prefix goes before the command (a
// change of folder, more of the environment).
CheckRun RunCheck(const std::string& settings, const std::string& arguments, const std::string& errors,
                  const std::string& prefix = "")
{
    std::string command = prefix + " VTD_REGISTRY=" + ShellWord(settings) + " " VTD_BIN_DIR "/vtd-check " +
                          arguments + " 2>" + ShellWord(errors);
    CheckRun run;
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return run;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        run.out.append(buffer, n);
    int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// Every path below folder with the bytes of its files, to see that nothing
// was made or changed there.
std::vector<std::string> Listing(const std::string& folder)
{
    std::vector<std::string> paths;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        bool file = fs::is_regular_file(fs::symlink_status(entry.path()));
        paths.push_back(entry.path().string() + "\n" + (file ? ReadFileBytes(entry.path().string()) : ""));
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

constexpr const char* Header = "Windows Registry Editor Version 5.00\n\n";

// Two sites (one with an alias and its own htdocs folder), a disabled one,
// passwords, and a second instance.
const std::string GoodSettings = std::string(Header) + R"([HKEY_LOCAL_MACHINE\SOFTWARE\Vantry\Server]
"InstallFolder"="@I@"
"PortNumber"=dword:00001f90
"SmtpPassword"="mail-secret"

[HKEY_LOCAL_MACHINE\SOFTWARE\Vantry\Server\default]
"sql_server"="localhost"
"sql_database"="vantry"
"sql_user"="vantry"
"sql_password"="db-secret"

[HKEY_LOCAL_MACHINE\SOFTWARE\Vantry\Server\campus]
"path_htdocs"="/srv/campus-web"

[HKEY_LOCAL_MACHINE\SOFTWARE\Vantry\Server\campus\learn.example]

[HKEY_LOCAL_MACHINE\SOFTWARE\Vantry\Server\old]
"enable"=dword:00000000

[HKEY_LOCAL_MACHINE\SOFTWARE\Vantry\Server-second]
"InstallFolder"="@I@"
"HttpEnabled"=dword:00000000
)";

const std::string DefaultValues = R"(  VtdRole = 1 (default)
  VtdMasterName = "localhost" (default)
)";

const std::string GoodReport = R"(instance vtd: key HKEY_LOCAL_MACHINE\SOFTWARE\Vantry\Server
server values:
)" + DefaultValues + R"(  PortNumber = 8080
  HttpEnabled = 1 (default)
  HttpForward = "" (default)
  HttpsPortNumber = 443 (default)
  HttpsEnabled = 0 (default)
  HttpsForward = "" (default)
  HttpsCertificateId = 0 (default)
  RtmpPortNumber = 1935 (default)
  RtmpEnabled = 1 (default)
  TranscodeThreads = 1 (default)
  InstallFolder = "@I@"
  Version = "15.0.11" (default)
  SmtpHost = "" (not set)
  SmtpUser = "" (not set)
  SmtpPassword is set
  SmtpEmail = "" (not set)
site "default" (answers every other host name):
  path = "@I@/sites/default"
  path_htdocs = "@I@/sites/default/htdocs"
  path_files = "@I@/sites/default/files"
  path_cache = "@I@/sites/default/cache"
  path_temp = "@I@/sites/default/temp"
  database "vantry" on "localhost", user "vantry", password set
  aliases: none (the default site answers as _default_)
site "campus":
  path = "@I@/sites/campus"
  path_htdocs = "/srv/campus-web"
  path_files = "@I@/sites/campus/files"
  path_cache = "@I@/sites/campus/cache"
  path_temp = "@I@/sites/campus/temp"
  database: none
  aliases: learn.example
wrote @O@/httpd.conf
wrote @O@/default.serverconfig.php
wrote @O@/campus.serverconfig.php
web server check skipped: @I@/apache/bin/httpd not found
Settings OK
)";

const std::string SecondReport = R"(instance second: key HKEY_LOCAL_MACHINE\SOFTWARE\Vantry\Server-second
server values:
)" + DefaultValues + R"(  PortNumber = 80 (default)
  HttpEnabled = 0
  HttpForward = "" (default)
  HttpsPortNumber = 443 (default)
  HttpsEnabled = 0 (default)
  HttpsForward = "" (default)
  HttpsCertificateId = 0 (default)
  RtmpPortNumber = 1935 (default)
  RtmpEnabled = 1 (default)
  TranscodeThreads = 1 (default)
  InstallFolder = "@I@"
  Version = "15.0.11" (default)
  SmtpHost = "" (not set)
  SmtpUser = "" (not set)
  SmtpPassword = "" (not set)
  SmtpEmail = "" (not set)
no enabled site
wrote @O@/httpd.conf
web server check skipped: @I@/apache/bin/httpd not found
Settings OK
)";

// A port the daemon replaces by its default and a site it leaves out: both
// are listed, and the settings still pass, since the daemon starts with the
// rest of them (one bad alias must not keep every site offline).
const std::string RefusedSettings = std::string(Header) + R"([HKEY_LOCAL_MACHINE\SOFTWARE\Vantry\Server]
"InstallFolder"="@I@"
"PortNumber"=dword:00000000

[HKEY_LOCAL_MACHINE\SOFTWARE\Vantry\Server\bad]

[HKEY_LOCAL_MACHINE\SOFTWARE\Vantry\Server\bad\bad host]
)";

const std::string RefusedReport = R"(instance vtd: key HKEY_LOCAL_MACHINE\SOFTWARE\Vantry\Server
server values:
)" + DefaultValues + R"(  PortNumber = 80 (refused, default used)
  HttpEnabled = 1 (default)
  HttpForward = "" (default)
  HttpsPortNumber = 443 (default)
  HttpsEnabled = 0 (default)
  HttpsForward = "" (default)
  HttpsCertificateId = 0 (default)
  RtmpPortNumber = 1935 (default)
  RtmpEnabled = 1 (default)
  TranscodeThreads = 1 (default)
  InstallFolder = "@I@"
  Version = "15.0.11" (default)
  SmtpHost = "" (not set)
  SmtpUser = "" (not set)
  SmtpPassword = "" (not set)
  SmtpEmail = "" (not set)
no enabled site
settings: "PortNumber" refused: 0 is not a port number (1 to 65535); 80 is used
settings: site "bad" refused: alias "bad host" is not a host name (with a port from 1 to 65535)
wrote @O@/httpd.conf
web server check skipped: @I@/apache/bin/httpd not found
Settings OK
)";

// Line 5 holds a number that is not one.
const std::string MalformedSettings = std::string(Header) + R"([HKEY_LOCAL_MACHINE\SOFTWARE\Vantry\Server]
"InstallFolder"="@I@"
"PortNumber"=dword:80x
)";

// HTTPS on, with the demo installation's fragments for Debian's Apache.
const std::string HttpsSettings = std::string(Header) + R"([HKEY_LOCAL_MACHINE\SOFTWARE\Vantry\Server]
"InstallFolder"="@I@"
"PortNumber"=dword:00001f90
"HttpsEnabled"=dword:00000001

[HKEY_LOCAL_MACHINE\SOFTWARE\Vantry\Server\default]
)";

enum class Fragments { Data, DataWithoutSsl, Demo, DemoBroken, None };

struct Case {
    const char* name;
    // Settings file text; nullptr: no settings file at all.
    const std::string* settings;
    Fragments fragments;
    // Whether apache/bin/httpd is there (a link to Debian's apache2), and
    // the default site's certificate and key beside it.
    bool webServer;
    bool certificate;
    // Arguments after the program name; @O@ is the output folder.
    const char* arguments;
    int status;
    // The whole report, when it is fixed...
    const std::string* report;
    // ...else lines it must hold.
    std::vector<std::string> lines;
};

const std::string MissingReport = R"(settings file @R@ not found; no settings loaded
instance vtd: key HKEY_LOCAL_MACHINE\SOFTWARE\Vantry\Server
settings: the key is missing; the daemon would run with empty settings and write nothing useful
Settings not OK: 1 problem
)";
const std::string MalformedReport = "@R@:5: dword: needs one to eight hex digits\nSettings not OK: 1 problem\n";

const Case Cases[] = {
    {"good", &GoodSettings, Fragments::Data, false, false, "-o @O@", 0, &GoodReport, {}},
    {"good, instance -n second", &GoodSettings, Fragments::Data, false, false, "-n second -o @O@", 0, &SecondReport, {}},
    {"malformed at line 5", &MalformedSettings, Fragments::Data, false, false, "-o @O@", 1, &MalformedReport, {}},
    {"a site and a value the daemon refuses", &RefusedSettings, Fragments::Data, false, false, "-o @O@", 0, &RefusedReport,
     {}},
    {"no settings file", nullptr, Fragments::Data, false, false, "-o @O@", 1, &MissingReport, {}},
    {"no conf folder", &GoodSettings, Fragments::None, false, false, "-o @O@", 1, nullptr,
     {"web configuration: the conf folder @I@/apache/conf does not exist; the daemon would write no httpd.conf and no "
      "serverconfig.php",
      "Settings not OK: 1 problem"}},
    {"a fragment missing", &HttpsSettings, Fragments::DataWithoutSsl, false, false, "-o @O@", 1, nullptr,
     {"web configuration: the fragment @I@/apache/conf/conf.ssl cannot be read; httpd.conf would lack it",
      "wrote @O@/httpd.conf", "Settings not OK: 1 problem"}},
    {"the output folder is the conf folder", &GoodSettings, Fragments::Data, false, false, "-o @I@/apache/conf/", 1,
     nullptr,
     {"-o @I@/apache/conf/ lies in the installation (in @I@); choose a folder outside it", "Settings not OK: 1 problem"}},
    {"the output folder is below a site's htdocs folder", &GoodSettings, Fragments::Data, false, false,
     "-o /srv/campus-web/check", 1, nullptr,
     {"-o /srv/campus-web/check lies in the installation (in /srv/campus-web); choose a folder outside it",
      "Settings not OK: 1 problem"}},
    {"Apache accepts the configuration", &HttpsSettings, Fragments::Demo, true, true, "-o @O@", 0, nullptr,
     {"web server check: @I@/apache/bin/httpd -d @I@/apache -f @O@/httpd.conf -D @D@ -t", "Syntax OK",
      "Settings OK"}},
    {"Apache refuses a fragment", &HttpsSettings, Fragments::DemoBroken, true, true, "-o @O@", 1, nullptr,
     {"Invalid command 'NoSuchDirective', perhaps misspelled or defined by a module not included in the server "
      "configuration",
      "web server check failed (exit status 1)", "Settings not OK: 1 problem"}},
    {"default folder: a temporary one", &HttpsSettings, Fragments::Demo, true, true, "", 0, nullptr,
     {"Syntax OK", "Settings OK"}},
    {"HTTPS before the daemon wrote its certificate", &HttpsSettings, Fragments::Demo, true, false, "-o @O@", 0,
     nullptr,
     {"web server check skipped: HTTPS is on and @I@/default.crt is not there yet (the daemon writes it from the "
      "default site's database at start)",
      "Settings OK"}},
};

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

void CopyFragments(const std::string& from, const std::string& conf, const std::string& install)
{
    for (const auto& entry : fs::directory_iterator(from)) {
        std::string name = entry.path().filename().string();
        if (name.rfind("conf.", 0) != 0)
            continue;
        WriteFileBytes(conf + "/" + name, Replace(ReadFileBytes(entry.path().string()), "@INSTALL@", install));
    }
}

TEST(VtdCheck, ReportsAndExitStatusForEachSettingsFile)
{
    for (const Case& c : Cases) {
        SCOPED_TRACE(c.name);
        TempFolder temp;
        std::string install = temp / "inst";
        std::string conf = install + "/apache/conf";
        std::string out = temp / "out";
        std::string settings = temp / "vtd.reg";
        fs::create_directories(install);
        switch (c.fragments) {
        case Fragments::Data:
        case Fragments::DataWithoutSsl:
            fs::create_directories(conf);
            CopyFragments(VTD_TEST_DATA "/httpd/fragments", conf, install);
            if (c.fragments == Fragments::DataWithoutSsl)
                fs::remove(conf + "/conf.ssl");
            break;
        case Fragments::Demo:
        case Fragments::DemoBroken:
            fs::create_directories(conf);
            fs::create_directories(install + "/apache/logs");
            CopyFragments(VTD_SOURCE_DIR "/tools/demo/apache", conf, install);
            if (c.fragments == Fragments::DemoBroken)
                WriteFileBytes(conf + "/conf.footer", ReadFileBytes(conf + "/conf.footer") + "NoSuchDirective on\n");
            break;
        case Fragments::None:
            break;
        }
        if (c.webServer) {
            if (!fs::exists("/usr/sbin/apache2")) {
                std::printf("apache2 is not installed: case \"%s\" not run\n", c.name);
                continue;
            }
            fs::create_directories(install + "/apache/bin");
            fs::create_symlink("/usr/sbin/apache2", install + "/apache/bin/httpd");
        }
        if (c.certificate) {
            std::string command =
                "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=localhost"
                " -keyout " + ShellWord(install + "/default.pvk") + " -out " + ShellWord(install + "/default.crt") +
                " >/dev/null 2>&1";
            if (std::system(command.c_str()) != 0) {
                std::printf("openssl cannot make a certificate: case \"%s\" not run\n", c.name);
                continue;
            }
        }
        if (c.settings != nullptr)
            WriteFileBytes(settings, Replace(*c.settings, "@I@", install));
        auto fill = [&](const std::string& text) {
            return Replace(Replace(Replace(Replace(text, "@I@", install), "@O@", out), "@R@", settings), "@D@",
                           WebServerDefine);
        };
        std::vector<std::string> before = Listing(install);

        CheckRun run = RunCheck(settings, fill(c.arguments), temp / "stderr");
        std::string errors = ReadFileBytes(temp / "stderr");
        EXPECT_EQ(run.status, c.status) << run.out << errors;
        if (c.report != nullptr) {
            EXPECT_EQ(run.out, fill(*c.report)) << errors;
        }
        std::vector<std::string> lines = Lines(run.out);
        for (const std::string& line : c.lines)
            EXPECT_NE(std::find(lines.begin(), lines.end(), fill(line)), lines.end())
                << "missing: " << fill(line) << "\n" << run.out << errors;
        // The last line is the verdict, whatever came before.
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back().rfind(c.status == 0 ? "Settings OK" : "Settings not OK", 0), 0u) << run.out;
        // Passwords are never shown.
        EXPECT_EQ(run.out.find("secret"), std::string::npos) << run.out;
        // Nothing in the installation was made or changed.
        EXPECT_EQ(Listing(install), before);
        // What it wrote: httpd.conf and one serverconfig.php per site
        // there, in CR LF lines; none without -o.
        for (const std::string& line : lines) {
            if (line.rfind("wrote ", 0) != 0)
                continue;
            std::string path = line.substr(6);
            if (std::string(c.arguments).find("-o") == std::string::npos) {
                EXPECT_FALSE(fs::exists(path)) << path << " of the temporary folder is still there";
                EXPECT_FALSE(fs::exists(fs::path(path).parent_path()));
                continue;
            }
            ASSERT_TRUE(fs::exists(path)) << path;
            std::string bytes = ReadFileBytes(path);
            EXPECT_NE(bytes.find("Generated file, do not edit.\r\n"), std::string::npos) << path;
            // New files of the user running the check, the secrets for its
            // eyes only.
            bool php = path.size() > 4 && path.substr(path.size() - 4) == ".php";
            EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
                      php ? fs::perms::owner_read | fs::perms::owner_write
                          : fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read)
                << path;
            struct stat st {};
            ASSERT_EQ(stat(path.c_str(), &st), 0);
            EXPECT_EQ(st.st_uid, geteuid()) << path;
        }
    }
}

// An installation with the test data's fragments and settings of two sites,
// one with its htdocs folder outside the installation.
struct Installation {
    TempFolder temp;
    std::string install = temp / "inst";
    std::string web = temp / "web";
    std::string settings = temp / "vtd.reg";

    Installation()
    {
        fs::create_directories(install + "/apache/conf");
        fs::create_directories(web);
        CopyFragments(VTD_TEST_DATA "/httpd/fragments", install + "/apache/conf", install);
        WriteFileBytes(settings, Replace(Replace(GoodSettings, "@I@", install), "/srv/campus-web", web));
    }

    // Everything below the installation and the outside htdocs folder.
    std::vector<std::string> State() const
    {
        std::vector<std::string> state = Listing(install);
        std::vector<std::string> outside = Listing(web);
        state.insert(state.end(), outside.begin(), outside.end());
        return state;
    }
};

bool HasLine(const std::string& text, const std::string& line)
{
    std::vector<std::string> lines = Lines(text);
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// Every way into the installation is found on the real path: a link to a
// folder of it, a linked parent, "..", a relative path, a link to a site's
// folder outside the installation. Nothing is made or changed there.
TEST(VtdCheck, OutputFolderIntoTheInstallationIsRefusedEveryWay)
{
    Installation inst;
    std::string t = inst.temp.Path();
    fs::create_directories(t + "/outside");
    fs::create_symlink(inst.install + "/apache/conf", t + "/link-to-conf");
    fs::create_symlink(inst.install, t + "/link-to-inst");
    fs::create_symlink(inst.install + "/apache", t + "/outside/up");
    fs::create_symlink(inst.web, t + "/web-link");
    fs::create_symlink("link-to-inst/sites", t + "/relative-link");
    struct Case {
        std::string folder;  // as given to -o
        std::string cwd;     // where vtd-check runs
        std::string within;  // the installation folder named
    } cases[] = {
        {t + "/link-to-conf", t, inst.install},
        {t + "/link-to-conf/", t, inst.install},
        {t + "/link-to-inst/apache/conf/new/deeper", t, inst.install},
        {t + "/outside/../inst/apache/conf", t, inst.install},
        {t + "/outside/missing/../../inst/sites", t, inst.install},
        {t + "/outside/up/conf", t, inst.install},
        {"inst/apache/conf", t, inst.install},
        {"../inst", t + "/outside", inst.install},
        {"./up/logs", t + "/outside", inst.install},
        {"relative-link/default/htdocs", t, inst.install},
        {t + "/web-link/check", t, inst.web},
        {t + "/web-link", t, inst.web},
    };
    std::vector<std::string> before = inst.State();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder + " in " + c.cwd);
        CheckRun run = RunCheck(inst.settings, "-o " + ShellWord(c.folder), t + "/stderr", "cd " + ShellWord(c.cwd) + " &&");
        EXPECT_EQ(run.status, 1) << run.out;
        EXPECT_TRUE(HasLine(run.out, "-o " + c.folder + " lies in the installation (in " + c.within +
                                         "); choose a folder outside it"))
            << run.out;
        EXPECT_EQ(run.out.find("wrote "), std::string::npos) << run.out;
        EXPECT_EQ(inst.State(), before);
    }
}

// The output folder must be the running user's (or root's) and no one
// else's to change, up to the root; otherwise it is refused and nothing is
// written there. Files there before are replaced by new files of the check,
// never written through or left with another owner.
TEST(VtdCheck, OutputFolderMustBeTheUsersOwn)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give folders to another user";
    const uid_t other = 65534;
    Installation inst;
    std::string t = inst.temp.Path();
    struct Case {
        const char* name;
        std::string folder;
        std::string refusal;  // the end of the refusal line
    } cases[] = {
        {"another user's folder", t + "/theirs", t + "/theirs is not a folder of the user running the check (or of "
                                                     "root) that only its owner may change; nothing written"},
        {"a folder others may write", t + "/open", t + "/open is not a folder of the user running the check (or of "
                                                       "root) that only its owner may change; nothing written"},
        {"a folder below one others may write", t + "/shared/mine",
         "the folder " + t + "/shared above " + t +
             "/shared/mine may be changed by other users; choose a folder that only its owner and root may change; "
             "nothing written"},
        {"a new folder in another user's folder", t + "/theirs/new",
         "the folder " + t + "/theirs above " + t +
             "/theirs/new may be changed by other users; choose a folder that only its owner and root may change; "
             "nothing written"},
        {"the system's temporary folder itself", "/tmp",
         "/tmp is not a folder of the user running the check (or of root) that only its owner may change; nothing "
         "written"},
    };
    fs::create_directories(t + "/theirs");
    ASSERT_EQ(chown((t + "/theirs").c_str(), other, other), 0);
    // What that user prepared there, hoping for the passwords.
    WriteFileBytes(t + "/theirs/default.serverconfig.php", "");
    ASSERT_EQ(chown((t + "/theirs/default.serverconfig.php").c_str(), other, other), 0);
    fs::create_directories(t + "/open");
    fs::permissions(t + "/open", fs::perms::all);
    fs::create_directories(t + "/shared/mine");
    fs::permissions(t + "/shared", fs::perms::all);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> before = Listing(t);
        CheckRun run = RunCheck(inst.settings, "-o " + ShellWord(c.folder), t + "/../stderr-check");
        EXPECT_EQ(run.status, 1) << run.out;
        EXPECT_TRUE(HasLine(run.out, "-o " + c.folder + " refused: " + c.refusal)) << run.out;
        EXPECT_EQ(run.out.find("wrote "), std::string::npos) << run.out;
        EXPECT_EQ(Listing(t), before);
    }
    std::remove((t + "/../stderr-check").c_str());

    // The user's own folder: what was there is replaced by new files.
    std::string mine = t + "/mine";
    fs::create_directories(mine);
    fs::permissions(mine, fs::perms::owner_all);
    WriteFileBytes(mine + "/default.serverconfig.php", "planted");
    ASSERT_EQ(chown((mine + "/default.serverconfig.php").c_str(), other, other), 0);
    fs::permissions(mine + "/default.serverconfig.php", fs::perms::all);
    WriteFileBytes(t + "/victim", "keep");
    fs::create_symlink(t + "/victim", mine + "/httpd.conf");
    WriteFileBytes(mine + "/campus.serverconfig.php.tmpAbC123", "stale");
    CheckRun run = RunCheck(inst.settings, "-o " + ShellWord(mine), t + "/stderr");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(ReadFileBytes(t + "/victim"), "keep");
    EXPECT_FALSE(fs::exists(mine + "/campus.serverconfig.php.tmpAbC123"));
    for (const char* name : {"httpd.conf", "default.serverconfig.php", "campus.serverconfig.php"}) {
        SCOPED_TRACE(name);
        std::string path = mine + "/" + name;
        struct stat st {};
        ASSERT_EQ(lstat(path.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_uid, geteuid());
        EXPECT_EQ(st.st_gid, getegid());
        EXPECT_EQ(st.st_mode & 07777, std::string(name) == "httpd.conf" ? 0640u : 0600u);
        EXPECT_NE(ReadFileBytes(path).find("Generated file, do not edit.\r\n"), std::string::npos);
    }
}

bool Running(const std::string& pidFile)
{
    std::string pid = ReadFileBytes(pidFile);
    while (!pid.empty() && pid.back() == '\n')
        pid.pop_back();
    std::ifstream file("/proc/" + pid + "/stat");
    std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    size_t close = stat.rfind(')');
    // A zombie has ended: only its parent's wait is missing.
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

// A web server check that does not end is ended at its time limit, with
// what it started, and counted as a problem. The sleep divisor shortens
// the limit's 60 s to 60 ms.
TEST(VtdCheck, WebServerCheckIsEndedAtItsTimeLimit)
{
    Installation inst;
    std::string t = inst.temp.Path();
    fs::create_directories(inst.install + "/apache/bin");
    std::string program = inst.install + "/apache/bin/httpd";
    WriteFileBytes(program, "#!/bin/sh\necho checking\nsleep 120 &\necho $! >" + ShellWord(t + "/grandchild") +
                                "\necho $$ >" + ShellWord(t + "/child") + "\nwait\n");
    fs::permissions(program, fs::perms::owner_all);
    CheckRun run = RunCheck(inst.settings, "-o " + ShellWord(t + "/out"), t + "/stderr", "VTD_SLEEP_DIVISOR=1000");
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_TRUE(HasLine(run.out, "checking")) << run.out;
    EXPECT_TRUE(HasLine(run.out, "web server check: no result after 60 s; it was ended")) << run.out;
    EXPECT_TRUE(HasLine(run.out, "Settings not OK: 1 problem")) << run.out;
    // Both are gone (the killed grandchild waits at most for its new parent
    // to reap it).
    ASSERT_TRUE(fs::exists(t + "/child") && fs::exists(t + "/grandchild")) << run.out;
    EXPECT_FALSE(Running(t + "/child"));
    for (int i = 0; i < 500 && Running(t + "/grandchild"); ++i)
        usleep(10000);
    EXPECT_FALSE(Running(t + "/grandchild"));
}

} // namespace
