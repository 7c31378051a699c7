// The data steps at the end of an upgrade, against a private MariaDB server:
// which databases are migrated, what each step changes, the version stamp,
// the runtime clean-up, and a walk whose select fails.
#include <gtest/gtest.h>

#include <climits>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "MariaDbServer.h"
#include "SiteDatabase.h"
#include "TempFolder.h"
#include "platform/Platform.h"
#include "schema/ConvertDatabase.h"
#include "schema/Helper.h"

namespace {

const char* const StoredDefaultHeader =
    "<div style='height: 70px;'><p style='padding-top: 12px; padding-left: 10px;'><strong>"
    "<span style='font-size: x-large;'>Vantry</span><br /><span style='font-size: medium;'>"
    "Virtual Learning Environment</span></strong></p></div>";

std::string FixtureSql()
{
    return ReadFileBytes(std::string(VTD_TEST_DATA) + "/migration/site64.sql");
}

// A site whose folders lie in a temporary folder, with its runtime and cache
// folders made.
struct SiteFolders {
    TempFolder root;
    SiteFolders(SiteConfig& site)
    {
        CopyText(site.path, root.Path().c_str());
        CopyText(site.path_cache, (root / "cache").c_str());
        CreateFolder(root / "cache");
        CreateFolder(root / "runtime");
    }
};

class MigrationTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { MariaDbServer::Shared(); }
};

TEST(ParseBitrateTest, ReadsNumbersWithUnits)
{
    struct Case {
        const char* text;
        int expected;
    } cases[] = {
        {"300k", 300000},       {"1,000k", 1000000},  {"1 M", 1000000},    {"64", 64},
        {"", 0},                {"fast", 0},          {"k", 0},            {"2.5m", 2500000},
        {"1.5G", 1500000000},   {"1e3k", 1000000},    {"7e", 7},           {"300k ", 300000},
        {"0x10", 0},            {"inf", 0},           {"-5k", -5000},      {"3g", INT_MAX},
        {"-3g", INT_MIN},       {"99999999999", INT_MAX}, {"0.9", 0},      {"12 3", 123},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ParseBitrate(c.text), c.expected) << '"' << c.text << '"';
    EXPECT_EQ(ParseBitrate(nullptr), 0);
    // Only the first 259 characters count: the unit letter beyond them is not seen.
    std::string padded = "5" + std::string(258, ' ') + "k";
    EXPECT_EQ(ParseBitrate(padded.c_str()), 5);
}

