// A connected pair of local stream sockets on Windows, which has no
// socketpair(): a listener on the loopback address accepts the one
// connection the other end makes, then goes.
#include "platform/SocketPair.h"

#include "platform/Win32.h"

bool OpenSocketPair(SocketHandle& first, SocketHandle& second)
{
    if (!StartSocketLibrary())
        return false;
    SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET)
        return false;
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    int length = sizeof(address);
    SocketHandle client = InvalidSocket;
    SOCKET server = INVALID_SOCKET;
    bool ok = ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
              ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
              ::listen(listener, 1) == 0;
    if (ok) {
        client = OpenStreamSocket();
        ok = client != InvalidSocket &&
             ::connect(static_cast<SOCKET>(client), reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    }
    if (ok) {
        server = ::accept(listener, nullptr, nullptr);
        ok = server != INVALID_SOCKET;
    }
    ::closesocket(listener);
    if (!ok) {
        if (client != InvalidSocket)
            ::closesocket(static_cast<SOCKET>(client));
        return false;
    }
    ::SetHandleInformation(reinterpret_cast<HANDLE>(server), HANDLE_FLAG_INHERIT, 0);
    first = client;
    second = static_cast<SocketHandle>(server);
    return true;
}

void ShutdownSocketSending(SocketHandle socket)
{
    ::shutdown(static_cast<SOCKET>(socket), SD_SEND);
}
