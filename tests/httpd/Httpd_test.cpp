// httpd.conf and serverconfig.php: byte-exact files for settings scenarios,
// PHP reading back every value, the settings store reads, and failures.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include "WebConfigFixture.h"
#include "httpd/Httpd.h"
#include "platform/SystemInfo.h"

using namespace webtest;
namespace fs = std::filesystem;

namespace {

class HttpdTest : public WebConfigTest {
public:
    void SetUp() override
    {
        WebConfigTest::SetUp();
        for (const auto& entry : fs::directory_iterator(DataPath("fragments")))
            fs::copy_file(entry.path(), conf + "/" + entry.path().filename().string());
    }

    std::string Expected(const std::string& file) { return Replace(ReadFileBytes(DataPath(file)), "@ROOT@", root); }
    std::string Sites(const std::string& name) { return root + "/sites/" + name; }
};

struct Scenario {
    const char* name;
    std::function<void(HttpdTest&)> setup;
    const char* log;  // the one failure line expected, or "" for none
};

// Each scenario has <name>/httpd.conf and <name>/<site>.serverconfig.php
// expected files in the test data (where given).
const Scenario Scenarios[] = {
    {"no_sites", [](HttpdTest&) { Config.HttpsEnabled = 1; }, ""},
    {"shared_htdocs",
     [](HttpdTest& t) {
         std::string shared = t.root + "/shared/htdocs";
         CopyText(t.AddSite("default", t.Sites("default"), {"www.example.com"}).path_htdocs, shared.c_str());
         CopyText(t.AddSite("b", t.Sites("b"), {"b1.example.com", "b2.example.com"}).path_htdocs, shared.c_str());
         CopyText(t.AddSite("c", t.Sites("c")).path_htdocs, (t.root + "/shared/HTDOCS").c_str());
     },
     ""},
    {"aliases",
     [](HttpdTest& t) {
         Config.HttpEnabled = 0;
         std::vector<std::string> twenty;
         for (int i = 1; i <= 20; ++i)
             twenty.push_back((i < 10 ? "h0" : "h") + std::to_string(i) + ".example.com");
         SiteConfig& many = t.AddSite("many", t.Sites("many"));
         for (int i = 0; i < SiteAliasCount; ++i)
             CopyText(many.aliases[i], twenty[static_cast<size_t>(i)].c_str());
         t.AddSite("gap", t.Sites("gap"), {"a.example.com", "", "c.example.com"});
     },
     ""},
    {"forward",
     [](HttpdTest& t) {
         Config.HttpsEnabled = 1;
         CopyText(Config.HttpForward, "https://www.example.com/");
         t.AddSite("default", t.Sites("default"));
         t.AddSite("b", t.Sites("b"), {"b1.example.com"});
     },
     ""},
    {"missing_ssl",
     [](HttpdTest& t) {
         Config.HttpEnabled = 0;
         Config.HttpsEnabled = 1;
         fs::remove(t.conf + "/conf.ssl");
         t.AddSite("default", t.Sites("default"));
     },
     "ASSERT(fp) failed at Httpd:11"},
    {"empty_htdocs",
     [](HttpdTest& t) {
         t.AddSite("default", t.Sites("default"));
         t.AddSite("e", t.Sites("e"), {"e1.example.com"}).path_htdocs[0] = '\0';
     },
     ""},
    {"quote_folder",
     [](HttpdTest& t) {
         Config.HttpEnabled = 0;
         t.AddSite("default", t.root + "/it's \"x\" \\y");
     },
     ""},
    {"password",
     [](HttpdTest& t) {
         SiteConfig& site = t.AddSite("default", t.Sites("default"));
         CopyText(site.sql_server, "db'host");
         CopyText(site.sql_user, "o'brien");
         CopyText(site.sql_password, "pa'ss\\");
         CopyText(Config.VtdMasterName, "m'aster\\");
         CopyText(Config.SmtpHost, "mail'host");
         CopyText(Config.SmtpPassword, "x\\'y\\\\");
     },
     ""},
};

void PrintTo(const Scenario& scenario, std::ostream* out)
{
    *out << scenario.name;
}

int CountOf(const std::string& text, const std::string& part)
{
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

class HttpdScenarioTest : public HttpdTest, public ::testing::WithParamInterface<Scenario> {};

TEST_P(HttpdScenarioTest, GivesTheExpectedFilesAndPhpReadsEveryValueBack)
{
    const Scenario& scenario = GetParam();
    scenario.setup(*this);
    {
        StderrCapture capture;
        WriteWebConfig(Config);
        std::string log = capture.Text();
        if (scenario.log[0] != '\0') {
            EXPECT_EQ(CountOf(log, scenario.log), 1) << log;
        }
        EXPECT_EQ(CountOf(log, "ASSERT("), scenario.log[0] != '\0' ? 1 : 0) << log;

        std::string expectedConf = DataPath(std::string(scenario.name) + "/httpd.conf");
        if (fs::exists(expectedConf)) {
            EXPECT_EQ(ReadFileBytes(conf + "/httpd.conf"), Expected(std::string(scenario.name) + "/httpd.conf"));
        }

        for (SiteConfig* site : SiteRecords()) {
            SCOPED_TRACE(site->name);
            std::string file = std::string(site->path) + "/serverconfig.php";
            ASSERT_TRUE(fs::exists(file));
            std::string expected = std::string(scenario.name) + "/" + site->name + ".serverconfig.php";
            if (fs::exists(DataPath(expected))) {
                EXPECT_EQ(ReadFileBytes(file), Expected(expected));
            }
            for (const char* folder : {site->path_htdocs, site->path_temp, site->path_files, site->path_cache})
                EXPECT_TRUE(folder[0] == '\0' || fs::is_directory(folder)) << folder;
            EXPECT_TRUE(fs::is_directory(std::string(site->path) + "/runtime"));
            EXPECT_TRUE(fs::is_directory(std::string(site->path) + "/assets"));

            CommandResult lint = RunCommand("php -n -l " + ShellWord(file) + " 2>&1");
            EXPECT_EQ(lint.status, 0) << lint.output;

            // What the site code sees, value by value, against the stored settings.
            std::string path = site->path, install = Config.InstallFolder;
            std::map<std::string, std::string> expectedValues = {
                {"date.timezone", "string:Europe/Berlin"},
                {"session.save_path", "string:" + path + "/runtime"},
                {"session.cookie_path", "string:" + path + "/runtime"},
                {"VANTRY_DEBUG", "string:false"},
                {"VANTRY_COMPUTERNAME", "string:VT-NODE1"},
                {"VANTRY_VERSION", "string:15.0.11"},
                {"VANTRY_INSTALL", "string:" + install},
                {"VANTRY_BIN", "string:" + install + "/bin"},
                {"VANTRY_LOGS", "string:" + install + "/logs"},
                {"VANTRY_BACKUP", "string:" + install + "/backup"},
                {"VANTRY_RTMPPORT", "integer:1935"},
                {"VANTRY_HTTPIPORT", "integer:19039"},
                {"VANTRY_VANTRYPORT", "integer:19038"},
                {"VANTRY_SITENAME", std::string("string:") + site->name},
                {"VANTRY_ALIASNAME",
                 std::string("string:") + (std::string(site->name) == "default" ? "_default_" : site->aliases[0])},
                {"VANTRY_SITEPATH", "string:" + path},
                {"VANTRY_RUNTIME", "string:" + path + "/runtime"},
                {"VANTRY_TEMP", std::string("string:") + site->path_temp},
                {"VANTRY_CACHE", std::string("string:") + site->path_cache},
                {"VANTRY_CONTENT", std::string("string:") + site->path_files},
                {"VANTRY_HTDOCS", std::string("string:") + site->path_htdocs},
                {"VANTRY_VTDROLE", "integer:1"},
                {"VANTRY_VTDMASTERNAME", std::string("string:") + Config.VtdMasterName},
                {"VANTRY_UDID", "string:0f1e2d3c4b5a69788796a5b4c3d2e1f0"},
                {"VANTRY_FFMPEG_PATH", "string:" + install + (IsNativeX86() ? "/bin/ffmpeg32" : "/bin/ffmpeg")},
                {"VANTRY_DBHOST", std::string("string:") + site->sql_server},
                {"VANTRY_DBNAME", std::string("string:") + site->sql_database},
                {"VANTRY_DBUSER", std::string("string:") + site->sql_user},
                {"VANTRY_DBPASSWORD", std::string("string:") + site->sql_password},
                {"VANTRY_SMTP_HOST", std::string("string:") + Config.SmtpHost},
                {"VANTRY_SMTP_USER", std::string("string:") + Config.SmtpUser},
                {"VANTRY_SMTP_PASSWORD", std::string("string:") + Config.SmtpPassword},
                {"VANTRY_SMTP_EMAIL", std::string("string:") + Config.SmtpEmail},
            };
            EXPECT_EQ(PhpValues(file), expectedValues);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Settings, HttpdScenarioTest, ::testing::ValuesIn(Scenarios),
                         [](const ::testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

TEST_F(HttpdTest, SettingsStoreGivesTimeZoneComputerNameAndFfmpegPath)
{
    const std::string header = "Windows Registry Editor Version 5.00\r\n\r\n";
    const std::string fallbackFfmpeg = install + (IsNativeX86() ? "/bin/ffmpeg32" : "/bin/ffmpeg");
    struct Case {
        const char* name;
        std::string hive;
        const char* registryPath;  // the daemon's own settings key
        std::string timeZone, computerName, ffmpeg;
    } cases[] = {
        {"nothing stored", header, "SOFTWARE\\Vantry\\Server", "America/New_York", GetComputerNameText(),
         fallbackFfmpeg},
        {"empty time zone, host key without a name",
         header + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantry\\Server]\r\n\"TimeZone\"=\"\"\r\n\r\n"
                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KOLTINC\\OSTRAND\\Host]\r\n\"Other\"=\"x\"\r\n",
         "SOFTWARE\\Vantry\\Server", "America/New_York", GetComputerNameText(), fallbackFfmpeg},
        {"named instance still reads the fixed key",
         header + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantry\\Server]\r\n\"TimeZone\"=\"Asia/Tokyo\"\r\n"
                  "\"path_ffmpeg\"=\"/opt/ffmpeg/bin/ffmpeg\"\r\n\r\n"
                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantry\\Server-two]\r\n\"TimeZone\"=\"Europe/Paris\"\r\n"
                  "\"path_ffmpeg\"=\"/wrong\"\r\n\r\n"
                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KOLTINC\\OSTRAND\\Host]\r\n\"Computername\"=\"OST-PC\"\r\n",
         "SOFTWARE\\Vantry\\Server-two", "Asia/Tokyo", "OST-PC", "/opt/ffmpeg/bin/ffmpeg"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClearSites(Config);
        CopyText(Config.RegistryPath, c.registryPath);
        UseSettings(c.hive);
        AddSite("default", Sites("default"));
        WriteWebConfig(Config);
        auto values = PhpValues(Sites("default") + "/serverconfig.php");
        EXPECT_EQ(values["date.timezone"], "string:" + c.timeZone);
        EXPECT_EQ(values["VANTRY_COMPUTERNAME"], "string:" + c.computerName);
        EXPECT_EQ(values["VANTRY_FFMPEG_PATH"], "string:" + c.ffmpeg);
    }
}

TEST(HttpdEscape, ConfAndPhpValuesEscapeOnlyTheirOwnQuotes)
{
    struct Case {
        const char* input;
        size_t size;
        const char* conf;
        const char* php;
    } cases[] = {
        {"C:\\it's \"x\"", 64, "C:\\\\it's \\\"x\\\"", "C:\\\\it\\'s \"x\""},
        {"plain /srv/vantry", 64, "plain /srv/vantry", "plain /srv/vantry"},
        {"", 64, "", ""},
        // Cut to fit: an escape and its character stay together.
        {"a\\b", 4, "a\\\\", "a\\\\"},
        {"a\\b", 3, "a", "a"},
        {"a\"'", 3, "a", "a\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        char buffer[64];
        EXPECT_STREQ(EscapeConfValue(buffer, c.size, c.input), c.conf);
        EXPECT_STREQ(EscapePhpValue(buffer, c.size, c.input), c.php);
    }
}

TEST(HttpdSystem, OnlyThirtyTwoBitX86MachineNamesCountAsX86)
{
    for (const char* name : {"i386", "i486", "i586", "i686"})
        EXPECT_TRUE(IsX86MachineName(name)) << name;
    for (const char* name : {"x86_64", "aarch64", "armv7l", "i786", "i86pc", "ia64", "", "i686x"})
        EXPECT_FALSE(IsX86MachineName(name)) << name;
}

// A configuration that cannot be written leaves the old one, logs "fconf"
// and writes no site file.
TEST_F(HttpdTest, UnwritableConfLeavesOldFileAndSkipsSiteFiles)
{
    struct Case {
        const char* name;
        std::function<void(HttpdTest&)> breakIt;
        std::function<void()> repair;
    } cases[] = {
        // The conf folder is a regular file: creating anything in it fails,
        // also for root, who passes over access rights.
        {"conf folder is a file",
         [](HttpdTest& t) {
             fs::remove_all(t.conf);
             WriteFileBytes(t.conf, "old httpd.conf");
         },
         [] {}},
        // A full disk: the file size limit stops the write part way; root
        // is held to it as well.
        {"write stops part way",
         [](HttpdTest& t) {
             WriteFileBytes(t.conf + "/httpd.conf", "old httpd.conf");
             std::signal(SIGXFSZ, SIG_IGN);
             struct rlimit limit {64, RLIM_INFINITY};
             setrlimit(RLIMIT_FSIZE, &limit);
         },
         [] {
             struct rlimit limit {RLIM_INFINITY, RLIM_INFINITY};
             setrlimit(RLIMIT_FSIZE, &limit);
             std::signal(SIGXFSZ, SIG_DFL);
         }},
    };
    AddSite("default", Sites("default"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.breakIt(*this);
        std::string old = fs::is_directory(conf) ? conf + "/httpd.conf" : conf;
        StderrCapture capture;
        WriteWebConfig(Config);
        std::string log = capture.Text();
        c.repair();

        EXPECT_NE(log.find("ASSERT(fconf) failed at Httpd:76"), std::string::npos) << log;
        EXPECT_EQ(log.find("ASSERT(fp)"), std::string::npos) << log;
        EXPECT_EQ(ReadFileBytes(old), "old httpd.conf");
        EXPECT_FALSE(fs::exists(Sites("default") + "/serverconfig.php"));
        EXPECT_FALSE(fs::exists(Sites("default") + "/runtime"));
        if (fs::is_directory(conf)) {
            for (const auto& entry : fs::directory_iterator(conf))
                EXPECT_EQ(entry.path().filename().string().find("httpd.conf.tmp"), std::string::npos);
        }
        fs::remove_all(conf);
        fs::create_directories(conf);
        for (const auto& entry : fs::directory_iterator(DataPath("fragments")))
            fs::copy_file(entry.path(), conf + "/" + entry.path().filename().string());
    }
}

// A site stored without a site folder gets neither folders nor a file (they
// would land in the root of the file system); the other sites are written.
TEST_F(HttpdTest, SiteWithoutFolderIsPassedOver)
{
    ASSERT_FALSE(fs::exists("/serverconfig.php"));
    AddSite("default", Sites("default"));
    SiteConfig& site = AddSite("nofolder", "", {"n.example.com"});
    for (char* folder : {site.path, site.path_htdocs, site.path_temp, site.path_files, site.path_cache})
        folder[0] = '\0';
    WriteWebConfig(Config);
    EXPECT_TRUE(fs::exists(Sites("default") + "/serverconfig.php"));
    EXPECT_FALSE(fs::exists("/serverconfig.php"));
    EXPECT_FALSE(fs::exists("/runtime"));
    EXPECT_FALSE(fs::exists("/assets"));
}

} // namespace

namespace {

struct Rights {
    unsigned mode;
    gid_t group;
    bool operator==(const Rights& other) const { return mode == other.mode && group == other.group; }
};

Rights RightsOf(const std::string& path)
{
    struct stat info {};
    EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
    return {static_cast<unsigned>(info.st_mode & 07777), info.st_gid};
}

void PrintTo(const Rights& rights, std::ostream* out)
{
    *out << std::oct << rights.mode << std::dec << " group " << rights.group;
}

} // namespace

// The rights of the generated files, whatever the umask: new files get
// fixed rights (serverconfig.php, which holds passwords, 0640 and the site
// folder's group, handed down from the folder the sites are made in); a
// file that is replaced keeps what the administrator gave it, except that a
// serverconfig.php readable by others loses that.
TEST_F(HttpdTest, GeneratedFilesKeepOrGetTheirRights)
{
    struct group* web = getgrnam("www-data");
    ASSERT_NE(web, nullptr);
    const gid_t webGroup = web->gr_gid;
    const gid_t ownGroup = getegid();
    fs::create_directories(root + "/sites");
    ASSERT_EQ(chown((root + "/sites").c_str(), static_cast<uid_t>(-1), webGroup), 0);
    std::string site = Sites("default"), php = site + "/serverconfig.php", httpd = conf + "/httpd.conf";
    AddSite("default", site);
    for (mode_t mask : {022, 077}) {
        SCOPED_TRACE(mask);
        mode_t old = umask(mask);
        fs::remove_all(root + "/sites/default");
        fs::remove(httpd);
        WriteWebConfig(Config);  // new files
        EXPECT_EQ(RightsOf(httpd), (Rights{0644, ownGroup}));
        EXPECT_EQ(RightsOf(php), (Rights{0640, webGroup}));
        EXPECT_EQ(RightsOf(site).group, webGroup);
        EXPECT_EQ(RightsOf(site + "/runtime").group, webGroup);

        // The administrator's rights stay, stricter or not.
        ASSERT_EQ(chmod(httpd.c_str(), 0600), 0);
        ASSERT_EQ(chown(php.c_str(), 0, webGroup), 0);
        WriteWebConfig(Config);
        EXPECT_EQ(RightsOf(httpd), (Rights{0600, ownGroup}));
        EXPECT_EQ(RightsOf(php), (Rights{0640, webGroup}));
        ASSERT_EQ(chmod(php.c_str(), 0600), 0);
        WriteWebConfig(Config);
        EXPECT_EQ(RightsOf(php), (Rights{0600, webGroup}));

        // What an older release left readable by everyone is closed to
        // others and given the group meant to read it.
        ASSERT_EQ(chmod(php.c_str(), 0644), 0);
        ASSERT_EQ(chown(php.c_str(), 0, ownGroup), 0);
        WriteWebConfig(Config);
        EXPECT_EQ(RightsOf(php), (Rights{0640, webGroup}));
        umask(old);
    }
    for (const auto& entry : fs::directory_iterator(site))
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
}
