// Httpd: writes the web server's httpd.conf and each site's serverconfig.php
// from the settings, at every start of the daemon.
#include "httpd/Httpd.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/Config.h"
#include "config/RegistryKey.h"
#include "log/Log.h"
#include "platform/Platform.h"
#include "platform/SystemInfo.h"
#include "server/List.h"

namespace {

// Line numbers of this unit's failure reports, as the administrators'
// monitoring knows them.
constexpr int FragmentFailureLine = 11;
constexpr int ConfFailureLine = 76;

constexpr const char* ServerKeyPath = "SOFTWARE\\Vantry\\Server";
constexpr const char* OstrandHostKeyPath = "SOFTWARE\\KOLTINC\\OSTRAND\\Host";
constexpr const char* DefaultTimeZone = "America/New_York";
constexpr int VantryPort = 19038;
constexpr const char* DeviceIdentifier = "0f1e2d3c4b5a69788796a5b4c3d2e1f0";

void Appendf(std::string& out, const char* format, ...) VTD_PRINTF(2, 3);
void Appendf(std::string& out, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length > 0) {
        size_t start = out.size();
        out.resize(start + static_cast<size_t>(length) + 1);
        std::vsnprintf(&out[start], static_cast<size_t>(length) + 1, format, args);
        out.resize(start + static_cast<size_t>(length));
    }
    va_end(args);
}

// The generated files are text files: every line ends in CR LF.
std::string ToTextFileBytes(const std::string& text)
{
    std::string bytes;
    bytes.reserve(text.size() + text.size() / 16);
    for (char c : text) {
        if (c == '\n')
            bytes += '\r';
        bytes += c;
    }
    return bytes;
}

char* EscapeWith(char* target, size_t size, const char* source, char quote)
{
    if (size == 0)
        return target;
    size_t used = 0;
    for (const char* p = source != nullptr ? source : ""; *p != '\0'; ++p) {
        bool escape = *p == '\\' || *p == quote;
        size_t need = escape ? 2 : 1;
        if (used + need >= size)
            break;
        if (escape)
            target[used++] = '\\';
        target[used++] = *p;
    }
    target[used] = '\0';
    return target;
}

// "folder<separator>name", the way the daemon composes its own paths.
std::string SubPath(const char* folder, const char* name)
{
    std::string path = folder;
    path += PathSeparator;
    path += name;
    return path;
}

struct Escaped {
    char text[EscapedTextSize];
};

Escaped Conf(const std::string& value)
{
    Escaped result;
    EscapeConfValue(result.text, sizeof result.text, value.c_str());
    return result;
}

Escaped Php(const std::string& value)
{
    Escaped result;
    EscapePhpValue(result.text, sizeof result.text, value.c_str());
    return result;
}

SiteConfig* SiteOf(const ListNode* node)
{
    return static_cast<SiteConfig*>(node->item);
}

bool IsDefaultSite(const SiteConfig& site)
{
    return std::strcmp(site.name, "default") == 0;
}

bool DirectoryListHas(const List& list, const char* folder)
{
    for (const ListNode* node = list.first; node != nullptr; node = node->next)
        if (std::strcmp(static_cast<const char*>(node->item), folder) == 0)
            return true;
    return false;
}

void FreeText(void* text)
{
    std::free(text);
}

// Every site with an htdocs folder gets one block per host name: "_default_"
// for the catch-all site, else each alias up to the first empty one.
void WriteSiteHosts(std::string& out, int port, const char* forward, bool ssl)
{
    for (const ListNode* node = Config.Sites.first; node != nullptr; node = node->next) {
        const SiteConfig& site = *SiteOf(node);
        if (site.path_htdocs[0] == '\0')
            continue;
        if (IsDefaultSite(site)) {
            WriteVirtualHost(out, site.path_htdocs, site.path_files, site.path_cache, site.path, "_default_", port,
                             forward, ssl);
            continue;
        }
        for (int i = 0; i < SiteAliasCount && site.aliases[i][0] != '\0'; ++i)
            WriteVirtualHost(out, site.path_htdocs, site.path_files, site.path_cache, site.path, site.aliases[i],
                             port, forward, ssl);
    }
}

