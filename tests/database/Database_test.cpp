// The database layer in direct mode against a private MariaDB server.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <mysql.h>
#include <string>
#include <thread>
#include <unistd.h>

#include "MariaDbServer.h"
#include "StderrCapture.h"
#include "database/Database.h"
#include "database/DbHandle.h"

namespace {

class DatabaseTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { MariaDbServer::Shared(); }

    void SetUp() override
    {
        ASSERT_TRUE(server.Running() || server.Start());
        SetSleepDivisor(100);  // 10 s connect pause -> 100 ms, 1 s -> 10 ms
        ReportSqlErrors = true;
        site = server.CreateDatabase("vtd_layer");
    }
    void TearDown() override
    {
        DbClose(db);
        SetSleepDivisor(1);
    }
    DbHandle* Open()
    {
        db = DbOpen(&site, DbMode::Direct);
        return db;
    }
    std::string Value(const char* query)
    {
        char text[1024];
        return DbQueryValue(db, text, sizeof text, "%s", query);
    }

    MariaDbServer& server = MariaDbServer::Shared();
    SiteConfig site;
    DbHandle* db = nullptr;
};

TEST_F(DatabaseTest, IncompleteSettingsNeverConnectAndFailSilently)
{
    char(SiteConfig::*fields[])[ConfigTextSize] = {&SiteConfig::sql_server, &SiteConfig::sql_user, &SiteConfig::sql_database};
    for (auto field : fields) {
        SiteConfig incomplete = site;
        (incomplete.*field)[0] = '\0';
        StderrCapture capture;
        DbHandle* handle = DbOpen(&incomplete, DbMode::Direct);
        ASSERT_NE(handle, nullptr);
        EXPECT_FALSE(handle->connected);
        EXPECT_FALSE(DbExecute(handle, "select 1"));
        EXPECT_EQ(DbStoreResult(handle), nullptr);
        EXPECT_EQ(DbInsert(handle, "insert into nothing values (1)"), 0u);
        EXPECT_EQ(DbUpdate(handle, "update nothing set a=1"), 0u);
        DbClose(handle);
        EXPECT_EQ(capture.Text(), "");
    }
    DbClose(nullptr);
}

TEST_F(DatabaseTest, WrongPasswordRetriesUntilTheAccountIsFixed)
{
    server.Admin("drop user if exists 'late'@'%'");
    server.Admin("create user 'late'@'%' identified by 'old-password'");
    server.Admin("grant all privileges on vtd_layer.* to 'late'@'%'");
    site = server.SiteFor("vtd_layer", "late", "new-password");
    long deniedBefore = std::atol(server.AdminValue("select variable_value from information_schema.global_status "
                                                    "where variable_name='ACCESS_DENIED_ERRORS'")
                                      .c_str());

    StderrCapture capture;
    std::atomic<bool> opened{false};
    std::thread opener([&] {
        Open();
        opened = true;
    });
    while (capture.Count("SQL CONNECT:") < 3)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(opened);
    server.Admin("alter user 'late'@'%' identified by 'new-password'");
    opener.join();

    ASSERT_TRUE(db->connected);
    long denied = std::atol(server.AdminValue("select variable_value from information_schema.global_status "
                                              "where variable_name='ACCESS_DENIED_ERRORS'")
                                .c_str()) -
                  deniedBefore;
    EXPECT_GE(denied, 3);
    EXPECT_EQ(capture.Count("SQL CONNECT:"), denied) << capture.Text();
    EXPECT_EQ(capture.Count("Access denied for user 'late'"), denied);
    // The character set is in place before the first statement.
    EXPECT_EQ(Value("select @@character_set_client"), "utf8mb3");
    server.Admin("drop user 'late'@'%'");
}

TEST_F(DatabaseTest, RefusedStatementIsReportedOnceUnlessReportsAreOff)
{
    ASSERT_TRUE(Open()->connected);
    {
        StderrCapture capture;
        EXPECT_FALSE(DbExecute(db, "selec %d", 1));
        EXPECT_EQ(capture.Count("SQL ERROR: "), 1);
        EXPECT_EQ(capture.Count(".\n  Query was: selec 1\n"), 1) << capture.Text();
    }
    {
        StderrCapture capture;
        ReportSqlErrors = false;
        EXPECT_FALSE(DbExecute(db, "selec %d", 1));
        EXPECT_EQ(DbUpdate(db, "update missing set a=1"), 0u);
        ReportSqlErrors = true;
        EXPECT_EQ(capture.Text(), "");
    }
    // The handle stays usable.
    EXPECT_EQ(Value("select 6*7"), "42");
}

