#include "database/Database.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

#include "database/DbHandle.h"
#include "database/Proxy.h"

std::atomic<bool> ReportSqlErrors{true};

namespace {

constexpr const char* Unit = "Database";

// How often a result set lost with its connection is asked for again (each
// time on a new connection with the statement sent again) before giving up.
constexpr int ResultRetryLimit = 3;

bool IsConnectionLost(unsigned error)
{
    return error == ServerGoneError || error == ServerLostError;
}

// One formatted statement. Most statements are short and are formatted into
// a small buffer on the stack; a longer one gets a heap block of its exact
// size. Either way a statement holds at most StatementBufferSize - 1
// characters: a longer one is refused with a log line rather than cut, as a
// cut statement could run with a different meaning.
class Statement {
public:
    bool Format(const char* format, va_list args)
    {
        va_list again;
        va_copy(again, args);
        int length = std::vsnprintf(small_, sizeof small_, format, args);
        bool ok = Check(length, format);
        if (ok && static_cast<size_t>(length) >= sizeof small_) {
            large_.reset(new char[length + 1]);
            std::vsnprintf(large_.get(), length + 1, format, again);
        }
        va_end(again);
        return ok;
    }
    const char* Text() const { return large_ != nullptr ? large_.get() : small_; }

private:
    bool Check(int length, const char* format)
    {
        if (length < 0) {
            LogError("SQL STATEMENT: cannot format \"%.200s\"", format);
            return false;
        }
        if (static_cast<size_t>(length) >= StatementBufferSize) {
            LogError("SQL STATEMENT TOO LONG: %d characters, at most %zu; refused: %.200s", length,
                     StatementBufferSize - 1, small_);
            return false;
        }
        return true;
    }

    char small_[4096];
    std::unique_ptr<char[]> large_;
};

// Formats the statement and runs it; false when it cannot be formatted, is
// too long or fails.
bool QueryFormatted(DbHandle* handle, const char* format, va_list args)
{
    Statement statement;
    return statement.Format(format, args) && DbQuery(handle, statement.Text());
}

// Releases the library connection of a direct handle, if it has one.
void CloseConnection(DbHandle* handle)
{
    if (handle->initialised) {
        mysql_close(&handle->connection);
        handle->initialised = false;
    }
}

bool EqualsIgnoringCase(const char* a, const char* b)
{
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b)))
            return false;
    }
    return *a == *b;
}

}  // namespace

DbHandle* DbOpen(const SiteConfig* site, int mode)
{
    if (site == nullptr)
        return nullptr;
    DbHandle* handle = new DbHandle();
    handle->payload = nullptr;
    handle->mode = mode;
    CopyText(handle->server, site->sql_server);
    if (mode == 0) {
        CopyText(handle->database, site->sql_database);
        CopyText(handle->user, site->sql_user);
        CopyText(handle->password, site->sql_password);
    }
    DbConnect(handle);
    return handle;
}

bool DbConnect(DbHandle* handle)
{
    handle->connected = false;
    if (handle->mode != 0) {
        if (!ProxyConnect(handle))
            return false;
        handle->connected = true;
        return true;
    }
    if (handle->server[0] == '\0' || handle->user[0] == '\0' || handle->database[0] == '\0')
        return false;

    for (;;) {
        // A fresh library connection for every attempt; the one of an
        // earlier, lost connection is released first.
        CloseConnection(handle);
        mysql_init(&handle->connection);
        handle->initialised = true;
        if (mysql_real_connect(&handle->connection, handle->server, handle->user, handle->password,
                               handle->database, 0, nullptr, 0) != nullptr)
            break;
        LogError("SQL CONNECT: %s", mysql_error(&handle->connection));
        Sleep(10000);
    }
    mysql_query(&handle->connection, "set names 'utf8'");
    handle->connected = true;
    return true;
}

bool DbQuery(DbHandle* handle, const char* statement)
{
    if (handle->mode != 0)
        return ProxyQuery(handle, statement);

    for (;;) {
        if (!handle->connected)
            return false;
        if (handle->last_statement.data() != statement)
            handle->last_statement.assign(statement);
        int failed;
        {
            std::lock_guard<std::mutex> guard(handle->lock);
            failed = mysql_real_query(&handle->connection, statement, std::strlen(statement));
        }
        if (failed == 0)
            return true;
        if (ReportSqlErrors)
            PrintMessage("SQL ERROR: %s.\n  Query was: %s\n", mysql_error(&handle->connection), statement);
        if (!IsConnectionLost(mysql_errno(&handle->connection)))
            return false;
        Sleep(1000);
        DbConnect(handle);
    }
}

