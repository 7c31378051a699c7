// Shared set-up of the web configuration tests: a temporary install folder
// with a conf folder, a settings file, and Config filled directly.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

#include "StderrCapture.h"
#include "TempFolder.h"
#include "config/Config.h"
#include "platform/Registry.h"

namespace webtest {

// The settings the web configuration is written from in these tests.
inline ServerConfig Config{};

inline std::string DataPath(const std::string& name)
{
    return std::string(VTD_TEST_DATA) + "/httpd/" + name;
}

inline std::string Replace(std::string text, const std::string& from, const std::string& to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// Runs a shell command; its standard output and exit status.
struct CommandResult {
    int status = -1;
    std::string output;
};

inline CommandResult RunCommand(const std::string& command)
{
    CommandResult result;
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return result;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        result.output.append(buffer, n);
    int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// Single-quoted shell word.
inline std::string ShellWord(const std::string& text)
{
    return "'" + Replace(text, "'", "'\\''") + "'";
}

// Config and the settings store of one test; everything is put back at the end.
class WebConfigTest : public ::testing::Test {
public:
    void SetUp() override
    {
        root = temp.Path();
        install = root + "/inst";
        conf = install + "/apache/conf";
        std::filesystem::create_directories(conf);
        ClearConfig();
        CopyText(Config.InstallFolder, install.c_str());
        Config.PortNumber = 8080;
        Config.HttpEnabled = 1;
        Config.HttpsPortNumber = 8443;
        Config.HttpsEnabled = 0;
        Config.RtmpPortNumber = 1935;
        Config.VtdRole = 1;
        CopyText(Config.VtdMasterName, "master1");
        CopyText(Config.SmtpHost, "smtp.example.com");
        CopyText(Config.SmtpUser, "mailer");
        CopyText(Config.SmtpPassword, "s3cret");
        CopyText(Config.SmtpEmail, "noreply@example.com");
        UseSettings(ReadFileBytes(DataPath("settings.reg")));
    }

    void TearDown() override
    {
        ClearConfig();
        unsetenv("VTD_REGISTRY");
        SettingsReload();
    }

    static void ClearConfig()
    {
        ClearSites(Config);
        for (char* text : {Config.InstanceName, Config.RegistryPath, Config.VtdMasterName, Config.HttpForward,
                           Config.HttpsForward, Config.InstallFolder, Config.SmtpHost, Config.SmtpUser,
                           Config.SmtpPassword, Config.SmtpEmail})
            text[0] = '\0';
        Config.PortNumber = Config.HttpEnabled = Config.HttpsPortNumber = Config.HttpsEnabled = 0;
        Config.RtmpPortNumber = Config.VtdRole = 0;
    }

    // Writes hive text as the settings file and makes the store read it.
    void UseSettings(const std::string& hive)
    {
        std::string path = root + "/vtd.reg";
        WriteFileBytes(path, hive);
        setenv("VTD_REGISTRY", path.c_str(), 1);
        SettingsReload();
        // The values of the other keys the web configuration uses, as the
        // daemon loads them for the instance key in Config.RegistryPath.
        ServerConfig loaded{};
        CopyText(loaded.RegistryPath, Config.RegistryPath);
        LoadSettings(loaded);
        ClearSites(loaded);
        CopyText(Config.TimeZone, loaded.TimeZone);
        Config.FfmpegPathSet = loaded.FfmpegPathSet;
        CopyText(Config.FfmpegPath, loaded.FfmpegPath);
        Config.HostComputerNameSet = loaded.HostComputerNameSet;
        CopyText(Config.HostComputerName, loaded.HostComputerName);
    }

    // A site with its folders below folder, as the settings defaults lay them out.
    SiteConfig& AddSite(const std::string& name, const std::string& folder, std::vector<std::string> aliases = {})
    {
        auto* site = new SiteConfig{};
        CopyText(site->name, name.c_str());
        CopyText(site->path, folder.c_str());
        CopyText(site->path_htdocs, (folder + "/htdocs").c_str());
        CopyText(site->path_temp, (folder + "/temp").c_str());
        CopyText(site->path_files, (folder + "/files").c_str());
        CopyText(site->path_cache, (folder + "/cache").c_str());
        CopyText(site->sql_server, "localhost");
        CopyText(site->sql_database, ("vantry_" + name).c_str());
        CopyText(site->sql_user, "vantry");
        CopyText(site->sql_password, "pw");
        for (size_t i = 0; i < aliases.size() && i < SiteAliasCount; ++i)
            CopyText(site->aliases[i], aliases[i].c_str());
        Config.Sites.Append(site);
        return *site;
    }

    std::vector<SiteConfig*> SiteRecords() const
    {
        std::vector<SiteConfig*> sites;
        for (ListNode* node = Config.Sites.first; node != nullptr; node = node->next)
            sites.push_back(static_cast<SiteConfig*>(node->item));
        return sites;
    }

    // The values PHP sees after including file: every constant it defines and
    // the ini settings it makes, read back through PHP itself.
    std::map<std::string, std::string> PhpValues(const std::string& file)
    {
        static const char* script =
            "include $argv[1];"
            "$v = get_defined_constants(true)['user'];"
            "foreach (['date.timezone', 'session.save_path', 'session.cookie_path'] as $k) $v[$k] = ini_get($k);"
            "foreach ($v as $k => $x) echo $k, '=', gettype($x), ':', bin2hex((string)$x), \"\\n\";";
        CommandResult run = RunCommand("php -n -r " + ShellWord(script) + " " + ShellWord(file) + " 2>&1");
        EXPECT_EQ(run.status, 0) << run.output;
        std::map<std::string, std::string> values;
        size_t start = 0;
        while (start < run.output.size()) {
            size_t end = run.output.find('\n', start);
            if (end == std::string::npos)
                end = run.output.size();
            std::string line = run.output.substr(start, end - start);
            start = end + 1;
            size_t eq = line.find('=');
            size_t colon = line.find(':', eq);
            if (eq == std::string::npos || colon == std::string::npos)
                continue;
            std::string hex = line.substr(colon + 1), bytes;
            for (size_t i = 0; i + 1 < hex.size(); i += 2)
                bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
            values[line.substr(0, eq)] = line.substr(eq + 1, colon - eq) + bytes;
        }
        return values;
    }

    TempFolder temp;
    std::string root, install, conf;
};

} // namespace webtest
