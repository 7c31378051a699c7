// Requests of the daemon to its own web server through the internal
// listener: asking each site to run its database update page.
#pragma once

#include <cstdarg>

#include "config/Config.h"
#include "log/Log.h"

// Longest wait for the web server to begin its reply to one request.
constexpr unsigned LocalReplyLimitMilliseconds = 60000;

// Sends the request line made from format and its values, with the site's
// host name, to the web server's internal listener and waits for the reply
// header (at most LocalReplyLimitMilliseconds). Failures are silent; a reply
// that does not come in time is logged.
void RequestLocalSite(const SiteConfig* site, const char* format, ...) VTD_PRINTF(2, 3);
// Waits 10 s, then asks every site of config with a database, in order and
// one second apart, to run its update page. Returns true.
bool TriggerDatabaseUpdate(const ServerConfig& config);

// The same, on the given port of the loopback name and with the given reply
// limit.
void RequestLocalSiteOn(int port, unsigned replyLimit, const SiteConfig* site, const char* format, va_list args);
bool TriggerDatabaseUpdateOn(const ServerConfig& config, int port, unsigned replyLimit);

// The host name a site answers to on the internal listener: "_default_" for
// the site named "default", otherwise its first alias ("" when none).
const char* LocalSiteHostName(const SiteConfig* site);
