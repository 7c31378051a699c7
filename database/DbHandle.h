// The records behind the opaque DbHandle and DbResult of Database.h, shared
// by the direct-mode code (Database.cpp) and the proxy exchange (Proxy.cpp).
#pragma once

#include <cstdint>
#include <mutex>
#include <mysql.h>
#include <string>

struct ClientSocket;

// Size of the copied connection settings: at most 259 characters each.
constexpr size_t DbTextSize = 260;

// One open connection to a site database, direct mode (mode 0) or proxy mode.
struct DbHandle {
    char server[DbTextSize];    // host (direct) or "host[:port]" of the proxy
    char database[DbTextSize];  // direct mode only
    char user[DbTextSize];      // direct mode only
    char password[DbTextSize];  // direct mode only
    int32_t connected;          // cleared at the start of every connection attempt
    int32_t mode;               // 0 direct, other values proxy
    MYSQL connection;           // direct mode
    ClientSocket* socket;       // proxy mode, owned; null while not connected
    std::mutex lock;            // held around the library's statement call
    uint32_t affected_rows;     // proxy mode: from the last reply header
    uint32_t column_count;      // proxy mode: from the last reply header
    uint32_t insert_id;         // proxy mode: from the last reply header
    char* payload;              // proxy mode: owned payload of the last reply, or null
    uint32_t payload_size;      // bytes in payload

    // Direct mode: true once mysql_init has set up connection, so that a
    // reconnection or DbClose releases the previous library connection.
    bool initialised;
    // Direct mode: the statement sent last, run again when its result set is
    // lost together with the connection.
    std::string last_statement;
};

// The result set of one statement; rows are arrays of column texts.
struct DbResult {
    DbHandle* owner;        // not owned; selects direct or proxy behaviour
    MYSQL_RES* result;      // direct mode, owned
    char** row;             // proxy mode: column_count pointers, owned
    char* payload;          // proxy mode: owned, taken over from the handle, or null
    uint32_t payload_size;  // bytes in payload
    char* cursor;           // proxy mode: start of the next row in payload
    uint32_t rows_fetched;  // proxy mode: rows returned so far
    uint32_t row_count;     // proxy mode: rows of the result
    uint32_t column_count;  // proxy mode: columns of each row
};
