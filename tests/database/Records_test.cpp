// Record kinds: the table list they come from, deep copies, release of
// chains, row parsing by column position, and the reports for damaged kinds.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "database/Readers.h"
#include "database/Records.h"
#include "database/Tables.h"

namespace {

char* Owned(const char* text)
{
    char* copy = static_cast<char*>(std::malloc(std::strlen(text) + 1));
    std::strcpy(copy, text);
    return copy;
}

bool HasColumn(const TableDef& table, const std::string& name)
{
    for (size_t i = 0; i < table.columnCount; ++i) {
        if (name == table.columns[i].name)
            return true;
    }
    return false;
}

TEST(TablesTest, KeysNameColumnsOfTheirTableAndLayoutMatchesTheTableRules)
{
    const TableDef* tables = SiteTables();
    int autoNumbered = 0;
    for (size_t t = 0; t < SiteTableCount; ++t) {
        const TableDef& table = tables[t];
        SCOPED_TRACE(table.name);
        EXPECT_EQ(FindSiteTable(table.name), &table);
        if (std::string(table.columns[0].type) == "int auto_increment") {
            ++autoNumbered;
            EXPECT_STREQ(table.columns[0].name, "id");
            EXPECT_STREQ(table.primaryKey, "id");
        }
        for (size_t c = 1; c < table.columnCount; ++c)
            EXPECT_STRNE(table.columns[c].type, "int auto_increment");
        if (table.primaryKey != nullptr) {
            std::string keys = table.primaryKey;
            for (size_t start = 0, comma; start <= keys.size(); start = comma + 1) {
                comma = keys.find(',', start);
                if (comma == std::string::npos)
                    comma = keys.size();
                EXPECT_TRUE(HasColumn(table, keys.substr(start, comma - start))) << keys;
            }
        }
        for (size_t k = 0; k < table.keyCount; ++k)
            EXPECT_TRUE(HasColumn(table, table.keys[k].column)) << table.keys[k].name;
    }
    EXPECT_EQ(autoNumbered, 46);

    struct Expected {
        const char* table;
        size_t position;  // 1-based
        size_t columns;
        const char* column;
        const char* type;
    };
    const Expected cases[] = {
        {"UserEnrollment", 1, 3, "id", "int auto_increment"},
        {"Object", 19, 33, "recordings", "bool"},
        {"Object", 13, 33, "size", "bigint"},
        {"File", 4, 17, "http_proxy", "bool"},
        {"Course", 11, 11, "enddate", "date"},
        {"User", 3, 32, "name", "varchar(200)"},
        {"TranscodeObject", 7, 9, "size", "bigint"},
        {"QuizAttempt", 9, 9, "result", "double"},
        {"DatabaseVersion", 2, 3, "created", "datetime"},
        {"UsageExportTemplate", 9, 9, "targetfile", "varchar(1024)"},
    };
    for (const Expected& e : cases) {
        const TableDef* table = FindSiteTable(e.table);
        ASSERT_NE(table, nullptr) << e.table;
        ASSERT_EQ(table->columnCount, e.columns) << e.table;
        EXPECT_STREQ(table->columns[e.position - 1].name, e.column) << e.table;
        EXPECT_STREQ(table->columns[e.position - 1].type, e.type) << e.table;
    }
    EXPECT_STREQ(tables[0].name, "UserEnrollment");
    EXPECT_STREQ(tables[SiteTableCount - 1].name, "UsageExportTemplate");
    EXPECT_EQ(FindSiteTable("databaseversion"), FindSiteTable("DatabaseVersion"));
    EXPECT_EQ(FindSiteTable("VFile"), nullptr);
    EXPECT_EQ(FindSiteTable(nullptr), nullptr);
    EXPECT_STREQ(FindSiteTable("Favorite")->primaryKey, "userid,id");
    EXPECT_EQ(FindSiteTable("DatabaseVersion")->primaryKey, nullptr);
}

TEST(RecordsTest, KindNumbersFollowTheCreationOrderWithViewsAndKind48)
{
    EXPECT_EQ(KindUserEnrollment, 1);
    EXPECT_EQ(KindObject, 21);
    EXPECT_EQ(KindVFile, 23);
    EXPECT_EQ(KindVCourse, 25);
    EXPECT_EQ(KindRecordSession, 47);
    EXPECT_EQ(KindContact, 49);
    EXPECT_EQ(KindDatabaseVersion, 55);
    EXPECT_EQ(KindUsageExportTemplate, 61);
}

// A row whose n-th column holds the text of n (1-based), with nulls where asked.
struct NumberedRow {
    std::vector<std::string> texts;
    std::vector<char*> columns;
    explicit NumberedRow(size_t count)
    {
        for (size_t i = 1; i <= count; ++i)
            texts.push_back(std::to_string(i));
        for (std::string& text : texts)
            columns.push_back(text.data());
    }
    char** Row() { return columns.data(); }
};

TEST(RecordsTest, RowParsersTakeEachColumnByPositionAndNameIntoTheHead)
{
    NumberedRow objectRow(33);
    ObjectRecord object;
    ASSERT_EQ(ParseObjectRow(&object, objectRow.Row()), &object);
    EXPECT_EQ(object.head.kind, KindObject);
    EXPECT_EQ(object.head.next, nullptr);
    EXPECT_EQ(object.head.name, objectRow.columns[1]);  // borrowed, not copied
    EXPECT_EQ(object.id, 1);
    EXPECT_EQ(object.authorid, 3);
    EXPECT_STREQ(object.doctext, "4");
    EXPECT_EQ(object.size, 13);
    EXPECT_EQ(object.recordings, 19);
    EXPECT_STREQ(object.pathname, "28");
    EXPECT_EQ(object.version, 33);

    NumberedRow vfileRow(50);
    VFileRecord vfile;
    ParseVFileRow(&vfile, vfileRow.Row());
    EXPECT_EQ(vfile.head.kind, KindVFile);
    EXPECT_STREQ(vfile.head.name, "2");
    EXPECT_EQ(vfile.version, 33);
    EXPECT_EQ(vfile.objectid, 34);
    EXPECT_EQ(vfile.filetype, 35);
    EXPECT_EQ(vfile.http_proxy, 37);
    EXPECT_EQ(vfile.recordmode, 50);

    NumberedRow courseRow(11);
    courseRow.columns[9] = nullptr;
    CourseRecord course;
    ParseCourseRow(&course, courseRow.Row());
    EXPECT_EQ(course.head.kind, KindCourse);
    EXPECT_EQ(course.head.name, nullptr);
    EXPECT_EQ(course.usedate, 9);
    EXPECT_EQ(course.startdate, nullptr);
    EXPECT_STREQ(course.enddate, "11");

    // A row from an older layout with fewer columns: only those are read, the
    // others come out as for SQL NULL (the row array is never read past its end).
    NumberedRow shortRow(3);
    ObjectRecord partial;
    ParseObjectRow(&partial, shortRow.Row(), shortRow.columns.size());
    EXPECT_EQ(partial.id, 1);
    EXPECT_STREQ(partial.head.name, "2");
    EXPECT_EQ(partial.authorid, 3);
    EXPECT_EQ(partial.doctext, nullptr);
    EXPECT_EQ(partial.version, 0);
}

TEST(RecordsTest, RowParsersConvertNumbersLikeAtoiAndKeepNullApartFromEmpty)
{
    struct Case {
        const char* id;          // 32-bit column
        const char* size;        // 64-bit column
        const char* pathname;    // text column
        int32_t expectedId;
        int64_t expectedSize;
    };
    const Case cases[] = {
        {"42", "5368709120", "a.mp4", 42, 5368709120LL},
        {"  -7xyz", "+12 MB", "", -7, 12},
        {"abc", "", "x", 0, 0},
        {nullptr, nullptr, nullptr, 0, 0},
        {"99999999999", "99999999999999999999", "y", INT32_MAX, INT64_MAX},
        {"-99999999999", "-99999999999999999999", "z", INT32_MIN, INT64_MIN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id ? c.id : "NULL");
        char* row[9] = {const_cast<char*>(c.id), nullptr, nullptr, nullptr, const_cast<char*>(c.pathname),
                        nullptr, const_cast<char*>(c.size), nullptr, nullptr};
        TranscodeObjectRecord record;
        ParseTranscodeObjectRow(&record, row);
        EXPECT_EQ(record.id, c.expectedId);
        EXPECT_EQ(record.size, c.expectedSize);
        EXPECT_EQ(record.fileid, 0);
        EXPECT_EQ(record.pathname, c.pathname);
        EXPECT_EQ(record.message, nullptr);
    }
}

TEST(RecordsTest, InitClearsEveryMemberAndSetsTheKind)
{
    ObjectRecord object;
    std::memset(&object, 0x5a, sizeof object);
    InitObject(&object);
    EXPECT_EQ(object.head.kind, KindObject);
    EXPECT_EQ(object.head.name, nullptr);
    EXPECT_EQ(object.head.next, nullptr);
    EXPECT_EQ(object.doctext, nullptr);
    EXPECT_EQ(object.size, 0);
    EXPECT_EQ(object.version, 0);
    TextPairRecord pair;
    std::memset(&pair, 0x5a, sizeof pair);
    InitTextPair(&pair);
    EXPECT_EQ(pair.head.kind, 48);
    EXPECT_EQ(pair.first, nullptr);
    EXPECT_EQ(pair.second, nullptr);
}

TEST(RecordsTest, CloneOfAMixedChainIsDeepAndKeepsNullApartFromEmpty)
{
    auto* object = static_cast<ObjectRecord*>(std::malloc(sizeof(ObjectRecord)));
    InitObject(object);
    object->head.name = Owned("lecture");
    object->doctext = nullptr;
    object->pathname = Owned("");
    object->id = 7;
    object->duration = -3;
    auto* transcode = static_cast<TranscodeObjectRecord*>(std::malloc(sizeof(TranscodeObjectRecord)));
    InitTranscodeObject(transcode);
    transcode->size = 5LL * 1024 * 1024 * 1024 + 1;
    transcode->pathname = Owned("7_1.mp4");
    auto* pair = static_cast<TextPairRecord*>(std::malloc(sizeof(TextPairRecord)));
    InitTextPair(pair);
    pair->second = Owned("b");
    auto* bookmark = static_cast<BookmarkRecord*>(std::malloc(sizeof(BookmarkRecord)));
    InitBookmark(bookmark);
    bookmark->volume = 0.75;
    bookmark->height = 480;
    object->head.next = &transcode->head;
    transcode->head.next = &pair->head;
    pair->head.next = &bookmark->head;

    auto* copy = reinterpret_cast<ObjectRecord*>(CloneRecord(&object->head));
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, object);
    EXPECT_EQ(copy->head.kind, KindObject);
    EXPECT_STREQ(copy->head.name, "lecture");
    EXPECT_NE(copy->head.name, object->head.name);
    EXPECT_EQ(copy->doctext, nullptr);
    ASSERT_NE(copy->pathname, nullptr);
    EXPECT_STREQ(copy->pathname, "");
    EXPECT_NE(copy->pathname, object->pathname);
    EXPECT_EQ(copy->id, 7);
    EXPECT_EQ(copy->duration, -3);