TEST_F(MigrationTest, OldReleaseRunsEveryStep)
{
    SiteDatabase site("migrate_old");
    SiteFolders folders(site.site);
    site.Run(FixtureSql());

    // Cache: a plain rendition above 4 GiB (sparse), a template-specific one,
    // and renditions that must not be registered.
    std::string plain = folders.root / "cache/60.flv";
    int fd = open(plain.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 5368709121LL), 0);
    close(fd);
    WriteFileBytes(folders.root / "cache/60-7.flv", std::string(1234, 'x'));
    WriteFileBytes(folders.root / "cache/61.flv", "not a video");
    WriteFileBytes(folders.root / "cache/62.flv", "already known");
    WriteFileBytes(folders.root / "cache/63-3.flv", "other template");
    for (const char* name : {"state.bin", "a.bin", "STATE.BIN", "State.bin", "b.BIN", "notes.txt", ".keep.bin", "x$y.bin"})
        WriteFileBytes(folders.root / (std::string("runtime/") + name), "x");

    MigrateSiteData(&site.site, site.db);

    // Step B.
    EXPECT_EQ(site.Value("select header from Server where id=1"), StoredDefaultHeader);
    // Step C: only course 10 gains its recordings folder.
    EXPECT_EQ(site.Run("select objectid, recordingid from Course order by objectid"),
              (SqlRows{{"1", "0"}, {"10", "11"}, {"20", "99"}, {"30", "NULL"}}));
    // Step D: 12 (in a recordings folder) and 41 (in "Personal Folders") lose
    // the flag; 13 keeps it because its parent 12 was cleared first; 43 sits
    // in "personal folders" and keeps it; 50 has no parent.
    EXPECT_EQ(site.Run("select id from Object where recordings order by id"),
              (SqlRows{{"2"}, {"11"}, {"13"}, {"21"}, {"43"}, {"50"}}));
    // Step E, after step D changed the flags.
    EXPECT_EQ(site.Run("select id, parentlist from Object where id in (1, 2, 10, 11, 12, 13, 41, 50) order by id"),
              (SqlRows{{"1", ", 1, "},
                       {"2", ", 2, "},
                       {"10", ", 10, 1, "},
                       {"11", ", 11, "},
                       {"12", ", 12, 11, "},
                       {"13", ", 13, "},
                       {"41", ", 41, 40, 1, "},
                       {"50", "untouched"}}));
    // Step F: file 60 gains both renditions; 61 (not a video), 62 (already
    // transcoded) and 63 (other template's file) gain none.
    EXPECT_EQ(site.Run("select fileid, templateid, status, pathname, views, size, bitrate, message "
                       "from TranscodeObject where id <> 100 order by pathname"),
              (SqlRows{{"60", "7", "3", "60-7.flv", "0", "1234", "1500000", ""},
                       {"60", "7", "3", "60.flv", "0", "5368709121", "1500000", ""}}));
    // Step G keeps the creation time.
    EXPECT_EQ(site.Run("select version, created, timestampdiff(second, updated, now()) < 120 from DatabaseVersion"),
              (SqlRows{{"15.0.11", "2011-02-03 04:05:06", "1"}}));
    // Step H.
    EXPECT_EQ(FindFiles(folders.root / "runtime", "*"),
              (std::vector<std::string>{".keep.bin", "notes.txt", "state.bin", "x$y.bin"}));

    // A second run finds everything done.
    site.Run("update DatabaseVersion set version='6.4.12'");
    std::string before = site.Value("select group_concat(concat(id, parentlist, recordings) order by id) from Object");
    MigrateSiteData(&site.site, site.db);
    EXPECT_EQ(site.Value("select count(*) from TranscodeObject"), "3");
    EXPECT_EQ(site.Value("select group_concat(concat(id, parentlist, recordings) order by id) from Object"), before);
}

TEST_F(MigrationTest, StampedVersionDecidesTheMigrations)
{
    struct Case {
        const char* versionRows;  // inserted into DatabaseVersion, "" for none
        bool migrated;
    } cases[] = {
        {"('14.0.2', '2012-01-01 00:00:00', '2012-01-01 00:00:00')", false},
        {"('release 6.4.3b', '2012-01-01 00:00:00', '2012-01-01 00:00:00')", true},
        {"", true},
        {"(NULL, '2012-01-01 00:00:00', NULL)", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.versionRows);
        SiteDatabase site("migrate_version");
        SiteFolders folders(site.site);
        site.Run("insert into Server (id, header) values (1, NULL);"
                 "insert into Object (id, name, parentid) values (1, 'Root', 0);");
        if (c.versionRows[0] != '\0')
            site.Run(std::string("insert into DatabaseVersion values ") + c.versionRows);
        WriteFileBytes(folders.root / "runtime/cache.bin", "x");

        MigrateSiteData(&site.site, site.db);

        EXPECT_EQ(site.Value("select header is not null from Server"), c.migrated ? "1" : "0");
        EXPECT_EQ(site.Value("select parentlist is not null from Object"), c.migrated ? "1" : "0");
        EXPECT_FALSE(PathExists(folders.root / "runtime/cache.bin"));
        SqlRows stamp = site.Run("select version, created, updated = created, "
                                 "timestampdiff(second, updated, now()) < 120 from DatabaseVersion");
        ASSERT_EQ(stamp.size(), 1u);
        EXPECT_EQ(stamp[0][0], "15.0.11");
        EXPECT_EQ(stamp[0][3], "1");
        if (c.versionRows[0] == '\0')
            EXPECT_EQ(stamp[0][2], "1") << "a new row has equal creation and update times";
        else
            EXPECT_EQ(stamp[0][1], "2012-01-01 00:00:00");
    }
}

