// Several nodes on one site database: daemons' site start-ups in processes
// of their own, started at once on one private MariaDB server. The check and
// the upgrade run under the server's named lock: one process upgrades, the
// others wait and find the current version, and the database ends as one
// daemon alone leaves it. A stop ends a wait for the lock.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <csignal>
#include <cstdio>
#include <map>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "MariaDbServer.h"
#include "RootQuery.h"
#include "TempFolder.h"
#include "config/Config.h"
#include "platform/EarlyStop.h"
#include "platform/Platform.h"
#include "schema/Init.h"
#include "schema/UpgradeLock.h"

namespace {

constexpr int Upgraded = 10;
constexpr int NotUpgraded = 11;
constexpr int StoppedWaiting = 12;

// Settings of a role-1 server with one site on database db, its folders
// in folder.
ServerConfig* MakeConfig(const std::string& db, const TempFolder& folder)
{
    auto* config = new ServerConfig{};
    config->VtdRole = 1;
    CopyText(config->InstallFolder, folder.Path().c_str());
    auto* site = new SiteConfig(MariaDbServer::Shared().SiteFor(db, MariaDbServer::Shared().User(),
                                                                MariaDbServer::Shared().Password()));
    CopyText(site->name, db.c_str());
    CopyText(site->path, folder.Path().c_str());
    CopyText(site->path_cache, (folder / "cache").c_str());
    config->Sites.Append(site);
    return config;
}

// The layout, and the rows of every table through its checksum. The
// version table's time stamps differ from run to run: of it, the versions
// and their number of rows.
std::map<std::string, std::string> ReadEnd(const std::string& db)
{
    std::map<std::string, std::string> end;
    for (const SqlRow& t : RootQuery(db, "select lower(table_name), table_type from information_schema.tables where "
                                         "table_schema='" + db + "'")) {
        std::string create = RootQuery(db, "show create table `" + t[0] + "`").at(0).at(1);
        for (size_t at = 0; (at = create.find(db, at)) != std::string::npos;)
            create.replace(at, db.size(), "DB");
        end["create " + t[0]] = create;
        if (t[1] == "BASE TABLE" && t[0] != "databaseversion")
            end["checksum " + t[0]] = RootQuery(db, "checksum table `" + t[0] + "`").at(0).at(1);
    }
    std::string versions;
    for (const SqlRow& row : RootQuery(db, "select version, count(*) from DatabaseVersion group by version"))
        versions += row[0] + " x" + row[1] + ";";
    end["versions"] = versions;
    return end;
}

// An older release's database, stamped 6.4.12.
void LoadOlderRelease(const std::string& db)
{
    std::vector<std::string> statements =
        FixtureStatements(ReadFileBytes(std::string(VTD_TEST_DATA) + "/schema/old_layout.sql"));
    statements.push_back("create table DatabaseVersion (version varchar(200)) ENGINE=MyISAM");
    statements.push_back("insert into DatabaseVersion values ('6.4.12')");
    RootQuery(db, statements);
}

// Runs the site start-up of config in count processes released at once;
// the exit codes.
std::vector<int> StartTogether(const ServerConfig& config, int count)
{
    int gate[2];
    EXPECT_EQ(pipe(gate), 0);
    std::vector<pid_t> children;
    for (int i = 0; i < count; i++) {
        pid_t child = fork();
        if (child == 0) {
            close(gate[1]);
            char byte;
            (void)!read(gate[0], &byte, 1);  // returns once the gate is closed
            std::freopen("/dev/null", "w", stderr);
            SiteDatabasesResult result = StartSiteDatabases(config, 0);
            _exit(result.stopped ? StoppedWaiting : result.upgraded ? Upgraded : NotUpgraded);
        }
        children.push_back(child);
    }
    close(gate[0]);
    close(gate[1]);
    std::vector<int> codes;
    for (pid_t child : children) {
        int status = 0;
        waitpid(child, &status, 0);
        codes.push_back(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    }
    return codes;
}

class UpgradeLockTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        MariaDbServer::Shared();
        SetSleepDivisor(100);
    }
    static void TearDownTestSuite() { SetSleepDivisor(1); }
};

