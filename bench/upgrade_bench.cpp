// Times the schema upgrade of an empty site database two ways on the same
// private MariaDB server: through the daemon's own code (DbOpen, UpgradeSchema,
// DbClose) and through the mariadb command-line client fed the identical
// statements from a file. Prints both times and their ratio.
//
// The statements refused on a new database are reported by both paths: the
// daemon's on standard error, the client's discarded. The figures go to
// standard output. bench/upgrade.sh builds and runs it.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "MariaDbServer.h"
#include "TempFolder.h"
#include "schema/ConvertDatabase.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The statements UpgradeSchema sends, one per line, each ended with ";".
std::string StatementScript()
{
    std::string script;
    std::unique_ptr<char[]> text(new char[StatementBufferSize]);
    for (size_t i = 0; i < SiteTableCount; i++) {
        if (FormatCreateStatement(&SiteTables()[i], text.get(), StatementBufferSize))
            script += std::string(text.get()) + ";\n";
        if (FormatConvertStatement(&SiteTables()[i], text.get(), StatementBufferSize))
            script += std::string(text.get()) + ";\n";
    }
    for (const char* statement : UpgradeStatements)
        script += std::string(statement) + ";\n";
    return script;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    MariaDbServer& server = MariaDbServer::Shared();
    if (!server.Running()) {
        std::fprintf(stderr, "the private MariaDB server did not start\n");
        return 1;
    }
    TempFolder folder;
    std::string scriptPath = folder / "upgrade.sql";
    WriteFileBytes(scriptPath, StatementScript());

    // The client connects as the daemon does: TCP to 127.0.0.1, the test
    // account, the utf8 connection character set, and it goes on after a
    // refused statement.
    std::string client = "mariadb --no-defaults --force --default-character-set=utf8 -h 127.0.0.1 -P " +
                         std::to_string(server.Port()) + " -u " + server.User() + " -p" + server.Password() +
                         " bench_client < " + scriptPath + " >/dev/null 2>&1";

    std::vector<double> daemon, cli;
    for (int round = 0; round < rounds; round++) {
        // Alternate which path goes first, so that neither always runs
        // while the server is still removing the previous round's files.
        for (int turn = 0; turn < 2; turn++) {
            if ((turn + round) % 2 == 0) {
                SiteConfig site = server.CreateDatabase("bench_daemon");
                Clock::time_point start = Clock::now();
                DbHandle* db = DbOpen(&site, DbMode::Direct);
                UpgradeSchema(db);
                DbClose(db);
                daemon.push_back(Seconds(start));
            } else {
                server.CreateDatabase("bench_client");
                Clock::time_point start = Clock::now();
                int status = std::system(client.c_str());
                cli.push_back(Seconds(start));
                // The client ends with a failure status after refused
                // statements; whether it did its work shows in the table
                // count checked at the end.
                if (status == -1) {
                    std::fprintf(stderr, "cannot run the mariadb client\n");
                    return 1;
                }
            }
        }
        std::printf("round %d: daemon %.3f s, mariadb client %.3f s\n", round + 1, daemon.back(), cli.back());
        std::fflush(stdout);
    }
    // Both databases must have come out alike, or the times compare nothing.
    std::string count = "select count(*) from information_schema.tables where table_schema=";
    std::string tablesDaemon = server.AdminValue(count + "'bench_daemon'");
    std::string tablesClient = server.AdminValue(count + "'bench_client'");
    double ratio = Median(daemon) / Median(cli);
    std::printf("statements: %zu; tables and views: daemon %s, client %s\n",
                 CreateStatementCount + UpgradeStatementCount, tablesDaemon.c_str(), tablesClient.c_str());
    std::printf("median of %d rounds: daemon %.3f s, mariadb client %.3f s, ratio %.3f (goal <= 1.1)\n",
                 rounds, Median(daemon), Median(cli), ratio);
    return tablesDaemon == tablesClient && tablesDaemon == "61" ? 0 : 1;
}