// The httpd.conf text; DirectoryList gives each htdocs folder one block.
std::string ComposeHttpdConf()
{
    std::string out;
    out += "## Generated file, do not edit.\n\n";
    AppendConfFragment(out, "conf.modules");

    List directoryList;
    for (const ListNode* node = Config.Sites.first; node != nullptr; node = node->next) {
        const SiteConfig& site = *SiteOf(node);
        if (site.path_htdocs[0] == '\0')
            continue;
        if (!DirectoryListHas(directoryList, site.path_htdocs)) {
            directoryList.Append(strdup(site.path_htdocs));
            Appendf(out, "<Directory \"%s\">\n", Conf(site.path_htdocs).text);
            AppendConfFragment(out, "conf.directory");
            out += "</Directory>\n\n";
        }
        Appendf(out, "<Directory \"%s\">\n", Conf(site.path_files).text);
        AppendConfFragment(out, "conf.directory2");
        out += "</Directory>\n\n";
    }
    directoryList.RemoveAll(FreeText);

    AppendConfFragment(out, "conf.base");

    Appendf(out, "Listen 127.0.0.1:%d\n", InternalHttpPort);
    Appendf(out, "NameVirtualHost *:%d\n\n", InternalHttpPort);
    WriteSiteHosts(out, InternalHttpPort, nullptr, false);

    if (Config.HttpEnabled != 0) {
        Appendf(out, "Listen %d\n", Config.PortNumber);
        Appendf(out, "NameVirtualHost *:%d\n\n", Config.PortNumber);
        WriteSiteHosts(out, Config.PortNumber, Config.HttpForward, false);
    }

    if (Config.HttpsEnabled != 0) {
        Appendf(out, "Listen %d\n", Config.HttpsPortNumber);
        Appendf(out, "NameVirtualHost *:%d\n", Config.HttpsPortNumber);
        AppendConfFragment(out, "conf.ssl");
        WriteSiteHosts(out, Config.HttpsPortNumber, Config.HttpsForward, true);
    }

    AppendConfFragment(out, "conf.footer");
    return out;
}

// Values shared by every site's serverconfig.php.
struct PhpCommon {
    char ffmpegPath[ConfigTextSize];
    char computerName[ConfigTextSize];
};

void ReadPhpCommon(PhpCommon& common)
{
    std::snprintf(common.ffmpegPath, sizeof common.ffmpegPath, IsNativeX86() ? "%s/bin/ffmpeg32" : "%s/bin/ffmpeg",
                  Config.InstallFolder);
    RegistryKey server;
    if (server.Open(ServerKeyPath))
        server.ReadText("path_ffmpeg", common.ffmpegPath);

    CopyText(common.computerName, GetComputerNameText().c_str());
    RegistryKey host;
    if (host.Open(OstrandHostKeyPath))
        host.ReadText("Computername", common.computerName);
}

void ReadTimeZone(char (&timeZone)[ConfigTextSize])
{
    CopyText(timeZone, "");
    RegistryKey server;
    if (server.Open(ServerKeyPath))
        server.ReadText("TimeZone", timeZone);
    if (timeZone[0] == '\0')
        CopyText(timeZone, DefaultTimeZone);
}