    auto* transcodeCopy = reinterpret_cast<TranscodeObjectRecord*>(copy->head.next);
    ASSERT_NE(transcodeCopy, nullptr);
    EXPECT_NE(transcodeCopy, transcode);
    EXPECT_EQ(transcodeCopy->head.kind, KindTranscodeObject);
    EXPECT_EQ(transcodeCopy->size, 5LL * 1024 * 1024 * 1024 + 1);
    EXPECT_STREQ(transcodeCopy->pathname, "7_1.mp4");
    EXPECT_NE(transcodeCopy->pathname, transcode->pathname);

    auto* pairCopy = reinterpret_cast<TextPairRecord*>(transcodeCopy->head.next);
    ASSERT_NE(pairCopy, nullptr);
    EXPECT_EQ(pairCopy->head.kind, KindTextPair);
    EXPECT_EQ(pairCopy->first, nullptr);
    EXPECT_STREQ(pairCopy->second, "b");

    auto* bookmarkCopy = reinterpret_cast<BookmarkRecord*>(pairCopy->head.next);
    ASSERT_NE(bookmarkCopy, nullptr);
    EXPECT_EQ(bookmarkCopy->volume, 0.75);
    EXPECT_EQ(bookmarkCopy->height, 480);
    EXPECT_EQ(bookmarkCopy->head.next, nullptr);

