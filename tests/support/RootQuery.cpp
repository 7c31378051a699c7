#include "RootQuery.h"

#include <gtest/gtest.h>
#include <mysql.h>

#include "MariaDbServer.h"

SqlRows RootQuery(const std::string& db, const std::vector<std::string>& statements, bool utf8mb4)
{
    MYSQL* mysql = mysql_init(nullptr);
    SqlRows rows;
    if (mysql_real_connect(mysql, "localhost", "root", "", db.c_str(), 0,
                           MariaDbServer::Shared().SocketPath().c_str(), 0) == nullptr) {
        ADD_FAILURE() << "connect as root: " << mysql_error(mysql);
        mysql_close(mysql);
        return rows;
    }
    if (utf8mb4)
        mysql_query(mysql, "set names utf8mb4");
    for (const std::string& statement : statements) {
        rows.clear();
        if (mysql_real_query(mysql, statement.c_str(), statement.size()) != 0) {
            ADD_FAILURE() << statement << ": " << mysql_error(mysql);
            break;
        }
        MYSQL_RES* result = mysql_store_result(mysql);
        if (result == nullptr)
            continue;
        unsigned columns = mysql_num_fields(result);
        while (MYSQL_ROW row = mysql_fetch_row(result)) {
            unsigned long* lengths = mysql_fetch_lengths(result);
            SqlRow values;
            for (unsigned i = 0; i < columns; i++)
                values.push_back(row[i] ? std::string(row[i], lengths[i]) : "NULL");
            rows.push_back(values);
        }
        mysql_free_result(result);
    }
    mysql_close(mysql);
    return rows;
}

SqlRows RootQuery(const std::string& db, const std::string& statement, bool utf8mb4)
{
    return RootQuery(db, std::vector<std::string>{statement}, utf8mb4);
}

std::vector<std::string> FixtureStatements(const std::string& text)
{
    std::vector<std::string> statements;
    std::string statement;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.empty() || line.rfind("--", 0) == 0)
            continue;
        statement += line + "\n";
        if (line.back() == ';') {
            statements.push_back(statement.substr(0, statement.size() - 2));
            statement.clear();
        }
    }
    return statements;
}
