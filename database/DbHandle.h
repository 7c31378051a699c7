// The records behind the opaque DbHandle and DbResult of Database.h, and the
// table of functions through which Database.cpp drives one of the two back
// ends: direct mode over Connector/C (DirectBackend.cpp) or proxy mode over a
// ClientSocket (Proxy.cpp). The back end is chosen once, at DbOpen.
#pragma once

#include <cstdint>
#include <mutex>
#include <mysql.h>
#include <string>

struct ClientSocket;
struct DbHandle;
struct DbResult;
enum class DbMode;  // Database.h

// Size of the copied connection settings: at most 259 characters each.
constexpr size_t DbTextSize = 260;

// What became of one statement in a back end.
enum class DbQueryOutcome {
    Done,            // the statement ran
    Failed,          // it did not run; nothing more to report or try
    Refused,         // the server refused it: reported, not sent again
    ConnectionLost,  // the connection went: reported, sent again on a new one
};

struct DbBackend {
    // Whether the handle's settings allow a connection at all.
    bool (*CanConnect)(const DbHandle* handle);
    // One connection attempt; true when connected.
    bool (*Connect)(DbHandle* handle);
    // Whether a refused connection is tried again (every 10 s, reported) until
    // the server accepts, or given up at once.
    bool waitsForServer;
    DbQueryOutcome (*Query)(DbHandle* handle, const char* statement);
    // The back end's text for the last failure.
    const char* (*ErrorText)(DbHandle* handle);
    // The result of the last statement, or null; lost is set when it was lost
    // with the connection.
    DbResult* (*StoreResult)(DbHandle* handle, bool& lost);
    char** (*FetchRow)(DbResult* result);
    uint64_t (*RowCount)(DbResult* result);
    uint32_t (*ColumnCount)(DbResult* result);
    void (*FreeResult)(DbResult* result);
    uint32_t (*InsertId)(DbHandle* handle);
    uint32_t (*AffectedRows)(DbHandle* handle);
    // Ends the connection and releases what the back end holds.
    void (*Close)(DbHandle* handle);
};

extern const DbBackend DirectBackend;
extern const DbBackend ProxyBackend;

// What direct mode keeps of its library connection.
struct DirectConnection {
    MYSQL connection;
    // True once mysql_init has set up connection, so that a reconnection or
    // DbClose releases the previous library connection.
    bool initialised;
};

// What proxy mode keeps of the connection and the last reply.
struct ProxyConnection {
    ClientSocket* socket;    // owned; null while not connected
    uint32_t affected_rows;  // from the last reply header
    uint32_t column_count;   // from the last reply header
    uint32_t insert_id;      // from the last reply header
    char* payload;           // owned payload of the last reply, or null
    uint32_t payload_size;   // bytes in payload
};

// One open connection to a site database.
struct DbHandle {
    char server[DbTextSize];    // host (direct) or "host[:port]" of the proxy
    char database[DbTextSize];  // direct mode only
    char user[DbTextSize];      // direct mode only
    char password[DbTextSize];  // direct mode only
    char site[DbTextSize];      // the site's name, for what the daemon reports
    int32_t connected;          // cleared at the start of every connection attempt
    // Connection attempts DbConnect makes before it gives up; 0: it waits
    // for the server without limit.
    unsigned connect_attempts;
    DbMode mode;
    const DbBackend* backend;
    std::mutex lock;            // held around the library's statement call
    // The statement sent last, run again when its result set is lost
    // together with the connection.
    std::string last_statement;
    DirectConnection direct;
    ProxyConnection proxy;
};

// What proxy mode keeps of a result.
struct ProxyResult {
    char** row;             // column_count pointers, owned
    char* payload;          // owned, taken over from the handle, or null
    uint32_t payload_size;  // bytes in payload
    char* cursor;           // start of the next row in payload
    uint32_t rows_fetched;  // rows returned so far
    uint32_t row_count;     // rows of the result
    uint32_t column_count;  // columns of each row
};

// The result set of one statement; rows are arrays of column texts.
struct DbResult {
    DbHandle* owner;    // not owned; selects the back end
    MYSQL_RES* result;  // direct mode, owned
    ProxyResult proxy;
};
