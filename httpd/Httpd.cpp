// Httpd: writes the web server's httpd.conf and each site's serverconfig.php
// from the settings, at every start of the daemon.
#include "httpd/Httpd.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <functional>
#include <map>
#include <utility>
#include <unordered_set>
#include <vector>

#include "config/Config.h"
#include "log/Log.h"
#include "platform/Files.h"
#include "platform/Platform.h"
#include "platform/SystemInfo.h"
#include "platform/Text.h"

namespace {

// Line numbers of this unit's failure reports, as the administrators'
// monitoring knows them.
constexpr int FragmentFailureLine = 11;
constexpr int ConfFailureLine = 76;

constexpr const char* DefaultTimeZone = "America/New_York";
constexpr int VantryPort = 19038;
constexpr const char* DeviceIdentifier = "0f1e2d3c4b5a69788796a5b4c3d2e1f0";

// Appends size bytes of data to out, every "\n" not preceded by "\r"
// becoming "\r\n": the same text as ToCrLf of the whole, built in one pass.
void AppendCrLf(std::string& out, const char* data, size_t size)
{
    const char* end = data + size;
    while (data < end) {
        const char* newline = static_cast<const char*>(std::memchr(data, '\n', static_cast<size_t>(end - data)));
        if (newline == nullptr) {
            out.append(data, static_cast<size_t>(end - data));
            return;
        }
        out.append(data, static_cast<size_t>(newline - data));
        if (out.empty() || out.back() != '\r')
            out += '\r';
        out += '\n';
        data = newline + 1;
    }
}

void AppendCrLf(std::string& out, const std::string& text)
{
    AppendCrLf(out, text.data(), text.size());
}

// Formats and appends, lines ended in CR LF as AppendCrLf ends them.
void Appendf(std::string& out, const char* format, ...) VTD_PRINTF(2, 3);
void Appendf(std::string& out, const char* format, ...)
{
    // Most lines fit a small buffer; a longer one gets a buffer of its size.
    char line[512];
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(line, sizeof line, format, copy);
    va_end(copy);
    if (length > 0 && static_cast<size_t>(length) < sizeof line) {
        AppendCrLf(out, line, static_cast<size_t>(length));
    } else if (length > 0) {
        std::string text(static_cast<size_t>(length) + 1, '\0');
        std::vsnprintf(text.data(), text.size(), format, args);
        AppendCrLf(out, text.data(), static_cast<size_t>(length));
    }
    va_end(args);
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

// Path of a file in the web server's conf folder of the install folder.
std::string ConfFolderFile(const ServerConfig& config, const char* name)
{
    return JoinPath(JoinPath(JoinPath(config.InstallFolder, "apache"), "conf"), name);
}

// One fragment file of the conf folder as it is copied: every line ended in
// "\n", whether it came in ending in LF or CR LF, an unterminated last line
// included. read is false when the file could not be read; error then holds
// the OS error of the attempt.
struct Fragment {
    bool read = false;
    int error = 0;
    std::string text;
};

Fragment ReadFragment(const std::string& path)
{
    Fragment fragment;
    std::string bytes;
    if (!ReadWholeFile(path, bytes)) {
        fragment.error = GetLastOsError();
        return fragment;
    }
    fragment.read = true;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        size_t next = end == std::string::npos ? bytes.size() : end + 1;
        size_t stop = end == std::string::npos ? bytes.size() : end;
        if (end != std::string::npos && stop > start && bytes[stop - 1] == '\r')
            --stop;
        fragment.text.append(bytes, start, stop - start);
        fragment.text += '\n';
        start = next;
    }
    return fragment;
}

// httpd.conf as it is being composed. Each fragment is read from disk once
// per composition, however many blocks copy it; a fragment that cannot be
// read is reported at every place that copies it.
struct ConfComposer {
    const ServerConfig& config;
    std::string out;
    std::map<std::string, Fragment> fragments;
    std::vector<std::string>* unread = nullptr;
    // When set, the text goes to it about a megabyte at a time, at the end
    // of a block, instead of all of it being kept.
    const std::function<void(const std::string&)>* sink = nullptr;

    static constexpr size_t PieceSize = 1u << 20;

    void Flush(bool all)
    {
        if (sink == nullptr || out.empty() || (!all && (out.size() < PieceSize || out.back() != '\n')))
            return;
        (*sink)(out);
        out.clear();
    }