TEST_F(DatabaseTest, StatementAfterServerRestartReconnectsAndRuns)
{
    ASSERT_TRUE(Open()->connected);
    ASSERT_TRUE(DbExecute(db, "create table Log (id int) engine=MyISAM"));
    ASSERT_TRUE(DbExecute(db, "insert into Log values (1)"));
    ASSERT_TRUE(server.Restart());

    StderrCapture capture;
    EXPECT_TRUE(DbExecute(db, "insert into Log values (%d)", 2));
    EXPECT_EQ(capture.Count("SQL ERROR: "), 1) << capture.Text();
    EXPECT_EQ(capture.Count("Query was: insert into Log values (2)"), 1);
    EXPECT_TRUE(db->connected);
    EXPECT_EQ(Value("select group_concat(id order by id) from Log"), "1,2");
    EXPECT_EQ(Value("select @@character_set_client"), "utf8mb3");
}

TEST_F(DatabaseTest, InsertIdsAffectedRowsAndResults)
{
    ASSERT_TRUE(Open()->connected);
    ASSERT_TRUE(DbExecute(db, "create table Item (id int auto_increment primary key, name varchar(20), "
                              "note varchar(20)) engine=MyISAM"));
    ASSERT_TRUE(DbExecute(db, "create table Plain (a int) engine=MyISAM"));
    EXPECT_EQ(DbInsert(db, "insert into Item (name, note) values ('%s', '')", "one"), 1u);
    EXPECT_EQ(DbInsert(db, "insert into Item (name, note) values ('%s', NULL)", "two"), 2u);
    EXPECT_EQ(DbInsert(db, "insert into Item (id, name) values (%d, 'big')", 70000), 70000u);
    EXPECT_EQ(DbInsert(db, "insert into Plain values (5)"), 0u);
    EXPECT_EQ(DbInsert(db, "insert into Missing values (5)"), 0u);

    EXPECT_EQ(DbUpdate(db, "update Item set name='x' where id<%d", 3), 2u);
    EXPECT_EQ(DbUpdate(db, "update Item set name='x' where id<%d", 3), 0u);  // nothing changed
    EXPECT_EQ(DbUpdate(db, "update Item set name='y' where id=%d", 9), 0u);
    EXPECT_EQ(DbStoreResult(db), nullptr);  // an update has no result set

    ASSERT_TRUE(DbExecute(db, "select id, note from Item order by id"));
    DbResult* result = DbStoreResult(db);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(DbRowCount(result), 3u);
    char** row = DbFetchRow(result);
    ASSERT_NE(row, nullptr);
    EXPECT_STREQ(row[0], "1");
    ASSERT_NE(row[1], nullptr);
    EXPECT_STREQ(row[1], "");
    row = DbFetchRow(result);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row[1], nullptr);  // SQL NULL, not an empty text
    // A result may outlive later statements on the same handle.
    EXPECT_EQ(Value("select count(*) from Item"), "3");
    row = DbFetchRow(result);
    ASSERT_NE(row, nullptr);
    EXPECT_STREQ(row[0], "70000");
    EXPECT_EQ(DbFetchRow(result), nullptr);
    DbFreeResult(result);
}

TEST_F(DatabaseTest, VariablesAndValues)
{
    ASSERT_TRUE(Open()->connected);
    char text[260];
    EXPECT_EQ(std::string(DbGetVariable(db, "VERSION", text, sizeof text)), server.AdminValue("select @@version"));
    EXPECT_EQ(std::string(DbGetVariable(db, "no_such_variable", text, sizeof text)), "");
    EXPECT_EQ(std::string(DbGetVariable(db, "lower_case_table_names", text, sizeof text)), "1");
    // Table names are matched without regard to letter case.
    ASSERT_TRUE(DbExecute(db, "create table DatabaseVersion (version varchar(20)) engine=MyISAM"));
    ASSERT_TRUE(DbExecute(db, "insert into databaseversion values ('%s')", ProgramVersion));
    EXPECT_EQ(Value("select version from DATABASEVERSION"), ProgramVersion);
    EXPECT_EQ(Value("select version from DatabaseVersion where 1=0"), "");

    StderrCapture capture;
    ReportSqlErrors = false;
    EXPECT_EQ(Value("select nothing from nowhere"), "");
    EXPECT_EQ(Value("do 1"), "");  // runs, but has no result set
    ReportSqlErrors = true;
    EXPECT_EQ(capture.Count("ASSERT(b) failed at Database:469"), 1) << capture.Text();
    EXPECT_EQ(capture.Count("ASSERT(result) failed at Database:472"), 1);
}

