// Table readers and writers against a private MariaDB server.
#include <cerrno>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "MariaDbServer.h"
#include "database/Database.h"
#include "database/Readers.h"
#include "database/Tables.h"
#include "platform/Platform.h"

namespace {

// The creation statement of a table, built from its definition.
std::string CreateStatement(const TableDef& table)
{
    std::vector<std::string> parts;
    for (size_t i = 0; i < table.columnCount; ++i)
        parts.push_back(std::string(table.columns[i].name) + " " + table.columns[i].type);
    if (table.primaryKey != nullptr)
        parts.push_back(std::string("PRIMARY KEY(") + table.primaryKey + ")");
    for (size_t i = 0; i < table.keyCount; ++i)
        parts.push_back(std::string("KEY ") + table.keys[i].name + "(" + table.keys[i].column + ")");
    std::string statement = std::string("create table ") + table.name + "(";
    for (size_t i = 0; i < parts.size(); ++i)
        statement += (i == 0 ? " " : ", ") + parts[i];
    return statement + " ) ENGINE=MyISAM";
}

class ReadersTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { MariaDbServer::Shared(); }

    void SetUp() override
    {
        ASSERT_TRUE(server.Running() || server.Start());
        ReportSqlErrors = true;
        site = server.CreateDatabase("vtd_readers");
        db = DbOpen(&site, DbMode::Direct);
        ASSERT_NE(db, nullptr);
        for (const char* name : {"Object", "File", "TranscodeObject", "Server", "DatabaseVersion", "Certificate",
                                 "FolderImport", "TranscodeTemplate"}) {
            const TableDef* table = FindSiteTable(name);
            ASSERT_NE(table, nullptr) << name;
            ASSERT_TRUE(DbExecute(db, "%s", CreateStatement(*table).c_str())) << name;
        }
        ASSERT_TRUE(DbExecute(db, "create view VFile as (select Object.*, File.* from Object, File "
                                  "where Object.id=File.objectid)"));
    }
    void TearDown() override { DbClose(db); }

    MariaDbServer& server = MariaDbServer::Shared();
    SiteConfig site;
    DbHandle* db = nullptr;
};

TEST_F(ReadersTest, ObjectReaderKeepsNullApartFromEmptyAndTakesTheFirstRow)
{
    ASSERT_TRUE(DbExecute(db, "insert into Object (id, name, doctext, pathname, parentid, size, duration, recordings, "
                              "version) values (5, '', NULL, '', 1, 6000000000, -2, 1, NULL)"));
    ASSERT_TRUE(DbExecute(db, "insert into Object (id, name, parentid) values (9, 'second', 1), (7, 'third', 1)"));

    testing::internal::CaptureStderr();
    ObjectRecord* object = ReadObject(db, "id=%d", 5);
    ObjectRecord* none = ReadObject(db, "id=%d", 999);
    ObjectRecord* first = ReadObject(db, "parentid=%d", 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->head.kind, KindObject);
    EXPECT_EQ(object->head.next, nullptr);
    ASSERT_NE(object->head.name, nullptr);
    EXPECT_STREQ(object->head.name, "");
    EXPECT_EQ(object->doctext, nullptr);
    ASSERT_NE(object->pathname, nullptr);
    EXPECT_STREQ(object->pathname, "");
    EXPECT_EQ(object->id, 5);
    EXPECT_EQ(object->parentid, 1);
    EXPECT_EQ(object->size, 6000000000LL);
    EXPECT_EQ(object->duration, -2);
    EXPECT_EQ(object->recordings, 1);
    EXPECT_EQ(object->version, 0);  // NULL
    EXPECT_EQ(object->updated, nullptr);

    EXPECT_EQ(none, nullptr);

    char expected[64];
    DbQueryValue(db, expected, sizeof expected, "select id from Object where parentid=1");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(std::to_string(first->id), expected);

    FreeRecord(&object->head);
    FreeRecord(&first->head);
}

TEST_F(ReadersTest, TranscodeObjectInsertAndReadKeepSizesAboveFourGigabytesAndQuotedTexts)
{
    const long long size = 5LL * 1024 * 1024 * 1024 + 3;
    uint32_t id = InsertTranscodeObject(db, 0, 12, 3, 3, "it's a\\b.mp4", 4, size, 800000, "");
    ASSERT_NE(id, 0u);
    uint32_t next = InsertTranscodeObject(db, 0, 12, 4, 1, nullptr, 0, -1, 0, nullptr);
    EXPECT_EQ(next, id + 1);

    TranscodeObjectRecord* record = ReadTranscodeObject(db, "fileid=%d and status=%d", 12, 3);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->head.kind, KindTranscodeObject);
    EXPECT_EQ(static_cast<uint32_t>(record->id), id);
    EXPECT_EQ(record->templateid, 3);
    EXPECT_EQ(record->size, size);
    EXPECT_EQ(record->bitrate, 800000);
    EXPECT_EQ(record->views, 4);
    EXPECT_STREQ(record->pathname, "it's a\\b.mp4");
    EXPECT_STREQ(record->message, "");
    FreeRecord(&record->head);

    record = ReadTranscodeObject(db, "id=%u", next);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->size, -1);
    EXPECT_STREQ(record->pathname, "");
    FreeRecord(&record->head);
}

