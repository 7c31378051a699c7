// Connection and statement layer for one site database: direct mode over
// MariaDB Connector/C, or proxy mode over a ClientSocket.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "config/Config.h"
#include "log/Log.h"

// Size of the statement buffer; a formatted statement holds at most one byte
// less and a longer one is refused.
constexpr size_t StatementBufferSize = TextBufferSize;

// Client library error numbers after which the layer reconnects.
constexpr unsigned ServerGoneError = 2006;
constexpr unsigned ServerLostError = 2013;

struct DbHandle;
struct DbResult;

// How a handle reaches its database, fixed when it is opened.
enum class DbMode {
    Direct,  // a Connector/C connection to the site's database server
    Proxy,   // a ClientSocket to a database proxy (WSDB/2.0)
};

// While true, statements the server refuses are printed.
extern std::atomic<bool> ReportSqlErrors;

// Initialises the client library once per process, before any handle.
void DbLibraryInit();

// Waits until the database server named by site's settings answers a
// connection attempt, at most limitMilliseconds in short steps: a refusal
// of the login counts as an answer, only "cannot reach the server" is
// waited out. Nothing is reported. true when the server answered.
bool DbWaitForServer(const SiteConfig* site, unsigned limitMilliseconds);

// Opens a handle for site in the given mode; connecting has been attempted
// when it returns. A refused direct connection is tried again every 10 s, at
// most connectAttempts times in all (0: until the server accepts); an early
// stop (EarlyStop.h) ends the waiting.
DbHandle* DbOpen(const SiteConfig* site, DbMode mode, unsigned connectAttempts = 0);
bool DbConnect(DbHandle* handle);
// Whether the handle holds a connection.
bool DbIsConnected(const DbHandle* handle);
bool DbQuery(DbHandle* handle, const char* statement);
// DbQuery for a statement given whole, whose "SQL ERROR" lines (the ones
// DbQuery prints, each ending in a line feed) are appended to *lines
// instead, so that the caller can print them in an order of its own.
bool DbQueryCollect(DbHandle* handle, const char* statement, std::vector<std::string>* lines);
bool DbExecute(DbHandle* handle, const char* format, ...) VTD_PRINTF(2, 3);
// DbExecute for a statement that is expected to fail at times: a refusal is
// not printed, whatever ReportSqlErrors says.
bool DbExecuteQuiet(DbHandle* handle, const char* format, ...) VTD_PRINTF(2, 3);
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