TEST_F(DatabaseTest, StatementLongerThanTheBufferIsRefusedNotCut)
{
    ASSERT_TRUE(Open()->connected);
    ASSERT_TRUE(DbExecute(db, "create table Body (body longtext) engine=MyISAM"));
    const std::string format = "insert into Body values ('%s')";
    const size_t fixed = format.size() - 2;
    const std::string fits(StatementBufferSize - 1 - fixed, 'a');
    const std::string tooLong(fits.size() + 1, 'b');

    EXPECT_TRUE(DbExecute(db, format.c_str(), fits.c_str()));
    StderrCapture capture;
    EXPECT_FALSE(DbExecute(db, format.c_str(), tooLong.c_str()));
    EXPECT_EQ(DbInsert(db, format.c_str(), tooLong.c_str()), 0u);
    EXPECT_EQ(DbUpdate(db, format.c_str(), tooLong.c_str()), 0u);
    EXPECT_EQ(capture.Count("SQL STATEMENT TOO LONG"), 3) << capture.Text().substr(0, 400);
    EXPECT_EQ(Value("select concat(count(*), ':', max(length(body))) from Body"),
              "1:" + std::to_string(fits.size()));
}

TEST_F(DatabaseTest, ResultLostWithTheConnectionIsTakenAgainOnANewOne)
{
    ASSERT_TRUE(Open()->connected);
    std::string id = Value("select connection_id()");
    // Far more than the socket buffers hold: the server is still sending
    // when the connection is killed.
    ASSERT_TRUE(DbExecute(db, "select repeat('x', 1000000) from seq_1_to_64"));
    server.Admin("kill connection " + id);

    StderrCapture capture;
    DbResult* result = DbStoreResult(db);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(capture.Count("SQL SERVER ERROR: "), 1) << capture.Text();
    EXPECT_EQ(DbRowCount(result), 64u);
    DbFreeResult(result);
    EXPECT_NE(Value("select connection_id()"), id);
}

TEST_F(DatabaseTest, ResultLostOnEveryNewConnectionIsGivenUpAfterThreeRetries)
{
    ASSERT_TRUE(Open()->connected);
    // Each row takes 50 ms, so the result is still being sent when the
    // watcher kills the statement's connection after 300 ms, on every try.
    const char* slow = "select repeat('x', 100000), sleep(0.05) from seq_1_to_64";
    std::atomic<bool> done{false};
    std::atomic<int> kills{0};
    std::thread watcher([&] {
        while (!done) {
            std::string id = server.AdminValue("select id from information_schema.processlist where user='vtdtest' "
                                               "and info like 'select repeat%' and time_ms > 300");
            std::string ignored;
            if (!id.empty() && server.Admin("kill connection " + id, &ignored))
                ++kills;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });

    ASSERT_TRUE(DbExecute(db, "%s", slow));
    StderrCapture capture;
    DbResult* result = DbStoreResult(db);
    done = true;
    watcher.join();
    EXPECT_EQ(result, nullptr);
    DbFreeResult(result);
    EXPECT_EQ(kills, 4);  // the first run and three more
    EXPECT_EQ(capture.Count("SQL SERVER ERROR: "), 5) << capture.Text();
    EXPECT_EQ(capture.Count("result set lost 4 times, statement given up: select repeat"), 1);
    EXPECT_EQ(capture.Count("SQL ERROR: "), 0);
    // The next statement finds the connection gone and makes a new one.
    ReportSqlErrors = false;
    EXPECT_EQ(Value("select 1"), "1");
}

}  // namespace
