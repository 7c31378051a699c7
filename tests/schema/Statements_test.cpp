// The creation statements derived from the table definition: portable, no
// database needed, so they run on both platforms' builds.
#include <gtest/gtest.h>

#include <string>

#include "schema/ConvertDatabase.h"

TEST(CreateStatements, FollowTheTableDefinition)
{
    const TableDef* favorite = FindSiteTable("Favorite");
    const TableDef* users = FindSiteTable("UserEnrollment");
    const TableDef* version = FindSiteTable("DatabaseVersion");
    ASSERT_TRUE(favorite && users && version);
    char text[512];
    struct Case {
        const TableDef* table;
        const char* statement;
    } cases[] = {
        {favorite, "create table if not exists Favorite( userid int, id int, PRIMARY KEY(userid,id) ) ENGINE=MyISAM"},
        {users, "create table if not exists UserEnrollment( id int auto_increment, userid int, roleid int, "
                "PRIMARY KEY(id), KEY user(userid), KEY role(roleid) ) ENGINE=MyISAM"},
        {version, "create table if not exists DatabaseVersion( version varchar(200), created datetime, "
                  "updated datetime ) ENGINE=MyISAM"},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(FormatCreateStatement(c.table, text, sizeof text));
        EXPECT_STREQ(c.statement, text);
    }
    EXPECT_TRUE(FormatConvertStatement(favorite, text, sizeof text));
    EXPECT_STREQ("alter table Favorite convert to character set utf8", text);

    // A statement that does not fit is refused whole, never cut short.
    size_t exact = std::string(cases[0].statement).size();
    EXPECT_FALSE(FormatCreateStatement(favorite, text, exact));
    EXPECT_STREQ("", text);
    EXPECT_TRUE(FormatCreateStatement(favorite, text, exact + 1));
    EXPECT_FALSE(FormatConvertStatement(favorite, text, 10));
    EXPECT_STREQ("", text);
}
