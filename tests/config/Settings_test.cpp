// LoadSettings against real hive files.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "RegistryHex.h"
#include "TempFolder.h"
#include "TestEnvironment.h"
#include "config/Config.h"
#include "config/RegistryKey.h"
#include "platform/Registry.h"

namespace {

const char* const Header = "Windows Registry Editor Version 5.00\r\n\r\n";
const char* const Instance = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantry\\Server";

class SettingsTest : public testing::Test {
protected:
    TempFolder folder;
    std::unique_ptr<ServerConfig> config = std::make_unique<ServerConfig>();

    void TearDown() override
    {
        ClearSites(*config);
        ForgetSettingsFile();
    }

    void UseHiveFile(const std::string& path) { UseSettingsFile(path); }

    // A folder the daemon composes: the parts joined with the platform's
    // separator.
    static std::string Composed(std::initializer_list<const char*> parts)
    {
        std::string path;
        for (const char* part : parts)
            path = path.empty() ? part : JoinPath(path, part);
        return path;
    }

    // Loads the default instance from the given hive text.
    bool Load(const std::string& hive)
    {
        WriteFileBytes(folder / "vtd.reg", hive);
        UseHiveFile(folder / "vtd.reg");
        SetInstanceName(*config, "vtd");
        return LoadSettings(*config);
    }

    std::vector<const SiteConfig*> Sites() const
    {
        std::vector<const SiteConfig*> sites;
        for (ListNode* node = config->Sites.first; node != nullptr; node = node->next)
            sites.push_back(static_cast<const SiteConfig*>(node->item));
        return sites;
    }

