#include "schema/Init.h"

#include <cstring>

#include "config/Config.h"
#include "database/Database.h"
#include "database/Readers.h"
#include "database/Records.h"
#include "log/Log.h"
#include "net/ClientSocket.h"
#include "platform/FileInfo.h"
#include "schema/ConvertDatabase.h"

namespace {

// Longest path the start-up composes; a longer one is not touched.
constexpr size_t MaxPathLength = 259;
constexpr size_t NameBufferSize = 260;

std::string JoinPath(const std::string& folder, const std::string& name)
{
    std::string path = folder;
    path += PathSeparator;
    path += name;
    return path;
}

// Writes text (or an empty file for none) through a temporary file, with
// each line ending in CR LF. A failure leaves the old file and is not
// reported: the web server then keeps using what is on disk.
void WriteCertificateFile(const std::string& path, const char* text, unsigned mode)
{
    WriteFileAtomically(path, ToCrLfText(text), mode);
}

void WriteCertificateFiles(DbHandle* db)
{
    CertificateRecord* certificate = ReadCertificate(db, "id=%d", Config.HttpsCertificateId);
    if (certificate == nullptr)
        return;
    std::string folder = Config.InstallFolder;
    WriteCertificateFile(folder + "/default.crt", certificate->certificate, 0644);
    WriteCertificateFile(folder + "/default.pvk", certificate->privatekey, 0600);
    FreeRecord(&certificate->head);
}

// Version check, upgrade and the per-start updates of a role-1 server.
void StartSiteDatabase(const SiteConfig* site, DbHandle* db)
{
    // Older releases lack the two time stamps; where they exist (or the
    // table does not) the statements fail, and that is expected.
    ReportSqlErrors = false;
    DbExecute(db, "alter table DatabaseVersion add created datetime after version");
    DbExecute(db, "alter table DatabaseVersion add updated datetime after created");
    ReportSqlErrors = true;

    DatabaseVersionRecord* version = ReadDatabaseVersion(db, "1");
    bool current = version != nullptr && version->version != nullptr &&
                   std::strcmp(version->version, ProgramVersion) == 0;
    if (version != nullptr)
        FreeRecord(&version->head);
    if (!current) {
        UpgradeDatabase(site, db);
        std::string assets = JoinPath(site->path, "assets");
        DeleteFolderTree(assets.c_str());
        Sleep(1000);
        CreateFolderPath(assets);
        UpdateTriggerRequested = true;
    }

    char computerName[NameBufferSize];
    std::memset(computerName, 0, sizeof(computerName));
    CopyText(computerName, GetComputerNameText().c_str());
    char address[NameBufferSize];
    std::memset(address, 0, sizeof(address));
    GetLocalAddress(nullptr, address);

    DbUpdate(db, "update Server set localname='%s', localip='%s', version='%s' where id=1",
             computerName, address, ProgramVersion);
    DbUpdate(db, "update User set status=%d", 4);
    DbUpdate(db, "update Session set status=%d where status=%d", 2, 1);
}

}  // namespace

std::string ToCrLfText(const char* text)
{
    std::string out;
    if (text == nullptr)
        return out;
    size_t length = std::strlen(text);
    out.reserve(length + length / 32 + 2);
    for (size_t i = 0; i < length; i++) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
            out += '\r';
        out += text[i];
    }
    return out;
}

void DeleteFolderTree(const char* path)
{
    if (path == nullptr || std::strlen(path) > MaxPathLength || !IsFolderEntry(path))
        return;
    for (const std::string& name : FindFiles(path, "*")) {
        std::string entry = JoinPath(path, name);
        if (entry.size() > MaxPathLength)
            continue;
        if (IsFolderEntry(entry))
            DeleteFolderTree(entry.c_str());
        else
            RemoveFile(entry);
    }
    RemoveFolder(path);
}

bool StartSiteDatabases()
{
    for (ListNode* node = Config.Sites.first; node != nullptr; node = node->next) {
        const SiteConfig* site = static_cast<const SiteConfig*>(node->item);
        if (site->sql_database[0] == '\0')
            continue;
        DbHandle* db = DbOpen(site, 0);
        if (db == nullptr) {
            LOG_ASSERT("db", "Init", 31);
            return false;
        }
        if (Config.VtdRole == 1)
            StartSiteDatabase(site, db);
        if (std::strcmp(site->name, "default") == 0 && Config.HttpsEnabled != 0)
            WriteCertificateFiles(db);
        DbClose(db);
    }
    return true;
}