    // Releasing the original leaves the copy whole; both are freed completely
    // (the sanitizer build reports any leak or double release).
    FreeRecord(&object->head);
    EXPECT_STREQ(transcodeCopy->pathname, "7_1.mp4");
    FreeObject(copy);
}

TEST(RecordsTest, NullRecordsAndKindZero)
{
    EXPECT_EQ(CloneRecord(nullptr), nullptr);
    FreeRecord(nullptr);
    EXPECT_EQ(CloneObject(nullptr), nullptr);
    FreeObject(nullptr);

    // Kind 0 copies its name only and is released without its chain;
    // FreeRecord leaves it alone.
    auto* named = static_cast<NamedRecord*>(std::malloc(sizeof(NamedRecord)));
    InitNamed(named);
    named->head.name = Owned("tag");
    auto* alias = static_cast<AliasRecord*>(std::malloc(sizeof(AliasRecord)));
    InitAlias(alias);
    alias->url = Owned("/x");
    named->head.next = &alias->head;

    DbRecord* copy = CloneRecord(&named->head);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->kind, KindNamed);
    EXPECT_STREQ(copy->name, "tag");
    EXPECT_EQ(copy->next, nullptr);
    FreeRecord(copy);  // nothing released
    FreeNamed(reinterpret_cast<NamedRecord*>(copy));

    // A kind-0 record inside a chain ends the copy.
    auto* comment = static_cast<CommentRecord*>(std::malloc(sizeof(CommentRecord)));
    InitComment(comment);
    comment->head.next = &named->head;
    auto* commentCopy = CloneComment(comment);
    ASSERT_NE(commentCopy, nullptr);
    ASSERT_NE(commentCopy->head.next, nullptr);
    EXPECT_EQ(commentCopy->head.next->kind, KindNamed);
    EXPECT_EQ(commentCopy->head.next->next, nullptr);
    FreeNamed(reinterpret_cast<NamedRecord*>(commentCopy->head.next));
    commentCopy->head.next = nullptr;
    FreeComment(commentCopy);

    comment->head.next = nullptr;
    FreeComment(comment);
    FreeNamed(named);  // alias stays, released on its own
    FreeAlias(alias);
}