TEST_F(ReadersTest, DatabaseVersionIsStampedWithTheServerTime)
{
    EXPECT_EQ(InsertDatabaseVersion(db, "15.0.11"), 0u);
    DatabaseVersionRecord* version = ReadDatabaseVersion(db, "1");
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version->head.kind, KindDatabaseVersion);
    EXPECT_STREQ(version->version, "15.0.11");
    ASSERT_NE(version->created, nullptr);
    EXPECT_EQ(std::string(version->created).size(), 19u) << version->created;  // YYYY-MM-DD HH:MM:SS
    EXPECT_STREQ(version->created, version->updated);
    FreeRecord(&version->head);
}

TEST_F(ReadersTest, VFileReaderTakesObjectColumnsThenFileColumns)
{
    ASSERT_TRUE(DbExecute(db, "insert into Object (id, name, type, version) values (3, 'clip', 2, 8)"));
    ASSERT_TRUE(DbExecute(db, "insert into File (objectid, filetype, mimetype, http_proxy, recordmode) "
                              "values (3, 2, 'video/mp4', 1, 6)"));
    VFileRecord* file = ReadVFile(db, "id=%d", 3);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->head.kind, KindVFile);
    EXPECT_STREQ(file->head.name, "clip");
    EXPECT_EQ(file->type, 2);
    EXPECT_EQ(file->version, 8);
    EXPECT_EQ(file->objectid, 3);
    EXPECT_EQ(file->filetype, 2);
    EXPECT_STREQ(file->mimetype, "video/mp4");
    EXPECT_EQ(file->http_proxy, 1);
    EXPECT_EQ(file->recordmode, 6);
    FreeRecord(&file->head);
}

TEST_F(ReadersTest, FailingSelectsReportTheirUnitAndLine)
{
    struct Case {
        const char* line;
        DbRecord* (*read)(DbHandle*);
    };
    const Case cases[] = {
        {"ASSERT(b) failed at DatabaseVersion:106", [](DbHandle* h) { return reinterpret_cast<DbRecord*>(ReadDatabaseVersion(h, "id=")); }},
        {"ASSERT(b) failed at Certificate:233", [](DbHandle* h) { return reinterpret_cast<DbRecord*>(ReadCertificate(h, "id=")); }},
        {"ASSERT(b) failed at FolderImport:179", [](DbHandle* h) { return reinterpret_cast<DbRecord*>(ReadFolderImport(h, "id=")); }},
        {"ASSERT(b) failed at Object:377", [](DbHandle* h) { return reinterpret_cast<DbRecord*>(ReadObject(h, "id=")); }},
        {"ASSERT(b) failed at VFile:542", [](DbHandle* h) { return reinterpret_cast<DbRecord*>(ReadVFile(h, "id=")); }},
        {"ASSERT(b) failed at TranscodeObject:141", [](DbHandle* h) { return reinterpret_cast<DbRecord*>(ReadTranscodeObject(h, "id=")); }},
        {"ASSERT(b) failed at Server:396", [](DbHandle* h) { return reinterpret_cast<DbRecord*>(ReadServer(h, "id=")); }},
        {"ASSERT(b) failed at TranscodeTemplate:231",
         [](DbHandle* h) { return reinterpret_cast<DbRecord*>(ReadTranscodeTemplate(h, "id=")); }},
    };
    for (const Case& c : cases) {
        // An OS error left over from earlier work did not cause the refusal:
        // the report carries no OS error text.
        SetLastOsError(EAGAIN);
        testing::internal::CaptureStderr();
        EXPECT_EQ(c.read(db), nullptr);
        std::string text = testing::internal::GetCapturedStderr();
        size_t error = text.find("SQL ERROR: ");
        size_t report = text.find(std::string("ERROR: ") + c.line + "\n");
        EXPECT_NE(error, std::string::npos) << text;
        EXPECT_NE(report, std::string::npos) << text;
        EXPECT_LT(error, report) << text;
        EXPECT_EQ(text.find("SQL ERROR: ", error + 1), std::string::npos) << text;
    }

    // Silent statement layer: only the reader's own line.
    ReportSqlErrors = false;
    testing::internal::CaptureStderr();
    EXPECT_EQ(ReadServer(db, "id="), nullptr);
    std::string text = testing::internal::GetCapturedStderr();
    ReportSqlErrors = true;
    EXPECT_EQ(text.find("SQL ERROR"), std::string::npos) << text;
    EXPECT_NE(text.find("ASSERT(b) failed at Server:396"), std::string::npos) << text;
}

TEST_F(ReadersTest, ConditionLongerThanTheStatementBufferIsRefusedNotCut)
{
    // Cut at the buffer's end this condition would read "id=1" and select a row.
    ASSERT_TRUE(DbExecute(db, "insert into Server (id, title) values (1, 'local')"));
    std::string padding(StatementBufferSize, ' ');
    testing::internal::CaptureStderr();
    ServerRecord* record = ReadServer(db, "id=1%s and id=2", padding.c_str());
    std::string text = testing::internal::GetCapturedStderr();
    EXPECT_EQ(record, nullptr);
    EXPECT_NE(text.find("ASSERT(b) failed at Server:396"), std::string::npos) << text;
    EXPECT_EQ(text.find("SQL ERROR"), std::string::npos) << text;

    record = ReadServer(db, "id=%d", 1);
    ASSERT_NE(record, nullptr);
    EXPECT_STREQ(record->title, "local");
    FreeRecord(&record->head);
}

}  // namespace
