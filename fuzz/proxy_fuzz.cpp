// Feeds arbitrary bytes as the proxy's side of a connection: the statement
// exchange reads them as replies (header, payload) and every result is
// walked row by row with each column text read to its end. Nothing may
// crash, hang or read outside the kept result.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "database/Database.h"
#include "database/DbHandle.h"
#include "net/ClientSocket.h"
#include "platform/SocketPair.h"

namespace {

// More than the pair's buffer could hold without a reader.
constexpr size_t InputLimit = 65536;
// Replies taken from one input.
constexpr int StatementLimit = 8;

}  // namespace

// Where the column lengths go, so the reads of the walk stay in the program.
size_t ProxyFuzzSink = 0;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool initialised = [] {
        // The protocol's pauses shrink to nothing.
        SetSleepDivisor(1000000);
        return true;
    }();
    (void)initialised;
    if (size > InputLimit)
        size = InputLimit;

    SocketHandle client, peer;
    if (!OpenSocketPair(client, peer))
        return 0;
    for (size_t sent = 0; sent < size;) {
        long n = SendOnSocket(peer, data + sent, size - sent);
        if (n <= 0)
            break;
        sent += static_cast<size_t>(n);
    }
    ShutdownSocketSending(peer);

    // A handle connected to the pair. Its server text names a port nothing
    // can listen on, so a reconnection after a short reply fails at once.
    SiteConfig site{};
    CopyText(site.sql_server, "127.0.0.1:0");
    DbHandle* handle = new DbHandle();
    handle->mode = DbMode::Proxy;
    handle->backend = &ProxyBackend;
    handle->proxy.payload = nullptr;
    handle->proxy.payload_size = 0;
    CopyText(handle->server, site.sql_server);
    ClientSocket* socket = new ClientSocket();
    socket->socket = client;
    socket->scrambled = 0;
    handle->proxy.socket = socket;
    handle->connected = true;

    for (int i = 0; i < StatementLimit && handle->connected; i++) {
        if (!DbQuery(handle, "select * from Object"))
            break;
        DbResult* result = DbStoreResult(handle);
        if (result == nullptr)
            break;
        while (char** row = DbFetchRow(result)) {
            // Readers take as many columns as the reply announced.
            for (uint32_t column = 0; column < result->proxy.column_count; column++)
                ProxyFuzzSink += std::strlen(row[column]);
        }
        DbFreeResult(result);
    }
    DbClose(handle);
    CloseSocket(peer);
    return 0;
}
