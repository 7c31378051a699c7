// Proxy mode against a live database: wsdb-proxy in front of the private
// MariaDB server. The readers, the writers and whole upgrades run once in
// direct mode and once through the proxy, each on a database of its own,
// and must leave the same layout and the same rows.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>

#include "MariaDbServer.h"
#include "RootQuery.h"
#include "TempFolder.h"
#include "database/Database.h"
#include "database/DbHandle.h"
#include "database/Readers.h"
#include "schema/ConvertDatabase.h"

namespace {

using Row = SqlRow;
using Rows = SqlRows;

// Loads a fixture of tests/data: statements end with ";" at the end of a
// line, lines starting with "--" are comments.
void LoadFixture(const std::string& db, const std::string& file)
{
    std::string text = ReadFileBytes(std::string(VTD_TEST_DATA) + "/" + file);
    ASSERT_FALSE(text.empty()) << file;
    RootQuery(db, FixtureStatements(text));
}

// The layout of db as information_schema reports it: tables and views,
// columns, keys and view texts, with the database's own name taken out.
std::string DumpLayout(const std::string& db)
{
    std::string where = " where table_schema='" + db + "'";
    std::string text;
    auto add = [&text](const Rows& rows) {
        for (const Row& row : rows) {
            for (const std::string& value : row)
                text += value + "|";
            text += "\n";
        }
    };
    add(RootQuery(db, "select lower(table_name), table_type, engine, table_collation from information_schema.tables" +
                          where + " order by 1"));
    add(RootQuery(db, "select lower(table_name), ordinal_position, column_name, column_type, collation_name, "
                      "is_nullable, column_default, extra from information_schema.columns" + where + " order by 1, 2"));
    add(RootQuery(db, "select lower(table_name), index_name, seq_in_index, column_name, sub_part, non_unique "
                      "from information_schema.statistics" + where + " order by 1, 2, 3"));
    add(RootQuery(db, "select lower(table_name), replace(view_definition, '`" + db + "`.', '') "
                      "from information_schema.views" + where + " order by 1"));
    return text;
}

// Every row of every table of db, in a fixed order. Times written by the
// upgrade itself (now()) differ between two runs and read "recent".
std::map<std::string, Rows> DumpRows(const std::string& db)
{
    std::map<std::string, Rows> tables;
    Rows columns = RootQuery(db, "select lower(c.table_name), c.column_name, c.data_type "
                                 "from information_schema.columns c "
                                 "join information_schema.tables t on t.table_schema=c.table_schema and "
                                 "t.table_name=c.table_name where c.table_schema='" + db +
                                 "' and t.table_type='BASE TABLE' order by 1, c.ordinal_position");
    std::map<std::string, std::vector<std::string>> selects;
    for (const Row& column : columns) {
        std::string name = "`" + column[1] + "`";
        if (column[2] == "datetime" || column[2] == "timestamp")
            name = "if(" + name + " > now() - interval 1 hour, 'recent', " + name + ")";
        selects[column[0]].push_back(name);
    }
    for (const auto& [table, list] : selects) {
        std::string select, order;
        for (size_t i = 0; i < list.size(); i++) {
            select += (i ? ", " : "") + list[i];
            order += (i ? ", " : "") + std::to_string(i + 1);
        }
        tables[table] = RootQuery(db, "select " + select + " from `" + table + "` order by " + order);
    }
    return tables;
}

// wsdb-proxy in front of the private server, on a free port.
class ProxyProgram {
public:
    bool Start()
    {
        MariaDbServer& server = MariaDbServer::Shared();
        int out[2];
        if (pipe(out) != 0)
            return false;
        std::string program = std::string(VTD_BIN_DIR) + "/wsdb-proxy";
        std::string port = std::to_string(server.Port());
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            close(out[0]);
            close(out[1]);
            execl(program.c_str(), program.c_str(), "--port", "0", "--db-host", "127.0.0.1", "--db-port",
                  port.c_str(), "--user", server.User().c_str(), "--password", server.Password().c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        FILE* output = fdopen(out[0], "r");
        char line[256] = {};
        bool read = std::fgets(line, sizeof line, output) != nullptr;
        std::fclose(output);
        const char* colon = std::strrchr(line, ':');
        if (!read || std::strncmp(line, "wsdb-proxy listening on ", 24) != 0 || colon == nullptr)
            return false;
        address_ = std::string(line + 24, colon + 1 - line - 24) + std::to_string(std::atoi(colon + 1));
        return true;
    }
    ~ProxyProgram()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    // The server text of a proxy site for database db.
    std::string ServerFor(const std::string& db) const { return address_ + "/" + db; }

private:
    pid_t pid_ = -1;
    std::string address_;
};

ProxyProgram* proxy = nullptr;

// A site on a fresh database, with folders of its own for the data steps.
struct Site {
    SiteConfig config{};
    TempFolder folder;

