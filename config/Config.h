// Server and site settings read from the settings store at start-up.
#pragma once

#include <string>
#include <vector>

#include "platform/List.h"
#include "platform/Text.h"

// Version stamped into site databases and handed to the site code.
constexpr const char* ProgramVersion = "15.0.11";
// The web server's loopback listener used by the daemon's own requests.
constexpr int InternalHttpPort = 19039;

constexpr int SiteAliasCount = 16;
constexpr int ConfigTextSize = 1024;

struct SiteConfig {
    char name[ConfigTextSize];
    char path[ConfigTextSize];
    char path_temp[ConfigTextSize];
    char path_cache[ConfigTextSize];
    char path_files[ConfigTextSize];
    char path_htdocs[ConfigTextSize];
    char sql_server[ConfigTextSize];
    char sql_database[ConfigTextSize];
    char sql_user[ConfigTextSize];
    char sql_password[ConfigTextSize];
    char aliases[SiteAliasCount][ConfigTextSize];
};

// The enabled sites, "default" first.
using SiteList = List;

struct ServerConfig {
    char InstanceName[ConfigTextSize];
    char RegistryPath[ConfigTextSize];
    char Version[ConfigTextSize];
    int VtdRole;
    char VtdMasterName[ConfigTextSize];
    int PortNumber;
    int HttpEnabled;
    char HttpForward[ConfigTextSize];
    int HttpsPortNumber;
    int HttpsEnabled;
    char HttpsForward[ConfigTextSize];
    int HttpsCertificateId;
    int RtmpPortNumber;
    int RtmpEnabled;
    int TranscodeThreads;
    char InstallFolder[ConfigTextSize];
    char SmtpHost[ConfigTextSize];
    char SmtpUser[ConfigTextSize];
    char SmtpPassword[ConfigTextSize];
    char SmtpEmail[ConfigTextSize];
    SiteList Sites;

    // Values of other keys that the web configuration uses, read by
    // LoadSettings whether or not the instance key exists:
    // "TimeZone" and "path_ffmpeg" always of the default instance's key
    // (SOFTWARE\Vantry\Server), and "Computername" of another program's
    // key (SOFTWARE\KOLTINC\OSTRAND\Host). Empty / false when missing.
    char TimeZone[ConfigTextSize];
    bool FfmpegPathSet;
    char FfmpegPath[ConfigTextSize];
    bool HostComputerNameSet;
    char HostComputerName[ConfigTextSize];

    // One line for each value or site that LoadSettings refused (left out,
    // or replaced by its default) and why.
    std::vector<std::string> Refusals;
};

void SetInstanceName(ServerConfig& config, const char* name);
// Fills config from the instance key and the other keys named above; false
// when the instance key cannot be opened (the other keys are read all the
// same).
bool LoadSettings(ServerConfig& config);
// Whether name may be written as the host name of a virtual host, which the
// web server takes: letters, digits and "-._", then an optional ":port" of
// 1 to 65535 (an empty name too: no alias).
bool IsHostName(const char* name);
// Releases the site records and empties the list (tests, teardown).
void ClearSites(ServerConfig& config);

// The site named exactly "default" (letter case counts) is the catch-all
// site: listed first, answering every host name no other site claims.
bool IsDefaultSite(const SiteConfig& site);
