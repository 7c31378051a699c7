// The data steps that end an upgrade: one-time migrations for databases of
// the 6.4 releases (or without a stamp), the version stamp, and the clean-up
// of the site's runtime *.bin files.
#include <cstring>
#include <string>

#include "database/Readers.h"
#include "database/Records.h"
#include "log/Log.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "schema/ConvertDatabase.h"
#include "schema/Helper.h"
#include "schema/WsContentHelper.h"

namespace {

constexpr const char* Unit = "ConvertDatabase";
// Line numbers of this unit's failure reports: the select, then its result.
constexpr int CourseSelectLine = 393;
constexpr int CourseResultLine = 396;
constexpr int RecordingsSelectLine = 416;
constexpr int RecordingsResultLine = 419;
constexpr int FileSelectLine = 548;
constexpr int FileResultLine = 551;

// A stamped version containing this text still needs the data migrations.
constexpr const char* MigrationMark = "6.4.";

constexpr const char* DefaultHeader =
    "<div style=\\'height: 70px;\\'><p style=\\'padding-top: 12px; padding-left: 10px;\\'>"
    "<strong><span style=\\'font-size: x-large;\\'>Vantry</span><br />"
    "<span style=\\'font-size: medium;\\'>Virtual Learning Environment</span></strong></p></div>";

// Runs a select and takes its whole result set. On failure reports the
// condition at the given lines and gives null.
DbResult* SelectAll(DbHandle* db, const char* statement, int selectLine, int resultLine)
{
    if (!DbExecute(db, "%s", statement)) {
        LOG_ASSERT("b", Unit, selectLine);
        return nullptr;
    }
    DbResult* result = DbStoreResult(db);
    if (result == nullptr)
        LOG_ASSERT("result", Unit, resultLine);
    return result;
}

// Step B: the site header of the Server row, when it has none.
void SetDefaultHeader(DbHandle* db)
{
    ServerRecord* server = ReadServer(db, "id=1");
    if (server == nullptr)
        return;
    if (server->header == nullptr || server->header[0] == '\0')
        DbUpdate(db, "update Server set header='%s' where id=1", DefaultHeader);
    FreeRecord(&server->head);
}

// Step C: a course without a recordings folder gets the first recordings
// folder directly below it.
bool LinkCourseRecordings(DbHandle* db)
{
    DbResult* result = SelectAll(db, "select * from Course", CourseSelectLine, CourseResultLine);
    if (result == nullptr)
        return false;
    while (char** row = DbFetchRow(result)) {
        CourseRecord course;
        ParseCourseRow(&course, row, DbColumnCount(result));
        if (course.recordingid != 0 || course.objectid == 1)
            continue;
        ObjectRecord* folder = ReadObject(db, "parentid=%d and recordings", course.objectid);
        if (folder == nullptr)
            continue;
        DbUpdate(db, "update course set recordingid=%d where objectid=%d", folder->id, course.objectid);
        FreeRecord(&folder->head);
    }
    DbFreeResult(result);
    return true;
}

// Step D: a recordings folder inside another recordings folder, or inside
// "Personal Folders", is an ordinary folder.
bool ClearNestedRecordings(DbHandle* db)
{
    DbResult* result = SelectAll(db, "select * from Object where recordings", RecordingsSelectLine, RecordingsResultLine);
    if (result == nullptr)
        return false;
    while (char** row = DbFetchRow(result)) {
        ObjectRecord object;
        ParseObjectRow(&object, row, DbColumnCount(result));
        ObjectRecord* parent = ReadObject(db, "id=%d", object.parentid);
        if (parent == nullptr)
            continue;
        bool personal = parent->head.name != nullptr && std::strcmp(parent->head.name, "Personal Folders") == 0;
        if (parent->recordings || personal)
            DbUpdate(db, "update Object set recordings=false where id=%d", object.id);
        FreeRecord(&parent->head);
    }
    DbFreeResult(result);
    return true;
}

// Step E: the parent lists of everything reachable from the root.
void RefreshParentLists(DbHandle* db)
{
    ObjectRecord* root = ReadObject(db, "id=1");
    if (root == nullptr)
        return;
    UpdateParentLists(db, root);
    FreeRecord(&root->head);
}

void AddCachedRendition(DbHandle* db, const std::string& path, const char* pathname, int fileId,
                        const TranscodeTemplateRecord* preset)
{
    if (!FileExists(path.c_str()))
        return;
    InsertTranscodeObject(db, 0, fileId, preset->id, 3, pathname, 0, GetFileSize64(path.c_str()),
                          ParseBitrate(preset->videobitrate), "");
}

// Step F: renditions already in the cache folder get their TranscodeObject
// rows (status 3), for the active template or else the first one.
bool RegisterCachedRenditions(const SiteConfig* site, DbHandle* db)
{
    TranscodeTemplateRecord* preset = ReadTranscodeTemplate(db, "active");
    if (preset == nullptr)
        preset = ReadTranscodeTemplate(db, "1");
    if (preset == nullptr)
        return true;
    DbResult* result = SelectAll(db, "select * from VFile", FileSelectLine, FileResultLine);
    if (result == nullptr) {
        FreeRecord(&preset->head);
        return false;
    }
    while (char** row = DbFetchRow(result)) {
        VFileRecord file;
        ParseVFileRow(&file, row, DbColumnCount(result));
        if (file.filetype != 2)
            continue;
        TranscodeObjectRecord* done = ReadTranscodeObject(db, "fileid=%d and status=%d", file.id, 3);
        if (done != nullptr) {
            FreeRecord(&done->head);
            continue;
        }
        std::string cache = site->path_cache;
        std::string plain = std::to_string(file.id) + ".flv";
        AddCachedRendition(db, JoinPath(cache, plain), plain.c_str(), file.id, preset);
        std::string specific = std::to_string(file.id) + "-" + std::to_string(preset->id) + ".flv";
        AddCachedRendition(db, JoinPath(cache, specific), specific.c_str(), file.id, preset);
    }
    DbFreeResult(result);
    FreeRecord(&preset->head);
    return true;
}

// Step H: the runtime *.bin files (any letter case of the extension) go,
// except state.bin.
void CleanRuntimeFolder(const SiteConfig* site)
{
    std::string folder = JoinPath(site->path, "runtime");
    for (const std::string& name : FindFiles(folder, "*.[bB][iI][nN]")) {
        if (name[0] == '.' || name.find_first_of("$:") != std::string::npos || name == "state.bin")
            continue;
        RemoveFile(JoinPath(folder, name));
    }
}

}  // namespace

void MigrateSiteData(const SiteConfig* site, DbHandle* db)
{
    // Step A. A row whose version is NULL carries no usable stamp: its data
    // is migrated like that of a database without a row (the steps change
    // only rows that still need it).
    DatabaseVersionRecord* version = ReadDatabaseVersion(db, "1");
    bool stamped = version != nullptr;
    bool migrate = version == nullptr || version->version == nullptr ||
                   std::strstr(version->version, MigrationMark) != nullptr;
    if (version != nullptr)
        FreeRecord(&version->head);

    if (migrate) {
        SetDefaultHeader(db);
        if (!LinkCourseRecordings(db) || !ClearNestedRecordings(db))
            return;
        RefreshParentLists(db);
        if (!RegisterCachedRenditions(site, db))
            return;
    }

    // Step G: the stamp; without a row one is added.
    if (stamped)
        DbUpdate(db, "update databaseversion set version='%s', updated=now()", ProgramVersion);
    else
        DbInsert(db, "insert into DatabaseVersion values ('%s', now(), now())", ProgramVersion);

    CleanRuntimeFolder(site);
}
