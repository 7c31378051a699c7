// A connected pair of local stream sockets, for feeding recorded byte
// streams to the network client.
#pragma once

#include "platform/Socket.h"

// Two connected stream sockets, both close-on-exec; false when the system
// refuses.
bool OpenSocketPair(SocketHandle& first, SocketHandle& second);
// Ends the sending direction of socket: the peer reads the end of the
// stream once it has taken what was sent, and can still send to socket.
void ShutdownSocketSending(SocketHandle socket);
