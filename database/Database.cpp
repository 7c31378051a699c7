#include "database/Database.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "database/DbHandle.h"
#include "platform/EarlyStop.h"
#include "platform/Service.h"

std::atomic<bool> ReportSqlErrors{true};

namespace {

constexpr const char* Unit = "Database";

// How often a result set lost with its connection is asked for again (each
// time on a new connection with the statement sent again) before giving up.
constexpr int ResultRetryLimit = 3;

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

// Line numbers of this unit's failure reports.
constexpr int VariableStatementLine = 437;
constexpr int VariableResultLine = 440;
constexpr int ValueStatementLine = 469;
constexpr int ValueResultLine = 472;

// Runs one statement through the handle's back end. A refusal is printed
// when report is set and ReportSqlErrors too; a statement whose connection
// was lost is sent again on a new connection, after a pause, for as long as
// that keeps happening.
bool RunStatement(DbHandle* handle, const char* statement, bool report, std::vector<std::string>* sink = nullptr)
{
    for (;;) {
        if (handle->last_statement.data() != statement)
            handle->last_statement.assign(statement);
        DbQueryOutcome outcome = handle->backend->Query(handle, statement);
        if (outcome == DbQueryOutcome::Done)
            return true;
        if (outcome == DbQueryOutcome::Failed)
            return false;
        if (report && ReportSqlErrors) {
            if (sink != nullptr)
                sink->push_back(std::string("SQL ERROR: ") + handle->backend->ErrorText(handle) + ".\n  Query was: " +
                                statement + "\n");
            else
                PrintMessageAt(PriorityWarning, "SQL ERROR: %s.\n  Query was: %s\n",
                               handle->backend->ErrorText(handle), statement);
        }
        if (outcome != DbQueryOutcome::ConnectionLost)
            return false;
        Sleep(1000);
        DbConnect(handle);
    }
}

// Formats the statement and runs it; false when it cannot be formatted, is
// too long or fails.
bool QueryFormatted(DbHandle* handle, const char* format, va_list args, bool report = true)
{
    Statement statement;
    return statement.Format(format, args) && RunStatement(handle, statement.Text(), report);
}

}  // namespace

void DbLibraryInit()
{
    mysql_library_init(0, nullptr, nullptr);
}

DbHandle* DbOpen(const SiteConfig* site, DbMode mode, unsigned connectAttempts)
{
    if (site == nullptr)
        return nullptr;
    DbHandle* handle = new DbHandle();
    handle->mode = mode;
    handle->connect_attempts = connectAttempts;
    CopyText(handle->site, site->name);
    handle->backend = mode == DbMode::Direct ? &DirectBackend : &ProxyBackend;
    CopyText(handle->server, site->sql_server);
    if (mode == DbMode::Direct) {
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
    if (!handle->backend->CanConnect(handle))
        return false;
    for (unsigned attempt = 1; !handle->backend->Connect(handle); attempt++) {
        if (!handle->backend->waitsForServer)
            return false;
        const char* error = handle->backend->ErrorText(handle);
        LogError("SQL CONNECT: %s", error);
        ServiceSetProgress(std::string("Waiting for the database server of site ") + handle->site + ": " +
                           PrintableText(error));
        if (attempt == handle->connect_attempts || !PauseUnlessStopping(10000))
            return false;
    }
    handle->connected = true;
    return true;
}

bool DbIsConnected(const DbHandle* handle)
{
    return handle != nullptr && handle->connected;
}

bool DbQuery(DbHandle* handle, const char* statement)
{
    return RunStatement(handle, statement, true);
}

bool DbQueryCollect(DbHandle* handle, const char* statement, std::vector<std::string>* lines)
{
    return RunStatement(handle, statement, true, lines);
}

bool DbExecute(DbHandle* handle, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    bool ok = QueryFormatted(handle, format, args);
    va_end(args);
    return ok;
}

bool DbExecuteQuiet(DbHandle* handle, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    bool ok = QueryFormatted(handle, format, args, false);
    va_end(args);
    return ok;
}

uint32_t DbInsert(DbHandle* handle, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    bool ok = QueryFormatted(handle, format, args);
    va_end(args);
    return ok ? handle->backend->InsertId(handle) : 0;
}

uint32_t DbUpdate(DbHandle* handle, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    bool ok = QueryFormatted(handle, format, args);
    va_end(args);
    return ok ? handle->backend->AffectedRows(handle) : 0;
}

DbResult* DbStoreResult(DbHandle* handle)
{
    bool lost = false;
    DbResult* result = handle->backend->StoreResult(handle, lost);
    // A result set lost with the connection cannot be taken again from the
    // same connection: reconnect and send the statement again, a bounded
    // number of times.
    for (int attempt = 1; result == nullptr && lost; ++attempt) {
        PrintMessageAt(PriorityError, "SQL SERVER ERROR: %s\n", handle->backend->ErrorText(handle));
        Sleep(5000);
        if (attempt > ResultRetryLimit) {
            LogError("SQL SERVER ERROR: result set lost %d times, statement given up: %.200s", attempt,
                     handle->last_statement.c_str());
            return nullptr;
        }
        DbConnect(handle);
        // The statement run records itself as the last one; hand it a copy.
        std::string statement = handle->last_statement;
        if (!DbQuery(handle, statement.c_str()))
            return nullptr;
        result = handle->backend->StoreResult(handle, lost);
    }
    return result;
}

char** DbFetchRow(DbResult* result)
{
    return result == nullptr ? nullptr : result->owner->backend->FetchRow(result);
}

uint64_t DbRowCount(DbResult* result)
{
    return result == nullptr ? 0 : result->owner->backend->RowCount(result);
}

uint32_t DbColumnCount(DbResult* result)
{
    return result == nullptr ? 0 : result->owner->backend->ColumnCount(result);
}

void DbFreeResult(DbResult* result)
{
    if (result != nullptr)
        result->owner->backend->FreeResult(result);
}

char* DbGetVariable(DbHandle* handle, const char* name, char* output, size_t outputSize)
{
    output[0] = '\0';
    if (!DbExecute(handle, "show variables")) {
        LOG_ASSERT("b", Unit, VariableStatementLine);
        return output;
    }
    DbResult* result = DbStoreResult(handle);
    if (result == nullptr) {
        LOG_ASSERT("result", Unit, VariableResultLine);
        return output;
    }
    while (char** row = DbFetchRow(result)) {
        if (row[0] != nullptr && EqualsNoCase(row[0], name)) {
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
        LOG_ASSERT("b", Unit, ValueStatementLine);
        return output;
    }
    DbResult* result = DbStoreResult(handle);
    if (result == nullptr) {
        LOG_ASSERT("result", Unit, ValueResultLine);
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
    handle->backend->Close(handle);
    delete handle;
}