    void AppendFragment(const char* name)
    {
        auto it = fragments.find(name);
        if (it == fragments.end()) {
            it = fragments.emplace(name, ReadFragment(ConfFolderFile(config, name))).first;
            if (!it->second.read && unread != nullptr)
                unread->push_back(ConfFolderFile(config, name));
        }
        if (!it->second.read) {
            SetLastOsError(it->second.error);
            LOG_ASSERT("fp", "Httpd", FragmentFailureLine);
            return;
        }
        AppendCrLf(out, it->second.text);
    }

    // One VirtualHost block. With a forward target that is not empty the
    // block only redirects to it; ssl picks the fragment closing a full block.
    void AppendVirtualHost(const SiteConfig& site, const char* serverName, int port, const char* forward, bool ssl)
    {
        Appendf(out, "<VirtualHost *:%d>\n", port);
        if (forward != nullptr && forward[0] != '\0') {
            Appendf(out, "\tRedirect permanent / %s\n", forward);
        } else {
            Appendf(out, "\tServerName %s\n", serverName);
            Appendf(out, "\tDocumentRoot \"%s\"\n", Conf(site.path_htdocs).text);
            Appendf(out, "\tAlias /contents \"%s\"\n", Conf(site.path_files).text);
            Appendf(out, "\tAlias /cache \"%s\"\n", Conf(site.path_cache).text);
            Appendf(out, "\tphp_admin_value upload_tmp_dir \"%s\"\n", Conf(JoinPath(site.path, "runtime")).text);
            Appendf(out, "\tphp_admin_value system_tmp_dir \"%s\"\n", Conf(JoinPath(site.path, "runtime")).text);
            Appendf(out, "\tphp_value auto_prepend_file \"%s\"\n",
                    Conf(JoinPath(site.path, "serverconfig.php")).text);
            AppendFragment(ssl ? "conf.virtualssl" : "conf.virtual");
        }
        AppendCrLf(out, "</VirtualHost>\n\n");
        Flush(false);
    }

    // Every site with an htdocs folder gets one block per host name:
    // "_default_" for the catch-all site, else each alias up to the first
    // empty one.
    void AppendSiteHosts(int port, const char* forward, bool ssl)
    {
        for (const ListNode* node = config.Sites.first; node != nullptr; node = node->next) {
            const SiteConfig& site = *SiteOf(node);
            if (site.path_htdocs[0] == '\0')
                continue;
            if (IsDefaultSite(site)) {
                AppendVirtualHost(site, "_default_", port, forward, ssl);
                continue;
            }
            for (int i = 0; i < SiteAliasCount && site.aliases[i][0] != '\0'; ++i)
                AppendVirtualHost(site, site.aliases[i], port, forward, ssl);
        }
    }

    // One Directory block per htdocs folder (the set remembers those
    // written, looked up in constant time however many sites there are),
    // one per files folder.
    void AppendDirectories()
    {
        std::unordered_set<std::string> written;
        for (const ListNode* node = config.Sites.first; node != nullptr; node = node->next) {
            const SiteConfig& site = *SiteOf(node);
            if (site.path_htdocs[0] == '\0')
                continue;
            if (written.insert(site.path_htdocs).second) {
                Appendf(out, "<Directory \"%s\">\n", Conf(site.path_htdocs).text);
                AppendFragment("conf.directory");
                AppendCrLf(out, "</Directory>\n\n");
            }
            Appendf(out, "<Directory \"%s\">\n", Conf(site.path_files).text);
            AppendFragment("conf.directory2");
            AppendCrLf(out, "</Directory>\n\n");
            Flush(false);
        }
    }

