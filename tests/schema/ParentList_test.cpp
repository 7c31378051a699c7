// Parent lists of the content tree against a private MariaDB server: the
// lists of single objects, and the whole-tree walk compared with a plain
// version that reads every ancestor of every object afresh.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "MariaDbServer.h"
#include "SiteDatabase.h"
#include "database/Readers.h"
#include "schema/WsContentHelper.h"

namespace {

// ---- The plain algorithm: every ancestor read from the database for every
// object, one select of children per object, depth first. It stops a chain
// at an id already in it, cuts the text at a whole entry, and does not walk
// into an object already on the path.
std::string PlainParentList(DbHandle* db, const ObjectRecord* object)
{
    std::string list = ", ";
    std::vector<int> met;
    const ObjectRecord* current = object;
    ObjectRecord* owned = nullptr;
    while (current != nullptr) {
        std::string entry = std::to_string(current->id) + ", ";
        if (list.size() + entry.size() > ParentListSize - 1)
            break;
        list += entry;
        met.push_back(current->id);
        if (current->recordings || std::count(met.begin(), met.end(), current->parentid) > 0)
            break;
        ObjectRecord* parent = ReadObject(db, "id=%d", current->parentid);
        if (owned != nullptr)
            FreeRecord(&owned->head);
        owned = parent;
        current = parent;
    }
    if (owned != nullptr)
        FreeRecord(&owned->head);
    return list;
}

void PlainUpdateParentLists(DbHandle* db, const ObjectRecord* object, std::vector<int>& path)
{
    std::string list = PlainParentList(db, object);
    if (object->parentlist == nullptr || list != object->parentlist)
        DbUpdate(db, "update Object set parentlist='%s' where id=%d", list.c_str(), object->id);
    path.push_back(object->id);
    ASSERT_TRUE(DbExecute(db, "select * from Object where parentid=%d", object->id));
    DbResult* result = DbStoreResult(db);
    ASSERT_NE(result, nullptr);
    while (char** row = DbFetchRow(result)) {
        ObjectRecord child;
        ParseObjectRow(&child, row);
        if (std::count(path.begin(), path.end(), child.id) == 0)
            PlainUpdateParentLists(db, &child, path);
    }
    DbFreeResult(result);
    path.pop_back();
}

// ---- Fixtures.
struct Node {
    int id;
    int parentid;
    bool recordings;
    const char* parentlist;  // SQL literal
};

std::string InsertSql(const std::vector<Node>& nodes)
{
    std::string sql = "insert into Object (id, name, parentid, recordings, parentlist) values ";
    for (size_t i = 0; i < nodes.size(); i++) {
        const Node& n = nodes[i];
        sql += (i ? ",(" : "(") + std::to_string(n.id) + ", 'n" + std::to_string(n.id) + "', " +
               std::to_string(n.parentid) + ", " + (n.recordings ? "1" : "0") + ", " + n.parentlist + ")";
    }
    return sql;
}

// Root 1; a random tree of depth up to 8 with recordings folders (also
// nested); a chain of 200 levels whose lists overflow 1023 characters, with a
// recordings folder deep inside; objects under missing parents; an
// unreachable cycle. Rows are inserted in shuffled order.
std::vector<Node> MixedTree()
{
    std::mt19937 random(20240611);
    const char* lists[] = {"NULL", "''", "'stale'", "', 1, '"};
    std::vector<Node> nodes{{1, 0, false, "NULL"}};
    std::vector<int> depth(400, 0);
    for (int id = 2; id < 400; id++) {
        int parent;
        do
            parent = 1 + static_cast<int>(random() % static_cast<unsigned>(id - 1));
        while (depth[parent] >= 7);
        depth[id] = depth[parent] + 1;
        nodes.push_back({id, parent, random() % 7 == 0, lists[random() % 4]});
    }
    for (int id = 1000; id < 1200; id++)
        nodes.push_back({id, id == 1000 ? 17 : id - 1, id == 1180, "NULL"});
    nodes.push_back({5000, 4999, false, "'dangling'"});
    nodes.push_back({5001, 5000, true, "NULL"});
    nodes.push_back({5002, 5003, false, "NULL"});
    nodes.push_back({5003, 5002, false, "NULL"});
    std::shuffle(nodes.begin() + 1, nodes.end(), random);
    return nodes;
}

// The root sits in a cycle: 1 -> 10 -> 20 -> 30 and 1's parent is 30; a
// recordings folder 40 below 30 with a child 41; 50 is its own parent.
std::vector<Node> CycleTree()
{
    return {{1, 30, false, "NULL"},  {10, 1, false, "NULL"}, {20, 10, false, "NULL"}, {30, 20, false, "NULL"},
            {40, 30, true, "NULL"},  {41, 40, false, "NULL"}, {50, 50, false, "NULL"}, {51, 50, false, "NULL"}};
}

class ParentListTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { MariaDbServer::Shared(); }

