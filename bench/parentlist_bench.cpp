// Parent lists of a large site: builds a content tree (100,000 objects by
// default, depth up to 8, some recordings folders) on a private MariaDB
// server and times the parent-list refresh of the upgrade (UpdateParentLists
// from the root) against one recursive common-table-expression query that
// computes the same lists on the same server, pairing like with like:
//
//   write pass       every list NULL, the walk writes them all, against the
//                    CTE as one UPDATE ... JOIN writing them all;
//   no-change pass   every list already right, the walk only reads, against
//                    a select of every row of the CTE, fetched whole.
//
// Both sides are checked to have computed the same thing: the row counts
// come from count(*) on the server, and after the CTE's update every list
// must equal the one the walk wrote. MariaDB keeps a recursive query's
// intermediate rows in an in-memory temporary table and moves it to disk
// when it outgrows tmp_table_size; the session's limits are raised so that
// the CTE runs in memory, and a short count fails the run whatever the cause.
//
// Usage: bench_parentlist [objects] [rounds]; prints min and median.
// BENCH_SERVER_TMP_LIMITS=1 leaves the server's own limits in place.
#include <algorithm>
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

// The list column holds what the walk can build: at most 1023 characters
// (its buffer is 1024 bytes), all of them digits, commas and blanks.
const char* const CteQuery =
    "with recursive tree (id, list) as ("
    " select id, cast(concat(', ', id, ', ') as char(1023) character set latin1) from Object where id=1"
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

long long Value(DbHandle* db, const char* query)
{
    char text[64] = "";
    if (DbQueryValue(db, text, sizeof text, "%s", query) == nullptr || text[0] == '\0')
        return -1;
    return std::atoll(text);
}

struct Figures {
    std::vector<double> values;
    void Add(double value) { values.push_back(value); }
    double Min() const { return *std::min_element(values.begin(), values.end()); }
    double Median() const
    {
        std::vector<double> sorted = values;
        std::sort(sorted.begin(), sorted.end());
        return sorted[sorted.size() / 2];
    }
};

bool failed = false;

void Expect(long long got, long long want, const char* what)
{
    if (got != want) {
        std::printf("MISMATCH: %s: %lld, expected %lld\n", what, got, want);
        failed = true;
    }
}

}  // namespace

int main(int argc, char** argv)
{
    int count = argc > 1 ? std::atoi(argv[1]) : 100000;
    int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    auto begin = std::chrono::steady_clock::now();
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
    long long objects = Value(db, "select count(*) from Object");
    std::printf("objects: %lld, rounds: %d\n", objects, rounds);
    Expect(objects, count, "objects in the tree");

    // Room for every intermediate row in memory: a row of the CTE's
    // temporary table is about 1 KB, and the server keeps more than one.
    unsigned long long limit = static_cast<unsigned long long>(count) * 3072 + (64ull << 20);
    const char* keep = std::getenv("BENCH_SERVER_TMP_LIMITS");
    if (keep == nullptr || std::strcmp(keep, "1") != 0) {
        DbExecute(db, "set session max_heap_table_size=%llu", limit);
        DbExecute(db, "set session tmp_table_size=%llu", limit);
    }
    char tmpLimit[64] = "";
    DbQueryValue(db, tmpLimit, sizeof tmpLimit, "select @@tmp_table_size");
    std::printf("tmp_table_size of the session: %s\n", tmpLimit);

    Figures walkWrite, cteUpdate, walkRead, cteSelect;
    for (int round = 0; round < rounds; round++) {
        // Write pass of the walk, from lists that are all unset.
        DbExecute(db, "update Object set parentlist=NULL");
        ObjectRecord* root = ReadObject(db, "id=1");
        auto start = std::chrono::steady_clock::now();
        UpdateParentLists(db, root);
        walkWrite.Add(Seconds(start));
        Expect(Value(db, "select count(*) from Object where parentlist is not null"), objects,
               "lists the walk wrote");
        DbExecute(db, "drop table if exists WalkLists");
        DbExecute(db, "create table WalkLists engine=MyISAM select id, parentlist from Object");

        // No-change pass of the walk: every list is already right.
        start = std::chrono::steady_clock::now();
        UpdateParentLists(db, root);
        walkRead.Add(Seconds(start));
        FreeRecord(&root->head);

        // A select of every row of the CTE, fetched whole as the walk's
        // reads are.
        start = std::chrono::steady_clock::now();
        long long fetched = 0;
        if (DbExecute(db, "%s", CteQuery)) {
            if (DbResult* result = DbStoreResult(db)) {
                while (DbFetchRow(result) != nullptr)
                    fetched++;
                DbFreeResult(result);
            }
        }
        cteSelect.Add(Seconds(start));
        Expect(fetched, objects, "rows fetched from the CTE");

        // The CTE writing every list in one statement, from unset lists.
        DbExecute(db, "update Object set parentlist=NULL");
        start = std::chrono::steady_clock::now();
        long long updated = DbUpdate(db,
                                     "update Object o join (%s) t on o.id = t.id set o.parentlist = t.list",
                                     CteQuery);
        cteUpdate.Add(Seconds(start));
        Expect(updated, objects, "lists the CTE's update wrote");

        // Byte for byte: the column's collation pads with blanks, so a plain
        // "=" would take a list with a blank more as equal.
        std::string sameQuery = "select count(*) from Object o join WalkLists w on w.id = o.id "
                                "where hex(o.parentlist) = hex(w.parentlist)";
        Expect(Value(db, sameQuery.c_str()), objects, "lists equal between the walk and the CTE");
        std::string countQuery = std::string("select count(*) from (") + CteQuery + ") t";
        Expect(Value(db, countQuery.c_str()), objects, "CTE rows counted by the server");
        std::printf("round %d: walk write %.3f s, CTE update %.3f s, walk no-change %.3f s, CTE select %.3f s\n",
                    round + 1, walkWrite.values.back(), cteUpdate.values.back(), walkRead.values.back(),
                    cteSelect.values.back());
        std::fflush(stdout);
    }

    std::printf("%-34s %9s %9s\n", "", "min", "median");
    std::printf("%-34s %8.3fs %8.3fs\n", "walk, every list written", walkWrite.Min(), walkWrite.Median());
    std::printf("%-34s %8.3fs %8.3fs\n", "CTE as one UPDATE ... JOIN", cteUpdate.Min(), cteUpdate.Median());
    std::printf("%-34s %8.3fs %8.3fs\n", "walk, nothing to change", walkRead.Min(), walkRead.Median());
    std::printf("%-34s %8.3fs %8.3fs\n", "CTE select of every row", cteSelect.Min(), cteSelect.Median());
    std::printf("ratio write pass  walk / CTE update: %.2f (medians)\n", walkWrite.Median() / cteUpdate.Median());
    std::printf("ratio no-change   walk / CTE select: %.2f (medians)\n", walkRead.Median() / cteSelect.Median());
    std::printf("lists checked equal: %s; whole run %.0f s\n", failed ? "NO" : "yes", Seconds(begin));
    DbClose(db);
    return failed ? 2 : 0;
}