TEST_F(MigrationTest, HeaderDefaultOnlyWhenEmpty)
{
    struct Case {
        const char* serverRow;
        const char* expected;  // header of row 1 afterwards, "" for no row
    } cases[] = {
        {"(1, NULL)", StoredDefaultHeader},
        {"(1, '')", StoredDefaultHeader},
        {"(1, 'Our own header')", "Our own header"},
        {"(2, NULL)", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.serverRow);
        SiteDatabase site("migrate_header");
        SiteFolders folders(site.site);
        site.Run(std::string("insert into Server (id, header) values ") + c.serverRow);
        MigrateSiteData(&site.site, site.db);
        EXPECT_EQ(site.Value("select header from Server where id=1"), c.expected);
    }
}

TEST_F(MigrationTest, RenditionsUseTheActiveTemplateOrElseTheFirst)
{
    struct Case {
        const char* templates;
        SqlRows expected;  // templateid, pathname, bitrate
    } cases[] = {
        {"", {}},
        {"(3, 'Low', 0, '300k'), (5, 'High', 0, '2M')", {{"3", "60-3.flv", "300000"}, {"3", "60.flv", "300000"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.templates);
        SiteDatabase site("migrate_template");
        SiteFolders folders(site.site);
        site.Run("insert into Object (id, name, parentid) values (60, 'movie', 1);"
                 "insert into File (objectid, filetype) values (60, 2);");
        if (c.templates[0] != '\0')
            site.Run(std::string("insert into TranscodeTemplate (id, name, active, videobitrate) values ") + c.templates);
        WriteFileBytes(folders.root / "cache/60.flv", "v");
        WriteFileBytes(folders.root / "cache/60-3.flv", "v");

        MigrateSiteData(&site.site, site.db);

        EXPECT_EQ(site.Run("select templateid, pathname, bitrate from TranscodeObject order by pathname"), c.expected);
        EXPECT_EQ(site.Value("select version from DatabaseVersion"), "15.0.11");
    }
}

TEST_F(MigrationTest, FailedWalkStopsBeforeTheStamp)
{
    struct Case {
        const char* damage;
        const char* report;
    } cases[] = {
        {"drop table Course", "ASSERT(b) failed at ConvertDatabase:393"},
        {"drop table Object", "ASSERT(b) failed at ConvertDatabase:416"},
        {"drop table File", "ASSERT(b) failed at ConvertDatabase:548"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.damage);
        SiteDatabase site("migrate_fail");
        SiteFolders folders(site.site);
        site.Run(FixtureSql());
        site.Run(c.damage);
        WriteFileBytes(folders.root / "runtime/a.bin", "x");

        testing::internal::CaptureStderr();
        MigrateSiteData(&site.site, site.db);
        std::string output = testing::internal::GetCapturedStderr();

        EXPECT_NE(output.find(c.report), std::string::npos) << output;
        EXPECT_EQ(site.Value("select version from DatabaseVersion"), "6.4.12");
        EXPECT_TRUE(PathExists(folders.root / "runtime/a.bin"));
    }
}

TEST(HelperTest, FileSizeAndExistence)
{
    TempFolder folder;
    std::string big = folder / "big.flv";
    int fd = open(big.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, (int64_t{1} << 32) + 7), 0);
    close(fd);
    EXPECT_EQ(GetFileSize64(big.c_str()), (int64_t{1} << 32) + 7);
    EXPECT_TRUE(FileExists(big.c_str()));
    EXPECT_TRUE(FileExists(folder.Path().c_str()));

    std::string missing = folder / "missing.flv";
    EXPECT_FALSE(FileExists(missing.c_str()));
    testing::internal::CaptureStderr();
    EXPECT_EQ(GetFileSize64(missing.c_str()), 0);
    std::string output = testing::internal::GetCapturedStderr();
    EXPECT_NE(output.find("ASSERT(h != INVALID_HANDLE_VALUE) failed at Helper:535"), std::string::npos) << output;
}

}  // namespace
