// Time per statement through DbExecute against plain Connector/C calls, on
// the same private MariaDB server in one run. Usage: bench_db_execute [count]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mysql.h>
#include <vector>

#include "MariaDbServer.h"
#include "database/Database.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* Statement = "update Counter set n=n+%d where id=1";

double PerStatement(Clock::time_point start, int count)
{
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / count;
}

double RunLayer(DbHandle* db, int count)
{
    auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        if (!DbExecute(db, Statement, 1)) {
            std::fprintf(stderr, "DbExecute failed\n");
            std::exit(1);
        }
    }
    return PerStatement(start, count);
}

double RunPlain(MYSQL* mysql, int count)
{
    auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        char statement[256];
        int length = std::snprintf(statement, sizeof statement, Statement, 1);
        if (mysql_real_query(mysql, statement, length) != 0) {
            std::fprintf(stderr, "mysql_real_query failed: %s\n", mysql_error(mysql));
            std::exit(1);
        }
    }
    return PerStatement(start, count);
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    int count = argc > 1 ? std::atoi(argv[1]) : 5000;
    constexpr int Rounds = 21;
    MariaDbServer& server = MariaDbServer::Shared();
    if (!server.Running())
        return 1;
    SiteConfig site = server.CreateDatabase("vtd_bench");

    DbHandle* db = DbOpen(&site, DbMode::Direct);
    if (!DbExecute(db, "create table Counter (id int primary key, n int) engine=MyISAM") ||
        !DbExecute(db, "insert into Counter values (1, 0)"))
        return 1;
    MYSQL* mysql = mysql_init(nullptr);
    if (mysql_real_connect(mysql, site.sql_server, site.sql_user, site.sql_password, site.sql_database, 0, nullptr,
                           0) == nullptr) {
        std::fprintf(stderr, "connect failed: %s\n", mysql_error(mysql));
        return 1;
    }
    mysql_query(mysql, "set names 'utf8'");

    // Warm both paths, then alternate rounds so that drift hits both alike.
    RunLayer(db, count / 10);
    RunPlain(mysql, count / 10);
    std::vector<double> layer, plain;
    for (int round = 0; round < Rounds; ++round) {
        layer.push_back(RunLayer(db, count));
        plain.push_back(RunPlain(mysql, count));
    }
    double layerTime = Median(layer), plainTime = Median(plain);
    std::printf("statements per round: %d, rounds: %d (median shown)\n", count, Rounds);
    std::printf("DbExecute:            %8.2f us per statement\n", layerTime);
    std::printf("plain Connector/C:    %8.2f us per statement\n", plainTime);
    std::printf("ratio DbExecute/plain: %.3f\n", layerTime / plainTime);

    mysql_close(mysql);
    DbClose(db);
    return 0;
}
