// Server and site settings read from the settings store at start-up.
#pragma once

#include <atomic>

#include "server/List.h"

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
};

// The process-wide settings, all empty until SetInstanceName and LoadSettings.
extern ServerConfig Config;

// Process-wide flags. StopRequested is written by the stop handler's thread
// and read by the supervision loop; UpdateTriggerRequested asks RunServer to
// have every site run its update page.
extern std::atomic<bool> StopRequested;
extern std::atomic<bool> UpdateTriggerRequested;

void SetInstanceName(ServerConfig& config, const char* name);
// Fills config from the instance key; false when the key cannot be opened.
bool LoadSettings(ServerConfig& config);
// Releases the site records and empties the list (tests, teardown).
void ClearSites(ServerConfig& config);

// Safe copy into a fixed text field: at most size-1 characters, always ended.
void CopyText(char* target, size_t size, const char* source);
template <size_t N> void CopyText(char (&target)[N], const char* source) { CopyText(target, N, source); }