TEST(UpgradeLockName, FitsTheServersLimitAndFollowsTheName)
{
    EXPECT_EQ(UpgradeLockName("campus"), "vtd-upgrade:campus");
    // The server compares database names without regard to case.
    EXPECT_EQ(UpgradeLockName("Campus"), UpgradeLockName("campus"));
    std::string longest(64, 'x');
    std::string other = longest;
    other.back() = 'y';
    for (const std::string& name : {longest, other, std::string("it's"), std::string("a\\b")}) {
        std::string lock = UpgradeLockName(name.c_str());
        EXPECT_LE(lock.size(), UpgradeLockNameLimit) << name;
        EXPECT_EQ(lock.find_first_of("'\\"), std::string::npos) << name;
        EXPECT_EQ(lock.rfind("vtd-upgrade#", 0), 0u) << name;
    }
    EXPECT_NE(UpgradeLockName(longest.c_str()), UpgradeLockName(other.c_str()));
    EXPECT_EQ(UpgradeLockName(std::string(52, 'x').c_str()).size(), 64u) << "a name that fits stays";
}

// 2 and 4 daemons started at once, ten times each, on a new database and on
// an older release's: the same end as one daemon's, and one upgrade.
TEST_F(UpgradeLockTest, DaemonsStartedTogetherUpgradeOnce)
{
    TempFolder folder;
    const std::string db = "together";
    std::unique_ptr<ServerConfig> config(MakeConfig(db, folder));
    for (bool older : {false, true}) {
        auto prepare = [&] {
            MariaDbServer::Shared().CreateDatabase(db);
            if (older)
                LoadOlderRelease(db);
        };
        prepare();
        ASSERT_EQ(StartTogether(*config, 1), std::vector<int>{Upgraded});
        std::map<std::string, std::string> single = ReadEnd(db);
        ASSERT_EQ(single["versions"], "15.0.11 x1;");
        for (int count : {2, 4}) {
            for (int round = 1; round <= 10; round++) {
                prepare();
                std::vector<int> codes = StartTogether(*config, count);
                std::string what = std::string(older ? "older" : "new") + " database, " + std::to_string(count) +
                                   " daemons, round " + std::to_string(round);
                EXPECT_EQ(std::count(codes.begin(), codes.end(), Upgraded), 1) << what;
                EXPECT_EQ(std::count(codes.begin(), codes.end(), NotUpgraded), count - 1) << what;
                EXPECT_EQ(ReadEnd(db), single) << what;
            }
        }
    }
    ClearSites(*config);
}

// While another connection holds the site's lock, the start-up waits and
// says so; a stop ends the wait, and nothing of the site is touched.
TEST_F(UpgradeLockTest, WaitSaysWhyAndEndsAtAStop)
{
    TempFolder folder;
    const std::string db = "lockwait";
    SiteConfig site = MariaDbServer::Shared().CreateDatabase(db);
    std::unique_ptr<ServerConfig> config(MakeConfig(db, folder));
    DbHandle* holder = DbOpen(&site, DbMode::Direct);
    ASSERT_NE(holder, nullptr);
    char value[16];
    DbQueryValue(holder, value, sizeof value, "select get_lock('%s', 0)", UpgradeLockName(db.c_str()).c_str());
    ASSERT_STREQ(value, "1");

    const std::string log = folder / "wait.log";
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::freopen(log.c_str(), "w", stderr);
        std::setvbuf(stderr, nullptr, _IONBF, 0);
        SiteDatabasesResult result{};
        std::thread start([&] { result = StartSiteDatabases(*config, 0); });
        while (ReadFileBytes(log).find("another node is upgrading") == std::string::npos)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        RequestEarlyStop();
        start.join();
        _exit(result.stopped && !result.upgraded ? StoppedWaiting : 1);
    }
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (waitpid(child, &status, WNOHANG) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (kill(child, 0) == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        ADD_FAILURE() << "the wait did not end";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == StoppedWaiting);
    EXPECT_NE(ReadFileBytes(log).find("Site lockwait: another node is upgrading its database; waiting until it is "
                                      "done\n"),
              std::string::npos)
        << ReadFileBytes(log);
    EXPECT_EQ(RootQuery(db, "select count(*) from information_schema.tables where table_schema='lockwait'"),
              (SqlRows{{"0"}}));
    DbClose(holder);
    ClearSites(*config);
}

}  // namespace
