// Requests of the daemon to its own web server.
#include "net/LocalRequest.h"

#include <cstdio>
#include <cstring>

#include "net/ClientSocket.h"
#include "platform/Platform.h"

namespace {

constexpr int RequestLineSize = 1024;
constexpr int AddressSize = 260;
constexpr const char* UpdateRequestLine = "GET /internal/updatedatabase HTTP/1.1";

void RequestLocalSiteAt(int port, unsigned replyLimit, const SiteConfig* site, const char* format, ...)
    VTD_PRINTF(4, 5);
void RequestLocalSiteAt(int port, unsigned replyLimit, const SiteConfig* site, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    RequestLocalSiteOn(port, replyLimit, site, format, args);
    va_end(args);
}

} // namespace

const char* LocalSiteHostName(const SiteConfig* site)
{
    if (IsDefaultSite(*site))
        return "_default_";
    return site->aliases[0];
}

void RequestLocalSiteOn(int port, unsigned replyLimit, const SiteConfig* site, const char* format, va_list args)
{
    if (site == nullptr || format == nullptr)
        return;
    const char* host = LocalSiteHostName(site);
    char address[AddressSize];
    std::snprintf(address, sizeof(address), "localhost:%d", port);
    char line[RequestLineSize];
    if (std::vsnprintf(line, sizeof(line), format, args) < 0)
        line[0] = '\0';

    ClientSocket* s = SocketConnectAddress(address, false);
    if (s == nullptr)
        return;
    SocketWriteFormat(s, "%s\r\n", line);
    SocketWriteFormat(s, "Host: %s\r\n\r\n", host);
    SocketFlush(s);
    // A site page that never answers must not hold the caller up for ever.
    SocketSetReceiveLimit(s, replyLimit);
    SocketReadStatus(s);
    if (SocketTimedOut(s)) {
        // The report carries the system's text for a time-out; the caller's
        // own error code is kept.
        int saved = GetLastOsError();
        SetLastOsError(OsErrorTimedOut);
        LogError("No reply header to \"%s\" from %s for host \"%s\" within %u ms, request abandoned", line, address,
                 host, replyLimit);
        SetLastOsError(saved);
    }
    SocketClose(s);
}

void RequestLocalSite(const SiteConfig* site, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    RequestLocalSiteOn(InternalHttpPort, LocalReplyLimitMilliseconds, site, format, args);
    va_end(args);
}

bool TriggerDatabaseUpdateOn(const ServerConfig& config, int port, unsigned replyLimit)
{
    Sleep(10000);
    for (ListNode* node = config.Sites.first; node != nullptr; node = node->next) {
        const auto* site = static_cast<const SiteConfig*>(node->item);
        if (site == nullptr || site->sql_database[0] == '\0')
            continue;
        Sleep(1000);
        RequestLocalSiteAt(port, replyLimit, site, "%s", UpdateRequestLine);
    }
    return true;
}

bool TriggerDatabaseUpdate(const ServerConfig& config)
{
    return TriggerDatabaseUpdateOn(config, InternalHttpPort, LocalReplyLimitMilliseconds);
}
