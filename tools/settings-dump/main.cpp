// Prints the settings the daemon reads, one "field=value" line each, the
// server's fields first, then every enabled site in list order. Both builds
// print the same lines for the same settings, so the settings store of one
// platform can be checked against the other's.
//
//     settings-dump [-n NAME]
#include <cstdio>
#include <cstring>

#include "config/Config.h"

namespace {

ServerConfig Settings;

void Text(const char* field, const char* value)
{
    std::printf("%s=%s\n", field, value);
}

void Number(const char* field, long value)
{
    std::printf("%s=%ld\n", field, value);
}

} // namespace

int main(int argc, char** argv)
{
    const char* instance = "vtd";
    if (argc == 3 && std::strcmp(argv[1], "-n") == 0) {
        instance = argv[2];
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: settings-dump [-n NAME]\n");
        return 2;
    }
    SetInstanceName(Settings, instance);
    bool found = LoadSettings(Settings);
    const ServerConfig& c = Settings;
    Number("found", found ? 1 : 0);
    Text("InstanceName", c.InstanceName);
    Text("RegistryPath", c.RegistryPath);
    Text("Version", c.Version);
    Number("VtdRole", c.VtdRole);
    Text("VtdMasterName", c.VtdMasterName);
    Number("PortNumber", c.PortNumber);
    Number("HttpEnabled", c.HttpEnabled);
    Text("HttpForward", c.HttpForward);
    Number("HttpsPortNumber", c.HttpsPortNumber);
    Number("HttpsEnabled", c.HttpsEnabled);
    Text("HttpsForward", c.HttpsForward);
    Number("HttpsCertificateId", c.HttpsCertificateId);
    Number("RtmpPortNumber", c.RtmpPortNumber);
    Number("RtmpEnabled", c.RtmpEnabled);
    Number("TranscodeThreads", c.TranscodeThreads);
    Text("InstallFolder", c.InstallFolder);
    Text("SmtpHost", c.SmtpHost);
    Text("SmtpUser", c.SmtpUser);
    Text("SmtpPassword", c.SmtpPassword);
    Text("SmtpEmail", c.SmtpEmail);
    Text("TimeZone", c.TimeZone);
    Number("FfmpegPathSet", c.FfmpegPathSet ? 1 : 0);
    Text("FfmpegPath", c.FfmpegPath);
    Number("HostComputerNameSet", c.HostComputerNameSet ? 1 : 0);
    Text("HostComputerName", c.HostComputerName);
    Number("sites", c.Sites.count);
    for (ListNode* node = c.Sites.first; node != nullptr; node = node->next) {
        const auto* site = static_cast<const SiteConfig*>(node->item);
        Text("site.name", site->name);
        Text("site.path", site->path);
        Text("site.path_temp", site->path_temp);
        Text("site.path_cache", site->path_cache);
        Text("site.path_files", site->path_files);
        Text("site.path_htdocs", site->path_htdocs);
        Text("site.sql_server", site->sql_server);
        Text("site.sql_database", site->sql_database);
        Text("site.sql_user", site->sql_user);
        Text("site.sql_password", site->sql_password);
        for (const auto& alias : site->aliases)
            if (alias[0] != '\0')
                Text("site.alias", alias);
    }
    ClearSites(Settings);
    return 0;
}