// Every text value goes between single quotes escaped by PHP's own rules
// (backslash before backslash and quote), passwords, host and mail values
// included: a quote in a password must not end the string and break every
// page of the site, or inject code into it. Values without either character
// come out as they are stored.
std::string ComposeServerConfigPhp(const SiteConfig& site, const PhpCommon& common, const char* timeZone)
{
    const char* install = Config.InstallFolder;
    const char* alias = IsDefaultSite(site) ? "_default_" : site.aliases[0];
    std::string out;
    out += "<?php\n";
    out += "// Generated file, do not edit.\n\n";
    Appendf(out, "ini_set('date.timezone', '%s');\n", Php(timeZone).text);
    Appendf(out, "ini_set('session.save_path', '%s');\n", Php(SubPath(site.path, "runtime")).text);
    Appendf(out, "ini_set('session.cookie_path', '%s');\n", Php(SubPath(site.path, "runtime")).text);
    out += "define('VANTRY_DEBUG', 'false');\n";
    Appendf(out, "define('VANTRY_COMPUTERNAME', '%s');\n", Php(common.computerName).text);
    Appendf(out, "define('VANTRY_VERSION', '%s');\n", ProgramVersion);
    Appendf(out, "define('VANTRY_INSTALL', '%s');\n", Php(install).text);
    Appendf(out, "define('VANTRY_BIN', '%s');\n", Php(SubPath(install, "bin")).text);
    Appendf(out, "define('VANTRY_LOGS', '%s');\n", Php(SubPath(install, "logs")).text);
    Appendf(out, "define('VANTRY_BACKUP', '%s');\n", Php(SubPath(install, "backup")).text);
    Appendf(out, "define('VANTRY_RTMPPORT', %d);\n", Config.RtmpPortNumber);
    Appendf(out, "define('VANTRY_HTTPIPORT', %d);\n", InternalHttpPort);
    Appendf(out, "define('VANTRY_VANTRYPORT', %d);\n", VantryPort);
    Appendf(out, "define('VANTRY_SITENAME', '%s');\n", Php(site.name).text);
    Appendf(out, "define('VANTRY_ALIASNAME', '%s');\n", Php(alias).text);
    Appendf(out, "define('VANTRY_SITEPATH', '%s');\n", Php(site.path).text);
    Appendf(out, "define('VANTRY_RUNTIME', '%s');\n", Php(SubPath(site.path, "runtime")).text);
    Appendf(out, "define('VANTRY_TEMP', '%s');\n", Php(site.path_temp).text);
    Appendf(out, "define('VANTRY_CACHE', '%s');\n", Php(site.path_cache).text);
    Appendf(out, "define('VANTRY_CONTENT', '%s');\n", Php(site.path_files).text);
    Appendf(out, "define('VANTRY_HTDOCS', '%s');\n", Php(site.path_htdocs).text);
    Appendf(out, "define('VANTRY_VTDROLE', %d);\n", Config.VtdRole);
    Appendf(out, "define('VANTRY_VTDMASTERNAME', '%s');\n", Php(Config.VtdMasterName).text);
    Appendf(out, "define('VANTRY_UDID', '%s');\n", DeviceIdentifier);
    Appendf(out, "define('VANTRY_FFMPEG_PATH', '%s');\n", Php(common.ffmpegPath).text);
    Appendf(out, "define('VANTRY_DBHOST', '%s');\n", Php(site.sql_server).text);
    Appendf(out, "define('VANTRY_DBNAME', '%s');\n", Php(site.sql_database).text);
    Appendf(out, "define('VANTRY_DBUSER', '%s');\n", Php(site.sql_user).text);
    Appendf(out, "define('VANTRY_DBPASSWORD', '%s');\n", Php(site.sql_password).text);
    Appendf(out, "define('VANTRY_SMTP_HOST', '%s');\n", Php(Config.SmtpHost).text);
    Appendf(out, "define('VANTRY_SMTP_USER', '%s');\n", Php(Config.SmtpUser).text);
    Appendf(out, "define('VANTRY_SMTP_PASSWORD', '%s');\n", Php(Config.SmtpPassword).text);
    Appendf(out, "define('VANTRY_SMTP_EMAIL', '%s');\n", Php(Config.SmtpEmail).text);
    return out;
}