    void Compose()
    {
        AppendCrLf(out, "## Generated file, do not edit.\n\n");
        AppendFragment("conf.modules");
        AppendDirectories();
        AppendFragment("conf.base");

        Appendf(out, "Listen 127.0.0.1:%d\n", InternalHttpPort);
        Appendf(out, "NameVirtualHost *:%d\n\n", InternalHttpPort);
        size_t before = out.size();
        AppendSiteHosts(InternalHttpPort, nullptr, false);
        // The other listeners take about as much again each (a little more
        // with HTTPS): room made once, not by doubling a text of hundreds of
        // megabytes with many sites.
        size_t section = out.size() - before;
        if (sink == nullptr)
            out.reserve(out.size() + (config.HttpEnabled != 0 ? section : 0) +
                        (config.HttpsEnabled != 0 ? section + section / 2 : 0) + 4096);

        if (config.HttpEnabled != 0) {
            Appendf(out, "Listen %d\n", config.PortNumber);
            Appendf(out, "NameVirtualHost *:%d\n\n", config.PortNumber);
            AppendSiteHosts(config.PortNumber, config.HttpForward, false);
        }

        if (config.HttpsEnabled != 0) {
            Appendf(out, "Listen %d\n", config.HttpsPortNumber);
            Appendf(out, "NameVirtualHost *:%d\n", config.HttpsPortNumber);
            AppendFragment("conf.ssl");
            AppendSiteHosts(config.HttpsPortNumber, config.HttpsForward, true);
        }

        AppendFragment("conf.footer");
        Flush(true);
    }
};

// Values shared by every site's serverconfig.php.
struct PhpCommon {
    std::string ffmpegPath;
    std::string computerName;
    std::string timeZone;
};

PhpCommon MakePhpCommon(const ServerConfig& config)
{
    PhpCommon common;
    common.ffmpegPath = std::string(config.InstallFolder) + (IsNativeX86() ? "/bin/ffmpeg32" : "/bin/ffmpeg") +
                        ExecutableSuffix;
    if (config.FfmpegPathSet)
        common.ffmpegPath = config.FfmpegPath;
    common.computerName = config.HostComputerNameSet ? config.HostComputerName : GetComputerNameText();
    common.timeZone = config.TimeZone[0] != '\0' ? config.TimeZone : DefaultTimeZone;
    return common;
}

// Every text value goes between single quotes escaped by PHP's own rules
// (backslash before backslash and quote), passwords, host and mail values
// included: a quote in a password must not end the string and break every
// page of the site, or inject code into it. Values without either character
// come out as they are stored.
std::string ComposePhp(const ServerConfig& config, const SiteConfig& site, const PhpCommon& common)
{
    const char* install = config.InstallFolder;
    const char* alias = IsDefaultSite(site) ? "_default_" : site.aliases[0];
    std::string out;
    out += "<?php\n";
    out += "// Generated file, do not edit.\n\n";
    Appendf(out, "ini_set('date.timezone', '%s');\n", Php(common.timeZone).text);
    Appendf(out, "ini_set('session.save_path', '%s');\n", Php(JoinPath(site.path, "runtime")).text);
    Appendf(out, "ini_set('session.cookie_path', '%s');\n", Php(JoinPath(site.path, "runtime")).text);
    out += "define('VANTRY_DEBUG', 'false');\n";
    Appendf(out, "define('VANTRY_COMPUTERNAME', '%s');\n", Php(common.computerName).text);
    Appendf(out, "define('VANTRY_VERSION', '%s');\n", ProgramVersion);
    Appendf(out, "define('VANTRY_INSTALL', '%s');\n", Php(install).text);
    Appendf(out, "define('VANTRY_BIN', '%s');\n", Php(JoinPath(install, "bin")).text);
    Appendf(out, "define('VANTRY_LOGS', '%s');\n", Php(JoinPath(install, "logs")).text);
    Appendf(out, "define('VANTRY_BACKUP', '%s');\n", Php(JoinPath(install, "backup")).text);
    Appendf(out, "define('VANTRY_RTMPPORT', %d);\n", config.RtmpPortNumber);
    Appendf(out, "define('VANTRY_HTTPIPORT', %d);\n", InternalHttpPort);
    Appendf(out, "define('VANTRY_VANTRYPORT', %d);\n", VantryPort);
    Appendf(out, "define('VANTRY_SITENAME', '%s');\n", Php(site.name).text);
    Appendf(out, "define('VANTRY_ALIASNAME', '%s');\n", Php(alias).text);
    Appendf(out, "define('VANTRY_SITEPATH', '%s');\n", Php(site.path).text);
    Appendf(out, "define('VANTRY_RUNTIME', '%s');\n", Php(JoinPath(site.path, "runtime")).text);
    Appendf(out, "define('VANTRY_TEMP', '%s');\n", Php(site.path_temp).text);
    Appendf(out, "define('VANTRY_CACHE', '%s');\n", Php(site.path_cache).text);
    Appendf(out, "define('VANTRY_CONTENT', '%s');\n", Php(site.path_files).text);
    Appendf(out, "define('VANTRY_HTDOCS', '%s');\n", Php(site.path_htdocs).text);
    Appendf(out, "define('VANTRY_VTDROLE', %d);\n", config.VtdRole);
    Appendf(out, "define('VANTRY_VTDMASTERNAME', '%s');\n", Php(config.VtdMasterName).text);
    Appendf(out, "define('VANTRY_UDID', '%s');\n", DeviceIdentifier);
    Appendf(out, "define('VANTRY_FFMPEG_PATH', '%s');\n", Php(common.ffmpegPath).text);
    Appendf(out, "define('VANTRY_DBHOST', '%s');\n", Php(site.sql_server).text);
    Appendf(out, "define('VANTRY_DBNAME', '%s');\n", Php(site.sql_database).text);
    Appendf(out, "define('VANTRY_DBUSER', '%s');\n", Php(site.sql_user).text);
    Appendf(out, "define('VANTRY_DBPASSWORD', '%s');\n", Php(site.sql_password).text);
    Appendf(out, "define('VANTRY_SMTP_HOST', '%s');\n", Php(config.SmtpHost).text);
    Appendf(out, "define('VANTRY_SMTP_USER', '%s');\n", Php(config.SmtpUser).text);
    Appendf(out, "define('VANTRY_SMTP_PASSWORD', '%s');\n", Php(config.SmtpPassword).text);
    Appendf(out, "define('VANTRY_SMTP_EMAIL', '%s');\n", Php(config.SmtpEmail).text);
    return out;
}

// Folders and serverconfig.php of every site, also of those without an
// htdocs folder. A file that cannot be written is passed over. A site
// without a site folder is passed over too: its folders and file would
// otherwise land in the root of the file system.
void WriteSiteConfigs(const ServerConfig& config)
{
    PhpCommon common = MakePhpCommon(config);
    for (const ListNode* node = config.Sites.first; node != nullptr; node = node->next) {
        const SiteConfig& site = *SiteOf(node);
        if (site.path[0] == '\0')
            continue;
        CreateFolderPath(JoinPath(site.path, "runtime"));
        CreateFolderPath(site.path_htdocs);
        CreateFolderPath(site.path_temp);
        CreateFolderPath(JoinPath(site.path, "assets"));
        CreateFolderPath(site.path_files);
        CreateFolderPath(site.path_cache);
        // It holds the database and mail passwords: readable by the owner
        // and by the site folder's group (the web server's), no one else.
        WriteFileAtomically(JoinPath(site.path, "serverconfig.php"),
                            ToCrLf(ComposePhp(config, site, common)), {0640, true, true});
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

std::string HttpdConfPath(const ServerConfig& config)
{
    return ConfFolderFile(config, "httpd.conf");
}

std::string ComposeHttpdConf(const ServerConfig& config, std::vector<std::string>* unreadFragments)
{
    ConfComposer composer{config, {}, {}, unreadFragments};
    composer.Compose();
    // Every line already ends in CR LF.
    return std::move(composer.out);
}

void ComposeHttpdConfInPieces(const ServerConfig& config, std::vector<std::string>* unreadFragments,
                              const std::function<void(const std::string&)>& sink)
{
    ConfComposer composer{config, {}, {}, unreadFragments, &sink};
    composer.Compose();
}

std::string ComposeServerConfigPhp(const ServerConfig& config, const SiteConfig& site)
{
    return ToCrLf(ComposePhp(config, site, MakePhpCommon(config)));
}

void WriteWebConfig(const ServerConfig& config)
{
    // Without a conf folder the fragments are not looked for there one by
    // one: WriteWebConfigFrom reports the folder alone.
    std::string path = HttpdConfPath(config);
    bool haveFolder = FolderExists(path.substr(0, path.rfind(PathSeparator)));
    WriteWebConfigFrom(config, haveFolder ? ComposeHttpdConf(config) : std::string());
}

bool WriteWebConfigFrom(const ServerConfig& config, const std::string& httpdConf)
{
    // Where there is no conf folder nothing can be written: that is reported
    // alone, before the fragments would be looked for there one by one.
    std::string path = HttpdConfPath(config);
    if (!FolderExists(path.substr(0, path.rfind(PathSeparator)))) {
        LOG_ASSERT("fconf", "Httpd", ConfFailureLine);
        return false;
    }
    if (!WriteFileAtomically(path, httpdConf, {0644, false, false})) {
        LOG_ASSERT("fconf", "Httpd", ConfFailureLine);
        return false;
    }
    WriteSiteConfigs(config);
    return true;
}