    std::vector<std::string> SiteNames() const
    {
        std::vector<std::string> names;
        for (const SiteConfig* site : Sites())
            names.emplace_back(site->name);
        return names;
    }
};

TEST_F(SettingsTest, InstanceNameChoosesTheKey)
{
    struct Case {
        const char* name;
        const char* path;
    } cases[] = {
        {"vtd", "SOFTWARE\\Vantry\\Server"},
        {"Vtd", "SOFTWARE\\Vantry\\Server-Vtd"},
        {"web2", "SOFTWARE\\Vantry\\Server-web2"},
    };
    for (const Case& c : cases) {
        SetInstanceName(*config, c.name);
        EXPECT_STREQ(config->InstanceName, c.name);
        EXPECT_STREQ(config->RegistryPath, c.path);
    }

    // A named instance reads its own key only.
    WriteFileBytes(folder / "vtd.reg", std::string(Header) + Instance + "]\r\n\"PortNumber\"=dword:00000051\r\n" +
                       Instance + "-web2]\r\n\"PortNumber\"=dword:00000052\r\n");
    UseHiveFile(folder / "vtd.reg");
    SetInstanceName(*config, "web2");
    ASSERT_TRUE(LoadSettings(*config));
    EXPECT_EQ(config->PortNumber, 0x52);
}

TEST_F(SettingsTest, MissingInstanceKeyLeavesEverythingEmpty)
{
    EXPECT_FALSE(Load(std::string(Header) + Instance + "-other]\r\n\"PortNumber\"=dword:00000051\r\n" + Instance +
                      "-other\\site]\r\n"));
    EXPECT_EQ(config->PortNumber, 0);
    EXPECT_EQ(config->VtdRole, 0);
    EXPECT_STREQ(config->Version, "");
    EXPECT_STREQ(config->VtdMasterName, "");
    EXPECT_EQ(config->Sites.count, 0);

    // No hive file at all behaves the same.
    UseHiveFile(folder / "missing.reg");
    EXPECT_FALSE(LoadSettings(*config));
}

TEST_F(SettingsTest, EmptyInstanceKeyGivesTheDefaults)
{
    ASSERT_TRUE(Load(std::string(Header) + Instance + "]\r\n"));
    EXPECT_EQ(config->VtdRole, 1);
    EXPECT_STREQ(config->VtdMasterName, "localhost");
    EXPECT_EQ(config->PortNumber, 80);
    EXPECT_EQ(config->HttpEnabled, 1);
    EXPECT_STREQ(config->HttpForward, "");
    EXPECT_EQ(config->HttpsPortNumber, 443);
    EXPECT_EQ(config->HttpsEnabled, 0);
    EXPECT_EQ(config->HttpsCertificateId, 0);
    EXPECT_EQ(config->RtmpPortNumber, 1935);
    EXPECT_EQ(config->RtmpEnabled, 1);
    EXPECT_EQ(config->TranscodeThreads, 1);
    EXPECT_STREQ(config->Version, "15.0.11");
    EXPECT_STREQ(config->InstallFolder, "");
    EXPECT_STREQ(config->SmtpHost, "");
    EXPECT_EQ(config->Sites.count, 0);
}

TEST_F(SettingsTest, ValueTypesAndLengthLimits)
{
    std::string text259(259, 'a'), text260(260, 'b');
    ASSERT_TRUE(Load(std::string(Header) + Instance + "]\r\n" +
                     "\"PortNumber\"=\"8080\"\r\n"                 // text where a number belongs
                     "\"HttpsPortNumber\"=hex:bb,01,00,00\r\n"     // 4 bytes, but not REG_DWORD
                     "\"RtmpPortNumber\"=hex(b):8f,07,00,00,00,00,00,00\r\n" // qword
                     "\"VtdRole\"=hex(4):02,00,00,00\r\n"          // REG_DWORD written as hex
                     "\"HttpsCertificateId\"=dword:ffffffff\r\n"   // signed 32-bit
                     "\"TranscodeThreads\"=hex(4):04,00,00\r\n"    // REG_DWORD of 3 bytes
                     "\"VtdMasterName\"=\"" + text259 + "\"\r\n"
                     "\"InstallFolder\"=\"" + text260 + "\"\r\n"   // too long: stays empty
                     "\"Version\"=\"" + text260 + "\"\r\n"         // too long: default
                     "\"HttpForward\"=dword:00782f2f\r\n"          // a number read as text
                     "\"SmtpUser\"=hex:61,62,63\r\n"));            // binary without NUL
    EXPECT_EQ(config->PortNumber, 80);
    EXPECT_EQ(config->HttpsPortNumber, 443);
    EXPECT_EQ(config->RtmpPortNumber, 1935);
    EXPECT_EQ(config->VtdRole, 2);
    EXPECT_EQ(config->HttpsCertificateId, -1);
    EXPECT_EQ(config->TranscodeThreads, 1);
    EXPECT_EQ(std::string(config->VtdMasterName), text259);
    EXPECT_STREQ(config->InstallFolder, "");
    EXPECT_STREQ(config->Version, "15.0.11");
    // Read as the text "//x", which is then refused as a forward target.
    EXPECT_STREQ(config->HttpForward, "");
    EXPECT_EQ(config->Refusals,
              std::vector<std::string>{"settings: \"HttpForward\" refused: \"//x\" is not a URL with a scheme and a "
                                       "host (\"https://host/\"); no forward is written"});
    EXPECT_STREQ(config->SmtpUser, "abc");
}

TEST_F(SettingsTest, SiteFoldersDeriveFromPath)
{
    ASSERT_TRUE(Load(std::string(Header) + Instance + "]\r\n\"InstallFolder\"=\"/srv\"\r\n" +
                     Instance + "\\campus]\r\n" +
                     Instance + "\\moved]\r\n\"path\"=\"/web/moved\"\r\n\"path_htdocs\"=\"/var/www/moved\"\r\n"
                                "\"sql_database\"=\"moved\"\r\n\"sql_server\"=\"db1\"\r\n"
                                "\"sql_user\"=\"u\"\r\n\"sql_password\"=\"p\"\r\n"));
    auto sites = Sites();
    ASSERT_EQ(sites.size(), 2u);
    const SiteConfig& campus = *sites[0];
    EXPECT_STREQ(campus.name, "campus");
    EXPECT_EQ(campus.path, Composed({"/srv", "sites", "campus"}));
    EXPECT_EQ(campus.path_temp, Composed({"/srv", "sites", "campus", "temp"}));
    EXPECT_EQ(campus.path_cache, Composed({"/srv", "sites", "campus", "cache"}));
    EXPECT_EQ(campus.path_files, Composed({"/srv", "sites", "campus", "files"}));
    EXPECT_EQ(campus.path_htdocs, Composed({"/srv", "sites", "campus", "htdocs"}));
    EXPECT_STREQ(campus.sql_database, "");
    EXPECT_STREQ(campus.sql_server, "");
    EXPECT_STREQ(campus.aliases[0], "");

    const SiteConfig& moved = *sites[1];
    EXPECT_STREQ(moved.path, "/web/moved");
    EXPECT_EQ(moved.path_temp, Composed({"/web/moved", "temp"}));
    EXPECT_EQ(moved.path_cache, Composed({"/web/moved", "cache"}));
    EXPECT_EQ(moved.path_files, Composed({"/web/moved", "files"}));
    EXPECT_STREQ(moved.path_htdocs, "/var/www/moved");
    EXPECT_STREQ(moved.sql_database, "moved");
    EXPECT_STREQ(moved.sql_server, "db1");
    EXPECT_STREQ(moved.sql_user, "u");
    EXPECT_STREQ(moved.sql_password, "p");
}

TEST_F(SettingsTest, EnableSwitchAndDefaultSiteFirst)
{
    ASSERT_TRUE(Load(std::string(Header) + Instance + "]\r\n" +
                     Instance + "\\zeta]\r\n" +
                     Instance + "\\default]\r\n" +
                     Instance + "\\alpha]\r\n" +
                     Instance + "\\off]\r\n\"enable\"=dword:00000000\r\n" +
                     Instance + "\\textual]\r\n\"enable\"=\"0\"\r\n" +   // text: counts as missing
                     Instance + "\\two]\r\n\"enable\"=dword:00000002\r\n"));
    EXPECT_EQ(SiteNames(), (std::vector<std::string>{"default", "alpha", "textual", "two", "zeta"}));
    ClearSites(*config);
    EXPECT_EQ(config->Sites.count, 0);

    // Only the exact name "default" moves; enumeration ignores letter case.
    ASSERT_TRUE(Load(std::string(Header) + Instance + "]\r\n" + Instance + "\\beta]\r\n" + Instance +
                     "\\Default]\r\n" + Instance + "\\Alpha]\r\n"));
    EXPECT_EQ(SiteNames(), (std::vector<std::string>{"Alpha", "beta", "Default"}));
}

TEST_F(SettingsTest, AtMostSixteenAliasesInNameOrder)
{
    std::string hive = std::string(Header) + Instance + "]\r\n" + Instance + "\\campus]\r\n";
    for (int i = 20; i >= 1; --i) {
        char name[32];
        std::snprintf(name, sizeof name, "host%02d.example.org", i);
        hive += std::string(Instance) + "\\campus\\" + name + "]\r\n";
    }
    ASSERT_TRUE(Load(hive));
    auto sites = Sites();
    ASSERT_EQ(sites.size(), 1u);
    EXPECT_STREQ(sites[0]->aliases[0], "host01.example.org");
    EXPECT_STREQ(sites[0]->aliases[15], "host16.example.org");
}

TEST_F(SettingsTest, ExpandableTextIsExpanded)
{
    SetEnvironment("VTD_TEST_DRIVE", "/mnt/d");
    std::string long300(300, 'x');
    SetEnvironment("VTD_TEST_LONG", long300);
    // "%VTD_TEST_DRIVE%/web" and "%VTD_TEST_LONG%/web", both UTF-16LE.
    auto hex2 = [](const std::string& text) {
        std::string out;
        for (char c : text + '\0') {
            char pair[16];
            std::snprintf(pair, sizeof pair, "%02x,00,", static_cast<unsigned char>(c));
            out += pair;
        }
        out.pop_back();
        return out;
    };
    ASSERT_TRUE(Load(std::string(Header) + Instance + "]\r\n\"InstallFolder\"=\"/srv\"\r\n" + Instance +
                     "\\campus]\r\n\"path\"=hex(2):" + hex2("%VTD_TEST_DRIVE%/web") +
                     "\r\n\"path_files\"=hex(2):" + hex2("%VTD_TEST_LONG%/web") + "\r\n"));
    auto sites = Sites();
    ASSERT_EQ(sites.size(), 1u);
    EXPECT_STREQ(sites[0]->path, "/mnt/d/web");
    EXPECT_EQ(sites[0]->path_htdocs, Composed({"/mnt/d/web", "htdocs"}));
    // Expanded past 259 characters: the read fails and the default stays.
    EXPECT_EQ(sites[0]->path_files, Composed({"/mnt/d/web", "files"}));
    RemoveEnvironment("VTD_TEST_DRIVE");
    RemoveEnvironment("VTD_TEST_LONG");
}

TEST_F(SettingsTest, EditorExportInUtf16MatchesItsUtf8Twin)
{
    SetEnvironment("VTD_TEST_DOMAIN", "example.org");
    SetEnvironment("VTD_TEST_ROOT", "/data");
    auto load = [&](const char* file) {
        auto loaded = std::make_unique<ServerConfig>();
        UseHiveFile(std::string(VTD_TEST_DATA) + "/registry/" + file);
        SetInstanceName(*loaded, "vtd");
        EXPECT_TRUE(LoadSettings(*loaded)) << file;
        return loaded;
    };
    auto utf16 = load("export-utf16.reg");
    auto utf8 = load("export-utf8.reg");

    EXPECT_EQ(utf16->VtdRole, 2);
    EXPECT_EQ(utf16->PortNumber, 8080);
    EXPECT_EQ(utf16->HttpsEnabled, 1);
    EXPECT_STREQ(utf16->VtdMasterName, "master.example.org");
    EXPECT_STREQ(utf16->InstallFolder, "C:\\Vantry");
    EXPECT_STREQ(utf16->SmtpHost, "mail.example.org");
#ifdef _WIN32
    // The registry's A functions give texts in the ANSI code page (1252).
    EXPECT_STREQ(utf16->SmtpEmail, "b\xfcro@example.org");
#else
    EXPECT_STREQ(utf16->SmtpEmail, "b\xc3\xbcro@example.org");
#endif

    for (const ServerConfig* c : {utf16.get(), utf8.get()}) {
        std::vector<std::string> names;
        for (ListNode* node = c->Sites.first; node != nullptr; node = node->next)
            names.emplace_back(static_cast<SiteConfig*>(node->item)->name);
        EXPECT_EQ(names, (std::vector<std::string>{"default", "campus"}));
    }
    auto* campus16 = static_cast<SiteConfig*>(utf16->Sites.last->item);
    auto* campus8 = static_cast<SiteConfig*>(utf8->Sites.last->item);
    EXPECT_STREQ(campus16->path, "/data\\web\\campus");
    EXPECT_STREQ(campus16->aliases[0], "campus.example.org");
    EXPECT_STREQ(campus16->aliases[1], "www.campus.example.org");
    EXPECT_STREQ(campus16->sql_database, "campus");

    // Byte for byte the same settings, sites included.
    size_t textPart = offsetof(ServerConfig, Sites);
    EXPECT_EQ(std::memcmp(utf16.get(), utf8.get(), textPart), 0);
    EXPECT_EQ(std::memcmp(campus16, campus8, sizeof(SiteConfig)), 0);

    ClearSites(*utf16);
    ClearSites(*utf8);
    RemoveEnvironment("VTD_TEST_DOMAIN");
    RemoveEnvironment("VTD_TEST_ROOT");
}

TEST_F(SettingsTest, KeyWrapperReadsWithinLimits)
{
    ASSERT_TRUE(Load(std::string(Header) + Instance + "]\r\n\"n\"=dword:00000007\r\n\"t\"=\"text\"\r\n"));
    RegistryKey key;
    EXPECT_FALSE(key.Open("SOFTWARE\\Vantry\\Missing"));
    ASSERT_TRUE(key.Open("software\\vantry\\server"));
    EXPECT_STREQ(key.path, "software\\vantry\\server");
    int number = 42;
    EXPECT_FALSE(key.ReadNumber("t", number));
    EXPECT_FALSE(key.ReadNumber("absent", number));
    EXPECT_EQ(number, 42);
    EXPECT_TRUE(key.ReadNumber("N", number));
    EXPECT_EQ(number, 7);
    char text[16] = "keep";
    EXPECT_FALSE(key.ReadText("absent", text));
    EXPECT_STREQ(text, "keep");
    EXPECT_TRUE(key.ReadText("T", text));
    EXPECT_STREQ(text, "text");
    key.Close();
    EXPECT_FALSE(key.ReadText("t", text));
}

} // namespace


