#include "schema/Init.h"

#include <cstring>

#include "config/Config.h"
#include "database/Database.h"
#include "database/Readers.h"
#include "database/Records.h"
#include "log/Log.h"
#include "net/ClientSocket.h"
#include "platform/EarlyStop.h"
#include "platform/Files.h"
#include "platform/Service.h"
#include "platform/Text.h"
#include "schema/ConvertDatabase.h"
#include "schema/UpgradeLock.h"

namespace {

constexpr const char* Unit = "Init";
// Line number of this unit's failure report.
constexpr int HandleFailureLine = 31;

// Longest path the start-up composes; a longer one is not touched.
constexpr size_t MaxPathLength = 259;
constexpr size_t NameBufferSize = 260;

// Writes text (or an empty file for none) through a temporary file, with
// each line ending in CR LF. A failure leaves the old file and is not
// reported: the web server then keeps using what is on disk.
void WriteCertificateFile(const std::string& path, const char* text, NewFileRights rights)
{
    WriteFileAtomically(path, ToCrLf(text != nullptr ? text : ""), rights);
}

void WriteCertificateFiles(const ServerConfig& config, DbHandle* db)
{
    CertificateRecord* certificate = ReadCertificate(db, "id=%d", config.HttpsCertificateId);
    if (certificate == nullptr)
        return;
    std::string folder = config.InstallFolder;
    WriteCertificateFile(folder + "/default.crt", certificate->certificate, {0644, false, false});
    // The private key is for its owner alone, whatever the file it replaces.
    WriteCertificateFile(folder + "/default.pvk", certificate->privatekey, {0600, false, true});
    FreeRecord(&certificate->head);
}

// Version check, upgrade and the per-start updates of a role-1 server;
// true when the database was upgraded.
bool StartSiteDatabase(const SiteConfig* site, DbHandle* db)
{
    // Older releases lack the two time stamps; where they exist (or the
    // table does not) the statements fail, and that is expected.
    DbExecuteQuiet(db, "alter table DatabaseVersion add created datetime after version");
    DbExecuteQuiet(db, "alter table DatabaseVersion add updated datetime after created");

    DatabaseVersionRecord* version = ReadDatabaseVersion(db, "1");
    bool current = version != nullptr && version->version != nullptr &&
                   std::strcmp(version->version, ProgramVersion) == 0;
    if (version != nullptr)
        FreeRecord(&version->head);
    if (!current) {
        ServiceSetProgress(std::string("Upgrading the database of site ") + site->name);
        UpgradeDatabase(site, db);
        // An upgrade cut short by a stop is done again at the next start;
        // the assets folder is rebuilt after a whole one.
        if (EarlyStopRequested())
            return true;
        std::string assets = JoinPath(site->path, "assets");
        DeleteFolderTree(assets.c_str());
        // Where the system completes a deletion later, the folder must be
        // gone before it is created anew.
        Sleep(FolderRemovalPauseMilliseconds);
        CreateFolderPath(assets);
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
    return !current;
}

}  // namespace

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

SiteDatabasesResult StartSiteDatabases(const ServerConfig& config, unsigned connectAttempts)
{
    SiteDatabasesResult result{true, false, {}, false};
    for (ListNode* node = config.Sites.first; node != nullptr; node = node->next) {
        const SiteConfig* site = static_cast<const SiteConfig*>(node->item);
        if (site->sql_database[0] == '\0')
            continue;
        if (EarlyStopRequested()) {
            result.stopped = true;
            return result;
        }
        ServiceSetProgress(std::string("Checking the database of site ") + site->name);
        DbHandle* db = DbOpen(site, DbMode::Direct, connectAttempts);
        if (db == nullptr) {
            LOG_ASSERT("db", Unit, HandleFailureLine);
            result.completed = false;
            return result;
        }
        if (!DbIsConnected(db) && (EarlyStopRequested() || connectAttempts != 0)) {
            // Not waited for: the site is left as it is.
            DbClose(db);
            if (EarlyStopRequested()) {
                result.stopped = true;
                return result;
            }
            result.unreachable.emplace_back(site->name);
            continue;
        }
        if (config.VtdRole == 1) {
            // Other nodes may share this database server: the check and the
            // upgrade run under the server's lock for this database, so
            // one node upgrades and the others find the current version. A
            // server that cannot take the lock does the work without it.
            std::string lockName = UpgradeLockName(site->sql_database);
            UpgradeLock lock = TakeUpgradeLock(db, site->name, lockName);
            if (lock == UpgradeLock::Stopped) {
                DbClose(db);
                result.stopped = true;
                return result;
            }
            if (StartSiteDatabase(site, db))
                result.upgraded = true;
            if (lock == UpgradeLock::Held)
                ReleaseUpgradeLock(db, lockName);
        }
        if (IsDefaultSite(*site) && config.HttpsEnabled != 0)
            WriteCertificateFiles(config, db);
        DbClose(db);
    }
    return result;
}
