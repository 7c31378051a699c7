// Outgoing IPv4 TCP sockets on Windows: Winsock 2.2.
#include "platform/Socket.h"

#include <cstring>
#include <mutex>

#include "platform/Win32.h"

namespace {

thread_local int lastSocketError = 0;

SOCKET AsSocket(SocketHandle socket)
{
    return static_cast<SOCKET>(socket);
}

void NoteSocketError()
{
    int code = ::WSAGetLastError();
    lastSocketError = (code == WSAEWOULDBLOCK || code == WSAEINPROGRESS) ? SocketWouldBlockError : code;
}

// select() in the shape of poll(): 1 ready (or in error), 0 time is up, -1
// the wait failed.
int WaitSocket(SocketHandle socket, bool write, unsigned timeout)
{
    fd_set ready;
    fd_set failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(AsSocket(socket), &ready);
    FD_SET(AsSocket(socket), &failed);
    timeval limit {};
    limit.tv_sec = static_cast<long>(timeout / 1000);
    limit.tv_usec = static_cast<long>((timeout % 1000) * 1000);
    // The largest timeout means no limit.
    timeval* wait = timeout == 0xffffffffu ? nullptr : &limit;
    int n = write ? ::select(0, nullptr, &ready, &failed, wait) : ::select(0, &ready, nullptr, &failed, wait);
    if (n == SOCKET_ERROR) {
        NoteSocketError();
        return -1;
    }
    return n > 0 ? 1 : 0;
}

} // namespace

bool StartSocketLibrary()
{
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] {
        WSADATA data {};
        int code = ::WSAStartup(MAKEWORD(2, 2), &data);
        started = code == 0;
        if (!started)
            ::SetLastError(static_cast<DWORD>(code));
    });
    return started;
}

SocketHandle OpenStreamSocket()
{
    // Sockets opened before the daemon's start-up (tests) need the library too.
    StartSocketLibrary();
    // WSA_FLAG_NO_HANDLE_INHERIT: a child never holds one of the daemon's
    // connections open.
    SOCKET s = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
        NoteSocketError();
        return InvalidSocket;
    }
    return static_cast<SocketHandle>(s);
}

bool ParseIPv4Address(const char* text, uint32_t& address)
{
    in_addr parsed {};
    if (text == nullptr || ::inet_pton(AF_INET, text, &parsed) != 1)
        return false;
    address = parsed.s_addr;
    return true;
}

bool ResolveIPv4Address(const char* name, uint32_t& address)
{
    if (name == nullptr || name[0] == '\0')
        return false;
    StartSocketLibrary();
    addrinfo hints {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int saved = ::WSAGetLastError();
    if (::getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) {
        ::WSASetLastError(saved);
        return false;
    }
    bool ok = false;
    for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addr != nullptr) {
            address = reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr;
            ok = true;
            break;
        }
    }
    ::freeaddrinfo(found);
    ::WSASetLastError(saved);
    return ok;
}

void FormatIPv4Address(uint32_t address, char* text, size_t size)
{
    if (size == 0)
        return;
    in_addr value {};
    value.s_addr = address;
    if (::inet_ntop(AF_INET, &value, text, size) == nullptr)
        text[0] = '\0';
}

IPv4Endpoint MakeIPv4Endpoint(uint32_t address, uint16_t port)
{
    return IPv4Endpoint{AF_INET, ::htons(port), address};
}

bool ConnectSocket(SocketHandle socket, const IPv4Endpoint& peer)
{
    sockaddr_in target {};
    target.sin_family = AF_INET;
    target.sin_port = peer.port;
    target.sin_addr.s_addr = peer.address;
    if (::connect(AsSocket(socket), reinterpret_cast<const sockaddr*>(&target), sizeof(target)) == 0)
        return true;
    NoteSocketError();
    return false;
}

bool SetSocketNonBlocking(SocketHandle socket)
{
    u_long on = 1;
    if (::ioctlsocket(AsSocket(socket), FIONBIO, &on) != 0) {
        NoteSocketError();
        return false;
    }
    return true;
}

long SendOnSocket(SocketHandle socket, const void* bytes, size_t length)
{
    int chunk = length > 0x7fffffff ? 0x7fffffff : static_cast<int>(length);
    int n = ::send(AsSocket(socket), static_cast<const char*>(bytes), chunk, 0);
    if (n == SOCKET_ERROR) {
        NoteSocketError();
        return -1;
    }
    return n;
}

long ReceiveOnSocket(SocketHandle socket, void* buffer, size_t size)
{
    int chunk = size > 0x7fffffff ? 0x7fffffff : static_cast<int>(size);
    int n = ::recv(AsSocket(socket), static_cast<char*>(buffer), chunk, 0);
    if (n == SOCKET_ERROR) {
        NoteSocketError();
        return -1;
    }
    return n;
}

int SocketErrorCode()
{
    return lastSocketError;
}

int WaitSocketWritable(SocketHandle socket, unsigned timeout)
{
    return WaitSocket(socket, true, timeout);
}

int WaitSocketReadable(SocketHandle socket, unsigned timeout)
{
    return WaitSocket(socket, false, timeout);
}

void ShutdownSocket(SocketHandle socket)
{
    int saved = ::WSAGetLastError();
    ::shutdown(AsSocket(socket), SD_BOTH);
    ::WSASetLastError(saved);
}

void CloseSocket(SocketHandle socket)
{
    int saved = ::WSAGetLastError();
    ::closesocket(AsSocket(socket));
    ::WSASetLastError(saved);
}
