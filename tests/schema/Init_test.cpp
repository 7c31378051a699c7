// Site database start-up against a private MariaDB server: version check and
// upgrade, the Server/User/Session updates, the certificate files of the
// default site, and DeleteFolderTree.
#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "MariaDbServer.h"
#include "SiteDatabase.h"
#include "TempFolder.h"
#include "config/Config.h"
#include "net/ClientSocket.h"
#include "platform/Platform.h"
#include "schema/Init.h"

namespace {

const char* const SiteRows =
    "insert into Server (id, localname, localip, version) values (1, 'elsewhere', '10.0.0.9', '14.0.2');"
    "insert into User (id, name, status) values (1, 'ann', 1), (2, 'bob', 0);"
    "insert into Session (id, userid, status) values (1, 1, 1), (2, 2, 3);"
    "insert into Certificate (id, privatekey, certificate) values "
    " (5, 'KEY\\nline two\\r\\nend', '-----BEGIN CERTIFICATE-----\\nMIIB\\n-----END CERTIFICATE-----\\n');";

// The settings the site start-up works from in these tests.
ServerConfig Config{};

class InitTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { MariaDbServer::Shared(); }

    void SetUp() override
    {
        SetSleepDivisor(100);
        started = {};
        Config.VtdRole = 1;
        Config.HttpsEnabled = 0;
        Config.HttpsCertificateId = 5;
        CopyText(Config.InstallFolder, install.Path().c_str());
    }
    void TearDown() override
    {
        ClearSites(Config);
        SetSleepDivisor(1);
    }

    // Adds a site for database (its folders in a temporary folder) to the
    // settings, named name, with an assets folder holding a file and a folder.
    SiteConfig* AddSite(const SiteDatabase& database, const char* name, const TempFolder& folder)
    {
        auto* site = new SiteConfig(database.site);
        CopyText(site->name, name);
        CopyText(site->path, folder.Path().c_str());
        CopyText(site->path_cache, (folder / "cache").c_str());
        CreateFolder(folder / "assets");
        CreateFolder(folder / "assets/img");
        WriteFileBytes(folder / "assets/img/logo.png", "png");
        CreateFolder(folder / "runtime");
        WriteFileBytes(folder / "runtime/session.bin", "x");
        Config.Sites.Append(site);
        return site;
    }

    TempFolder install;
    SiteDatabasesResult started{};
};

std::string LocalAddress()
{
    char address[260] = {};
    GetLocalAddress(nullptr, address);
    return address;
}

TEST_F(InitTest, OutdatedSitesAreUpgradedAndRequestTheTrigger)
{
    SiteDatabase first("init_old_first");
    SiteDatabase second("init_old_second");
    first.Run(std::string(SiteRows) + "insert into DatabaseVersion values ('14.0.2', '2012-01-01 00:00:00', NULL);");
    second.Run(SiteRows);  // no version row at all
    TempFolder firstFolder, secondFolder;
    AddSite(first, "default", firstFolder);
    AddSite(second, "second", secondFolder);

    started = StartSiteDatabases(Config);

    EXPECT_TRUE(started.completed);

    EXPECT_TRUE(started.upgraded);
    for (SiteDatabase* site : {&first, &second}) {
        SCOPED_TRACE(site->name);
        EXPECT_EQ(site->Run("select version from DatabaseVersion"), SqlRows{{"15.0.11"}});
        EXPECT_EQ(site->Run("select localname, localip, version from Server"),
                  (SqlRows{{GetComputerNameText(), LocalAddress(), "15.0.11"}}));
        EXPECT_EQ(site->Run("select id, status from User order by id"), (SqlRows{{"1", "4"}, {"2", "4"}}));
        EXPECT_EQ(site->Run("select id, status from Session order by id"), (SqlRows{{"1", "2"}, {"2", "3"}}));
    }
    for (TempFolder* folder : {&firstFolder, &secondFolder}) {
        EXPECT_TRUE(FolderExists(*folder / "assets"));
        EXPECT_TRUE(FindFiles(*folder / "assets", "*").empty());
        EXPECT_FALSE(PathExists(*folder / "runtime/session.bin"));
    }
    // HTTPS is off: no certificate files.
    EXPECT_FALSE(PathExists(install / "default.crt"));
}

