// The planned upgrade against the statement-by-statement one, on a private
// MariaDB server: for a new database, a 6.4 release's rows, an older
// release's layout and a layout between releases, both must end with the
// same SHOW CREATE text of every table and view, the same checksum of every
// table and the same "SQL ERROR" lines in the same order. Then the server
// is killed at random moments of a planned upgrade, and the next upgrade
// must reach the same end. Beside it, the model's reading of the list.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <csignal>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "MariaDbServer.h"
#include "RootQuery.h"
#include "StderrCapture.h"
#include "TempFolder.h"
#include "platform/Platform.h"
#include "schema/ConvertDatabase.h"
#include "schema/UpgradeModel.h"

namespace {

// Replaces every occurrence of from in text.
std::string ReplaceAll(std::string text, const std::string& from, const std::string& to)
{
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

// Where an upgrade ended: the database's name is replaced by "DB" so that
// two databases compare.
struct End {
    std::map<std::string, std::string> creates;    // SHOW CREATE of each table and view
    std::map<std::string, std::string> checksums;  // CHECKSUM TABLE of each table
    std::vector<std::string> refusals;             // "SQL ERROR" lines with their statements
};

End ReadEnd(const std::string& db)
{
    End end;
    for (const SqlRow& t : RootQuery(db, "select table_name, table_type from information_schema.tables where "
                                         "table_schema='" + db + "'")) {
        end.creates[t[0]] = ReplaceAll(RootQuery(db, "show create table `" + t[0] + "`").at(0).at(1), db, "DB");
        if (t[1] == "BASE TABLE")
            end.checksums[t[0]] = RootQuery(db, "checksum table `" + t[0] + "`").at(0).at(1);
    }
    return end;
}

// The "SQL ERROR" lines and the "Query was" line after each, of output.
std::vector<std::string> RefusalLines(const std::string& output, const std::string& db)
{
    std::vector<std::string> lines;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("SQL ERROR: ", 0) == 0 || line.rfind("  Query was: ", 0) == 0)
            lines.push_back(ReplaceAll(line, db, "DB"));
    return lines;
}

// Upgrades the layout of db, planned or statement by statement; the end,
// and in *output what the upgrade printed.
End Upgrade(const std::string& db, bool planned, std::string* output = nullptr)
{
    SiteConfig site = MariaDbServer::Shared().SiteFor(db, MariaDbServer::Shared().User(),
                                                      MariaDbServer::Shared().Password());
    std::string printed;
    {
        StderrCapture capture;
        DbHandle* handle = DbOpen(&site, DbMode::Direct);
        EXPECT_NE(handle, nullptr);
        if (handle != nullptr) {
            if (planned)
                UpgradeSchema(handle, "plan");
            else
                UpgradeSchemaStepwise(handle);
            DbClose(handle);
        }
        printed = capture.Text();
    }
    if (output != nullptr)
        *output = printed;
    End end = ReadEnd(db);
    end.refusals = RefusalLines(printed, db);
    return end;
}

std::string Fixture(const std::string& file)
{
    return ReadFileBytes(std::string(VTD_TEST_DATA) + "/" + file);
}

// Each case makes the same database under the given name.
struct Case {
    const char* name;
    void (*prepare)(const std::string& db);
};

void NewDatabase(const std::string&) {}

// A 6.4 release's rows in the current layout: every statement is refused.
void ReleaseRows(const std::string& db)
{
    SiteConfig site = MariaDbServer::Shared().SiteFor(db, MariaDbServer::Shared().User(),
                                                      MariaDbServer::Shared().Password());
    DbHandle* handle = DbOpen(&site, DbMode::Direct);
    ASSERT_NE(handle, nullptr);
    bool report = ReportSqlErrors;
    ReportSqlErrors = false;
    UpgradeSchemaStepwise(handle);
    ReportSqlErrors = report;
    DbClose(handle);
    RootQuery(db, FixtureStatements(Fixture("migration/site64.sql")));
}

// An older release's layout and rows, with enough objects that copying
// Object takes a while.
void OlderRelease(const std::string& db)
{
    std::vector<std::string> statements = FixtureStatements(Fixture("schema/old_layout.sql"));
    statements.push_back("insert into Object (id, name, authorid, parentid, type, displayorder, pathname) "
                         "select seq, concat('object ', seq), 1, 1 + seq div 8, 2, seq, concat('/media/', seq) "
                         "from seq_1000_to_30999");
    RootQuery(db, statements);
}

// An older release part way up: every third statement of the list applied,
// and Object given so many keys that the server refuses the last of the
// list's keys, which the model does not foresee: Object's merged statement
// is refused and sent again statement by statement.
void BetweenReleases(const std::string& db)
{
    OlderRelease(db);
    std::string keys = "alter table Object add key k1(id)";
    for (int i = 2; i <= 58; i++)
        keys += ", add key k" + std::to_string(i) + "(id)";
    std::vector<std::string> statements = {keys};
    for (size_t k = 0; k < UpgradeStatementCount; k += 3)
        statements.push_back(UpgradeStatements[k]);
    SiteConfig site = MariaDbServer::Shared().SiteFor(db, MariaDbServer::Shared().User(),
                                                      MariaDbServer::Shared().Password());
    DbHandle* handle = DbOpen(&site, DbMode::Direct);
    ASSERT_NE(handle, nullptr);
    ASSERT_TRUE(DbExecuteQuiet(handle, "%s", statements[0].c_str()));
    for (size_t i = 1; i < statements.size(); i++)
        DbExecuteQuiet(handle, "%s", statements[i].c_str());
    DbClose(handle);
}

const Case Cases[] = {
    {"new", NewDatabase},
    {"site64", ReleaseRows},
    {"older", OlderRelease},
    {"between", BetweenReleases},
};

int Count(const std::string& text, const std::string& needle)
{
    int n = 0;
    for (size_t at = 0; (at = text.find(needle, at)) != std::string::npos; at += needle.size())
        n++;
    return n;
}

void ExpectSameEnd(const End& expected, const End& actual, const std::string& what)
{
    EXPECT_EQ(expected.creates, actual.creates) << what;
    EXPECT_EQ(expected.checksums, actual.checksums) << what;
}

class UpgradePlanTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        MariaDbServer::Shared();
        SetSleepDivisor(100);
    }
    static void TearDownTestSuite() { SetSleepDivisor(1); }
};