    Site(const std::string& db, DbMode mode)
    {
        config = MariaDbServer::Shared().CreateDatabase(db);
        if (mode == DbMode::Proxy)
            CopyText(config.sql_server, proxy->ServerFor(db).c_str());
        CopyText(config.path, folder.Path().c_str());
        CopyText(config.path_cache, (folder / "cache").c_str());
        CreateFolder(folder / "cache");
        CreateFolder(folder / "runtime");
    }
};

class ProxyLiveTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        MariaDbServer::Shared();
        proxy = new ProxyProgram();
        if (!proxy->Start())
            ADD_FAILURE() << "wsdb-proxy did not start";
    }
    static void TearDownTestSuite()
    {
        delete proxy;
        proxy = nullptr;
    }
    void SetUp() override
    {
        ASSERT_TRUE(MariaDbServer::Shared().Running());
        SetSleepDivisor(100);
    }
    void TearDown() override { SetSleepDivisor(1); }

    // Runs fn(site, handle) for database prefix + "_direct" in direct mode
    // and prefix + "_proxy" in proxy mode, after prepare(db) on each.
    template <typename Prepare, typename Fn>
    void BothModes(const std::string& prefix, Prepare prepare, Fn fn)
    {
        for (DbMode mode : {DbMode::Direct, DbMode::Proxy}) {
            std::string db = prefix + (mode == DbMode::Direct ? "_direct" : "_proxy");
            Site site(db, mode);
            prepare(db);
            DbHandle* handle = DbOpen(&site.config, mode);
            ASSERT_NE(handle, nullptr);
            ASSERT_TRUE(handle->connected) << db;
            fn(site.config, handle);
            DbClose(handle);
        }
    }

    static void ExpectSameDatabases(const std::string& prefix)
    {
        std::string direct = prefix + "_direct", proxied = prefix + "_proxy";
        std::string layout = DumpLayout(direct);
        EXPECT_GT(layout.size(), 1000u);
        EXPECT_EQ(layout, DumpLayout(proxied));
        auto rows = DumpRows(direct);
        EXPECT_EQ(rows.size(), 58u);
        auto proxiedRows = DumpRows(proxied);
        for (const auto& [table, content] : rows)
            EXPECT_EQ(content, proxiedRows[table]) << "rows of " << table;
        EXPECT_EQ(rows.size(), proxiedRows.size());
    }
};

// Upgrades stay quiet about the statements a database refuses on purpose.
void Upgrade(const SiteConfig& site, DbHandle* db)
{
    bool report = ReportSqlErrors;
    ReportSqlErrors = false;
    UpgradeDatabase(&site, db);
    ReportSqlErrors = report;
}

TEST_F(ProxyLiveTest, UpgradeOfAnEmptyDatabase)
{
    BothModes("px_empty", [](const std::string&) {}, Upgrade);
    ExpectSameDatabases("px_empty");
    EXPECT_EQ(RootQuery("px_empty_proxy", "select version from DatabaseVersion"), (Rows{{ProgramVersion}}));
}

TEST_F(ProxyLiveTest, UpgradeOfAnOlderLayout)
{
    BothModes("px_older", [](const std::string& db) { LoadFixture(db, "schema/old_layout.sql"); }, Upgrade);
    ExpectSameDatabases("px_older");
    EXPECT_EQ(RootQuery("px_older_proxy", "select name from Object where id=1"), (Rows{{"root"}}));
}

// The current layout, built in direct mode, holding the rows of an old
// release's site.
void LoadOldReleaseRows(const std::string& db)
{
    SiteConfig site = MariaDbServer::Shared().SiteFor(db, MariaDbServer::Shared().User(),
                                                      MariaDbServer::Shared().Password());
    CopyText(site.sql_server, "127.0.0.1");
    DbHandle* direct = DbOpen(&site, DbMode::Direct);
    bool report = ReportSqlErrors;
    ReportSqlErrors = false;
    UpgradeSchema(direct);
    ReportSqlErrors = report;
    DbClose(direct);
    LoadFixture(db, "migration/site64.sql");
}

// A database of an old release with the current layout: every data step
// runs, reading rows through the proxy (where SQL NULL arrives as empty
// text) and writing its changes back.
TEST_F(ProxyLiveTest, UpgradeOfAnOldReleaseRunsTheDataSteps)
{
    BothModes("px_release", LoadOldReleaseRows, Upgrade);
    ExpectSameDatabases("px_release");
    // The parent lists of the walk came out the same; check that it ran.
    EXPECT_EQ(RootQuery("px_release_proxy", "select parentlist from Object where id=10"), (Rows{{", 10, 1, "}}));
}

