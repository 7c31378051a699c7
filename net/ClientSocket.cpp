// ClientSocket: the daemon's only network client.
#include "net/ClientSocket.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/Platform.h"

const unsigned char ScrambleKey[ScrambleKeyLength] = {'Q', 'x', '7', '!', 'p', 'R', '2', '#', 'm', 'T', '9', '$',
                                                      'v', 'L', '4', '&', 'n', 'W', '8', '*', 'k', 'Z', '5', '%'};

namespace {

constexpr const char* Unit = "ClientSocket";
// Line numbers of this unit's failure reports.
constexpr int FormatOverflowLine = 388;
constexpr int HostFailureLine = 476;
constexpr int StatusBufferSize = 2048;

int64_t SteadyMilliseconds()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// XORs length bytes with the key stream starting at position and advances
// the position past them.
void Scramble(unsigned char* bytes, int length, int& position)
{
    for (int i = 0; i < length; i++) {
        bytes[i] ^= ScrambleKey[position];
        position = (position + 1) % ScrambleKeyLength;
    }
}

// How long the next wait for readability may last: the would-block wait,
// cut to what is left of the receive limit. 0 when the limit has passed.
unsigned ReadWaitMilliseconds(const ClientSocket* s)
{
    if (s->receive_deadline == 0)
        return SocketWaitMilliseconds;
    int64_t left = s->receive_deadline - SteadyMilliseconds();
    if (left <= 0)
        return 0;
    return static_cast<unsigned>(std::min<int64_t>(left, SocketWaitMilliseconds));
}

// Waits until s can be read. Without a receive limit a blocking socket
// needs no wait, and after a would-block the wait lasts at most
// SocketWaitMilliseconds before the receive is tried again. With a limit
// the wait ends when it runs out: false, and the socket is marked as timed
// out. false also when the wait itself fails.
bool WaitReadable(ClientSocket* s, bool afterWouldBlock)
{
    if (s->receive_deadline == 0) {
        if (!afterWouldBlock)
            return true;
        return WaitSocketReadable(s->socket, SocketWaitMilliseconds) >= 0;
    }
    for (;;) {
        unsigned wait = ReadWaitMilliseconds(s);
        if (wait == 0) {
            s->timed_out = 1;
            return false;
        }
        int ready = WaitSocketReadable(s->socket, wait);
        if (ready != 0)
            return ready > 0;
    }
}

// One receive into buffer with the would-block retries: the count, 0 for a
// closed connection, -1 for a failure. buffer is zero-filled before every
// attempt; received bytes are unscrambled.
long ReceiveSome(ClientSocket* s, void* buffer, int size)
{
    bool afterWouldBlock = false;
    for (;;) {
        if (!WaitReadable(s, afterWouldBlock))
            return -1;
        std::memset(buffer, 0, static_cast<size_t>(size));
        long n = ReceiveOnSocket(s->socket, buffer, static_cast<size_t>(size));
        if (n > 0) {
            if (s->scrambled)
                Scramble(static_cast<unsigned char*>(buffer), static_cast<int>(n), s->receive_position);
            return n;
        }
        if (n == 0)
            return 0;
        if (SocketErrorCode() != SocketWouldBlockError)
            return -1;
        afterWouldBlock = true;
    }
}

// Formats into a fresh buffer of DEFAULT_MEMSIZE bytes; length is the full
// length of the formatted text, which may exceed what the buffer holds.
std::unique_ptr<char[]> FormatToNewBuffer(const char* format, va_list args, size_t& length)
{
    auto buffer = std::make_unique<char[]>(DEFAULT_MEMSIZE);
    int n = std::vsnprintf(buffer.get(), DEFAULT_MEMSIZE, format, args);
    length = n < 0 ? 0 : static_cast<size_t>(n);
    if (n < 0)
        buffer[0] = '\0';
    return buffer;
}

} // namespace

ClientSocket* SocketConnect(const char* host, uint16_t port, bool nonBlocking, bool scrambled)
{
    auto* s = new ClientSocket;
    s->scrambled = scrambled ? 1 : 0;
    s->socket = InvalidSocket;
    s->receive_position = 0;
    s->send_position = 0;
    s->buffered = 0;
    s->peer = {};
    s->receive_deadline = 0;
    s->timed_out = 0;

    s->socket = OpenStreamSocket();
    if (s->socket == InvalidSocket) {
        delete s;
        return nullptr;
    }
    uint32_t address = 0;
    if (host == nullptr || (!ParseIPv4Address(host, address) && !ResolveIPv4Address(host, address))) {
        SocketClose(s);
        return nullptr;
    }
    s->peer = MakeIPv4Endpoint(address, port);
    if (!ConnectSocket(s->socket, s->peer) || (nonBlocking && !SetSocketNonBlocking(s->socket))) {
        SocketClose(s);
        return nullptr;
    }
    if (s->scrambled) {
        // The one clear byte that opens a scrambled stream; it does not
        // move the send position.
        unsigned char zero = 0;
        s->scrambled = 0;
        SocketSend(s, &zero, 1);
        s->scrambled = 1;
    }
    return s;
}

ClientSocket* SocketConnectAddress(const char* address, bool scrambled)
{
    char host[260];
    CopyText(host, sizeof(host), address);
    uint16_t port = 80;
    if (char* colon = std::strchr(host, ':')) {
        *colon = '\0';
        port = static_cast<uint16_t>(std::strtoul(colon + 1, nullptr, 10));
    }
    return SocketConnect(host, port, false, scrambled);
}

