// Table readers and writers: the first row of a table matching a condition as
// an owned record, the row parsers used on fetched rows, and the two inserts.
#pragma once

#include <cstdint>

#include "database/Database.h"
#include "database/Records.h"

// Read<Table>(handle, condition, ...): runs "select * from <Table> where "
// followed by the condition formatted with its values, and returns a new
// record of the first row (release with FreeRecord), or null when no row
// matches or the statement failed (reported).
DatabaseVersionRecord* ReadDatabaseVersion(DbHandle* handle, const char* condition, ...) VTD_PRINTF(2, 3);
CertificateRecord* ReadCertificate(DbHandle* handle, const char* condition, ...) VTD_PRINTF(2, 3);
FolderImportRecord* ReadFolderImport(DbHandle* handle, const char* condition, ...) VTD_PRINTF(2, 3);
ObjectRecord* ReadObject(DbHandle* handle, const char* condition, ...) VTD_PRINTF(2, 3);
VFileRecord* ReadVFile(DbHandle* handle, const char* condition, ...) VTD_PRINTF(2, 3);
TranscodeObjectRecord* ReadTranscodeObject(DbHandle* handle, const char* condition, ...) VTD_PRINTF(2, 3);
ServerRecord* ReadServer(DbHandle* handle, const char* condition, ...) VTD_PRINTF(2, 3);
TranscodeTemplateRecord* ReadTranscodeTemplate(DbHandle* handle, const char* condition, ...) VTD_PRINTF(2, 3);

// Parse<Table>Row(record, row): fills the caller's record from a row of
// DbFetchRow by column position. Texts are borrowed from the row: the record
// is valid until the next fetch or DbFreeResult and is never released.
#define VTD_ROW_PARSER(number, table) \
    table##Record* Parse##table##Row(table##Record* record, char** row, size_t columns = SIZE_MAX);
VTD_RECORD_KINDS(VTD_ROW_PARSER)
#undef VTD_ROW_PARSER

// Inserts a TranscodeObject row; id 0 lets the database number it. Returns
// the row's id, 0 on failure. Quotes and backslashes in the texts are escaped.
uint32_t InsertTranscodeObject(DbHandle* handle, int id, int fileid, int templateid, int status,
                               const char* pathname, int views, int64_t size, int bitrate, const char* message);
// Stamps version into DatabaseVersion with the current time as created and
// updated. Returns DbInsert's result, 0 (the table has no auto-numbered column).
uint32_t InsertDatabaseVersion(DbHandle* handle, const char* version);
