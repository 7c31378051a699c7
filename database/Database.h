// Connection and statement layer for one site database: direct mode over
// MariaDB Connector/C, or proxy mode over a ClientSocket.
#pragma once

#include <atomic>
#include <cstdint>

#include "config/Config.h"
#include "log/Log.h"

// Size of the statement buffer; a formatted statement holds at most one byte
// less and a longer one is refused.
constexpr size_t StatementBufferSize = 0x80000;

// Client library error numbers after which the layer reconnects.
constexpr unsigned ServerGoneError = 2006;
constexpr unsigned ServerLostError = 2013;

struct DbHandle;
struct DbResult;

// While true, statements the server refuses are printed.
extern std::atomic<bool> ReportSqlErrors;

// Opens a handle for site in direct mode (0) or proxy mode (other values);
// connecting has been attempted when it returns.
DbHandle* DbOpen(const SiteConfig* site, int mode);
bool DbConnect(DbHandle* handle);
bool DbQuery(DbHandle* handle, const char* statement);
bool DbExecute(DbHandle* handle, const char* format, ...) VTD_PRINTF(2, 3);
// Auto-increment id of the inserted row (low 32 bits); 0 on failure.
uint32_t DbInsert(DbHandle* handle, const char* format, ...) VTD_PRINTF(2, 3);
// Rows changed (low 32 bits); 0 on failure.
uint32_t DbUpdate(DbHandle* handle, const char* format, ...) VTD_PRINTF(2, 3);
DbResult* DbStoreResult(DbHandle* handle);
// Next row as column texts (a null pointer for SQL NULL in direct mode), or
// null after the last row. Valid until the next fetch or DbFreeResult.
char** DbFetchRow(DbResult* result);
// Number of rows of a stored result.
uint64_t DbRowCount(DbResult* result);
// Number of columns of each row of a stored result.
uint32_t DbColumnCount(DbResult* result);
void DbFreeResult(DbResult* result);
// output must hold outputSize bytes; returns output.
char* DbGetVariable(DbHandle* handle, const char* name, char* output, size_t outputSize);
char* DbQueryValue(DbHandle* handle, char* output, size_t outputSize, const char* format, ...) VTD_PRINTF(4, 5);
void DbClose(DbHandle* handle);
