#include "schema/WsContentHelper.h"

#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "database/Readers.h"
#include "log/Log.h"

namespace {

constexpr const char* Unit = "WsContentHelper";
// Line numbers of this unit's failure reports.
constexpr int SelectFailureLine = 49;
constexpr int ResultFailureLine = 52;

constexpr size_t MaxListLength = ParentListSize - 1;

// Parents whose children one select fetches, and the size a batched update
// statement may grow to before it is sent (well inside the statement buffer).
constexpr size_t ParentsPerSelect = 2000;
constexpr size_t UpdateStatementLimit = 256 * 1024;
constexpr size_t RowsPerUpdate = 1000;

// Appends "<id>, " to list when the result stays within the limit.
bool AppendEntry(std::string& list, const char* entry, size_t entryLength)
{
    if (list.size() + entryLength + 2 > MaxListLength)
        return false;
    list.append(entry, entryLength);
    list += ", ";
    return true;
}

// Collects the changed lists and writes them in a few statements of the form
// "update Object set parentlist=case id when 5 then ', 5, 1, ' ... end
// where id in (5, ...)". The lists hold only digits, commas and blanks.
class ParentListWriter {
public:
    explicit ParentListWriter(DbHandle* db) : db_(db) {}
    ~ParentListWriter() { Flush(); }

    void Set(int id, const char* stored, const std::string& list)
    {
        if (stored != nullptr && list == stored)
            return;
        char number[16];
        std::snprintf(number, sizeof(number), "%d", id);
        cases_ += " when ";
        cases_ += number;
        cases_ += " then '";
        cases_ += list;
        cases_ += "'";
        if (rows_ > 0)
            ids_ += ',';
        ids_ += number;
        rows_++;
        if (rows_ >= RowsPerUpdate || cases_.size() + ids_.size() >= UpdateStatementLimit)
            Flush();
    }

    void Flush()
    {
        if (rows_ == 0)
            return;
        DbUpdate(db_, "update Object set parentlist=case id%s end where id in (%s)", cases_.c_str(),
                 ids_.c_str());
        cases_.clear();
        ids_.clear();
        rows_ = 0;
    }

private:
    DbHandle* db_;
    std::string cases_;
    std::string ids_;
    size_t rows_ = 0;
};

struct HeldObject {
    int id;
    std::string list;
};

}  // namespace

char* BuildParentList(DbHandle* db, const ObjectRecord* object, char* buffer)
{
    std::string list = ", ";
    std::vector<int> met;
    const ObjectRecord* current = object;
    ObjectRecord* owned = nullptr;
    while (current != nullptr) {
        char entry[16];
        int length = std::snprintf(entry, sizeof(entry), "%d", current->id);
        if (!AppendEntry(list, entry, static_cast<size_t>(length)))
            break;
        met.push_back(current->id);
        if (current->recordings)
            break;
        int parentId = current->parentid;
        bool cycle = false;
        for (int id : met)
            cycle = cycle || id == parentId;
        if (cycle)
            break;
        ObjectRecord* parent = ReadObject(db, "id=%d", parentId);
        if (owned != nullptr)
            FreeRecord(&owned->head);
        owned = parent;
        current = parent;
    }
    if (owned != nullptr)
        FreeRecord(&owned->head);
    std::memcpy(buffer, list.c_str(), list.size() + 1);
    return buffer;
}

std::string ChildParentList(int id, bool recordings, const std::string& parentList)
{
    char own[16];
    int ownLength = std::snprintf(own, sizeof(own), "%d", id);
    std::string list = ", ";
    AppendEntry(list, own, static_cast<size_t>(ownLength));
    if (recordings)
        return list;
    // Entries of the parent's list, each "<id>, " after the leading ", ".
    size_t position = 2;
    while (position < parentList.size()) {
        size_t end = parentList.find(", ", position);
        if (end == std::string::npos)
            break;
        size_t length = end - position;
        if (length == static_cast<size_t>(ownLength) &&
            parentList.compare(position, length, own) == 0)
            break;
        if (!AppendEntry(list, parentList.data() + position, length))
            break;
        position = end + 2;
    }
    return list;
}

namespace {

// The children of generation[first..last) (one select), each with its list
// built from its parent's, appended to children; objects already met are
// passed over. Changed lists go to writer.
void WalkChildren(DbHandle* db, const std::vector<HeldObject>& generation, size_t first, size_t last,
                  const std::unordered_map<int, size_t>& byId, std::unordered_set<int>& met,
                  ParentListWriter& writer, std::vector<HeldObject>& children)
{
    std::string ids;
    for (size_t i = first; i < last; i++) {
        if (i > first)
            ids += ',';
        ids += std::to_string(generation[i].id);
    }
    if (!DbExecute(db, "select id, parentid, recordings, parentlist from Object where parentid in (%s)",
                   ids.c_str())) {
        LOG_ASSERT("b", Unit, SelectFailureLine);
        return;
    }
    DbResult* result = DbStoreResult(db);
    if (result == nullptr) {
        LOG_ASSERT("result", Unit, ResultFailureLine);
        return;
    }
    while (char** row = DbFetchRow(result)) {
        int id = row[0] != nullptr ? std::atoi(row[0]) : 0;
        int parentId = row[1] != nullptr ? std::atoi(row[1]) : 0;
        bool recordings = row[2] != nullptr && std::atoi(row[2]) != 0;
        auto parent = byId.find(parentId);
        if (parent == byId.end() || !met.insert(id).second)
            continue;
        std::string list = ChildParentList(id, recordings, generation[parent->second].list);
        writer.Set(id, row[3], list);
        children.push_back({id, std::move(list)});
    }
    DbFreeResult(result);
}

}  // namespace

void UpdateParentLists(DbHandle* db, const ObjectRecord* object)
{
    if (object == nullptr)
        return;
    char text[ParentListSize];
    BuildParentList(db, object, text);

    ParentListWriter writer(db);
    writer.Set(object->id, object->parentlist, text);

    // The walk goes down one generation at a time, fetching the children of
    // many parents with one select; every object lands in exactly one
    // generation because it has one parentid. A child's list is built from
    // its parent's, which the walk holds, instead of reading every ancestor
    // again for every object; only the four columns the walk needs are
    // selected, and changed lists are written in batches. The lists written
    // and the rows changed are those of visiting each object depth first and
    // building its list from the database; what differs is the number of
    // statements, and that a refused select or update concerns a whole
    // batch (reported once) rather than one parent or one object.
    std::unordered_set<int> met{object->id};
    std::vector<HeldObject> generation{{object->id, text}};
    while (!generation.empty()) {
        std::unordered_map<int, size_t> byId;
        for (size_t i = 0; i < generation.size(); i++)
            byId.emplace(generation[i].id, i);
        std::vector<HeldObject> children;
        for (size_t first = 0; first < generation.size(); first += ParentsPerSelect)
            WalkChildren(db, generation, first, std::min(generation.size(), first + ParentsPerSelect), byId, met,
                         writer, children);
        generation = std::move(children);
    }
    writer.Flush();
}