TEST(RecordsTest, DamagedKindNumbersAreReportedOrIgnoredAsTheirRangeSays)
{
    const std::string cloneBox = "The (FALSE) condition failed at vantry6_def:405";
    const std::string freeBox = "The (FALSE) condition failed at vantry6_def:604";
    struct Case {
        int32_t kind;
        bool cloneReported;
        bool freeReported;
    };
    const Case cases[] = {{62, true, true}, {70, true, true}, {100, true, true},
                          {101, true, false}, {200, true, false}, {-1, true, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        // Big enough for any kind, so that a wrong dispatch shows up as a
        // sanitizer report rather than passing by luck.
        auto* record = static_cast<DbRecord*>(std::calloc(1, 4096));
        record->kind = c.kind;
        record->name = Owned("kept");

        testing::internal::CaptureStderr();
        EXPECT_EQ(CloneRecord(record), nullptr);
        std::string text = testing::internal::GetCapturedStderr();
        EXPECT_EQ(text.find(cloneBox) != std::string::npos, c.cloneReported) << text;

        testing::internal::CaptureStderr();
        FreeRecord(record);
        text = testing::internal::GetCapturedStderr();
        EXPECT_EQ(text.find(freeBox) != std::string::npos, c.freeReported) << text;
        EXPECT_EQ(text.find(cloneBox), std::string::npos);
        if (!c.freeReported) {
            EXPECT_EQ(text, "");
        }

        EXPECT_STREQ(record->name, "kept");  // not released
        std::free(record->name);
        std::free(record);
    }

    // A damaged record behind a good one: the copy stops before it, the
    // release stops at it, with their reports.
    auto* server = static_cast<ServerRecord*>(std::malloc(sizeof(ServerRecord)));
    InitServer(server);
    server->title = Owned("t");
    auto* damaged = static_cast<DbRecord*>(std::calloc(1, 4096));
    damaged->kind = 62;
    server->head.next = damaged;
    testing::internal::CaptureStderr();
    ServerRecord* copy = CloneServer(server);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(cloneBox), std::string::npos);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->head.next, nullptr);
    FreeServer(copy);
    testing::internal::CaptureStderr();
    FreeServer(server);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(freeBox), std::string::npos);
    EXPECT_EQ(damaged->kind, 62);
    std::free(damaged);
}

TEST(RecordsTest, LongChainsAreCopiedAndReleasedWithoutDeepRecursion)
{
    constexpr int count = 200000;
    DbRecord* first = nullptr;
    for (int i = 0; i < count; ++i) {
        auto* favorite = static_cast<FavoriteRecord*>(std::malloc(sizeof(FavoriteRecord)));
        InitFavorite(favorite);
        favorite->id = i;
        favorite->head.next = first;
        first = &favorite->head;
    }
    DbRecord* copy = CloneRecord(first);
    int seen = 0;
    for (DbRecord* r = copy; r != nullptr; r = r->next) {
        ASSERT_EQ(reinterpret_cast<FavoriteRecord*>(r)->id, count - 1 - seen);
        ++seen;
    }
    EXPECT_EQ(seen, count);
    FreeRecord(copy);
    FreeRecord(first);
}

}  // namespace