// Records compared column by column; a null text counts as empty, which is
// how SQL NULL arrives through the proxy.
std::string Text(int32_t value) { return std::to_string(value); }
std::string Text(int64_t value) { return std::to_string(value); }
std::string Text(const char* value) { return value == nullptr ? "" : value; }
#define DUMP_COLUMN(column, type, kind) text += #column "=" + Text(record->column) + ";";
#define DUMP_NAME(type) text += "name=" + Text(record->head.name) + ";";
#define DUMP_RECORD(table)                                                 \
    std::string Dump(const table##Record* record)                          \
    {                                                                      \
        if (record == nullptr)                                             \
            return "(none)";                                               \
        std::string text;                                                  \
        VTD_COLUMNS_##table(DUMP_COLUMN, DUMP_NAME) return text;           \
    }
DUMP_RECORD(DatabaseVersion)
DUMP_RECORD(Certificate)
DUMP_RECORD(FolderImport)
DUMP_RECORD(Object)
DUMP_RECORD(VFile)
DUMP_RECORD(TranscodeObject)
DUMP_RECORD(Server)
DUMP_RECORD(TranscodeTemplate)

template <typename Record>
std::string Take(Record* record)
{
    std::string text = Dump(record);
    if (record != nullptr)
        FreeRecord(&record->head);
    return text;
}

// The eight readers and the two writers give the same records and leave the
// same rows in both modes.
TEST_F(ProxyLiveTest, ReadersAndWriters)
{
    auto prepare = [](const std::string& db) {
        LoadOldReleaseRows(db);
        RootQuery(db, std::vector<std::string>{"insert into Certificate (id, created, issigned, commonname, privatekey) values "
                       "(3, '2020-02-03 04:05:06', 1, 'Grüße', NULL)",
                       "insert into FolderImport (id, name, objectid, pathname) values (4, 'import', 1, 'C:\\\\media')"});
    };
    std::vector<std::vector<std::string>> results;
    BothModes("px_readers", prepare, [&](const SiteConfig&, DbHandle* db) {
        std::vector<std::string> records;
        records.push_back(Take(ReadDatabaseVersion(db, "1")));
        records.push_back(Take(ReadCertificate(db, "id=%d", 3)));
        records.push_back(Take(ReadFolderImport(db, "name='%s'", "import")));
        records.push_back(Take(ReadObject(db, "id=%d", 10)));
        records.push_back(Take(ReadObject(db, "id=%d", 12345)));
        records.push_back(Take(ReadVFile(db, "id=%d", 60)));
        records.push_back(Take(ReadServer(db, "id=1")));
        records.push_back(Take(ReadTranscodeTemplate(db, "1 order by id desc")));
        uint32_t id = InsertTranscodeObject(db, 0, 60, 7, 3, "it's \\ here.flv", 2, 5368709121LL, 1500000, "");
        records.push_back(std::to_string(id));
        records.push_back(Take(ReadTranscodeObject(db, "id=%u", id)));
        records.push_back(std::to_string(InsertDatabaseVersion(db, "15.0.11")));
        records.push_back(std::to_string(DbUpdate(db, "update Object set views=views+1 where parentid=%d", 1)));
        results.push_back(records);
    });
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0], results[1]);
    // The rows read were real ones, not empty records on both sides.
    EXPECT_NE(results[1][3].find("name=CourseA;"), std::string::npos) << results[1][3];
    EXPECT_EQ(results[1][4], "(none)");
    EXPECT_NE(results[1][9].find("pathname=it's \\ here.flv;"), std::string::npos) << results[1][9];
    EXPECT_NE(results[1][9].find("size=5368709121;"), std::string::npos) << results[1][9];
    EXPECT_NE(results[1][8], "0");
    ExpectSameDatabases("px_readers");
}

// SQL NULL and empty text both arrive as empty text through the proxy; a
// statement the server refuses still gets a reply, with no rows.
TEST_F(ProxyLiveTest, NullAsEmptyTextAndRefusedStatements)
{
    Site site("px_values", DbMode::Proxy);
    RootQuery("px_values", std::vector<std::string>{"create table T (a varchar(20), b int)", "insert into T values (NULL, 1), ('', 2), ('x', NULL)"});
    DbHandle* db = DbOpen(&site.config, DbMode::Proxy);
    ASSERT_TRUE(DbExecute(db, "select a, b from T order by b is null, b"));
    DbResult* result = DbStoreResult(db);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(DbRowCount(result), 3u);
    Rows rows;
    while (char** row = DbFetchRow(result))
        rows.push_back({row[0], row[1]});
    DbFreeResult(result);
    EXPECT_EQ(rows, (Rows{{"", "1"}, {"", "2"}, {"x", ""}}));

    EXPECT_TRUE(DbExecute(db, "select nonsense from nowhere"));
    result = DbStoreResult(db);
    EXPECT_EQ(DbFetchRow(result), nullptr);
    DbFreeResult(result);
    EXPECT_EQ(DbUpdate(db, "update T set b=7 where b is null"), 1u);
    char value[64];
    EXPECT_STREQ(DbQueryValue(db, value, sizeof value, "select count(*) from T where b=%d", 7), "1");
    EXPECT_STREQ(DbGetVariable(db, "LOWER_CASE_TABLE_NAMES", value, sizeof value), "1");
    DbClose(db);
}

}  // namespace