// Folders and serverconfig.php of every site, also of those without an
// htdocs folder. A file that cannot be written is passed over. A site
// without a site folder is passed over too: its folders and file would
// otherwise land in the root of the file system.
void WriteSiteConfigs()
{
    PhpCommon common;
    ReadPhpCommon(common);
    for (const ListNode* node = Config.Sites.first; node != nullptr; node = node->next) {
        const SiteConfig& site = *SiteOf(node);
        if (site.path[0] == '\0')
            continue;
        CreateFolderPath(SubPath(site.path, "runtime"));
        CreateFolderPath(site.path_htdocs);
        CreateFolderPath(site.path_temp);
        CreateFolderPath(SubPath(site.path, "assets"));
        CreateFolderPath(site.path_files);
        CreateFolderPath(site.path_cache);

        char timeZone[ConfigTextSize];
        ReadTimeZone(timeZone);
        WriteFileAtomically(SubPath(site.path, "serverconfig.php"),
                            ToTextFileBytes(ComposeServerConfigPhp(site, common, timeZone)));
    }
}

} // namespace

char* EscapeConfValue(char* target, size_t size, const char* source)
{
    return EscapeWith(target, size, source, '"');
}

char* EscapePhpValue(char* target, size_t size, const char* source)
{
    return EscapeWith(target, size, source, '\'');
}

std::string ConfFolderFile(const char* name)
{
    std::string path = SubPath(Config.InstallFolder, "apache");
    path = SubPath(path.c_str(), "conf");
    return SubPath(path.c_str(), name);
}

void AppendConfFragment(std::string& out, const char* name)
{
    std::string bytes;
    if (!ReadWholeFile(ConfFolderFile(name), bytes)) {
        LOG_ASSERT("fp", "Httpd", FragmentFailureLine);
        return;
    }
    // Lines come in ending in LF or CR LF and go out ending in "\n"; an
    // unterminated last line is ended so the next line is not glued to it.
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        size_t next = end == std::string::npos ? bytes.size() : end + 1;
        size_t stop = end == std::string::npos ? bytes.size() : end;
        if (end != std::string::npos && stop > start && bytes[stop - 1] == '\r')
            --stop;
        out.append(bytes, start, stop - start);
        out += '\n';
        start = next;
    }
}

void WriteVirtualHost(std::string& out, const char* documentRoot, const char* filesFolder,
                      const char* cacheFolder, const char* siteFolder, const char* serverName, int port,
                      const char* forward, bool ssl)
{
    Appendf(out, "<VirtualHost *:%d>\n", port);
    if (forward != nullptr && forward[0] != '\0') {
        Appendf(out, "\tRedirect permanent / %s\n", forward);
    } else {
        Appendf(out, "\tServerName %s\n", serverName);
        Appendf(out, "\tDocumentRoot \"%s\"\n", Conf(documentRoot).text);
        Appendf(out, "\tAlias /contents \"%s\"\n", Conf(filesFolder).text);
        Appendf(out, "\tAlias /cache \"%s\"\n", Conf(cacheFolder).text);
        Appendf(out, "\tphp_admin_value upload_tmp_dir \"%s\"\n", Conf(SubPath(siteFolder, "runtime")).text);
        Appendf(out, "\tphp_admin_value system_tmp_dir \"%s\"\n", Conf(SubPath(siteFolder, "runtime")).text);
        Appendf(out, "\tphp_value auto_prepend_file \"%s\"\n", Conf(SubPath(siteFolder, "serverconfig.php")).text);
        AppendConfFragment(out, ssl ? "conf.virtualssl" : "conf.virtual");
    }
    out += "</VirtualHost>\n\n";
}

void WriteWebConfig()
{
    // Where there is no conf folder nothing can be written: that is reported
    // alone, before the fragments would be looked for there one by one.
    std::string path = ConfFolderFile("httpd.conf");
    if (!FolderExists(path.substr(0, path.rfind(PathSeparator)))) {
        LOG_ASSERT("fconf", "Httpd", ConfFailureLine);
        return;
    }
    std::string conf = ToTextFileBytes(ComposeHttpdConf());
    if (!WriteFileAtomically(path, conf)) {
        LOG_ASSERT("fconf", "Httpd", ConfFailureLine);
        return;
    }
    WriteSiteConfigs();
}
