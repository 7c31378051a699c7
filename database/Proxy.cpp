// Proxy mode of the database layer. The handle talks to a database proxy
// over a plain TCP connection: one opening request naming the protocol
// WSDB/2.0, then for each statement a 4-byte length and the statement text,
// answered by a 32-byte header of eight little-endian words and an optional
// payload of row texts.
#include "database/Proxy.h"

#include "database/DbHandle.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "log/Log.h"
#include "net/ClientSocket.h"

namespace {

constexpr const char* Unit = "Database";

// Line numbers of this unit's failure reports about the proxy exchange.
constexpr int OpenFailureLine = 172;
constexpr int SendFailureLine = 184;
constexpr int HeaderFailureLine = 194;
constexpr int PayloadLimitLine = 206;
constexpr int PayloadFailureLine = 211;
constexpr int RowArrayLine = 259;

// Pauses of the protocol: after the opening request, after a (re)opening
// before the statement goes out, and before the socket is closed.
constexpr unsigned OpeningPause = 500;
constexpr unsigned ClosePause = 100;

// Reply header words the client reads.
constexpr int WordInsertId = 0;
constexpr int WordAffectedRows = 2;
constexpr int WordColumnCount = 4;
constexpr int WordResultLength = 5;
constexpr int WordPayloadLength = 6;

// Payload bytes are read in pieces of at most this size, and the kept result
// grows as they arrive, so a reply that announces more than it sends never
// costs memory for bytes that did not come.
constexpr uint32_t ReadPiece = 1u << 20;

constexpr char CloseText[] = "CLOSE CONNECTION";

uint32_t Word(const unsigned char* header, int index)
{
    const unsigned char* p = header + 4 * index;
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

void PutWord(unsigned char* bytes, uint32_t value)
{
    bytes[0] = static_cast<unsigned char>(value);
    bytes[1] = static_cast<unsigned char>(value >> 8);
    bytes[2] = static_cast<unsigned char>(value >> 16);
    bytes[3] = static_cast<unsigned char>(value >> 24);
}

void ReleasePayload(DbHandle* handle)
{
    std::free(handle->proxy.payload);
    handle->proxy.payload = nullptr;
    handle->proxy.payload_size = 0;
}

void DropConnection(DbHandle* handle)
{
    SocketClose(handle->proxy.socket);
    handle->proxy.socket = nullptr;
    handle->connected = false;
}

// Connects to the proxy and sends the opening request. Nothing is read in
// answer: the first bytes read on the connection are the reply to the first
// statement.
bool OpenProxy(DbHandle* handle)
{
    handle->connected = false;
    handle->proxy.socket = SocketConnectAddress(handle->server, false);
    if (handle->proxy.socket == nullptr)
        return false;
    SocketSendFormat(handle->proxy.socket, "GET / WSDB/2.0\r\nHost: %s\r\n\r\n", handle->server);
    Sleep(OpeningPause);
    handle->connected = true;
    return true;
}

enum class Reply { Complete, Broken, Refused };

// Reads the rest of a reply whose header announced payloadLength bytes, of
// which the first keepLength form the result. The kept bytes go into the
// handle's payload with one NUL byte after them, so that every text of the
// row walk ends inside the block, also in a result cut off inside a value.
Reply ReadPayload(DbHandle* handle, uint32_t payloadLength, uint32_t keepLength)
{
    uint32_t capacity = keepLength < ReadPiece ? keepLength : ReadPiece;
    char* block = static_cast<char*>(std::malloc(static_cast<size_t>(capacity) + 1));
    if (block == nullptr) {
        LOG_ASSERT("buffer", Unit, PayloadLimitLine);
        return Reply::Refused;
    }
    uint32_t kept = 0;
    while (kept < keepLength) {
        if (kept == capacity) {
            uint32_t grown = keepLength - capacity < capacity ? keepLength : 2 * capacity;
            char* larger = static_cast<char*>(std::realloc(block, static_cast<size_t>(grown) + 1));
            if (larger == nullptr) {
                std::free(block);
                LOG_ASSERT("buffer", Unit, PayloadLimitLine);
                return Reply::Refused;
            }
            block = larger;
            capacity = grown;
        }
        uint32_t want = capacity - kept < ReadPiece ? capacity - kept : ReadPiece;
        int got = SocketReceiveExact(handle->proxy.socket, block + kept, static_cast<int>(want));
        kept += static_cast<uint32_t>(got > 0 ? got : 0);
        if (got != static_cast<int>(want)) {
            std::free(block);
            return Reply::Broken;
        }
    }
    block[kept] = '\0';

    // Bytes beyond the result are read and dropped.
    char discard[4096];
    for (uint32_t rest = payloadLength - keepLength; rest > 0;) {
        int want = rest < sizeof(discard) ? static_cast<int>(rest) : static_cast<int>(sizeof(discard));
        if (SocketReceiveExact(handle->proxy.socket, discard, want) != want) {
            std::free(block);
            return Reply::Broken;
        }
        rest -= static_cast<uint32_t>(want);
    }
    handle->proxy.payload = block;
    handle->proxy.payload_size = kept;
    return Reply::Complete;
}

// Closes the broken connection and opens a new one. false (reported with
// line) when the new connection cannot be made.
bool Reconnect(DbHandle* handle, int line)
{
    DropConnection(handle);
    if (!OpenProxy(handle)) {
        LOG_ASSERT("b", Unit, line);
        return false;
    }
    Sleep(OpeningPause);
    return true;
}

// One exchange on an open connection: the statement out, its reply in. A
// broken connection gives Broken with the line of the report that its
// reopening makes when it fails; a refused reply has dropped the connection.
Reply Exchange(DbHandle* handle, const char* statement, size_t length, int& brokenLine)
{
    unsigned char size[4];
    PutWord(size, static_cast<uint32_t>(length));
    SocketWrite(handle->proxy.socket, size, 4);
    SocketWrite(handle->proxy.socket, statement, static_cast<int>(length));
    if (!SocketFlush(handle->proxy.socket)) {
        brokenLine = SendFailureLine;
        return Reply::Broken;
    }
    unsigned char header[ProxyHeaderSize] = {};
    if (SocketReceiveExact(handle->proxy.socket, header, ProxyHeaderSize) != ProxyHeaderSize) {
        brokenLine = HeaderFailureLine;
        return Reply::Broken;
    }
    handle->proxy.column_count = Word(header, WordColumnCount);
    handle->proxy.affected_rows = Word(header, WordAffectedRows);
    handle->proxy.insert_id = Word(header, WordInsertId);

    uint32_t resultLength = Word(header, WordResultLength);
    uint32_t payloadLength = Word(header, WordPayloadLength);
    if (resultLength == 0 || payloadLength == 0)
        return Reply::Complete;
    // A payload beyond the bound cannot be a real reply. Its bytes are not
    // read, so the connection is dropped: the next statement starts on a new
    // one instead of reading them as a header.
    if (payloadLength > ProxyPayloadLimit) {
        LOG_ASSERT("buffer", Unit, PayloadLimitLine);
        DropConnection(handle);
        return Reply::Refused;
    }
    // A result cannot be longer than the payload that carries it.
    uint32_t keepLength = resultLength < payloadLength ? resultLength : payloadLength;
    Reply reply = ReadPayload(handle, payloadLength, keepLength);
    if (reply == Reply::Refused)
        DropConnection(handle);
    brokenLine = PayloadFailureLine;
    return reply;
}

bool ProxyQuery(DbHandle* handle, const char* statement)
{
    size_t length = std::strlen(statement);
    // The length and the text go out in one flush of the send buffer; a
    // statement that does not fit beside its length is refused before any
    // byte is sent, as a length without its text would leave both sides
    // waiting for each other.
    if (length > static_cast<size_t>(SocketBufferSize) - 4) {
        ReleasePayload(handle);
        LogError("SQL STATEMENT TOO LONG for the proxy: %zu bytes, at most %d; refused: %.200s", length,
                 SocketBufferSize - 4, statement);
        return false;
    }
    for (;;) {
        ReleasePayload(handle);
        if (!handle->connected) {
            if (!OpenProxy(handle)) {
                LOG_ASSERT("b", Unit, OpenFailureLine);
                return false;
            }
            Sleep(OpeningPause);
        }
        int brokenLine = 0;
        switch (Exchange(handle, statement, length, brokenLine)) {
        case Reply::Complete:
            return true;
        case Reply::Refused:
            return false;
        case Reply::Broken:
            if (!Reconnect(handle, brokenLine))
                return false;
            break;
        }
    }
}

DbResult* ProxyStoreResult(DbHandle* handle, bool& lost)
{
    lost = false;
    DbResult* result = new DbResult();
    result->owner = handle;
    result->result = nullptr;
    result->proxy.payload = handle->proxy.payload;
    result->proxy.payload_size = handle->proxy.payload_size;
    handle->proxy.payload = nullptr;
    handle->proxy.payload_size = 0;
    result->proxy.cursor = result->proxy.payload;
    result->proxy.rows_fetched = 0;
    result->proxy.row_count = handle->proxy.affected_rows;
    result->proxy.column_count = handle->proxy.column_count;
    // Every value takes at least its NUL byte, so a row of more columns than
    // the result has bytes can never be complete: such a row array is not
    // needed (and could be absurdly large).
    uint32_t entries = result->proxy.column_count;
    if (entries > result->proxy.payload_size)
        entries = 0;
    result->proxy.row = static_cast<char**>(std::calloc(entries == 0 ? 1 : entries, sizeof(char*)));
    if (result->proxy.row == nullptr) {
        LOG_ASSERT("row", Unit, RowArrayLine);
        std::free(result->proxy.payload);
        delete result;
        return nullptr;
    }
    return result;
}

char** ProxyFetchRow(DbResult* result)
{
    if (result->proxy.payload == nullptr)
        return nullptr;
    char* end = result->proxy.payload + result->proxy.payload_size;
    char* cursor = result->proxy.cursor;
    if (cursor >= end || *cursor == '\r')
        return nullptr;
    if (result->proxy.column_count > result->proxy.payload_size) {
        result->proxy.cursor = end;
        return nullptr;
    }
    for (uint32_t column = 0; column < result->proxy.column_count; column++) {
        char* nul = static_cast<char*>(std::memchr(cursor, '\0', static_cast<size_t>(end - cursor)));
        if (nul == nullptr) {
            // The result ends inside this row: it is not returned, and the
            // walk is over.
            result->proxy.cursor = end;
            return nullptr;
        }
        result->proxy.row[column] = cursor;
        cursor = nul + 1;
    }
    // The separator after the last value; a result that ends right after
    // the values has none.
    if (cursor < end)
        cursor++;
    result->proxy.cursor = cursor;
    result->proxy.rows_fetched++;
    return result->proxy.row;
}

void ProxyFreeResult(DbResult* result)
{
    std::free(result->proxy.payload);
    std::free(result->proxy.row);
    delete result;
}

void ProxyClose(DbHandle* handle)
{
    if (handle->proxy.socket != nullptr) {
        unsigned char size[4];
        PutWord(size, sizeof(CloseText) - 1);
        SocketSend(handle->proxy.socket, size, 4);
        SocketSendFormat(handle->proxy.socket, "%s", CloseText);
        Sleep(ClosePause);
        DropConnection(handle);
    }
    ReleasePayload(handle);
}

bool CanConnect(const DbHandle*)
{
    return true;
}

DbQueryOutcome Query(DbHandle* handle, const char* statement)
{
    return ProxyQuery(handle, statement) ? DbQueryOutcome::Done : DbQueryOutcome::Failed;
}

const char* ErrorText(DbHandle*)
{
    return "";
}

uint64_t RowCount(DbResult* result)
{
    return result->proxy.row_count;
}

uint32_t ColumnCount(DbResult* result)
{
    return result->proxy.column_count;
}

uint32_t InsertId(DbHandle* handle)
{
    return handle->proxy.insert_id;
}

uint32_t AffectedRows(DbHandle* handle)
{
    return handle->proxy.affected_rows;
}

}  // namespace

const DbBackend ProxyBackend = {
    CanConnect, OpenProxy, false, Query, ErrorText, ProxyStoreResult, ProxyFetchRow, RowCount, ColumnCount,
    ProxyFreeResult, InsertId, AffectedRows, ProxyClose,
};
