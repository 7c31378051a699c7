// The outgoing socket calls on Linux.
#include "platform/Socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

thread_local int lastSocketError = 0;

// Records the error of the call that just failed, folding the would-block
// codes into one.
void NoteSocketError()
{
    int code = errno;
    if (code == EAGAIN || code == EWOULDBLOCK || code == EINPROGRESS)
        lastSocketError = SocketWouldBlockError;
    else
        lastSocketError = code;
}

int WaitSocket(SocketHandle socket, short events, unsigned timeout)
{
    struct pollfd entry {};
    entry.fd = socket;
    entry.events = events;
    // The largest timeout means no limit.
    int limit = timeout == 0xffffffffu ? -1 : timeout > 0x7fffffffu ? 0x7fffffff : static_cast<int>(timeout);
    for (;;) {
        int n = poll(&entry, 1, limit);
        if (n > 0)
            return 1;
        if (n == 0)
            return 0;
        if (errno != EINTR) {
            NoteSocketError();
            return -1;
        }
    }
}

} // namespace

bool StartSocketLibrary()
{
    return true;
}

SocketHandle OpenStreamSocket()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        NoteSocketError();
        return InvalidSocket;
    }
    return fd;
}

bool ParseIPv4Address(const char* text, uint32_t& address)
{
    struct in_addr parsed {};
    if (text == nullptr || inet_pton(AF_INET, text, &parsed) != 1)
        return false;
    address = parsed.s_addr;
    return true;
}

bool ResolveIPv4Address(const char* name, uint32_t& address)
{
    if (name == nullptr || name[0] == '\0')
        return false;
    struct addrinfo hints {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* found = nullptr;
    int saved = errno;
    int result = getaddrinfo(name, nullptr, &hints, &found);
    if (result != 0 || found == nullptr) {
        // A name that does not resolve is no OS error, and the report of it
        // must not carry the text of an earlier one; a failed system call
        // (EAI_SYSTEM) leaves its own.
        if (result != EAI_SYSTEM)
            errno = 0;
        return false;
    }
    bool ok = false;
    for (struct addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addr != nullptr) {
            address = reinterpret_cast<const struct sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr;
            ok = true;
            break;
        }
    }
    freeaddrinfo(found);
    errno = saved;
    return ok;
}

void FormatIPv4Address(uint32_t address, char* text, size_t size)
{
    struct in_addr value {};
    value.s_addr = address;
    if (size == 0)
        return;
    if (inet_ntop(AF_INET, &value, text, static_cast<socklen_t>(size)) == nullptr)
        text[0] = '\0';
}

IPv4Endpoint MakeIPv4Endpoint(uint32_t address, uint16_t port)
{
    return IPv4Endpoint{AF_INET, htons(port), address};
}

bool ConnectSocket(SocketHandle socket, const IPv4Endpoint& peer)
{
    struct sockaddr_in target {};
    target.sin_family = AF_INET;
    target.sin_port = peer.port;
    target.sin_addr.s_addr = peer.address;
    if (connect(socket, reinterpret_cast<const struct sockaddr*>(&target), sizeof(target)) == 0)
        return true;
    if (errno != EINTR) {
        NoteSocketError();
        return false;
    }
    // An interrupted connect goes on in the background: wait for its end
    // and take its outcome from the socket.
    if (WaitSocket(socket, POLLOUT, 0xffffffffu) != 1)
        return false;
    int result = 0;
    socklen_t length = sizeof(result);
    if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &result, &length) != 0) {
        NoteSocketError();
        return false;
    }
    if (result != 0) {
        errno = result;
        NoteSocketError();
        return false;
    }
    return true;
}

bool SetSocketNonBlocking(SocketHandle socket)
{
    int flags = fcntl(socket, F_GETFL);
    if (flags < 0 || fcntl(socket, F_SETFL, flags | O_NONBLOCK) != 0) {
        NoteSocketError();
        return false;
    }
    return true;
}

long SendOnSocket(SocketHandle socket, const void* bytes, size_t length)
{
    for (;;) {
        ssize_t n = send(socket, bytes, length, MSG_NOSIGNAL);
        if (n >= 0)
            return static_cast<long>(n);
        if (errno != EINTR) {
            NoteSocketError();
            return -1;
        }
    }
}

long ReceiveOnSocket(SocketHandle socket, void* buffer, size_t size)
{
    for (;;) {
        ssize_t n = recv(socket, buffer, size, 0);
        if (n >= 0)
            return static_cast<long>(n);
        if (errno != EINTR) {
            NoteSocketError();
            return -1;
        }
    }
}

int SocketErrorCode()
{
    return lastSocketError;
}

int WaitSocketWritable(SocketHandle socket, unsigned timeout)
{
    return WaitSocket(socket, POLLOUT, timeout);
}

int WaitSocketReadable(SocketHandle socket, unsigned timeout)
{
    return WaitSocket(socket, POLLIN, timeout);
}

void ShutdownSocket(SocketHandle socket)
{
    int saved = errno;
    shutdown(socket, SHUT_RDWR);
    errno = saved;
}

void CloseSocket(SocketHandle socket)
{
    int saved = errno;
    close(socket);
    errno = saved;
}
