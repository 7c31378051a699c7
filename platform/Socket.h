// Outgoing IPv4 TCP sockets: the few OS calls the network client needs.
// Every socket is created close-on-exec, and sending never raises a signal
// when the peer has gone away.
#pragma once

#include <cstddef>
#include <cstdint>

// A socket descriptor on Linux, a SOCKET on Windows.
using SocketHandle = intptr_t;
constexpr SocketHandle InvalidSocket = -1;

// Error code reported by SocketErrorCode when an operation on a
// non-blocking socket cannot complete at once.
constexpr int SocketWouldBlockError = 10035;

// An IPv4 endpoint: address and port, both in network byte order.
struct IPv4Endpoint {
    uint16_t family;
    uint16_t port;
    uint32_t address;
};

// Starts the socket library (Winsock 2.2 on Windows; nothing to start on
// Linux). false when the library cannot be started.
bool StartSocketLibrary();

// New IPv4 stream socket, or InvalidSocket.
SocketHandle OpenStreamSocket();
// Reads a dotted IPv4 address ("127.0.0.1"); false when text is not one.
bool ParseIPv4Address(const char* text, uint32_t& address);
// Looks a host name up and gives its first IPv4 address; false when the
// name does not resolve.
bool ResolveIPv4Address(const char* name, uint32_t& address);
// Dotted text of an address into text (at least 16 bytes).
void FormatIPv4Address(uint32_t address, char* text, size_t size);
// Endpoint for an address in network order and a port in host order.
IPv4Endpoint MakeIPv4Endpoint(uint32_t address, uint16_t port);

// Connects a socket; blocks until the connection is made or refused.
bool ConnectSocket(SocketHandle socket, const IPv4Endpoint& peer);
bool SetSocketNonBlocking(SocketHandle socket);

// Number of bytes the system took, or -1 (see SocketErrorCode).
long SendOnSocket(SocketHandle socket, const void* bytes, size_t length);
// Number of bytes received, 0 when the peer closed the connection, or -1.
long ReceiveOnSocket(SocketHandle socket, void* buffer, size_t size);
// The error of the last failed socket call of this thread:
// SocketWouldBlockError, or the system's own code.
int SocketErrorCode();

// Waits until the socket can be written (or read) without blocking, at most
// timeout milliseconds. 1: ready (an error or a closed peer also counts,
// the next call reports it), 0: time is up, -1: the wait itself failed.
int WaitSocketWritable(SocketHandle socket, unsigned timeout);
int WaitSocketReadable(SocketHandle socket, unsigned timeout);

// Ends the connection in both directions.
void ShutdownSocket(SocketHandle socket);
void CloseSocket(SocketHandle socket);
