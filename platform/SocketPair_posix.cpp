#include "platform/SocketPair.h"

#include <sys/socket.h>

bool OpenSocketPair(SocketHandle& first, SocketHandle& second)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return false;
    first = pair[0];
    second = pair[1];
    return true;
}

void ShutdownSocketSending(SocketHandle socket)
{
    shutdown(socket, SHUT_WR);
}
