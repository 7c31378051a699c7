// The database layer in direct mode against a private MariaDB server.
#include <gtest/gtest.h>
#include <mysql.h>

#include "MariaDbServer.h"
#include "database/Database.h"

namespace {

TEST(MariaDbServerTest, AcceptsTheTestAccountOverTcpWithTheDefaultPort)
{
    MariaDbServer& server = MariaDbServer::Shared();
    ASSERT_TRUE(server.Running());
    SiteConfig site = server.CreateDatabase("vtd_start");

    // Port 0 and no socket: the library's default port must lead here.
    MYSQL* mysql = mysql_init(nullptr);
    ASSERT_NE(mysql_real_connect(mysql, site.sql_server, site.sql_user, site.sql_password, site.sql_database, 0,
                                 nullptr, 0),
              nullptr)
        << mysql_error(mysql);
    mysql_close(mysql);

    EXPECT_EQ(server.AdminValue("select @@lower_case_table_names"), "1");
    EXPECT_EQ(server.AdminValue("select count(*) from mysql.user where user=''"), "0");
}

}  // namespace
