#include "schema/UpgradeModel.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <sstream>

namespace {

std::string Lower(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::vector<std::string> Words(const std::string& text)
{
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

bool Is(const std::string& word, const char* expected)
{
    return Lower(word) == expected;
}

std::string Join(const std::vector<std::string>& words, size_t from, size_t to)
{
    std::string text;
    for (size_t i = from; i < to; i++)
        text += (i == from ? "" : " ") + words[i];
    return text;
}

// Runs a select quietly and hands every row to take; false when it fails.
template <typename Take>
bool SelectRows(DbHandle* db, const std::string& statement, Take take)
{
    if (!DbExecuteQuiet(db, "%s", statement.c_str()))
        return false;
    DbResult* result = DbStoreResult(db);
    if (result == nullptr)
        return false;
    while (char** row = DbFetchRow(result))
        take(row);
    DbFreeResult(result);
    return true;
}

std::string Text(const char* value)
{
    return value != nullptr ? value : "";
}

ptrdiff_t ColumnIndex(const TableLayout& table, const std::string& name)
{
    auto found = std::find(table.columns.begin(), table.columns.end(), name);
    return found == table.columns.end() ? -1 : found - table.columns.begin();
}

bool HasKey(const TableLayout& table, const std::string& name)
{
    return std::any_of(table.keys.begin(), table.keys.end(), [&](const auto& key) { return key.first == name; });
}

}  // namespace

UpgradeClause ParseUpgradeStatement(const char* statement)
{
    UpgradeClause parsed;
    std::vector<std::string> words = Words(statement);
    if (words.size() >= 5 && Is(words[0], "alter") && Is(words[1], "table")) {
        parsed.tableText = words[2];
        parsed.table = Lower(words[2]);
        parsed.column = Lower(words[4]);
        parsed.clause = Join(words, 3, words.size());
        if (Is(words[3], "add") && words.size() >= 6) {
            size_t end = words.size();
            if (end >= 8 && Is(words[end - 2], "after")) {
                parsed.after = Lower(words[end - 1]);
                end -= 2;
            }
            parsed.type = Join(words, 5, end);
            parsed.kind = ClauseKind::AddColumn;
        } else if (Is(words[3], "drop") && words.size() == 5) {
            parsed.kind = ClauseKind::DropColumn;
        } else if (Is(words[3], "change") && words.size() >= 7) {
            parsed.newName = Lower(words[5]);
            parsed.type = Join(words, 6, words.size());
            parsed.kind = ClauseKind::ChangeColumn;
        }
    } else if (words.size() == 5 && Is(words[0], "create") && Is(words[1], "index") && Is(words[3], "on")) {
        // create index I on T(C)
        const std::string& target = words[4];
        size_t open = target.find('(');
        if (open != std::string::npos && open > 0 && target.back() == ')' &&
            target.find_first_of("(),", open + 1) == target.size() - 1) {
            parsed.tableText = target.substr(0, open);
            parsed.table = Lower(parsed.tableText);
            parsed.column = Lower(target.substr(open + 1, target.size() - open - 2));
            parsed.index = Lower(words[2]);
            parsed.clause = "add index " + words[2] + target.substr(open);
            parsed.kind = ClauseKind::AddIndex;
        }
    }
    if (parsed.kind == ClauseKind::Other)
        parsed = UpgradeClause{};
    return parsed;
}

bool ReadLayoutModel(DbHandle* db, const std::set<std::string>& tables, LayoutModel* model)
{
    LayoutModel read;
    for (const std::string& name : tables)
        read[name] = TableLayout{};
    std::string names;
    for (const std::string& name : tables)
        names += (names.empty() ? "'" : ", '") + name + "'";
    if (names.empty())
        names = "''";
    const std::string where = " where table_schema=database() and lower(table_name) in (" + names + ")";
    bool ok = SelectRows(db, "select lower(table_name) from information_schema.tables" + where +
                                 " and table_type='BASE TABLE'",
                         [&](char** row) { read[Text(row[0])].exists = true; }) &&
              SelectRows(db, "select lower(table_name), lower(column_name), column_type from "
                             "information_schema.columns" + where + " order by table_name, ordinal_position",
                         [&](char** row) {
                             TableLayout& table = read[Text(row[0])];
                             table.columns.push_back(Text(row[1]));
                             table.types.push_back(Text(row[2]));
                         }) &&
              SelectRows(db, "select lower(table_name), lower(index_name), lower(column_name) from "
                             "information_schema.statistics" + where + " order by table_name, index_name, "
                             "seq_in_index",
                         [&](char** row) {
                             TableLayout& table = read[Text(row[0])];
                             std::string key = Text(row[1]);
                             if (table.keys.empty() || table.keys.back().first != key)
                                 table.keys.push_back({key, {}});
                             table.keys.back().second.push_back(Text(row[2]));
                         });
    if (!ok)
        return false;
    // Columns of a view of that name are no table's.
    for (auto& [name, table] : read)
        if (!table.exists)
            table = TableLayout{};
    for (auto& [name, table] : read)
        (*model)[name] = std::move(table);
    return true;
}

bool WouldRefuse(const TableLayout& table, const UpgradeClause& clause)
{
    if (!table.exists)
        return true;
    switch (clause.kind) {
    case ClauseKind::AddColumn:
        return ColumnIndex(table, clause.column) >= 0 ||
               (!clause.after.empty() && ColumnIndex(table, clause.after) < 0);
    case ClauseKind::DropColumn:
        // The server keeps at least one column.
        return ColumnIndex(table, clause.column) < 0 || table.columns.size() == 1;
    case ClauseKind::ChangeColumn:
        return ColumnIndex(table, clause.column) < 0 ||
               (clause.newName != clause.column && ColumnIndex(table, clause.newName) >= 0);
    case ClauseKind::AddIndex:
        return HasKey(table, clause.index) || clause.index == "primary" || ColumnIndex(table, clause.column) < 0;
    case ClauseKind::Other:
        break;
    }
    return true;
}

void ApplyClause(TableLayout* table, const UpgradeClause& clause)
{
    switch (clause.kind) {
    case ClauseKind::AddColumn: {
        ptrdiff_t at = clause.after.empty() ? static_cast<ptrdiff_t>(table->columns.size())
                                            : ColumnIndex(*table, clause.after) + 1;
        table->columns.insert(table->columns.begin() + at, clause.column);
        table->types.insert(table->types.begin() + at, clause.type);
        break;
    }
    case ClauseKind::DropColumn: {
        ptrdiff_t at = ColumnIndex(*table, clause.column);
        table->columns.erase(table->columns.begin() + at);
        table->types.erase(table->types.begin() + at);
        // A key loses the column, and goes with its last one.
        for (auto& key : table->keys)
            std::erase(key.second, clause.column);
        std::erase_if(table->keys, [](const auto& key) { return key.second.empty(); });
        break;
    }
    case ClauseKind::ChangeColumn: {
        ptrdiff_t at = ColumnIndex(*table, clause.column);
        table->columns[at] = clause.newName;
        table->types[at] = clause.type;
        for (auto& key : table->keys)
            std::replace(key.second.begin(), key.second.end(), clause.column, clause.newName);
        break;
    }
    case ClauseKind::AddIndex:
        table->keys.push_back({clause.index, {clause.column}});
        break;
    case ClauseKind::Other:
        break;
    }
}

std::vector<std::string> NamedColumns(const UpgradeClause& clause)
{
    std::vector<std::string> names;
    if (!clause.column.empty())
        names.push_back(clause.column);
    if (!clause.newName.empty())
        names.push_back(clause.newName);
    if (!clause.after.empty())
        names.push_back(clause.after);
    return names;
}

std::vector<std::string> RemovedColumns(const UpgradeClause& clause)
{
    if (clause.kind == ClauseKind::DropColumn)
        return {clause.column};
    if (clause.kind == ClauseKind::ChangeColumn)
        return {clause.column, clause.newName};
    return {};
}
