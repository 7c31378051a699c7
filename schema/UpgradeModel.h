// What the planned upgrade knows of the layout: the statements of the fixed
// list taken apart into clauses of ALTER TABLE, and a model of the altered
// tables (columns in order with their types, keys) read from the server and
// kept up to date clause by clause, from which it tells whether the server
// would refuse a statement.
#pragma once

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "database/Database.h"

enum class ClauseKind {
    AddColumn,     // alter table T add C TYPE ... [after A]
    DropColumn,    // alter table T drop C
    ChangeColumn,  // alter table T change C NEW TYPE
    AddIndex,      // create index I on T(C)
    Other,         // anything else: sent alone, in its place
};

// One statement of the list as a clause of ALTER TABLE. Names are kept in
// lower case: the server compares column, index and (here) table names
// without regard to letter case.
struct UpgradeClause {
    ClauseKind kind = ClauseKind::Other;
    std::string table;      // lower case
    std::string tableText;  // as written in the statement
    std::string column;     // the added, dropped or changed column; the index's column
    std::string newName;    // change: the column's new name
    std::string after;      // add: the column it goes after, or empty
    std::string type;       // add, change: the type as written
    std::string index;      // add index: the index name
    std::string clause;     // the text that follows "alter table T " in a merged statement
};

// Takes statement apart; a statement of another form gives ClauseKind::Other.
UpgradeClause ParseUpgradeStatement(const char* statement);

struct TableLayout {
    bool exists = false;
    std::vector<std::string> columns;  // in order, lower case
    std::vector<std::string> types;    // the column types, beside columns
    // Keys in the server's order, each with its columns in order.
    std::vector<std::pair<std::string, std::vector<std::string>>> keys;
};

// Tables by lower-case name.
using LayoutModel = std::map<std::string, TableLayout>;

// Reads the layout of the tables named (lower case) from the database's
// information_schema with three selects; a table that is not there is
// entered as absent. Nothing is printed; false when a select fails.
bool ReadLayoutModel(DbHandle* db, const std::set<std::string>& tables, LayoutModel* model);

// Whether the server would refuse clause on a table of this layout.
bool WouldRefuse(const TableLayout& table, const UpgradeClause& clause);
// The layout after clause, which the server would take.
void ApplyClause(TableLayout* table, const UpgradeClause& clause);

// The column names clause names: the subject, a new name, the column it
// goes after or indexes.
std::vector<std::string> NamedColumns(const UpgradeClause& clause);
// The column names clause takes away or changes (drop, change).
std::vector<std::string> RemovedColumns(const UpgradeClause& clause);
