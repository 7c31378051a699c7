// A site database on the private test server for the schema tests: created
// empty, given the current layout, filled from SQL text, and read back as
// root over the server's socket.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "MariaDbServer.h"
#include "RootQuery.h"
#include "database/Database.h"
#include "schema/ConvertDatabase.h"

// Runs each statement of sql (separated by ";" outside quotes; lines
// starting with "--" are comments) as root on database db. Rows of the last
// result; SQL NULL reads "NULL".
inline SqlRows RunSql(const std::string& db, const std::string& sql)
{
    std::vector<std::string> statements;
    std::string current;
    char quote = 0;
    bool lineStart = true;
    for (size_t i = 0; i < sql.size(); i++) {
        char c = sql[i];
        if (lineStart && quote == 0 && sql.compare(i, 2, "--") == 0) {
            i = sql.find('\n', i);
            if (i == std::string::npos)
                break;
            continue;
        }
        lineStart = c == '\n';
        if (quote != 0) {
            current += c;
            if (c == '\\' && i + 1 < sql.size())
                current += sql[++i];
            else if (c == quote)
                quote = 0;
        } else if (c == '\'' || c == '"') {
            quote = c;
            current += c;
        } else if (c == ';') {
            statements.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    statements.push_back(current);
    std::erase_if(statements, [](const std::string& s) { return s.find_first_not_of(" \t\r\n") == std::string::npos; });

    return RootQuery(db, statements, false);
}

// First column of the first row of query, "" when there is no row.
inline std::string SqlValue(const std::string& db, const std::string& query)
{
    SqlRows rows = RunSql(db, query);
    return rows.empty() || rows[0].empty() ? "" : rows[0][0];
}

// The current layout is made once per test program with UpgradeSchema in
// the database "schema_pristine"; each SiteDatabase copies its tables and
// makes the views, which is much faster than running the upgrade again.
inline const std::string& PristineDatabase()
{
    static const std::string name = [] {
        std::string pristine = "schema_pristine";
        SiteConfig site = MariaDbServer::Shared().CreateDatabase(pristine);
        DbHandle* db = DbOpen(&site, DbMode::Direct);
        if (db == nullptr) {
            ADD_FAILURE() << "no handle for " << pristine;
            return pristine;
        }
        bool report = ReportSqlErrors;
        ReportSqlErrors = false;
        UpgradeSchema(db);
        ReportSqlErrors = report;
        DbClose(db);
        return pristine;
    }();
    return name;
}

// A fresh database named name with the current layout and an open handle.
struct SiteDatabase {
    SiteConfig site{};
    DbHandle* db = nullptr;
    std::string name;

    explicit SiteDatabase(const std::string& databaseName) : name(databaseName)
    {
        const std::string& pristine = PristineDatabase();
        site = MariaDbServer::Shared().CreateDatabase(name);
        std::string sql;
        for (const SqlRow& table : RunSql(pristine, "select table_name from information_schema.tables where "
                                                    "table_schema='" + pristine + "' and table_type='BASE TABLE'"))
            sql += "create table `" + table[0] + "` like `" + pristine + "`.`" + table[0] + "`;\n";
        sql += "create view VFile as (select Object.*, File.* from Object, File where Object.id=File.objectid);\n"
               "create view VCourse as (select Object.*, Course.* from Object, Course where Object.id=Course.objectid);\n"
               "create view VSession as (select session.*, user.name, client.remotename, client.remoteip from "
               "session, user, client where session.userid=user.id and session.clientid=client.id);\n";
        RunSql(name, sql);
        db = DbOpen(&site, DbMode::Direct);
        if (db == nullptr)
            ADD_FAILURE() << "no handle for " << name;
    }
    ~SiteDatabase()
    {
        if (db != nullptr)
            DbClose(db);
    }
    SiteDatabase(const SiteDatabase&) = delete;
    SiteDatabase& operator=(const SiteDatabase&) = delete;

    SqlRows Run(const std::string& sql) const { return RunSql(name, sql); }
    std::string Value(const std::string& query) const { return SqlValue(name, query); }
};
