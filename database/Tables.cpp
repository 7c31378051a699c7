// The table definitions, expanded from TableDefs.inc.
#include "database/Tables.h"

#include <iterator>

#include "platform/Text.h"

#include "database/TableDefs.inc"

namespace {

#define VTD_COLUMN_DEF(column, type, kind) {#column, type, ColumnKind::kind},
#define VTD_NAME_COLUMN_DEF(type) {"name", type, ColumnKind::Text},
#define VTD_KEY_DEF(key, column) {key, column},

// Each table's columns and keys; the key list ends in an unused empty entry so
// that a table without keys still has an array.
#define VTD_TABLE_ARRAYS(table, primaryKey)                                                   \
    const ColumnDef table##Columns[] = {VTD_COLUMNS_##table(VTD_COLUMN_DEF, VTD_NAME_COLUMN_DEF)}; \
    const KeyDef table##Keys[] = {VTD_KEYS_##table(VTD_KEY_DEF){nullptr, nullptr}};
VTD_SITE_TABLES(VTD_TABLE_ARRAYS)

#define VTD_TABLE_DEF(table, primaryKey) \
    {#table, table##Columns, std::size(table##Columns), primaryKey, table##Keys, std::size(table##Keys) - 1},
const TableDef Tables[] = {VTD_SITE_TABLES(VTD_TABLE_DEF)};

static_assert(std::size(Tables) == SiteTableCount, "the site database has 58 tables");

}  // namespace

const TableDef* SiteTables()
{
    return Tables;
}

const TableDef* FindSiteTable(const char* name)
{
    if (name == nullptr)
        return nullptr;
    for (const TableDef& table : Tables) {
        if (EqualsNoCase(table.name, name))
            return &table;
    }
    return nullptr;
}
