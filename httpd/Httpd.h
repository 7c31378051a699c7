// Generated web-server configuration: httpd.conf in the web server's conf
// folder and every site's serverconfig.php.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "config/Config.h"

// Size of a buffer that holds any escaped settings text with a short fixed
// name appended (an escaped text is at most twice as long as its input).
constexpr size_t EscapedTextSize = 2 * 1024 + 64;

// Regenerates httpd.conf from config and the fragment files of the conf
// folder, then creates every site's folders and rewrites its
// serverconfig.php. Failures are only logged. When httpd.conf cannot be
// written the old file stays and no site file is touched.
void WriteWebConfig(const ServerConfig& config);
// WriteWebConfig with the bytes of httpd.conf composed (and checked) before;
// false when httpd.conf could not be written (reported; no site file is then
// touched).
bool WriteWebConfigFrom(const ServerConfig& config, const std::string& httpdConf);

// The pieces WriteWebConfig writes, for a program that checks the settings
// without touching the installation:
// Where WriteWebConfig writes httpd.conf: "<InstallFolder>/apache/conf/httpd.conf".
std::string HttpdConfPath(const ServerConfig& config);
// The bytes of httpd.conf (lines ended in CR LF) from config and the
// fragments of the conf folder, as WriteWebConfig writes them. A fragment
// that cannot be read is reported as there and, when unreadFragments is
// given, its path added to it (once per fragment).
std::string ComposeHttpdConf(const ServerConfig& config, std::vector<std::string>* unreadFragments = nullptr);
// The same bytes handed to sink in pieces of about a megabyte, each ending at
// the end of a line, so that the whole text of many sites is never held.
void ComposeHttpdConfInPieces(const ServerConfig& config, std::vector<std::string>* unreadFragments,
                              const std::function<void(const std::string&)>& sink);
// The bytes of site's serverconfig.php, as WriteWebConfig writes them.
std::string ComposeServerConfigPhp(const ServerConfig& config, const SiteConfig& site);

// Escapes source for a double-quoted value of httpd.conf: a backslash before
// every backslash and double quote (the only escapes Apache's quoted strings
// know). The result is cut at a whole character to fit size; returns target.
char* EscapeConfValue(char* target, size_t size, const char* source);
// Escapes source for a single-quoted PHP string: a backslash before every
// backslash and single quote. Cut and returned as EscapeConfValue.
char* EscapePhpValue(char* target, size_t size, const char* source);
