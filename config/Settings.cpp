// Server and site settings: SetInstanceName, LoadSettings, ClearSites.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>

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

// A port number value: 1 to 65535; another number is refused and the
// default used, a missing one takes the default silently.
void ReadPort(ServerConfig& config, RegistryKey& key, const char* name, int& target, int fallback)
{
    if (!key.ReadNumber(name, target)) {
        target = fallback;
        return;
    }
    if (target < 1 || target > 65535) {
        config.Refusals.push_back("settings: \"" + std::string(name) + "\" refused: " + std::to_string(target) +
                                  " is not a port number (1 to 65535); " + std::to_string(fallback) + " is used");
        target = fallback;
    }
}

// Whether text starts with a URL scheme and "://" and names something
// after it: "scheme://host...", the target the web server redirects to.
bool HasSchemeAndHost(const char* text)
{
    const char* p = text;
    if (!std::isalpha(static_cast<unsigned char>(*p)))
        return false;
    while (std::isalnum(static_cast<unsigned char>(*p)) || *p == '+' || *p == '-' || *p == '.')
        ++p;
    return std::strncmp(p, "://", 3) == 0 && p[3] != '\0' && p[3] != '/';
}

// A forward target is written into the web server's configuration as it
// is: one with a control character, a blank or a quote would break out of
// its directive or stop the web server, and is left out. So is one ending
// in a backslash, which would carry its line on into the next one, and one
// without a scheme and host, which the web server refuses as a redirect.
void CheckForward(ServerConfig& config, const char* name, char (&target)[ConfigTextSize])
{
    if (target[0] == '\0')
        return;
    std::string reason;
    size_t length = std::strlen(target);
    if (HasControlCharacter(target) || std::strpbrk(target, " \t\"") != nullptr)
        reason = "holds a control character, a blank or a quote";
    else if (target[length - 1] == '\\')
        reason = "ends in a backslash";
    else if (!HasSchemeAndHost(target))
        reason = "is not a URL with a scheme and a host (\"https://host/\")";
    if (reason.empty())
        return;
    config.Refusals.push_back("settings: \"" + std::string(name) + "\" refused: \"" + PrintableText(target) + "\" " +
                              reason + "; no forward is written");
    target[0] = '\0';
}

// The listeners must not meet: the public port is not the internal
// listener's, and HTTP and HTTPS do not share a port (the web server
// refuses to listen twice on one). A clash with the internal listener
// takes the default; HTTPS on the HTTP port is not served.
void CheckListeners(ServerConfig& config)
{
    for (auto [name, port, fallback] : {std::tuple<const char*, int*, int>{"PortNumber", &config.PortNumber, 80},
                                        {"HttpsPortNumber", &config.HttpsPortNumber, 443}}) {
        if (*port != InternalHttpPort)
            continue;
        config.Refusals.push_back("settings: \"" + std::string(name) + "\" refused: " + std::to_string(*port) +
                                  " is the web server's internal listener; " + std::to_string(fallback) +
                                  " is used");
        *port = fallback;
    }
    if (config.HttpEnabled != 0 && config.HttpsEnabled != 0 && config.PortNumber == config.HttpsPortNumber) {
        config.Refusals.push_back("settings: \"HttpsPortNumber\" refused: " + std::to_string(config.HttpsPortNumber) +
                                  " is also \"PortNumber\"; HTTPS is not served");
        config.HttpsEnabled = 0;
    }
}

// Why site may not be used, or "" when it may: its name must stay inside
// the sites folder, its folders must fit on one line of the web server's
// configuration, and its aliases must be host names the web server takes.
std::string SiteRefusal(const SiteConfig& site)
{
    std::string name = site.name;
    if (name == "." || name == ".." || name.find_first_of("/\\") != std::string::npos || HasControlCharacter(site.name))
        return "its name is \".\", \"..\" or holds a path separator or a control character";
    const std::pair<const char*, const char*> folders[] = {
        {"path", site.path}, {"path_htdocs", site.path_htdocs}, {"path_files", site.path_files},
        {"path_cache", site.path_cache}};
    for (const auto& folder : folders)
        if (HasControlCharacter(folder.second))
            return "\"" + std::string(folder.first) + "\" holds a control character: \"" +
                   PrintableText(folder.second) + "\"";
    for (const auto& alias : site.aliases)
        if (!IsHostName(alias))
            return "alias \"" + PrintableText(alias) + "\" is not a host name (with a port from 1 to 65535)";
    return {};
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

    std::string refusal = SiteRefusal(*site);
    if (!refusal.empty()) {
        config.Refusals.push_back("settings: site \"" + PrintableText(site->name) + "\" refused: " + refusal);
        delete site;
        return;
    }
    config.Sites.Append(site);
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

bool IsHostName(const char* name)
{
    // Each alias is the ServerName of a virtual host: letters, digits and
    // "-._", then an optional ":port". No wildcard ("*", "?", "["): the web
    // server takes those only as ServerAlias and refuses them here, and a
    // bracketed IPv6 address counts as one.
    if (name[0] == '\0')
        return true;
    const char* p = name;
    while (std::isalnum(static_cast<unsigned char>(*p)) || *p == '-' || *p == '.' || *p == '_')
        ++p;
    if (p == name)
        return false;
    if (*p == '\0')
        return true;
    if (*p++ != ':')
        return false;
    long port = 0;
    const char* digits = p;
    for (; std::isdigit(static_cast<unsigned char>(*p)) && p - digits < 6; ++p)
        port = port * 10 + (*p - '0');
    return *p == '\0' && p > digits && port >= 1 && port <= 65535;
}

bool LoadSettings(ServerConfig& config)
{
    config.Refusals.clear();
    LoadWebSettings(config);
    RegistryKey key;
    if (!key.Open(config.RegistryPath))
        return false;

    ReadNumber(key, "VtdRole", config.VtdRole, 1);
    ReadText(key, "VtdMasterName", config.VtdMasterName, "localhost");
    ReadPort(config, key, "PortNumber", config.PortNumber, 80);
    ReadNumber(key, "HttpEnabled", config.HttpEnabled, 1);
    ReadText(key, "HttpForward", config.HttpForward, "");
    CheckForward(config, "HttpForward", config.HttpForward);
    ReadPort(config, key, "HttpsPortNumber", config.HttpsPortNumber, 443);
    ReadNumber(key, "HttpsEnabled", config.HttpsEnabled, 0);
    ReadText(key, "HttpsForward", config.HttpsForward, "");
    CheckForward(config, "HttpsForward", config.HttpsForward);
    ReadNumber(key, "HttpsCertificateId", config.HttpsCertificateId, 0);
    ReadPort(config, key, "RtmpPortNumber", config.RtmpPortNumber, 1935);
    ReadNumber(key, "RtmpEnabled", config.RtmpEnabled, 1);
    ReadNumber(key, "TranscodeThreads", config.TranscodeThreads, 1);
    CheckListeners(config);
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
