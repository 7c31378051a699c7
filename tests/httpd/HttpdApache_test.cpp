// The generated httpd.conf with the demo installation's fragments, judged by
// Debian's Apache itself: the syntax check, then a running server that
// serves every site on the internal listener, the public port and HTTPS.
#include <gtest/gtest.h>

#include <grp.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "WebConfigFixture.h"
#include "LoopbackPort.h"
#include "RegistryHex.h"
#include "httpd/Httpd.h"

using namespace webtest;
namespace fs = std::filesystem;

namespace {

bool PortFree(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool free = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return free;
}

bool Accepts(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

class HttpdApacheTest : public WebConfigTest {
public:
    void SetUp() override
    {
        WebConfigTest::SetUp();
        // Apache serves as www-data, which must reach the site folders and
        // read serverconfig.php: the folder the sites are made in has its
        // group, which the daemon hands on to what it creates below.
        chmod(root.c_str(), 0755);
        struct group* web = getgrnam("www-data");
        ASSERT_NE(web, nullptr);
        ASSERT_EQ(chown(root.c_str(), static_cast<uid_t>(-1), web->gr_gid), 0);
        std::string demo = std::string(VTD_SOURCE_DIR) + "/tools/demo/apache";
        for (const auto& entry : fs::directory_iterator(demo)) {
            std::string name = entry.path().filename().string();
            std::string text = Replace(ReadFileBytes(entry.path().string()), "@INSTALL@", install);
            WriteFileBytes(name.rfind("conf.", 0) == 0 ? conf + "/" + name : install + "/apache/" + name, text);
        }
        fs::create_directories(install + "/apache/logs");
        fs::create_directories(install + "/apache/bin");
        fs::create_symlink("/usr/sbin/apache2", install + "/apache/bin/httpd");

        Config.PortNumber = FreeLoopbackPort();
        haveOpenssl = RunCommand("command -v openssl >/dev/null 2>&1").status == 0;
        if (haveOpenssl) {
            CommandResult cert = RunCommand(
                "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=localhost"
                " -keyout " + ShellWord(install + "/default.pvk") + " -out " + ShellWord(install + "/default.crt") +
                " 2>&1");
            ASSERT_EQ(cert.status, 0) << cert.output;
            Config.HttpsEnabled = 1;
            Config.HttpsPortNumber = FreeLoopbackPort();
        }

        AddSite("default", root + "/sites/default", {"ignored.test"});
        AddSite("b", root + "/sites/b", {"b1.test", "b2.test"});
        AddSite("q", root + "/it's \"q\"", {"q.test"});
    }

    void TearDown() override
    {
        StopApache();
        WebConfigTest::TearDown();
    }

    // Each site's page tells which site, alias and folder served it and
    // what the prepended serverconfig.php defined.
    void WritePages()
    {
        for (SiteConfig* site : SiteRecords()) {
            WriteFileBytes(std::string(site->path_htdocs) + "/index.php",
                           "<?php echo VANTRY_SITENAME, '|', VANTRY_ALIASNAME, '|', VANTRY_DBNAME, '|', __DIR__;\n");
            WriteFileBytes(std::string(site->path_files) + "/note.txt", std::string("files of ") + site->name);
        }
    }

    CommandResult ApacheCommand(const std::string& arguments)
    {
        return RunCommand(ShellWord(install + "/apache/bin/httpd") + " -d " + ShellWord(install + "/apache") + " " +
                          arguments + " 2>&1");
    }

    // Starts Apache as the daemon does; false when it did not come up.
    bool StartApache()
    {
        std::string program = install + "/apache/bin/httpd";
        std::string serverRoot = install + "/apache";
        std::string output = install + "/apache/logs/console.log";
        pid = fork();
        if (pid == 0) {
            // Apache signals its whole process group when it stops: a group
            // of its own, as the daemon gives it.
            setpgid(0, 0);
            int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
            dup2(fd, 2);
            execl(program.c_str(), program.c_str(), "-d", serverRoot.c_str(), "-D", "FOREGROUND",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 150; ++i) {
            int status;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return false;
            }
            if (Accepts(InternalHttpPort) && Accepts(Config.PortNumber) &&
                (Config.HttpsEnabled == 0 || Accepts(Config.HttpsPortNumber)))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

    void StopApache()
    {
        if (pid <= 0)
            return;
        kill(pid, SIGTERM);
        for (int i = 0; i < 100; ++i) {
            if (waitpid(pid, nullptr, WNOHANG) == pid) {
                pid = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        kill(-pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }

    std::string Get(const std::string& scheme, int port, const std::string& host, const std::string& path)
    {
        std::string url = scheme + "://" + host + ":" + std::to_string(port) + path;
        CommandResult result = RunCommand("curl -sk --max-time 10 --resolve " +
                                          ShellWord(host + ":" + std::to_string(port) + ":127.0.0.1") + " " +
                                          ShellWord(url));
        return result.output;
    }

    pid_t pid = -1;
    bool haveOpenssl = false;
};

TEST_F(HttpdApacheTest, ApacheAcceptsTheGeneratedConfiguration)
{
    WriteWebConfig(Config);
    CommandResult check = ApacheCommand("-t");
    EXPECT_EQ(check.status, 0) << check.output;
    EXPECT_NE(check.output.find("Syntax OK"), std::string::npos) << check.output;
    // Every folder named in it exists, the one with quotes included.
    EXPECT_EQ(check.output.find("does not exist"), std::string::npos) << check.output;
    if (!haveOpenssl)
        std::printf("openssl is not installed: checked without the HTTPS section\n");
}

TEST_F(HttpdApacheTest, ApacheServesEachSiteOnEveryListener)
{
    if (!PortFree(InternalHttpPort))
        GTEST_SKIP() << "port " << InternalHttpPort << " of the internal listener is in use";
    WriteWebConfig(Config);
    WritePages();
    if (!StartApache()) {
        std::string console = ReadFileBytes(install + "/apache/logs/console.log");
        if (console.find("Address already in use") != std::string::npos)
            GTEST_SKIP() << "a listener port was taken while Apache started: " << console;
        FAIL() << "Apache did not start: " << console;
    }

    struct Listener {
        std::string scheme;
        int port;
    };
    std::vector<Listener> listeners = {{"http", InternalHttpPort}, {"http", Config.PortNumber}};
    if (Config.HttpsEnabled != 0)
        listeners.push_back({"https", Config.HttpsPortNumber});
    struct Host {
        const char* name;
        const char* site;
        const char* alias;
    } hosts[] = {
        {"unknown.test", "default", "_default_"},
        {"b1.test", "b", "b1.test"},
        {"b2.test", "b", "b1.test"},
        {"q.test", "q", "q.test"},
    };
    for (const Listener& listener : listeners) {
        for (const Host& host : hosts) {
            SCOPED_TRACE(listener.scheme + " " + std::to_string(listener.port) + " " + host.name);
            const SiteConfig* site = nullptr;
            for (SiteConfig* record : SiteRecords())
                if (std::string(record->name) == host.site)
                    site = record;
            ASSERT_NE(site, nullptr);
            EXPECT_EQ(Get(listener.scheme, listener.port, host.name, "/index.php"),
                      std::string(host.site) + "|" + host.alias + "|" + site->sql_database + "|" + site->path_htdocs);
            EXPECT_EQ(Get(listener.scheme, listener.port, host.name, "/contents/note.txt"),
                      std::string("files of ") + host.site);
        }
    }
}

} // namespace


// Values crafted to break out of their directive line (a line feed, a
// carriage return) or to stop the web server (an alias with a blank or a
// quote) never reach httpd.conf: the settings refuse them, and Apache
// accepts what is written.
TEST_F(HttpdApacheTest, InjectedValuesNeverReachTheConfiguration)
{
    const std::string key = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantry\\Server";
    const std::string inject = "\nDefine Injected\n";
    std::string hive = "Windows Registry Editor Version 5.00\r\n\r\n" + key + "]\r\n\"InstallFolder\"=\"" + install +
                       "\"\r\n\"PortNumber\"=dword:" + [] (int port) {
                           char text[16];
                           std::snprintf(text, sizeof text, "%08x", port);
                           return std::string(text);
                       }(Config.PortNumber) +
                       "\r\n\"HttpForward\"=" + ExpandableHex("https://x/" + inject) + "\r\n\"HttpsForward\"=" +
                       ExpandableHex("https://y/\r" + inject) + "\r\n" + key + "\\default]\r\n\"path\"=\"" + root +
                       "/sites/default\"\r\n";
    int n = 0;
    for (const char* value : {"path", "path_htdocs", "path_files", "path_cache"}) {
        std::string site = key + "\\evil" + std::to_string(++n);
        hive += site + "]\r\n\"" + value + "\"=" + ExpandableHex(root + "/e" + inject) + "\r\n" + site +
                "\\evil.test]\r\n";
    }
    for (const char* alias : {"a b.test", "q\"uote.test", "<x>.test"}) {
        std::string site = key + "\\evil" + std::to_string(++n);
        hive += site + "]\r\n" + site + "\\" + alias + "]\r\n";
    }
    ClearSites(Config);
    UseSettings(hive);
    SetInstanceName(Config, "vtd");
    ASSERT_TRUE(LoadSettings(Config));
    std::string refusals;
    for (const std::string& line : Config.Refusals)
        refusals += line + "\n";
    EXPECT_EQ(Config.Refusals.size(), 2u + n) << refusals;
    ASSERT_EQ(SiteRecords().size(), 1u) << SiteRecords()[1]->name;

    WriteWebConfig(Config);
    std::string written = ReadFileBytes(conf + "/httpd.conf");
    EXPECT_EQ(written.find("Injected"), std::string::npos) << written;
    EXPECT_EQ(written.find("evil"), std::string::npos) << written;
    EXPECT_EQ(written.find("Redirect"), std::string::npos) << written;
    CommandResult check = ApacheCommand("-t");
    EXPECT_EQ(check.status, 0) << check.output;
    EXPECT_NE(check.output.find("Syntax OK"), std::string::npos) << check.output;
}

// What the settings refuse, held against Debian's Apache: every value the
// settings accept gives a configuration that "apache2 -t" passes, and the
// values Apache refuses, written as they are, do stop it, so that each
// refusal is one the web server needs.
TEST_F(HttpdApacheTest, EveryAcceptedValuePassesApache)
{
    enum Kind { Alias, HttpForward, HttpsForward, SamePorts };
    struct Case {
        Kind kind;
        std::string value;
        bool refused;        // by the settings
        bool apacheRefuses;  // written as it is
    } cases[] = {
        {Alias, "a.test", false, false},
        {Alias, "my_host-1.test:8080", false, false},
        {Alias, "a.test:65535", false, false},
        {Alias, "127.0.0.1:1", false, false},
        {Alias, "a:b", true, true},
        {Alias, "a:0", true, true},
        {Alias, "a:99999", true, true},
        {Alias, "a:", true, true},
        {Alias, "*", true, true},
        {Alias, "*.a.test", true, true},
        {Alias, "[::1]", true, true},
        {Alias, "a:80x", true, false},  // Apache reads the port as 80
        {HttpForward, "https://x.test/", false, false},
        {HttpForward, "http://x.test/a\\b", false, false},
        {HttpForward, "https://x.test/\\", true, true},
        {HttpForward, "x.test", true, true},
        {HttpForward, "/moved", true, false},  // a redirect within the host
        {HttpsForward, "https://y.test:8443/", false, false},
        {HttpsForward, "www.y.test", true, true},
        {HttpsForward, "https://y.test/\\", true, true},
        {SamePorts, "", true, true},
    };
    auto hex = [](int number) {
        char text[16];
        std::snprintf(text, sizeof text, "%08x", number);
        return std::string(text);
    };
    auto regText = [](const std::string& text) { return Replace(Replace(text, "\\", "\\\\"), "\"", "\\\""); };
    const std::string key = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantry\\Server";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value + (c.kind == SamePorts ? "PortNumber = HttpsPortNumber" : ""));
        bool https = c.kind == HttpsForward || c.kind == SamePorts;
        if (https && !haveOpenssl) {
            std::printf("openssl is not installed: HTTPS case not run\n");
            continue;
        }
        // The value in the settings, and what the settings make of it.
        int httpsPort = c.kind == SamePorts ? Config.PortNumber : Config.HttpsPortNumber;
        std::string hive = "Windows Registry Editor Version 5.00\r\n\r\n" + key + "]\r\n\"InstallFolder\"=\"" +
                           regText(install) + "\"\r\n\"PortNumber\"=dword:" + hex(Config.PortNumber) +
                           "\r\n\"HttpsEnabled\"=dword:" + hex(https ? 1 : 0) + "\r\n\"HttpsPortNumber\"=dword:" +
                           hex(httpsPort) + "\r\n";
        if (c.kind == HttpForward || c.kind == HttpsForward)
            hive += std::string("\"") + (c.kind == HttpForward ? "HttpForward" : "HttpsForward") + "\"=\"" +
                    regText(c.value) + "\"\r\n";
        hive += key + "\\default]\r\n\"path\"=\"" + regText(root + "/sites/default") + "\"\r\n";
        hive += key + "\\s]\r\n\"path\"=\"" + regText(root + "/sites/s") + "\"\r\n" + key + "\\s\\" +
                (c.kind == Alias ? c.value : "s.test") + "]\r\n";
        UseSettings(hive);
        ServerConfig loaded{};
        SetInstanceName(loaded, "vtd");
        ASSERT_TRUE(LoadSettings(loaded));
        std::string refusals;
        for (const std::string& line : loaded.Refusals)
            refusals += line + "\n";
        EXPECT_EQ(loaded.Refusals.size(), c.refused ? 1u : 0u) << refusals;
        if (loaded.Refusals.empty()) {
            WriteWebConfig(loaded);
            CommandResult check = ApacheCommand("-t");
            EXPECT_EQ(check.status, 0) << check.output;
            EXPECT_NE(check.output.find("Syntax OK"), std::string::npos) << check.output;
        }
        ClearSites(loaded);

        // The same value written as it is.
        if (!c.refused || !c.apacheRefuses)
            continue;
        ServerConfig raw{};
        CopyText(raw.InstallFolder, Config.InstallFolder);
        raw.PortNumber = Config.PortNumber;
        raw.HttpEnabled = 1;
        raw.RtmpPortNumber = Config.RtmpPortNumber;
        raw.HttpsEnabled = https ? 1 : 0;
        raw.HttpsPortNumber = httpsPort;
        if (c.kind == HttpForward)
            CopyText(raw.HttpForward, c.value.c_str());
        if (c.kind == HttpsForward)
            CopyText(raw.HttpsForward, c.value.c_str());
        for (SiteConfig* site : SiteRecords()) {
            auto* copy = new SiteConfig(*site);
            if (c.kind == Alias && std::string(copy->name) == "b")
                CopyText(copy->aliases[1], c.value.c_str());
            raw.Sites.Append(copy);
        }
        WriteWebConfig(raw);
        CommandResult check = ApacheCommand("-t");
        EXPECT_NE(check.status, 0) << "Apache takes it after all:\n" << check.output;
        ClearSites(raw);
    }
}
