// The schema upgrade against a private MariaDB server: the layout of a new
// database, a second run, a database missing one table, and a database of
// an older layout with rows in it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <string>
#include <vector>

#include "MariaDbServer.h"
#include "RootQuery.h"
#include "TempFolder.h"
#include "schema/ConvertDatabase.h"

namespace {

using Row = SqlRow;
using Rows = SqlRows;
// Table or view name (lower case) -> its block of layout lines.
using Layout = std::map<std::string, std::string>;

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// The layout of database db as information_schema reports it, in the form
// of tests/data/schema/expected_layout.txt.
Layout DumpLayout(const std::string& db)
{
    std::string where = " where table_schema='" + db + "'";
    std::map<std::string, std::vector<std::string>> lines;
    std::map<std::string, std::map<std::string, std::vector<std::string>>> indexes;
    for (const Row& t : RootQuery(db, "select table_name, table_type, engine, table_collation from "
                                      "information_schema.tables" + where)) {
        bool view = t[1] == "VIEW";
        lines[t[0]].push_back((view ? "view " : "table ") + t[0]);
        if (!view) {
            lines[t[0]].push_back("engine " + t[2]);
            lines[t[0]].push_back("charset " + t[3]);
        }
    }
    for (const Row& c : RootQuery(db, "select table_name, column_name, column_type, character_set_name, is_nullable "
                                      "from information_schema.columns" + where +
                                      " order by table_name, ordinal_position"))
        lines[c[0]].push_back("column " + c[1] + " " + c[2] + " " + (c[3] == "NULL" ? "-" : c[3]) + " " +
                              (c[4] == "YES" ? "null" : "notnull"));
    for (const Row& s : RootQuery(db, "select table_name, index_name, column_name, sub_part from "
                                      "information_schema.statistics" + where + " order by seq_in_index"))
        indexes[s[0]][s[1]].push_back(s[2] + (s[3] == "NULL" ? "" : "(" + s[3] + ")"));
    Layout layout;
    for (auto& [table, block] : lines) {
        for (auto& [name, columns] : indexes[table]) {
            std::string joined;
            for (const std::string& column : columns)
                joined += (joined.empty() ? "" : ",") + column;
            if (name == "PRIMARY")
                block.insert(block.begin() + 3 + std::count_if(block.begin(), block.end(), [](const std::string& l) {
                                 return l.rfind("column ", 0) == 0;
                             }),
                             "primary " + joined);
            else
                block.push_back("key " + name + " " + joined);
        }
        std::string text;
        for (const std::string& line : block)
            text += line + "\n";
        layout[Lower(table)] = Lower(text);
    }
    return layout;
}

// Parses the layout file: blocks separated by blank lines, '#' comments.
Layout ParseLayout(const std::string& text)
{
    Layout layout;
    std::string name, block;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? text.size() + 1 : end + 1;
        if (!line.empty() && line[0] == '#')
            continue;
        if (line.empty()) {
            if (!name.empty())
                layout[name] = Lower(block);
            name.clear();
            block.clear();
            continue;
        }
        if (name.empty())
            name = Lower(line.substr(line.find(' ') + 1));
        block += line + "\n";
    }
    if (!name.empty())
        layout[name] = Lower(block);
    return layout;
}

Layout ExpectedLayout()
{
    return ParseLayout(ReadFileBytes(std::string(VTD_TEST_DATA) + "/schema/expected_layout.txt"));
}

// Replaces one line of a table's block.
void ChangeLine(Layout& layout, const std::string& table, const std::string& from, const std::string& to)
{
    std::string& block = layout[table];
    size_t at = block.find(from + "\n");
    ASSERT_NE(at, std::string::npos) << table << ": " << from;
    block.replace(at, from.size(), to);
}

void ExpectLayout(const Layout& expected, const Layout& actual)
{
    for (const auto& [name, block] : expected) {
        auto found = actual.find(name);
        if (found == actual.end())
            ADD_FAILURE() << "missing: " << name;
        else
            EXPECT_EQ(block, found->second) << "layout of " << name;
    }
    for (const auto& [name, block] : actual)
        EXPECT_TRUE(expected.count(name)) << "unexpected table or view: " << name;
}

// SHOW CREATE text of every table and view: catches any change the layout
// lines do not show (defaults, key order, options).
std::map<std::string, std::string> CreateTexts(const std::string& db)
{
    std::map<std::string, std::string> texts;
    for (const Row& t :
         RootQuery(db, "select table_name from information_schema.tables where table_schema='" + db + "'"))
        texts[t[0]] = RootQuery(db, "show create table `" + t[0] + "`").at(0).at(1);
    return texts;
}

// Loads a file of statements, each ending with ";" at the end of a line.
void LoadFixture(const std::string& db, const std::string& file)
{
    RootQuery(db, FixtureStatements(ReadFileBytes(std::string(VTD_TEST_DATA) + "/schema/" + file)));
}

// Opens the daemon's handle on db and runs the layout upgrade.
void Upgrade(const SiteConfig& site)
{
    DbHandle* db = DbOpen(&site, DbMode::Direct);
    ASSERT_NE(db, nullptr);
    UpgradeSchema(db);
    DbClose(db);
}

