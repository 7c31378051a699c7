// Record kinds: one plain record type per table of the site database (and the
// two views VFile and VCourse), numbered 0 to 61. Every record starts with the
// DbRecord head, so any record can be copied or released by its kind number,
// and records of any kinds can be chained through next.
//
// The record types, their members and the row parsers are expanded from the
// table list in TableDefs.inc: one member per column in column order, except
// the column `name`, which the head holds.
#pragma once

#include <cstdint>

#include "database/TableDefs.inc"
#include "database/Tables.h"

struct DbRecord {
    int32_t kind;    // kind number, 0 to 61
    char* name;      // owned text or null: the `name` column for the kinds that have one
    DbRecord* next;  // owned following record of a chain, or null
};

#define VTD_RECORD_KIND_NUMBER(number, table) Kind##table = number,
enum RecordKind : int32_t {
    KindNamed = 0,       // the head alone, with a name
    KindTextPair = 48,   // two texts, mirrors no table
    VTD_RECORD_KINDS(VTD_RECORD_KIND_NUMBER)
};
#undef VTD_RECORD_KIND_NUMBER

constexpr int32_t RecordKindCount = 62;

// Kind 0. Its clone copies only the name and its release leaves the chain alone.
struct NamedRecord {
    DbRecord head;
};

// Kind 48.
struct TextPairRecord {
    DbRecord head;
    char* first;
    char* second;
};

// Member types by column kind: bool columns hold the stored number, texts
// are owned (null for SQL NULL), dates stay in the server's text form.
#define VTD_RECORD_MEMBER_Int int32_t
#define VTD_RECORD_MEMBER_BigInt int64_t
#define VTD_RECORD_MEMBER_Double double
#define VTD_RECORD_MEMBER_Text char*
#define VTD_RECORD_MEMBER(column, type, kind) VTD_RECORD_MEMBER_##kind column;
#define VTD_RECORD_NAME_MEMBER(type)
#define VTD_RECORD_STRUCT(number, table)                                             \
    struct table##Record {                                                           \
        DbRecord head;                                                               \
        VTD_COLUMNS_##table(VTD_RECORD_MEMBER, VTD_RECORD_NAME_MEMBER)               \
    };
VTD_RECORD_KINDS(VTD_RECORD_STRUCT)
#undef VTD_RECORD_STRUCT
#undef VTD_RECORD_NAME_MEMBER
#undef VTD_RECORD_MEMBER

// Init<Kind>: kind set, name and next null, every number 0 and every text null.
// Clone<Kind>: a new deep copy of the record and of the chain behind it; null
//   when given null.
// Free<Kind>: releases the record, its texts and the chain behind it.
#define VTD_RECORD_OPERATIONS(number, table)                \
    table##Record* Init##table(table##Record* record);      \
    table##Record* Clone##table(const table##Record* record); \
    void Free##table(table##Record* record);
VTD_RECORD_OPERATIONS(0, Named)
VTD_RECORD_OPERATIONS(48, TextPair)
VTD_RECORD_KINDS(VTD_RECORD_OPERATIONS)
#undef VTD_RECORD_OPERATIONS

// A deep copy of a record of any kind, by its kind number; null when given
// null or a record whose kind number is damaged (reported in an error box).
DbRecord* CloneRecord(const DbRecord* record);
// Releases a record of kind 1 to 61 and the chain behind it. Kind 0 and kind
// numbers outside 0..100 are left alone; 62..100 are reported in an error box.
void FreeRecord(DbRecord* record);

// Fills record (caller's storage, at least the size of the kind's record) from
// one fetched row, column by column in table order: `name` to the head, numbers
// converted, texts borrowed from the row (null for SQL NULL). The result is
// valid as long as the row; it must not be released. Returns record, or null
// for a kind that mirrors no table. A row of fewer than the table's columns
// (columns, from DbColumnCount) leaves the missing ones as for SQL NULL.
DbRecord* ParseRecordRow(DbRecord* record, int32_t kind, char** row, size_t columns = SIZE_MAX);