// A value that would leave the install folder, break a line of httpd.conf
// or stop the web server is refused where it is read, with a line naming
// it; the good site beside it is loaded all the same.
std::string AliasRefused(const std::string& alias)
{
    return "settings: site \"evil\" refused: alias \"" + alias + "\" is not a host name (with a port from 1 to 65535)";
}

TEST_F(SettingsTest, HostileValuesAreRefusedWithALineEach)
{
    const std::string good = std::string(Instance) + "\\good]\r\n\"path\"=\"/srv/good\"\r\n";
    struct Case {
        std::string text;  // what follows the good site
        std::string refusal;
    } cases[] = {
        {std::string(Instance) + "\\..]\r\n",
         "settings: site \"..\" refused: its name is \".\", \"..\" or holds a path separator or a control character"},
        {std::string(Instance) + "\\.]\r\n",
         "settings: site \".\" refused: its name is \".\", \"..\" or holds a path separator or a control character"},
        {std::string(Instance) + "\\../../../../tmp/x]\r\n",
         "settings: site \"../../../../tmp/x\" refused: its name is \".\", \"..\" or holds a path separator or a "
         "control character"},
        {std::string(Instance) + "\\evil]\r\n\"path\"=" + ExpandableHex("/srv/e\nDefine X") + "\r\n",
         "settings: site \"evil\" refused: \"path\" holds a control character: \"/srv/e\\x0aDefine X\""},
        {std::string(Instance) + "\\evil]\r\n\"path_htdocs\"=" + ExpandableHex("/h\r\n") + "\r\n",
         "settings: site \"evil\" refused: \"path_htdocs\" holds a control character: \"/h\\x0d\\x0a\""},
        {std::string(Instance) + "\\evil]\r\n\"path_files\"=" + ExpandableHex("/f\t") + "\r\n",
         "settings: site \"evil\" refused: \"path_files\" holds a control character: \"/f\\x09\""},
        {std::string(Instance) + "\\evil]\r\n\"path_cache\"=" + ExpandableHex("/c\x7f") + "\r\n",
         "settings: site \"evil\" refused: \"path_cache\" holds a control character: \"/c\\x7f\""},
        {std::string(Instance) + "\\evil]\r\n" + Instance + "\\evil\\a b.example]\r\n", AliasRefused("a b.example")},
        {std::string(Instance) + "\\evil]\r\n" + Instance + "\\evil\\q\"x]\r\n", AliasRefused("q\"x")},
        {std::string(Instance) + "\\evil]\r\n" + Instance + "\\evil\\<x>]\r\n", AliasRefused("<x>")},
        // The web server refuses these as a ServerName: a port that is none
        // or out of range, a wildcard, a bracketed address.
        {std::string(Instance) + "\\evil]\r\n" + Instance + "\\evil\\a:b]\r\n", AliasRefused("a:b")},
        {std::string(Instance) + "\\evil]\r\n" + Instance + "\\evil\\a:0]\r\n", AliasRefused("a:0")},
        {std::string(Instance) + "\\evil]\r\n" + Instance + "\\evil\\a:99999]\r\n", AliasRefused("a:99999")},
        {std::string(Instance) + "\\evil]\r\n" + Instance + "\\evil\\a:]\r\n", AliasRefused("a:")},
        {std::string(Instance) + "\\evil]\r\n" + Instance + "\\evil\\:80]\r\n", AliasRefused(":80")},
        {std::string(Instance) + "\\evil]\r\n" + Instance + "\\evil\\*]\r\n", AliasRefused("*")},
        {std::string(Instance) + "\\evil]\r\n" + Instance + "\\evil\\*.example.org]\r\n", AliasRefused("*.example.org")},
        {std::string(Instance) + "\\evil]\r\n" + Instance + "\\evil\\[::1]]\r\n", AliasRefused("[::1]")},
        {std::string(Instance) + "]\r\n\"HttpForward\"=\"https://a/\\\\\"\r\n",
         "settings: \"HttpForward\" refused: \"https://a/\\\" ends in a backslash; no forward is written"},
        {std::string(Instance) + "]\r\n\"HttpsForward\"=\"www.example.org\"\r\n",
         "settings: \"HttpsForward\" refused: \"www.example.org\" is not a URL with a scheme and a host "
         "(\"https://host/\"); no forward is written"},
        {std::string(Instance) + "]\r\n\"HttpForward\"=\"/moved\"\r\n",
         "settings: \"HttpForward\" refused: \"/moved\" is not a URL with a scheme and a host (\"https://host/\"); no "
         "forward is written"},
        {std::string(Instance) + "]\r\n\"HttpForward\"=\"https://\"\r\n",
         "settings: \"HttpForward\" refused: \"https://\" is not a URL with a scheme and a host (\"https://host/\"); "
         "no forward is written"},
        {std::string(Instance) + "]\r\n\"HttpForward\"=" + ExpandableHex("https://a/\nDefine X") + "\r\n",
         "settings: \"HttpForward\" refused: \"https://a/\\x0aDefine X\" holds a control character, a blank or a "
         "quote; no forward is written"},
        {std::string(Instance) + "]\r\n\"HttpsForward\"=\"https://a/ b\"\r\n",
         "settings: \"HttpsForward\" refused: \"https://a/ b\" holds a control character, a blank or a quote; no "
         "forward is written"},
        {std::string(Instance) + "]\r\n\"PortNumber\"=dword:00000000\r\n",
         "settings: \"PortNumber\" refused: 0 is not a port number (1 to 65535); 80 is used"},
        {std::string(Instance) + "]\r\n\"HttpsPortNumber\"=dword:00010000\r\n",
         "settings: \"HttpsPortNumber\" refused: 65536 is not a port number (1 to 65535); 443 is used"},
        {std::string(Instance) + "]\r\n\"RtmpPortNumber\"=dword:ffffffff\r\n",
         "settings: \"RtmpPortNumber\" refused: -1 is not a port number (1 to 65535); 1935 is used"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.refusal);
        ClearSites(*config);
        ASSERT_TRUE(Load(std::string(Header) + Instance + "]\r\n" + good + c.text));
        EXPECT_EQ(SiteNames(), std::vector<std::string>{"good"});
        EXPECT_EQ(config->Refusals, std::vector<std::string>{c.refusal});
        EXPECT_STREQ(config->HttpForward, "");
        EXPECT_STREQ(config->HttpsForward, "");
        EXPECT_EQ(config->PortNumber, 80);
        EXPECT_EQ(config->HttpsPortNumber, 443);
        EXPECT_EQ(config->RtmpPortNumber, 1935);
    }
    // Host names and forwards the web server takes pass.
    ClearSites(*config);
    ASSERT_TRUE(Load(std::string(Header) + Instance + "]\r\n\"PortNumber\"=dword:0000ffff\r\n" +
                     "\"HttpForward\"=\"https://www.example.org/a\\\\b\"\r\n\"HttpsForward\"=\"ftp+x://h\"\r\n" + good +
                     Instance + "\\good\\Example-1.org]\r\n" + Instance + "\\good\\my_host:8080]\r\n" + Instance +
                     "\\good\\h:1]\r\n" + Instance + "\\good\\h:65535]\r\n" + Instance + "\\good\\127.0.0.1:00080]\r\n"));
    EXPECT_EQ(config->Refusals, std::vector<std::string>{});
    EXPECT_EQ(config->PortNumber, 65535);
    EXPECT_STREQ(config->HttpForward, "https://www.example.org/a\\b");
    EXPECT_STREQ(config->HttpsForward, "ftp+x://h");
    ASSERT_EQ(SiteNames(), std::vector<std::string>{"good"});
}