TEST_F(UpgradePlanTest, EndsAsStatementByStatement)
{
    for (const Case& c : Cases) {
        std::string stepwiseDb = std::string("step_") + c.name;
        std::string plannedDb = std::string("plan_") + c.name;
        MariaDbServer::Shared().CreateDatabase(stepwiseDb);
        MariaDbServer::Shared().CreateDatabase(plannedDb);
        c.prepare(stepwiseDb);
        c.prepare(plannedDb);

        End stepwise = Upgrade(stepwiseDb, false);
        std::string output;
        End planned = Upgrade(plannedDb, true, &output);

        ExpectSameEnd(stepwise, planned, c.name);
        EXPECT_EQ(stepwise.refusals, planned.refusals) << c.name;
        EXPECT_GE(stepwise.creates.size(), 58u) << c.name;
        // The checks compare something: each case has refusals.
        EXPECT_FALSE(stepwise.refusals.empty()) << c.name;
        if (std::string(c.name) == "older") {
            // Object's 43 statements and its conversion: one copy.
            EXPECT_EQ(Count(output, ", copying table Object\n"), 1) << output;
            EXPECT_EQ(Count(output, ", copying table Domain\n"), 2) << output;
        }
        if (std::string(c.name) == "between") {
            // Object's merged statement was refused: its statements ran alone.
            const std::string line = "SQL ERROR: Too many keys specified; max 64 keys allowed.";
            EXPECT_GE(std::count(planned.refusals.begin(), planned.refusals.end(), line), 1);
        }
    }
}

// The database server is killed at a random moment of a planned upgrade of
// an older release (the daemon in a process of its own reconnects once the
// server is back); the next start's upgrade reaches the same end as an
// upgrade that was never cut.
TEST_F(UpgradePlanTest, KilledServerThenNextStartReachesTheSameEnd)
{
    MariaDbServer::Shared().CreateDatabase("kill_reference");
    OlderRelease("kill_reference");
    auto started = std::chrono::steady_clock::now();
    End reference = Upgrade("kill_reference", true);
    auto duration = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);

    TempFolder folder;
    const std::string log = folder / "upgrade.log";
    int cut = 0;
    std::mt19937 random(std::random_device{}());
    constexpr int Kills = 3;
    for (int round = 0; round < Kills; round++) {
        const std::string db = "kill_" + std::to_string(round);
        SiteConfig site = MariaDbServer::Shared().CreateDatabase(db);
        OlderRelease(db);
        // The moment: somewhere in the upgrade, as long as it took uncut.
        auto moment = std::chrono::milliseconds(
            std::uniform_int_distribution<long>(0, static_cast<long>(duration.count()))(random));
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            std::freopen(log.c_str(), "w", stderr);
            DbHandle* handle = DbOpen(&site, DbMode::Direct);
            if (handle != nullptr) {
                UpgradeSchema(handle, db.c_str());
                DbClose(handle);
            }
            _exit(handle != nullptr ? 0 : 1);
        }
        std::this_thread::sleep_for(moment);
        MariaDbServer::Shared().Kill();
        ASSERT_TRUE(MariaDbServer::Shared().Start());
        int status = 0;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(300);
        while (waitpid(child, &status, WNOHANG) == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (kill(child, 0) == 0) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            ADD_FAILURE() << "the upgrade did not end after the server came back (killed after " << moment.count()
                          << " ms)";
        }
        // The upgrade lost its connection when the kill came before its end.
        cut += ReadFileBytes(log).find("SQL CONNECT") != std::string::npos ||
               Count(ReadFileBytes(log), "SQL ERROR: Lost connection") + Count(ReadFileBytes(log), "gone away") > 0;
        // The next start: the upgrade runs again (nothing was stamped).
        End next = Upgrade(db, true);
        ExpectSameEnd(reference, next, "killed after " + std::to_string(moment.count()) + " ms");
    }
    std::printf("%d of %d kills cut the upgrade short\n", cut, Kills);
}

