// Parent lists of a large site: builds a content tree of 100,000 objects
// (depth up to 8, some recordings folders) on a private MariaDB server, times
// the parent-list refresh of the upgrade (UpdateParentLists from the root),
// and times one recursive common-table-expression query computing the same
// lists on the same server. Prints both times and their ratio, and checks
// that the lists agree.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "MariaDbServer.h"
#include "database/Database.h"
#include "database/Readers.h"
#include "schema/ConvertDatabase.h"
#include "schema/WsContentHelper.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

const char* const CteQuery =
    "with recursive tree (id, list) as ("
    " select id, cast(concat(', ', id, ', ') as char(2048)) from Object where id=1"
    " union all"
    " select o.id, concat(', ', o.id, if(o.recordings, ', ', tree.list))"
    " from Object o join tree on o.parentid = tree.id"
    ") select id, list from tree";

void FillTree(DbHandle* db, int count)
{
    std::mt19937 random(8);
    std::vector<int> depth(static_cast<size_t>(count) + 1, 0);
    std::string values = "(1, 'root', 0, 0)";
    for (int id = 2; id <= count; id++) {
        int parent;
        do
            parent = 1 + static_cast<int>(random() % static_cast<unsigned>(id - 1));
        while (depth[parent] >= 7);
        depth[id] = depth[parent] + 1;
        bool recordings = random() % 30 == 0;
        if (!values.empty())
            values += ',';
        values += "(" + std::to_string(id) + ", 'o" + std::to_string(id) + "', " + std::to_string(parent) + ", " +
                  (recordings ? "1" : "0") + ")";
        if (id % 2000 == 0 || id == count) {
            DbExecute(db, "insert into Object (id, name, parentid, recordings) values %s", values.c_str());
            values.clear();
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    int count = argc > 1 ? std::atoi(argv[1]) : 100000;
    MariaDbServer& server = MariaDbServer::Shared();
    if (!server.Running()) {
        std::fprintf(stderr, "private database server did not start\n");
        return 1;
    }
    SiteConfig site = server.CreateDatabase("bench_parentlist");
    DbHandle* db = DbOpen(&site, DbMode::Direct);
    if (db == nullptr)
        return 1;
    ReportSqlErrors = false;
    CreateTables(db);
    ReportSqlErrors = true;
    FillTree(db, count);
    char total[64];
    DbQueryValue(db, total, sizeof total, "select count(*) from Object");
    std::printf("objects: %s\n", total);

    ObjectRecord* root = ReadObject(db, "id=1");
    auto start = std::chrono::steady_clock::now();
    UpdateParentLists(db, root);
    double walk = Seconds(start);
    start = std::chrono::steady_clock::now();
    UpdateParentLists(db, root);
    double again = Seconds(start);
    FreeRecord(&root->head);

    start = std::chrono::steady_clock::now();
    uint64_t rows = 0;
    if (DbExecute(db, "%s", CteQuery)) {
        DbResult* result = DbStoreResult(db);
        if (result != nullptr) {
            while (DbFetchRow(result) != nullptr)
                rows++;
            DbFreeResult(result);
        }
    }
    double cte = Seconds(start);

    char differ[64];
    DbQueryValue(db, differ, sizeof differ,
                 "select count(*) from (%s) t join Object o on o.id = t.id where not (o.parentlist <=> t.list)",
                 CteQuery);
    char unset[64], cteRows[64];
    DbQueryValue(db, unset, sizeof unset, "select count(*) from Object where parentlist is null");
    DbQueryValue(db, cteRows, sizeof cteRows, "select count(*) from (%s) t", CteQuery);
    std::printf("objects without a list: %s, CTE rows counted by the server: %s\n", unset, cteRows);
    std::printf("step E, lists written:        %.3f s\n", walk);
    std::printf("step E, nothing to change:    %.3f s\n", again);
    std::printf("recursive CTE, %llu lists:   %.3f s\n", static_cast<unsigned long long>(rows), cte);
    std::printf("ratio step E / CTE:           %.2f\n", cte > 0 ? walk / cte : 0.0);
    std::printf("lists differing from the CTE: %s\n", differ);
    DbClose(db);
    return std::strcmp(differ, "0") == 0 ? 0 : 2;
}
