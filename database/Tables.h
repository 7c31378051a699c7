// The one definition of the site database's tables: names, columns in their
// binding order, types, keys. The creation statements, the record kinds and
// the row parsers are all derived from it.
#pragma once

#include <cstddef>

// How a column's value is held in a record.
enum class ColumnKind {
    Int,     // int, bool: 32-bit signed
    BigInt,  // bigint: 64-bit signed
    Double,  // double
    Text,    // varchar, varbinary, text, longtext, date, datetime: owned text or null
};

struct ColumnDef {
    const char* name;
    const char* type;  // the type as written in the creation statement, e.g. "int auto_increment", "varchar(200)"
    ColumnKind kind;
};

struct KeyDef {
    const char* name;    // secondary key name
    const char* column;  // its single column
};

struct TableDef {
    const char* name;        // as created, e.g. "DatabaseVersion"
    const ColumnDef* columns;
    size_t columnCount;
    const char* primaryKey;  // the key columns as written in PRIMARY KEY(...), e.g. "userid,id"; null: no key
    const KeyDef* keys;
    size_t keyCount;
};

// The 58 tables in creation order.
const TableDef* SiteTables();
constexpr size_t SiteTableCount = 58;
// A table by name, ignoring letter case; null when unknown.
const TableDef* FindSiteTable(const char* name);