TEST_F(InitTest, CurrentSiteIsNotUpgradedButGetsItsUpdates)
{
    SiteDatabase site("init_current");
    // A version table of an older release, without the two time stamps.
    site.Run(std::string(SiteRows) +
             "drop table DatabaseVersion;"
             "create table DatabaseVersion (version varchar(200));"
             "insert into DatabaseVersion values ('15.0.11');");
    TempFolder folder;
    AddSite(site, "default", folder);

    testing::internal::CaptureStderr();
    started = StartSiteDatabases(Config);
    EXPECT_TRUE(started.completed);
    std::string output = testing::internal::GetCapturedStderr();

    EXPECT_FALSE(started.upgraded);
    EXPECT_EQ(output.find("SQL ERROR"), std::string::npos) << output;
    EXPECT_EQ(site.Run("select column_name from information_schema.columns where table_schema='init_current' "
                       "and table_name='databaseversion' order by ordinal_position"),
              (SqlRows{{"version"}, {"created"}, {"updated"}}));
    EXPECT_EQ(site.Run("select version, created from DatabaseVersion"), (SqlRows{{"15.0.11", "NULL"}}));
    EXPECT_TRUE(PathExists(folder / "assets/img/logo.png"));
    EXPECT_TRUE(PathExists(folder / "runtime/session.bin"));
    EXPECT_EQ(site.Run("select localname, version from Server"), (SqlRows{{GetComputerNameText(), "15.0.11"}}));
    EXPECT_EQ(site.Run("select status from User order by id"), (SqlRows{{"4"}, {"4"}}));
    EXPECT_EQ(site.Run("select status from Session order by id"), (SqlRows{{"2"}, {"3"}}));

    // Stamped now, the ALTER statements fail silently on the next start too.
    testing::internal::CaptureStderr();
    started = StartSiteDatabases(Config);
    EXPECT_TRUE(started.completed);
    output = testing::internal::GetCapturedStderr();
    EXPECT_EQ(output.find("SQL ERROR"), std::string::npos) << output;
    EXPECT_FALSE(started.upgraded);
}

TEST_F(InitTest, OtherRoleWritesOnlyTheCertificateFiles)
{
    SiteDatabase site("init_role2");
    SiteDatabase other("init_role2_other");
    site.Run(std::string(SiteRows) + "insert into DatabaseVersion values ('14.0.2', NULL, NULL);");
    other.Run("insert into Certificate (id, privatekey, certificate) values (5, 'OTHER', 'OTHER');");
    TempFolder folder, otherFolder;
    AddSite(site, "default", folder);
    AddSite(other, "other", otherFolder);
    Config.VtdRole = 2;
    Config.HttpsEnabled = 1;
    WriteFileBytes(install / "default.pvk", "old key");

    started = StartSiteDatabases(Config);

    EXPECT_TRUE(started.completed);

    EXPECT_EQ(ReadFileBytes(install / "default.crt"),
              "-----BEGIN CERTIFICATE-----\r\nMIIB\r\n-----END CERTIFICATE-----\r\n");
    EXPECT_EQ(ReadFileBytes(install / "default.pvk"), "KEY\r\nline two\r\nend");
    struct stat info {};
    ASSERT_EQ(stat((install / "default.pvk").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(FindFiles(install.Path(), "*"), (std::vector<std::string>{"default.crt", "default.pvk"}));

    EXPECT_FALSE(started.upgraded);
    EXPECT_EQ(site.Run("select version from DatabaseVersion"), SqlRows{{"14.0.2"}});
    EXPECT_EQ(site.Run("select localname, version from Server"), (SqlRows{{"elsewhere", "14.0.2"}}));
    EXPECT_EQ(site.Run("select status from User order by id"), (SqlRows{{"1"}, {"0"}}));
    EXPECT_TRUE(PathExists(folder / "assets/img/logo.png"));
}

TEST_F(InitTest, CertificateFilesStayWithoutARowOrDatabase)
{
    struct Case {
        int certificateId;
        bool database;
    } cases[] = {{99, true}, {5, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.certificateId);
        SiteDatabase site("init_nocert");
        site.Run(SiteRows);
        TempFolder folder;
        SiteConfig* config = AddSite(site, "default", folder);
        if (!c.database)
            config->sql_database[0] = '\0';
        Config.VtdRole = 2;
        Config.HttpsEnabled = 1;
        Config.HttpsCertificateId = c.certificateId;
        WriteFileBytes(install / "default.crt", "old crt");
        WriteFileBytes(install / "default.pvk", "old key");

        started = StartSiteDatabases(Config);

        EXPECT_TRUE(started.completed);

        EXPECT_EQ(ReadFileBytes(install / "default.crt"), "old crt");
        EXPECT_EQ(ReadFileBytes(install / "default.pvk"), "old key");
        ClearSites(Config);
    }
}

TEST(DeleteFolderTreeTest, RemovesEverythingButFollowsNoLinks)
{
    TempFolder folder;
    std::string tree = folder / "tree";
    CreateFolder(tree);
    CreateFolder(tree + "/a");
    CreateFolder(tree + "/a/b");
    CreateFolder(tree + "/.hidden");
    WriteFileBytes(tree + "/top.txt", "x");
    WriteFileBytes(tree + "/a/b/deep.txt", "x");
    WriteFileBytes(tree + "/.hidden/.dot", "x");
    CreateFolder(folder / "outside");
    WriteFileBytes(folder / "outside/keep.txt", "x");
    ASSERT_EQ(symlink((folder / "outside").c_str(), (tree + "/link").c_str()), 0);

    DeleteFolderTree(tree.c_str());

    EXPECT_FALSE(PathExists(tree));
    EXPECT_TRUE(PathExists(folder / "outside/keep.txt"));
    DeleteFolderTree((folder / "missing").c_str());
    EXPECT_TRUE(FolderExists(folder.Path()));
}

}  // namespace