// A new database gets the whole layout. A second run over it, with one
// table dropped meanwhile, creates that table again exactly as before and
// changes nothing else: every table and view has the same definition as
// after the first run, and the rows stay.
TEST(UpgradeSchema, NewDatabaseThenRerunWithOneTableMissing)
{
    SiteConfig site = MariaDbServer::Shared().CreateDatabase("rerun");
    Upgrade(site);

    Layout expected = ExpectedLayout();
    ASSERT_EQ(expected.size(), 61u);
    ExpectLayout(expected, DumpLayout("rerun"));
    EXPECT_EQ(RootQuery("rerun", "select count(*) from DatabaseVersion"), (Rows{{"0"}}));

    RootQuery("rerun", {"insert into Object (id, name, parentid) values (1, 'Wurzel äöü', 0), (2, 'clip', 1)",
                        "insert into File (objectid, filetype) values (2, 3)",
                        "insert into User (id, name) values (5, 'Jürgen')",
                        "insert into Client (id, remoteip) values (6, '10.1.1.1')",
                        "insert into Session (id, userid, clientid, status) values (7, 5, 6, 1)",
                        "insert into DatabaseVersion values ('15.0.10', '2020-01-01 00:00:00', null)"});
    auto texts = CreateTexts("rerun");
    RootQuery("rerun", "drop table Course");

    Upgrade(site);

    ExpectLayout(expected, DumpLayout("rerun"));
    EXPECT_EQ(texts, CreateTexts("rerun"));
    EXPECT_EQ(RootQuery("rerun", "select count(*) from Course"), (Rows{{"0"}}));
    EXPECT_EQ(RootQuery("rerun", "select id, name, filetype from VFile"), (Rows{{"2", "clip", "3"}}));
    EXPECT_EQ(RootQuery("rerun", "select name from Object where id=1"), (Rows{{"Wurzel äöü"}}));
    EXPECT_EQ(RootQuery("rerun", "select id, name, remoteip from VSession"), (Rows{{"7", "Jürgen", "10.1.1.1"}}));
    EXPECT_EQ(RootQuery("rerun", "select * from DatabaseVersion"), (Rows{{"15.0.10", "2020-01-01 00:00:00", "NULL"}}));
}

TEST(UpgradeSchema, OlderLayoutComesOutCurrentWithItsRows)
{
    SiteConfig site = MariaDbServer::Shared().CreateDatabase("older");
    LoadFixture("older", "old_layout.sql");

    Upgrade(site);

    // Columns added to an existing table by the list keep the list's type.
    Layout expected = ExpectedLayout();
    for (const char* table : {"object", "vfile", "vcourse"})
        ChangeLine(expected, table, "column mp3tags varchar(2048) utf8mb3 null", "column mp3tags longtext utf8mb3 null");
    ChangeLine(expected, "vantryhost", "column url varchar(1024) utf8mb3 null", "column url varchar(200) utf8mb3 null");
    ExpectLayout(expected, DumpLayout("older"));

    struct Check {
        const char* query;
        Rows rows;
    } checks[] = {
        {"select id, name, enable, displayorder, ldapenable, ldaptype, ldapserver, ldapdn, ldapssl, extractfolder, "
         "deleteextracts from Domain order by id",
         {{"1", "corp", "1", "0", "NULL", "0", "ldap.example.org", "", "0", "/srv/extract", "1"},
          {"2", "Straße", "1", "0", "NULL", "0", "NULL", "", "1", "NULL", "0"}}},
        {"select objectid, filetype, mimetype, http_proxy, bitrate, hasaudio, audiocodec, width, height, framerate, "
         "parameter, originalid, recordmode from File order by objectid",
         {{"10", "3", "", "0", "800", "0", "", "640", "480", "", "", "0", "0"},
          {"11", "4", "", "0", "128", "0", "", "0", "0", "", "", "10", "0"}}},
        {"select * from Course", {{"20", "1", "7", "5", "0", "2", "NULL", "0", "1", "2011-09-01", "2012-06-30"}}},
        {"select id, name, doctext, parentid, courseid, parentlist, views, size, displayorder, frontpage, recordings, "
         "post, folderimportid, deleted, hidden, scanstatus, custompermission, pathname, remoteid, mp3tags, linkid, "
         "version from Object order by id",
         {{"1", "root", "Wurzel äöü", "0", "0", "", "0", "0", "0", "0", "0", "0", "0", "0", "0", "0", "0", "NULL", "0",
           "NULL", "0", "0"},
          {"10", "clip.mp4", "NULL", "1", "0", "1", "0", "0", "4", "1", "0", "0", "0", "0", "0", "0", "0",
           "D:/media/clip.mp4", "17", "NULL", "0", "0"},
          {"11", "clip.mp3", "NULL", "1", "0", "1", "0", "0", "5", "0", "0", "0", "0", "1", "0", "0", "0", "NULL", "0",
           "NULL", "0", "0"},
          {"20", "Course A", "about", "1", "0", "1", "0", "0", "6", "0", "0", "0", "0", "0", "0", "0", "0", "NULL", "0",
           "NULL", "0", "0"}}},
        {"select id, name, logon, accessed, used, folderid, usedate, startdate, guid, roleid, email, city, comment "
         "from User",
         {{"1", "Jürgen Weiß", "jw", "NULL", "NULL", "30", "0", "NULL", "NULL", "NULL", "jw@example.org", "Köln",
           "note"}}},
        {"select id, localname, version, relayed, porthttp, title, updated, description, allow_mobile, allow_chat "
         "from Server",
         {{"1", "host1", "12.0.3", "NULL", "NULL", "", "NULL", "Our site", "1", "1"}}},
        {"select id, name, sitename, title, url, requestupdate, description, kolt, allow_mobile, allow_chat "
         "from VantryHost",
         {{"4", "peer", "NULL", "Peer site", "NULL", "0", "NULL", "0", "1", "1"}}},
        {"select id, name, filetype, originalid from VFile order by id",
         {{"10", "clip.mp4", "3", "0"}, {"11", "clip.mp3", "4", "10"}}},
        {"select id, name, semesterid, accesstype from VCourse", {{"20", "Course A", "0", "2"}}},
    };
    for (const Check& check : checks)
        EXPECT_EQ(RootQuery("older", check.query), check.rows) << check.query;
}

}  // namespace