bool DbExecute(DbHandle* handle, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    bool ok = QueryFormatted(handle, format, args);
    va_end(args);
    return ok;
}

uint32_t DbInsert(DbHandle* handle, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    bool ok = QueryFormatted(handle, format, args);
    va_end(args);
    if (!ok)
        return 0;
    if (handle->mode != 0)
        return handle->insert_id;
    return static_cast<uint32_t>(mysql_insert_id(&handle->connection));
}

uint32_t DbUpdate(DbHandle* handle, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    bool ok = QueryFormatted(handle, format, args);
    va_end(args);
    if (!ok)
        return 0;
    if (handle->mode != 0)
        return handle->affected_rows;
    return static_cast<uint32_t>(mysql_affected_rows(&handle->connection));
}

DbResult* DbStoreResult(DbHandle* handle)
{
    if (handle->mode != 0)
        return ProxyStoreResult(handle);
    if (!handle->connected)
        return nullptr;

    MYSQL_RES* stored = mysql_store_result(&handle->connection);
    // A result set lost with the connection cannot be taken again from the
    // same connection: reconnect and send the statement again, a bounded
    // number of times.
    for (int attempt = 1; stored == nullptr && IsConnectionLost(mysql_errno(&handle->connection)); ++attempt) {
        PrintMessage("SQL SERVER ERROR: %s\n", mysql_error(&handle->connection));
        Sleep(5000);
        if (attempt > ResultRetryLimit) {
            LogError("SQL SERVER ERROR: result set lost %d times, statement given up: %.200s", attempt,
                     handle->last_statement.c_str());
            return nullptr;
        }
        DbConnect(handle);
        // DbQuery records the statement it runs; hand it a copy.
        std::string statement = handle->last_statement;
        if (!DbQuery(handle, statement.c_str()))
            return nullptr;
        stored = mysql_store_result(&handle->connection);
    }
    if (stored == nullptr)
        return nullptr;
    DbResult* result = new DbResult();
    result->owner = handle;
    result->result = stored;
    return result;
}

char** DbFetchRow(DbResult* result)
{
    if (result == nullptr)
        return nullptr;
    if (result->owner->mode != 0)
        return ProxyFetchRow(result);
    return mysql_fetch_row(result->result);
}

uint64_t DbRowCount(DbResult* result)
{
    if (result == nullptr)
        return 0;
    if (result->owner->mode != 0)
        return result->row_count;
    return mysql_num_rows(result->result);
}

uint32_t DbColumnCount(DbResult* result)
{
    if (result == nullptr)
        return 0;
    if (result->owner->mode != 0)
        return result->column_count;
    return mysql_num_fields(result->result);
}

void DbFreeResult(DbResult* result)
{
    if (result == nullptr)
        return;
    if (result->owner->mode != 0) {
        ProxyFreeResult(result);
        return;
    }
    mysql_free_result(result->result);
    delete result;
}

char* DbGetVariable(DbHandle* handle, const char* name, char* output, size_t outputSize)
{
    output[0] = '\0';
    if (!DbExecute(handle, "show variables")) {
        LOG_ASSERT("b", Unit, 437);
        return output;
    }
    DbResult* result = DbStoreResult(handle);
    if (result == nullptr) {
        LOG_ASSERT("result", Unit, 440);
        return output;
    }
    while (char** row = DbFetchRow(result)) {
        if (row[0] != nullptr && EqualsIgnoringCase(row[0], name)) {
            CopyText(output, outputSize, row[1] != nullptr ? row[1] : "");
            break;
        }
    }
    DbFreeResult(result);
    return output;
}

char* DbQueryValue(DbHandle* handle, char* output, size_t outputSize, const char* format, ...)
{
    output[0] = '\0';
    va_list args;
    va_start(args, format);
    bool ok = QueryFormatted(handle, format, args);
    va_end(args);
    if (!ok) {
        LOG_ASSERT("b", Unit, 469);
        return output;
    }
    DbResult* result = DbStoreResult(handle);
    if (result == nullptr) {
        LOG_ASSERT("result", Unit, 472);
        return output;
    }
    char** row = DbFetchRow(result);
    if (row != nullptr && row[0] != nullptr)
        CopyText(output, outputSize, row[0]);
    DbFreeResult(result);
    return output;
}

void DbClose(DbHandle* handle)
{
    if (handle == nullptr)
        return;
    if (handle->mode != 0)
        ProxyClose(handle);
    else
        CloseConnection(handle);
    delete handle;
}
