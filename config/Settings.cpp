// Server and site settings: SetInstanceName, LoadSettings, ClearSites.
#include <cstdio>
#include <cstring>
#include <string>

#include "config/Config.h"
#include "config/RegistryKey.h"

namespace {

constexpr const char* DefaultInstanceKeyPath = "SOFTWARE\\Vantry\\Server";
constexpr const char* OstrandHostKeyPath = "SOFTWARE\\KOLTINC\\OSTRAND\\Host";

void ReadText(RegistryKey& key, const char* name, char (&target)[ConfigTextSize], const char* fallback)
{
    if (!key.ReadText(name, target) && fallback != nullptr)
        CopyText(target, fallback);
}

void ReadNumber(RegistryKey& key, const char* name, int& target, int fallback)
{
    if (!key.ReadNumber(name, target))
        target = fallback;
}

void SetJoinedPath(char (&target)[ConfigTextSize], const char* folder, const char* name)
{
    CopyText(target, JoinPath(folder, name).c_str());
}

void ReleaseSite(void* item)
{
    delete static_cast<SiteConfig*>(item);
}

// Reads one site key; the record joins the list when the site is enabled.
void LoadSite(ServerConfig& config, const char* siteName)
{
    auto* site = new SiteConfig{};
    CopyText(site->name, siteName);

    std::string keyPath = std::string(config.RegistryPath) + "\\" + siteName;
    RegistryKey key;
    if (!key.Open(keyPath.c_str())) {
        delete site;
        return;
    }
    int enable = 1;
    key.ReadNumber("enable", enable);
    if (enable == 0) {
        delete site;
        return;
    }
    config.Sites.Append(site);

    char sites[ConfigTextSize];
    SetJoinedPath(sites, config.InstallFolder, "sites");
    SetJoinedPath(site->path, sites, site->name);
    key.ReadText("path", site->path);

    SetJoinedPath(site->path_temp, site->path, "temp");
    SetJoinedPath(site->path_cache, site->path, "cache");
    SetJoinedPath(site->path_files, site->path, "files");
    SetJoinedPath(site->path_htdocs, site->path, "htdocs");
    key.ReadText("path_cache", site->path_cache);
    key.ReadText("path_files", site->path_files);
    key.ReadText("path_htdocs", site->path_htdocs);

    site->sql_database[0] = site->sql_password[0] = site->sql_server[0] = site->sql_user[0] = '\0';
    key.ReadText("sql_database", site->sql_database);
    key.ReadText("sql_password", site->sql_password);
    key.ReadText("sql_server", site->sql_server);
    key.ReadText("sql_user", site->sql_user);

    for (auto& alias : site->aliases)
        alias[0] = '\0';
    char alias[RegistryReadLimit];
    for (uint32_t index = 0; index < SiteAliasCount && key.SubkeyName(index, alias, sizeof alias); ++index)
        CopyText(site->aliases[index], alias);
    key.Close();
}

// The values of other keys that the web configuration uses.
void LoadWebSettings(ServerConfig& config)
{
    config.TimeZone[0] = config.FfmpegPath[0] = config.HostComputerName[0] = '\0';
    config.FfmpegPathSet = config.HostComputerNameSet = false;
    RegistryKey server;
    if (server.Open(DefaultInstanceKeyPath)) {
        server.ReadText("TimeZone", config.TimeZone);
        config.FfmpegPathSet = server.ReadText("path_ffmpeg", config.FfmpegPath);
    }
    RegistryKey host;
    if (host.Open(OstrandHostKeyPath))
        config.HostComputerNameSet = host.ReadText("Computername", config.HostComputerName);
}

} // namespace

void SetInstanceName(ServerConfig& config, const char* name)
{
    CopyText(config.InstanceName, name);
    if (std::strcmp(config.InstanceName, "vtd") == 0)
        CopyText(config.RegistryPath, DefaultInstanceKeyPath);
    else
        CopyText(config.RegistryPath, (std::string(DefaultInstanceKeyPath) + "-" + config.InstanceName).c_str());
}

bool LoadSettings(ServerConfig& config)
{
    LoadWebSettings(config);
    RegistryKey key;
    if (!key.Open(config.RegistryPath))
        return false;

    ReadNumber(key, "VtdRole", config.VtdRole, 1);
    ReadText(key, "VtdMasterName", config.VtdMasterName, "localhost");
    ReadNumber(key, "PortNumber", config.PortNumber, 80);
    ReadNumber(key, "HttpEnabled", config.HttpEnabled, 1);
    ReadText(key, "HttpForward", config.HttpForward, "");
    ReadNumber(key, "HttpsPortNumber", config.HttpsPortNumber, 443);
    ReadNumber(key, "HttpsEnabled", config.HttpsEnabled, 0);
    ReadText(key, "HttpsForward", config.HttpsForward, "");
    ReadNumber(key, "HttpsCertificateId", config.HttpsCertificateId, 0);
    ReadNumber(key, "RtmpPortNumber", config.RtmpPortNumber, 1935);
    ReadNumber(key, "RtmpEnabled", config.RtmpEnabled, 1);
    ReadNumber(key, "TranscodeThreads", config.TranscodeThreads, 1);
    ReadText(key, "InstallFolder", config.InstallFolder, nullptr);
    ReadText(key, "Version", config.Version, ProgramVersion);
    ReadText(key, "SmtpHost", config.SmtpHost, nullptr);
    ReadText(key, "SmtpUser", config.SmtpUser, nullptr);
    ReadText(key, "SmtpPassword", config.SmtpPassword, nullptr);
    ReadText(key, "SmtpEmail", config.SmtpEmail, nullptr);

    char siteName[RegistryReadLimit];
    for (uint32_t index = 0; key.SubkeyName(index, siteName, sizeof siteName); ++index)
        LoadSite(config, siteName);
    key.Close();

    for (ListNode* node = config.Sites.first; node != nullptr; node = node->next) {
        if (IsDefaultSite(*static_cast<SiteConfig*>(node->item))) {
            config.Sites.MoveToFront(node);
            break;
        }
    }
    return true;
}

void ClearSites(ServerConfig& config)
{
    config.Sites.RemoveAll(ReleaseSite);
}