// Listeners that the web server cannot open side by side: HTTPS on the HTTP
// port is not served, the internal listener's port is replaced by the
// default. With HTTP off the ports may be equal.
TEST_F(SettingsTest, ListenersThatMeetAreRefused)
{
    struct Case {
        const char* values;
        int port, httpsPort, httpsEnabled;
        std::vector<std::string> refusals;
    } cases[] = {
        {"\"PortNumber\"=dword:000001bb\r\n\"HttpsEnabled\"=dword:00000001\r\n", 443, 443, 0,
         {"settings: \"HttpsPortNumber\" refused: 443 is also \"PortNumber\"; HTTPS is not served"}},
        {"\"PortNumber\"=dword:00001f90\r\n\"HttpsPortNumber\"=dword:00001f90\r\n\"HttpsEnabled\"=dword:00000001\r\n",
         8080, 8080, 0, {"settings: \"HttpsPortNumber\" refused: 8080 is also \"PortNumber\"; HTTPS is not served"}},
        {"\"PortNumber\"=dword:000001bb\r\n\"HttpsEnabled\"=dword:00000001\r\n\"HttpEnabled\"=dword:00000000\r\n", 443,
         443, 1, {}},
        {"\"PortNumber\"=dword:000001bb\r\n", 443, 443, 0, {}},
        {"\"PortNumber\"=dword:00004a5f\r\n\"HttpsPortNumber\"=dword:00004a5f\r\n", 80, 443, 0,
         {"settings: \"PortNumber\" refused: 19039 is the web server's internal listener; 80 is used",
          "settings: \"HttpsPortNumber\" refused: 19039 is the web server's internal listener; 443 is used"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.values);
        ClearSites(*config);
        ASSERT_TRUE(Load(std::string(Header) + Instance + "]\r\n" + c.values));
        EXPECT_EQ(config->Refusals, c.refusals);
        EXPECT_EQ(config->PortNumber, c.port);
        EXPECT_EQ(config->HttpsPortNumber, c.httpsPort);
        EXPECT_EQ(config->HttpsEnabled, c.httpsEnabled);
    }
}
