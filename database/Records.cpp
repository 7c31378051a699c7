// Copying, releasing and row parsing of the record kinds, driven by a layout
// table expanded from the same column list as the record types.
#include "database/Records.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "log/Log.h"

namespace {

// One column of a kind, in column order: where its value lives in the record.
struct FieldDef {
    size_t offset;
    ColumnKind kind;
};

struct KindLayout {
    size_t size;
    const FieldDef* fields;  // every column, the `name` column at the head's name
    size_t fieldCount;
};

#define VTD_FIELD(column, type, kind) {offsetof(Layout, column), ColumnKind::kind},
#define VTD_NAME_FIELD(type) {offsetof(DbRecord, name), ColumnKind::Text},
#define VTD_KIND_FIELDS(number, table)                                      \
    namespace table##Fields {                                               \
    using Layout = table##Record;                                           \
    constexpr FieldDef list[] = {VTD_COLUMNS_##table(VTD_FIELD, VTD_NAME_FIELD)}; \
    }
VTD_RECORD_KINDS(VTD_KIND_FIELDS)

namespace TextPairFields {
constexpr FieldDef list[] = {
    {offsetof(TextPairRecord, first), ColumnKind::Text},
    {offsetof(TextPairRecord, second), ColumnKind::Text},
};
}

constexpr std::array<KindLayout, RecordKindCount> MakeLayouts()
{
    std::array<KindLayout, RecordKindCount> layouts{};
    layouts[KindNamed] = {sizeof(NamedRecord), nullptr, 0};
    layouts[KindTextPair] = {sizeof(TextPairRecord), TextPairFields::list, std::size(TextPairFields::list)};
#define VTD_KIND_LAYOUT(number, table) \
    layouts[number] = {sizeof(table##Record), table##Fields::list, std::size(table##Fields::list)};
    VTD_RECORD_KINDS(VTD_KIND_LAYOUT)
#undef VTD_KIND_LAYOUT
    return layouts;
}

constexpr std::array<KindLayout, RecordKindCount> Layouts = MakeLayouts();

constexpr bool EveryKindLaidOut()
{
    for (const KindLayout& layout : Layouts) {
        if (layout.size == 0)
            return false;
    }
    return true;
}
static_assert(EveryKindLaidOut(), "every kind number from 0 to 61 has a record type");

// Unit and lines of the error boxes for a damaged kind number.
constexpr const char* RecordsUnit = "vantry6_def";
constexpr int CloneBadKindLine = 405;
constexpr int FreeBadKindLine = 604;

void ReportBadKind(int line)
{
    ShowErrorBox(nullptr, "The (%s) condition failed at %s:%d", "FALSE", RecordsUnit, line);
}

char*& TextAt(DbRecord* record, size_t offset)
{
    return *reinterpret_cast<char**>(reinterpret_cast<unsigned char*>(record) + offset);
}

// A new block holding text and its terminator; null stays null.
bool CopyOwnedText(char*& target, const char* source)
{
    target = nullptr;
    if (source == nullptr)
        return true;
    size_t length = std::strlen(source);
    target = static_cast<char*>(std::malloc(length + 1));
    if (target == nullptr)
        return false;
    std::memcpy(target, source, length + 1);
    return true;
}

// Releases the name, the texts and the record itself, not the chain.
void ReleaseOne(DbRecord* record, int32_t kind)
{
    const KindLayout& layout = Layouts[kind];
    std::free(record->name);
    for (size_t i = 0; i < layout.fieldCount; ++i) {
        const FieldDef& field = layout.fields[i];
        if (field.kind == ColumnKind::Text && field.offset != offsetof(DbRecord, name))
            std::free(TextAt(record, field.offset));
    }
    std::free(record);
}

// Copy of one record laid out as kind, with its own texts and no next.
DbRecord* CopyOne(const DbRecord* source, int32_t kind)
{
    const KindLayout& layout = Layouts[kind];
    auto* copy = static_cast<DbRecord*>(std::malloc(layout.size));
    if (copy == nullptr)
        return nullptr;
    std::memcpy(copy, source, layout.size);
    copy->kind = kind;
    copy->next = nullptr;
    copy->name = nullptr;
    for (size_t i = 0; i < layout.fieldCount; ++i) {
        if (layout.fields[i].kind == ColumnKind::Text)
            TextAt(copy, layout.fields[i].offset) = nullptr;
    }
    bool copied = CopyOwnedText(copy->name, source->name);
    for (size_t i = 0; copied && i < layout.fieldCount; ++i) {
        const FieldDef& field = layout.fields[i];
        if (field.kind == ColumnKind::Text && field.offset != offsetof(DbRecord, name))
            copied = CopyOwnedText(TextAt(copy, field.offset), TextAt(const_cast<DbRecord*>(source), field.offset));
    }
    if (!copied) {
        ReleaseOne(copy, kind);
        return nullptr;
    }
    return copy;
}

// Releases record as kind and then, as FreeRecord would, each record behind
// it. Walks the chain in a loop so a long chain cannot exhaust the stack.
void ReleaseChain(DbRecord* record, int32_t kind)
{
    while (record != nullptr) {
        DbRecord* next = record->next;
        ReleaseOne(record, kind);
        record = next;
        if (record == nullptr)
            return;
        kind = record->kind;
        if (kind >= RecordKindCount && kind <= 100) {
            ReportBadKind(FreeBadKindLine);
            return;
        }
        if (kind <= 0 || kind > 100)
            return;
    }
}

// Copies record as kind and then, as CloneRecord would, each record behind it.
// A kind-0 record ends the copy; a damaged kind number ends it with a report.
DbRecord* CopyChain(const DbRecord* record, int32_t kind)
{
    DbRecord* first = nullptr;
    DbRecord** tail = &first;
    while (record != nullptr) {
        DbRecord* copy = CopyOne(record, kind);
        if (copy == nullptr) {
            if (first != nullptr)
                ReleaseChain(first, first->kind);
            return nullptr;
        }
        *tail = copy;
        tail = &copy->next;
        if (kind == KindNamed)
            break;
        record = record->next;
        if (record == nullptr)
            break;
        kind = record->kind;
        if (kind < 0 || kind >= RecordKindCount) {
            ReportBadKind(CloneBadKindLine);
            break;
        }
    }
    return first;
}

// The decimal number at the start of text, as atoi reads it; out-of-range
// values are held at the limits of the type.
int64_t ReadInteger(const char* text, int64_t low, int64_t high)
{
    if (text == nullptr)
        return 0;
    int savedErrno = errno;
    long long value = std::strtoll(text, nullptr, 10);
    errno = savedErrno;
    if (value < low)
        return low;
    if (value > high)
        return high;
    return value;
}

}  // namespace

#define VTD_RECORD_OPERATIONS_DEF(number, table)                                                   \
    table##Record* Init##table(table##Record* record)                                              \
    {                                                                                              \
        *record = table##Record{};                                                                 \
        record->head.kind = number;                                                                \
        return record;                                                                             \
    }                                                                                              \
    table##Record* Clone##table(const table##Record* record)                                       \
    {                                                                                              \
        return record == nullptr ? nullptr                                                         \
                                 : reinterpret_cast<table##Record*>(CopyChain(&record->head, number)); \
    }                                                                                              \
    void Free##table(table##Record* record)                                                        \
    {                                                                                              \
        if (record != nullptr)                                                                     \
            ReleaseChain(&record->head, number);                                                   \
    }
VTD_RECORD_KINDS(VTD_RECORD_OPERATIONS_DEF)
VTD_RECORD_OPERATIONS_DEF(48, TextPair)

NamedRecord* InitNamed(NamedRecord* record)
{
    *record = NamedRecord{};
    record->head.kind = KindNamed;
    return record;
}

NamedRecord* CloneNamed(const NamedRecord* record)
{
    return record == nullptr ? nullptr : reinterpret_cast<NamedRecord*>(CopyChain(&record->head, KindNamed));
}

void FreeNamed(NamedRecord* record)
{
    if (record != nullptr)
        ReleaseOne(&record->head, KindNamed);
}

DbRecord* CloneRecord(const DbRecord* record)
{
    if (record == nullptr)
        return nullptr;
    if (record->kind < 0 || record->kind >= RecordKindCount) {
        ReportBadKind(CloneBadKindLine);
        return nullptr;
    }
    return CopyChain(record, record->kind);
}

void FreeRecord(DbRecord* record)
{
    if (record == nullptr || record->kind <= 0 || record->kind > 100)
        return;
    if (record->kind >= RecordKindCount) {
        ReportBadKind(FreeBadKindLine);
        return;
    }
    ReleaseChain(record, record->kind);
}

DbRecord* ParseRecordRow(DbRecord* record, int32_t kind, char** row, size_t columns)
{
    if (kind <= 0 || kind >= RecordKindCount || kind == KindTextPair)
        return nullptr;
    const KindLayout& layout = Layouts[kind];
    std::memset(static_cast<void*>(record), 0, layout.size);
    record->kind = kind;
    auto* base = reinterpret_cast<unsigned char*>(record);
    for (size_t i = 0; i < layout.fieldCount; ++i) {
        const FieldDef& field = layout.fields[i];
        const char* text = i < columns ? row[i] : nullptr;
        switch (field.kind) {
        case ColumnKind::Int: {
            int32_t value = static_cast<int32_t>(ReadInteger(text, INT32_MIN, INT32_MAX));
            std::memcpy(base + field.offset, &value, sizeof value);
            break;
        }
        case ColumnKind::BigInt: {
            int64_t value = ReadInteger(text, INT64_MIN, INT64_MAX);
            std::memcpy(base + field.offset, &value, sizeof value);
            break;
        }
        case ColumnKind::Double: {
            double value = text == nullptr ? 0.0 : std::strtod(text, nullptr);
            std::memcpy(base + field.offset, &value, sizeof value);
            break;
        }
        case ColumnKind::Text:
            TextAt(record, field.offset) = const_cast<char*>(text);
            break;
        }
    }
    return record;
}