    // A database with nodes and a log of every row an update statement touches.
    static void Fill(SiteDatabase& site, const std::vector<Node>& nodes)
    {
        site.Run("create table UpdateLog (id int);"
                 "create trigger object_update after update on Object for each row insert into UpdateLog values (new.id);" +
                 InsertSql(nodes));
    }

    static ObjectRecord* Root(SiteDatabase& site) { return ReadObject(site.db, "id=1"); }
};

TEST_F(ParentListTest, ListsOfSingleObjects)
{
    SiteDatabase site("parentlist_single");
    site.Run(InsertSql({{1, 0, false, "NULL"},
                        {12, 1, false, "NULL"},
                        {57, 12, false, "NULL"},
                        {33, 12, true, "NULL"},
                        {40, 33, false, "NULL"},
                        {112, 1, false, "NULL"},
                        {70, 4711, false, "NULL"}}));
    struct Case {
        int id;
        const char* expected;
    } cases[] = {
        {1, ", 1, "}, {57, ", 57, 12, 1, "}, {33, ", 33, "}, {40, ", 40, 33, "}, {70, ", 70, "},
    };
    char buffer[ParentListSize];
    for (const Case& c : cases) {
        ObjectRecord* object = ReadObject(site.db, "id=%d", c.id);
        ASSERT_NE(object, nullptr);
        EXPECT_STREQ(BuildParentList(site.db, object, buffer), c.expected) << c.id;
        FreeRecord(&object->head);
    }
    EXPECT_STREQ(BuildParentList(site.db, nullptr, buffer), ", ");

    ObjectRecord* root = Root(site);
    UpdateParentLists(site.db, root);
    FreeRecord(&root->head);
    EXPECT_EQ(site.Run("select id, parentlist from Object order by id"),
              (SqlRows{{"1", ", 1, "},
                       {"12", ", 12, 1, "},
                       {"33", ", 33, "},
                       {"40", ", 40, 33, "},
                       {"57", ", 57, 12, 1, "},
                       {"70", "NULL"},
                       {"112", ", 112, 1, "}}));
}

TEST_F(ParentListTest, LongChainIsCutAtAWholeEntry)
{
    SiteDatabase site("parentlist_long");
    std::vector<Node> chain{{1, 0, false, "NULL"}};
    for (int id = 1000; id < 1300; id++)
        chain.push_back({id, id == 1000 ? 1 : id - 1, false, "NULL"});
    site.Run(InsertSql(chain));

    // The full chain of 1299 would be ", 1299, 1298, ..., 1000, 1, ".
    std::string full = ", ";
    for (int id = 1299; id >= 1000; id--)
        full += std::to_string(id) + ", ";
    full += "1, ";
    ObjectRecord* deepest = ReadObject(site.db, "id=1299");
    ASSERT_NE(deepest, nullptr);
    char buffer[ParentListSize];
    std::string list = BuildParentList(site.db, deepest, buffer);
    FreeRecord(&deepest->head);
    EXPECT_LE(list.size(), ParentListSize - 1);
    EXPECT_GT(list.size(), ParentListSize - 1 - 6) << "no room left for one more entry";
    EXPECT_EQ(full.compare(0, list.size(), list), 0) << list;
    EXPECT_EQ(list.substr(list.size() - 2), ", ");
}