int SocketSend(ClientSocket* s, void* bytes, int length)
{
    if (s == nullptr || bytes == nullptr || length <= 0)
        return 0;
    if (s->scrambled)
        Scramble(static_cast<unsigned char*>(bytes), length, s->send_position);
    for (;;) {
        long n = SendOnSocket(s->socket, bytes, static_cast<size_t>(length));
        if (n >= 0)
            return static_cast<int>(n);
        if (SocketErrorCode() != SocketWouldBlockError)
            return 0;
        if (WaitSocketWritable(s->socket, SocketWaitMilliseconds) < 0)
            return 0;
    }
}

int SocketReceive(ClientSocket* s, void* buffer, int size)
{
    if (s == nullptr || buffer == nullptr || size <= 0)
        return s == nullptr ? 0 : -1;
    long n = ReceiveSome(s, buffer, size);
    return n > 0 ? static_cast<int>(n) : -1;
}

int SocketReceiveExact(ClientSocket* s, void* buffer, int length)
{
    if (s == nullptr || buffer == nullptr)
        return 0;
    auto* bytes = static_cast<unsigned char*>(buffer);
    int total = 0;
    while (total < length) {
        long n = ReceiveSome(s, bytes + total, length - total);
        if (n <= 0)
            break;
        total += static_cast<int>(n);
    }
    return total;
}

int SocketReadHeader(ClientSocket* s, char* buffer, int size)
{
    if (s == nullptr || buffer == nullptr || size <= 0)
        return 0;
    static const char EmptyLine[] = "\r\n\r\n";
    int total = 0;
    buffer[0] = '\0';
    while (total < size - 1) {
        int n = SocketReceive(s, buffer + total, size - 1 - total);
        if (n < 0)
            break;
        total += n;
        buffer[total] = '\0';
        // Search the bytes themselves: a NUL inside the reply must not hide
        // the empty line.
        if (std::search(buffer, buffer + total, EmptyLine, EmptyLine + 4) != buffer + total)
            break;
    }
    return total;
}

int SocketReadStatus(ClientSocket* s)
{
    if (s == nullptr)
        return 0;
    char header[StatusBufferSize] = {};
    int total = SocketReadHeader(s, header, sizeof(header));
    const char* space = static_cast<const char*>(std::memchr(header, ' ', static_cast<size_t>(total)));
    if (space == nullptr)
        return 0;
    // The decimal number after the blank; digits beyond the int range are
    // cut off rather than overflowing.
    long status = 0;
    for (const char* p = space + 1; *p >= '0' && *p <= '9'; p++) {
        status = status * 10 + (*p - '0');
        if (status > 0x7fffffffL) {
            status = 0x7fffffffL;
            break;
        }
    }
    return static_cast<int>(status);
}

int SocketWrite(ClientSocket* s, const void* bytes, int length)
{
    if (s == nullptr || length < 0 || length > SocketBufferSize)
        return 0;
    if (length > 0 && bytes == nullptr)
        return 0;
    if (s->buffered + length >= SocketBufferSize)
        SocketFlush(s);
    if (length > 0)
        std::memcpy(s->buffer + s->buffered, bytes, static_cast<size_t>(length));
    s->buffered += length;
    return length;
}

int SocketWriteFormat(ClientSocket* s, const char* format, ...)
{
    if (s == nullptr)
        return 0;
    size_t length = 0;
    va_list args;
    va_start(args, format);
    std::unique_ptr<char[]> mem = FormatToNewBuffer(format, args, length);
    va_end(args);
    if (length > DEFAULT_MEMSIZE) {
        LogError("ASSERT(%s) failed, aborting at %s:%d", "strlen(mem.buf) <= DEFAULT_MEMSIZE", Unit, FormatOverflowLine);
        std::abort();
    }
    // A text of exactly DEFAULT_MEMSIZE characters lost its last one to the
    // terminator; SocketWrite refuses it by its length all the same.
    return SocketWrite(s, mem.get(), static_cast<int>(length));
}

int SocketSendFormat(ClientSocket* s, const char* format, ...)
{
    if (s == nullptr)
        return 0;
    size_t length = 0;
    va_list args;
    va_start(args, format);
    std::unique_ptr<char[]> mem = FormatToNewBuffer(format, args, length);
    va_end(args);
    // A cut text would put a broken message on the wire: send none.
    if (length >= DEFAULT_MEMSIZE)
        return 0;
    return SocketSend(s, mem.get(), static_cast<int>(length));
}

bool SocketFlush(ClientSocket* s)
{
    if (s == nullptr)
        return false;
    if (s->buffered == 0)
        return true;
    int count = s->buffered;
    int sent = SocketSend(s, s->buffer, count);
    s->buffered = 0;
    return sent == count;
}

void SocketClose(ClientSocket* s)
{
    if (s == nullptr)
        return;
    if (s->socket != InvalidSocket) {
        ShutdownSocket(s->socket);
        CloseSocket(s->socket);
    }
    delete s;
}

void SocketSetReceiveLimit(ClientSocket* s, unsigned milliseconds)
{
    if (s == nullptr)
        return;
    s->receive_deadline = SteadyMilliseconds() + milliseconds;
    s->timed_out = 0;
}

bool SocketTimedOut(const ClientSocket* s)
{
    return s != nullptr && s->timed_out != 0;
}

char* GetLocalAddress(const char* host, char* output)
{
    char name[1024] = {};
    if (host == nullptr) {
        CopyText(name, sizeof(name), GetComputerNameText().c_str());
        host = name;
    }
    uint32_t address = 0;
    if (!ResolveIPv4Address(host, address)) {
        LOG_ASSERT("host", Unit, HostFailureLine);
        return output;
    }
    FormatIPv4Address(address, output, 16);
    return output;
}
