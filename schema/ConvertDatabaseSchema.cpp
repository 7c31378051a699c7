// The layout half of the ConvertDatabase unit: the creation statements
// derived from the table definition, and the fixed statement list.
#include <cstdarg>
#include <cstdio>
#include <memory>

#include "schema/ConvertDatabase.h"
#include "schema/UpgradePlan.h"

namespace {

// Appends formatted text at *used; false once the output is full.
bool Append(char* output, size_t outputSize, size_t* used, const char* format, ...) VTD_PRINTF(4, 5);

bool Append(char* output, size_t outputSize, size_t* used, const char* format, ...)
{
    if (*used >= outputSize)
        return false;
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(output + *used, outputSize - *used, format, args);
    va_end(args);
    if (n < 0 || static_cast<size_t>(n) >= outputSize - *used)
        return false;
    *used += static_cast<size_t>(n);
    return true;
}

// Runs one fixed statement. The text goes in as an argument, not as the
// format, so a percent sign in it is sent as written.
void Run(DbHandle* db, const char* statement)
{
    DbExecute(db, "%s", statement);
}

}  // namespace

bool FormatCreateStatement(const TableDef* table, char* output, size_t outputSize)
{
    if (outputSize == 0)
        return false;
    size_t used = 0;
    bool ok = Append(output, outputSize, &used, "create table if not exists %s(", table->name);
    for (size_t i = 0; ok && i < table->columnCount; i++)
        ok = Append(output, outputSize, &used, "%s %s %s", i == 0 ? "" : ",", table->columns[i].name,
                    table->columns[i].type);
    if (ok && table->primaryKey)
        ok = Append(output, outputSize, &used, ", PRIMARY KEY(%s)", table->primaryKey);
    for (size_t i = 0; ok && i < table->keyCount; i++)
        ok = Append(output, outputSize, &used, ", KEY %s(%s)", table->keys[i].name, table->keys[i].column);
    if (ok)
        ok = Append(output, outputSize, &used, " ) ENGINE=MyISAM");
    if (!ok)
        output[0] = '\0';
    return ok;
}

bool FormatConvertStatement(const TableDef* table, char* output, size_t outputSize)
{
    if (outputSize == 0)
        return false;
    size_t used = 0;
    bool ok = Append(output, outputSize, &used, "alter table %s convert to character set utf8", table->name);
    if (!ok)
        output[0] = '\0';
    return ok;
}

void CreateTables(DbHandle* db)
{
    std::unique_ptr<char[]> statement(new char[StatementBufferSize]);
    const TableDef* tables = SiteTables();
    for (size_t i = 0; i < SiteTableCount; i++) {
        // A definition too long for the buffer cannot happen with the fixed
        // table list; such a table would simply be skipped, never cut short.
        if (FormatCreateStatement(&tables[i], statement.get(), StatementBufferSize))
            Run(db, statement.get());
        if (FormatConvertStatement(&tables[i], statement.get(), StatementBufferSize))
            Run(db, statement.get());
    }
}

void RunUpgradeStatements(DbHandle* db)
{
    for (const char* statement : UpgradeStatements)
        Run(db, statement);
}

void UpgradeSchemaStepwise(DbHandle* db)
{
    CreateTables(db);
    RunUpgradeStatements(db);
}

void UpgradeSchema(DbHandle* db, const char* siteName)
{
    RunPlannedUpgrade(db, siteName);
}