TEST_F(ParentListTest, WalkMatchesThePlainAlgorithm)
{
    for (const auto& [name, nodes] : {std::pair{"mixed", MixedTree()}, std::pair{"cycle", CycleTree()}}) {
        SCOPED_TRACE(name);
        SiteDatabase plain(std::string("parentlist_plain_") + name);
        SiteDatabase fast(std::string("parentlist_fast_") + name);
        Fill(plain, nodes);
        Fill(fast, nodes);

        // First run on stale lists, then again after a few lists were spoilt.
        for (int round = 0; round < 2; round++) {
            SCOPED_TRACE(round);
            ObjectRecord* root = Root(plain);
            ASSERT_NE(root, nullptr);
            std::vector<int> path;
            PlainUpdateParentLists(plain.db, root, path);
            FreeRecord(&root->head);
            root = Root(fast);
            UpdateParentLists(fast.db, root);
            FreeRecord(&root->head);

            const char* lists = "select id, parentlist from Object order by id";
            const char* updated = "select id, count(*) from UpdateLog group by id order by id";
            EXPECT_EQ(fast.Run(lists), plain.Run(lists));
            SqlRows updates = fast.Run(updated);
            EXPECT_EQ(updates, plain.Run(updated));
            EXPECT_FALSE(updates.empty());

            const char* spoil = "truncate UpdateLog;"
                                "update Object set parentlist='x' where id % 3 = 0;"
                                "update Object set parentlist=NULL where id % 4 = 1;"
                                "truncate UpdateLog;";
            plain.Run(spoil);
            fast.Run(spoil);
        }
    }

    // The lists the walk wrote in the cycle: every chain stops before an id
    // already in it, and 50/51 are not reachable.
    SiteDatabase site("parentlist_cycle");
    site.Run(InsertSql(CycleTree()));
    ObjectRecord* root = Root(site);
    UpdateParentLists(site.db, root);
    FreeRecord(&root->head);
    EXPECT_EQ(site.Run("select id, parentlist from Object order by id"),
              (SqlRows{{"1", ", 1, 30, 20, 10, "},
                       {"10", ", 10, 1, 30, 20, "},
                       {"20", ", 20, 10, 1, 30, "},
                       {"30", ", 30, 20, 10, 1, "},
                       {"40", ", 40, "},
                       {"41", ", 41, 40, "},
                       {"50", "NULL"},
                       {"51", "NULL"}}));
}

TEST_F(ParentListTest, EqualListsCauseNoUpdate)
{
    SiteDatabase site("parentlist_equal");
    Fill(site, {{1, 0, false, "', 1, '"}, {2, 1, false, "', 2, 1, '"}, {3, 2, true, "', 3, 2, 1, '"}});
    ObjectRecord* root = Root(site);
    UpdateParentLists(site.db, root);
    FreeRecord(&root->head);
    EXPECT_EQ(site.Run("select id from UpdateLog"), SqlRows{{"3"}});
}

TEST_F(ParentListTest, FailedChildSelectIsReported)
{
    SiteDatabase site("parentlist_fail");
    site.Run(InsertSql({{1, 0, false, "NULL"}, {2, 1, false, "NULL"}}));
    ObjectRecord* root = Root(site);
    site.Run("alter table Object drop column recordings");
    testing::internal::CaptureStderr();
    UpdateParentLists(site.db, root);
    std::string output = testing::internal::GetCapturedStderr();
    FreeRecord(&root->head);
    EXPECT_NE(output.find("ASSERT(b) failed at WsContentHelper:49"), std::string::npos) << output;
    EXPECT_EQ(site.Run("select id, parentlist from Object order by id"), (SqlRows{{"1", ", 1, "}, {"2", "NULL"}}));
}

}  // namespace