// The statements of the list that the plan merges are read as clauses.
TEST(UpgradeModel, ReadsTheListsForms)
{
    struct {
        const char* statement;
        ClauseKind kind;
        const char* table;
        const char* column;
        const char* after;
        const char* clause;
    } cases[] = {
        {"alter table Server add title varchar(200) default '' after version", ClauseKind::AddColumn, "server",
         "title", "version", "add title varchar(200) default '' after version"},
        {"alter table Domain drop type", ClauseKind::DropColumn, "domain", "type", "", "drop type"},
        {"alter table User change name name varbinary(200)", ClauseKind::ChangeColumn, "user", "name", "",
         "change name name varbinary(200)"},
        {"create index pathname1 on Object(pathname)", ClauseKind::AddIndex, "object", "pathname", "",
         "add index pathname1(pathname)"},
        {"drop table if exists ChatLog", ClauseKind::Other, "", "", "", ""},
        {"create view VFile as (select Object.*, File.* from Object, File where Object.id=File.objectid)",
         ClauseKind::Other, "", "", "", ""},
    };
    for (const auto& c : cases) {
        UpgradeClause parsed = ParseUpgradeStatement(c.statement);
        EXPECT_EQ(parsed.kind, c.kind) << c.statement;
        EXPECT_EQ(parsed.table, c.table) << c.statement;
        EXPECT_EQ(parsed.column, c.column) << c.statement;
        EXPECT_EQ(parsed.after, c.after) << c.statement;
        EXPECT_EQ(parsed.clause, c.clause) << c.statement;
    }
    // Every statement on a table is one the plan can merge.
    int merged = 0;
    for (const char* statement : UpgradeStatements)
        merged += ParseUpgradeStatement(statement).kind != ClauseKind::Other;
    EXPECT_EQ(merged, 244);
}

// The model refuses what the server refuses, and follows what it takes.
TEST(UpgradeModel, TellsRefusalsAndFollowsTheLayout)
{
    TableLayout table;
    table.exists = true;
    table.columns = {"id", "a", "b"};
    table.types = {"int", "int", "int"};
    table.keys = {{"primary", {"id"}}, {"kb", {"b"}}};
    auto refused = [&](const char* statement) { return WouldRefuse(table, ParseUpgradeStatement(statement)); };
    auto apply = [&](const char* statement) { ApplyClause(&table, ParseUpgradeStatement(statement)); };

    EXPECT_TRUE(refused("alter table T add a int after id"));        // exists
    EXPECT_TRUE(refused("alter table T add c int after nothere"));   // no such place
    EXPECT_FALSE(refused("alter table T add c int after A"));        // names in any case
    EXPECT_TRUE(refused("alter table T drop c"));
    EXPECT_TRUE(refused("create index kb on T(a)"));                  // key name taken
    EXPECT_TRUE(refused("create index kc on T(c)"));                  // no such column
    EXPECT_TRUE(refused("alter table T change c c int"));

    apply("alter table T add c int after a");
    apply("alter table T add d int after a");
    EXPECT_EQ(table.columns, (std::vector<std::string>{"id", "a", "d", "c", "b"}));
    apply("alter table T drop b");
    EXPECT_EQ(table.keys.size(), 1u) << "the key goes with its only column";
    EXPECT_FALSE(refused("create index kb on T(c)"));
    apply("alter table T change c e varbinary(20)");
    EXPECT_EQ(table.columns, (std::vector<std::string>{"id", "a", "d", "e"}));
    EXPECT_EQ(table.types.back(), "varbinary(20)");

    TableLayout absent;
    EXPECT_TRUE(WouldRefuse(absent, ParseUpgradeStatement("alter table Doctext drop icondata")));
}

}  // namespace
