// ClientSocket: an outgoing IPv4 TCP connection with a send buffer, blocking
// or non-blocking operation and an optional scrambling of every byte sent
// and received (XOR with a fixed 24-byte key, one key position per
// direction).
#pragma once

#include <cstddef>
#include <cstdint>

#include "log/Log.h"
#include "platform/Socket.h"
#include "platform/Text.h"

// Size of the text buffer of the formatted writes and sends.
constexpr size_t DEFAULT_MEMSIZE = TextBufferSize;
// Size of the send buffer filled by SocketWrite.
constexpr int SocketBufferSize = 65536;
// Longest a would-block wait lasts before the operation is tried again.
constexpr unsigned SocketWaitMilliseconds = 10000;
// The scrambling key, used as 24 bytes without terminator.
constexpr int ScrambleKeyLength = 24;
extern const unsigned char ScrambleKey[ScrambleKeyLength];

struct ClientSocket {
    int scrambled;          // set at connect time, never changed
    SocketHandle socket;
    int receive_position;   // key index of the next byte received, 0..23
    int send_position;      // key index of the next byte sent, 0..23
    int buffered;           // bytes waiting in buffer, 0..65536
    IPv4Endpoint peer;
    unsigned char buffer[SocketBufferSize];
    // Optional limit of the receives: a steady-clock time in milliseconds
    // after which a receive gives up (0: no limit), and whether one did.
    int64_t receive_deadline;
    int timed_out;
};

// Connects to host (dotted IPv4 or a name) and port. None on failure; a
// scrambled connection first sends one clear byte 0.
ClientSocket* SocketConnect(const char* host, uint16_t port, bool nonBlocking, bool scrambled);
// Connects to "host" or "host:port" (port 80 when none is given), blocking.
ClientSocket* SocketConnectAddress(const char* address, bool scrambled);

// Sends bytes at once (scrambling them in place first when the connection
// is scrambled). The count the system accepted, or 0 on failure.
int SocketSend(ClientSocket* s, void* bytes, int length);
// Receives at most size bytes: the count (1 or more), or -1 on a closed
// connection or failure.
int SocketReceive(ClientSocket* s, void* buffer, int size);
// Receives exactly length bytes: the length, or fewer on failure.
int SocketReceiveExact(ClientSocket* s, void* buffer, int length);
// Receives a reply header up to its empty line, at most size - 1 bytes, and
// terminates the text. The number of bytes held.
int SocketReadHeader(ClientSocket* s, char* buffer, int size);
// The status number of a reply header ("HTTP/1.1 200 OK" gives 200), or 0.
int SocketReadStatus(ClientSocket* s);

// Appends bytes to the send buffer (flushing it first when they do not fit).
// The length, or 0 when it is above the buffer size.
int SocketWrite(ClientSocket* s, const void* bytes, int length);
// SocketWrite of a formatted text. A text longer than DEFAULT_MEMSIZE ends
// the process.
int SocketWriteFormat(ClientSocket* s, const char* format, ...) VTD_PRINTF(2, 3);
// SocketSend of a formatted text, bypassing the send buffer; 0 when the
// text does not fit in DEFAULT_MEMSIZE bytes.
int SocketSendFormat(ClientSocket* s, const char* format, ...) VTD_PRINTF(2, 3);
// Sends the buffered bytes: true when there were none or all went out.
bool SocketFlush(ClientSocket* s);
// Closes the connection and releases s; buffered bytes are not sent.
void SocketClose(ClientSocket* s);

// Limits every later receive on s to end within milliseconds from now; a
// receive that runs out of time fails and marks the socket as timed out.
void SocketSetReceiveLimit(ClientSocket* s, unsigned milliseconds);
bool SocketTimedOut(const ClientSocket* s);

// Dotted IPv4 address of host (of this computer when host is null) into
// output, which must hold 16 bytes. Output is left as it was when the name
// does not resolve. Returns output.
char* GetLocalAddress(const char* host, char* output);
