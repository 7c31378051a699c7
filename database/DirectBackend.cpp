// Direct mode of the database layer: one Connector/C connection to the site's
// database server.
#include <cstring>

#include "platform/EarlyStop.h"
#include "platform/Platform.h"

#include "database/Database.h"
#include "database/DbHandle.h"

namespace {

bool IsConnectionLost(unsigned error)
{
    return error == ServerGoneError || error == ServerLostError;
}

// Releases the library connection, if there is one.
void CloseConnection(DbHandle* handle)
{
    if (handle->direct.initialised) {
        mysql_close(&handle->direct.connection);
        handle->direct.initialised = false;
    }
}

// Connector/C leaves behind the OS error of its own socket work (EAGAIN from
// a non-blocking read that it then waits out, say), whether the call fails or
// not. Its failures are told by its own error text; the OS error code is
// cleared after each call so that no later report carries a text that did
// not cause it.
void ForgetLibraryOsError()
{
    SetLastOsError(0);
}

bool CanConnect(const DbHandle* handle)
{
    // An empty password is allowed.
    return handle->server[0] != '\0' && handle->user[0] != '\0' && handle->database[0] != '\0';
}

bool Connect(DbHandle* handle)
{
    // A fresh library connection for every attempt; the one of an earlier,
    // lost connection is released first.
    CloseConnection(handle);
    mysql_init(&handle->direct.connection);
    handle->direct.initialised = true;
    bool connected = mysql_real_connect(&handle->direct.connection, handle->server, handle->user,
                                        handle->password, handle->database, 0, nullptr, 0) != nullptr;
    if (connected)
        mysql_query(&handle->direct.connection, "set names 'utf8'");
    ForgetLibraryOsError();
    return connected;
}

DbQueryOutcome Query(DbHandle* handle, const char* statement)
{
    if (!handle->connected)
        return DbQueryOutcome::Failed;
    int failed;
    {
        std::lock_guard<std::mutex> guard(handle->lock);
        failed = mysql_real_query(&handle->direct.connection, statement, std::strlen(statement));
    }
    ForgetLibraryOsError();
    if (failed == 0)
        return DbQueryOutcome::Done;
    return IsConnectionLost(mysql_errno(&handle->direct.connection)) ? DbQueryOutcome::ConnectionLost
                                                                     : DbQueryOutcome::Refused;
}

const char* ErrorText(DbHandle* handle)
{
    return mysql_error(&handle->direct.connection);
}

DbResult* StoreResult(DbHandle* handle, bool& lost)
{
    lost = false;
    if (!handle->connected)
        return nullptr;
    MYSQL_RES* stored = mysql_store_result(&handle->direct.connection);
    ForgetLibraryOsError();
    if (stored == nullptr) {
        lost = IsConnectionLost(mysql_errno(&handle->direct.connection));
        return nullptr;
    }
    DbResult* result = new DbResult();
    result->owner = handle;
    result->result = stored;
    return result;
}

char** FetchRow(DbResult* result)
{
    return mysql_fetch_row(result->result);
}

uint64_t RowCount(DbResult* result)
{
    return mysql_num_rows(result->result);
}

uint32_t ColumnCount(DbResult* result)
{
    return mysql_num_fields(result->result);
}

void FreeResult(DbResult* result)
{
    mysql_free_result(result->result);
    delete result;
}

uint32_t InsertId(DbHandle* handle)
{
    return static_cast<uint32_t>(mysql_insert_id(&handle->direct.connection));
}

uint32_t AffectedRows(DbHandle* handle)
{
    return static_cast<uint32_t>(mysql_affected_rows(&handle->direct.connection));
}

} // namespace

bool DbWaitForServer(const SiteConfig* site, unsigned limitMilliseconds)
{
    // Client errors that mean no server answered: no socket, no listener.
    constexpr unsigned NoSocketError = 2002;   // CR_CONNECTION_ERROR
    constexpr unsigned NoListenerError = 2003; // CR_CONN_HOST_ERROR
    constexpr unsigned Step = 100;
    if (site == nullptr || site->sql_server[0] == '\0')
        return false;
    for (unsigned waited = 0;; waited += Step) {
        MYSQL probe;
        mysql_init(&probe);
        bool answered = mysql_real_connect(&probe, site->sql_server, site->sql_user, site->sql_password,
                                           site->sql_database, 0, nullptr, 0) != nullptr;
        unsigned error = mysql_errno(&probe);
        mysql_close(&probe);
        if (answered || (error != NoSocketError && error != NoListenerError))
            return true;
        if (waited >= limitMilliseconds || !PauseUnlessStopping(Step))
            return false;
    }
}

const DbBackend DirectBackend = {
    CanConnect, Connect, true, Query, ErrorText, StoreResult, FetchRow, RowCount, ColumnCount, FreeResult,
    InsertId, AffectedRows, CloseConnection,
};
