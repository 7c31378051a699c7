// Generated web-server configuration: httpd.conf in the web server's conf
// folder and every site's serverconfig.php.
#pragma once

#include <cstddef>
#include <string>

// Size of a buffer that holds any escaped settings text with a short fixed
// name appended (an escaped text is at most twice as long as its input).
constexpr size_t EscapedTextSize = 2 * 1024 + 64;

// Regenerates httpd.conf from Config and its fragment files, then creates
// every site's folders and rewrites its serverconfig.php. Failures are only
// logged. When httpd.conf cannot be written the old file stays and no site
// file is touched.
void WriteWebConfig();

// Escapes source for a double-quoted value of httpd.conf: a backslash before
// every backslash and double quote (the only escapes Apache's quoted strings
// know). The result is cut at a whole character to fit size; returns target.
char* EscapeConfValue(char* target, size_t size, const char* source);
// Escapes source for a single-quoted PHP string: a backslash before every
// backslash and single quote. Cut and returned as EscapeConfValue.
char* EscapePhpValue(char* target, size_t size, const char* source);

// Appends the fragment file name of the conf folder to out, every line ended
// in "\n"; a fragment that cannot be read is logged and adds nothing.
void AppendConfFragment(std::string& out, const char* name);

// Appends one VirtualHost block. With a forward target that is not empty the
// block only redirects to it; ssl picks the fragment closing a full block.
void WriteVirtualHost(std::string& out, const char* documentRoot, const char* filesFolder,
                      const char* cacheFolder, const char* siteFolder, const char* serverName, int port,
                      const char* forward, bool ssl);

// Path of a file in the web server's conf folder of the install folder.
std::string ConfFolderFile(const char* name);
