// ClientSocket against real loopback connections.
#include "net/ClientSocket.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "LoopbackServer.h"

namespace {

const std::string Key = "Qx7!pR2#mT9$vL4&nW8*kZ5%";

// XOR with the key stream from key position 0.
std::string Scrambled(const std::string& plain)
{
    std::string out = plain;
    for (size_t i = 0; i < out.size(); i++)
        out[i] = static_cast<char>(out[i] ^ Key[i % Key.size()]);
    return out;
}

std::string Pattern(size_t length, int seed = 0)
{
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; i++)
        bytes[i] = static_cast<char>((i * 7 + seed) & 0xff);
    return bytes;
}

// Runs a server whose handler records everything the client sends until it
// closes.
struct RecordingServer {
    std::string received;
    LoopbackServer server{[this](int fd) { received += LoopbackServer::ReadAll(fd); }};
};

// Runs a server that answers every connection with reply (after delayMs)
// and then closes it.
struct ReplyServer {
    explicit ReplyServer(std::string reply, int delayMs = 0)
        : server([reply, delayMs](int fd) {
              std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
              LoopbackServer::SendAll(fd, reply);
          })
    {
    }
    LoopbackServer server;
};

} // namespace

TEST(ClientSocket, AddressTextsPickHostAndPort)
{
    RecordingServer target;
    ASSERT_TRUE(target.server.Listening());
    const std::string port = std::to_string(target.server.Port());
    struct Case {
        std::string address;
        bool connects;
        int expectedPort;
    } cases[] = {
        {"localhost:" + port, true, target.server.Port()},
        {"127.0.0.1:" + port, true, target.server.Port()},
        {"localhost:", false, 0},                         // empty port is port 0
        {"no-such-host.invalid:" + port, false, 0},       // name does not resolve
        {"127.0.0.1:" + std::to_string(UnusedLoopbackPort()), false, 0}, // refused
    };
    int connected = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        ClientSocket* s = SocketConnectAddress(c.address.c_str(), false);
        ASSERT_EQ(s != nullptr, c.connects);
        if (s == nullptr)
            continue;
        connected++;
        EXPECT_EQ(s->peer.port, htons(static_cast<uint16_t>(c.expectedPort)));
        EXPECT_EQ(s->peer.address, htonl(INADDR_LOOPBACK));
        EXPECT_EQ(s->buffered, 0);
        EXPECT_EQ(s->send_position, 0);
        EXPECT_EQ(s->receive_position, 0);
        char byte = 'x';
        EXPECT_EQ(SocketSend(s, &byte, 1), 1);
        SocketClose(s);
    }
    target.server.Stop();
    EXPECT_EQ(target.server.Accepted(), connected);
    EXPECT_EQ(target.received, std::string(connected, 'x'));
}

TEST(ClientSocket, NameWithoutPortUsesPort80)
{
    // Take port 80 when it is free; when something else holds it the
    // connection reaches that listener instead.
    LoopbackServer web([](int) {}, 80);
    if (!web.Listening() && errno != EADDRINUSE)
        GTEST_SKIP() << "cannot listen on port 80 here";
    ClientSocket* s = SocketConnectAddress("localhost", false);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->peer.port, htons(80));
    SocketClose(s);
}

TEST(ClientSocket, SocketsAreCloseOnExec)
{
    RecordingServer target;
    ClientSocket* s = SocketConnect("127.0.0.1", target.server.Port(), false, false);
    ASSERT_NE(s, nullptr);
    EXPECT_NE(fcntl(s->socket, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(fcntl(s->socket, F_GETFL) & O_NONBLOCK, 0);
    SocketClose(s);

    s = SocketConnect("localhost", target.server.Port(), true, false);
    ASSERT_NE(s, nullptr);
    EXPECT_NE(fcntl(s->socket, F_GETFL) & O_NONBLOCK, 0);
    SocketClose(s);
}

TEST(ClientSocket, ScrambledExchangeRunsBothKeyPositions)
{
    const std::string first = Pattern(30, 1), second = Pattern(30, 2);
    const std::string reply = Pattern(40, 3);
    std::string wire;
    LoopbackServer server([&](int fd) {
        // 1 clear byte and 60 scrambled ones, then the scrambled reply.
        while (wire.size() < 61) {
            char chunk[128];
            ssize_t n = recv(fd, chunk, sizeof(chunk), 0);
            if (n <= 0)
                return;
            wire.append(chunk, static_cast<size_t>(n));
        }
        LoopbackServer::SendAll(fd, Scrambled(reply));
        LoopbackServer::ReadAll(fd);
    });
    ClientSocket* s = SocketConnect("127.0.0.1", server.Port(), false, true);
    ASSERT_NE(s, nullptr);

    std::string bytes = first;
    EXPECT_EQ(SocketSend(s, bytes.data(), 30), 30);
    EXPECT_EQ(bytes, Scrambled(first)) << "sending scrambles the caller's bytes in place";
    EXPECT_EQ(s->send_position, 6);
    // The second piece goes through the send buffer: positions 6..23, 0..11.
    EXPECT_EQ(SocketWrite(s, second.data(), 30), 30);
    EXPECT_TRUE(SocketFlush(s));
    EXPECT_EQ(s->send_position, 12);

    char head[10], rest[30];
    ASSERT_EQ(SocketReceiveExact(s, head, 10), 10);
    ASSERT_EQ(SocketReceiveExact(s, rest, 30), 30);
    EXPECT_EQ(std::string(head, 10) + std::string(rest, 30), reply);
    EXPECT_EQ(s->receive_position, 40 % 24);
    EXPECT_EQ(s->send_position, 12) << "receiving leaves the send position alone";
    SocketClose(s);
    server.Stop();

    ASSERT_EQ(wire.size(), 61u);
    EXPECT_EQ(wire[0], '\0');
    EXPECT_EQ(wire.substr(1), Scrambled(first + second));
}

TEST(ClientSocket, WriteBuffersUpTo65536Bytes)
{
    RecordingServer target;
    ClientSocket* s = SocketConnect("127.0.0.1", target.server.Port(), false, false);
    ASSERT_NE(s, nullptr);
    const std::string full = Pattern(65536), over = Pattern(65537, 5);

    EXPECT_EQ(SocketWrite(s, over.data(), 65537), 0);
    EXPECT_EQ(s->buffered, 0);
    EXPECT_EQ(SocketWrite(s, full.data(), 65536), 65536);
    EXPECT_EQ(s->buffered, 65536);
    EXPECT_EQ(SocketWrite(s, over.data(), 65537), 0);
    EXPECT_EQ(s->buffered, 65536) << "a refused write leaves the buffer as it was";
    // The next write has no room: the buffer goes out first.
    EXPECT_EQ(SocketWrite(s, "z", 1), 1);
    EXPECT_EQ(s->buffered, 1);
    EXPECT_TRUE(SocketFlush(s));
    EXPECT_EQ(s->buffered, 0);
    EXPECT_TRUE(SocketFlush(s)) << "an empty buffer flushes as success";
    // A write that would fill the buffer to the last byte also flushes first.
    EXPECT_EQ(SocketWrite(s, full.data(), 65535), 65535);
    EXPECT_EQ(SocketWrite(s, "y", 1), 1);
    EXPECT_EQ(s->buffered, 1);
    EXPECT_TRUE(SocketFlush(s));
    SocketClose(s);
    target.server.Stop();
    EXPECT_EQ(target.received, full + "z" + full.substr(0, 65535) + "y");
}

TEST(ClientSocket, FlushOfNothingAndCloseWithBufferedBytesSendNothing)
{
    RecordingServer target;
    ClientSocket* s = SocketConnect("127.0.0.1", target.server.Port(), false, false);
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(SocketFlush(s));
    EXPECT_EQ(SocketWrite(s, Pattern(100).data(), 100), 100);
    SocketClose(s);
    target.server.Stop();
    EXPECT_EQ(target.server.Accepted(), 1);
    EXPECT_EQ(target.received, "");
}

TEST(ClientSocket, SendFormatBypassesTheBuffer)
{
    RecordingServer target;
    ClientSocket* s = SocketConnect("127.0.0.1", target.server.Port(), false, false);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(SocketWriteFormat(s, "%s", "buffered;"), 9);
    EXPECT_EQ(SocketSendFormat(s, "GET / WSDB/2.0\r\nHost: %s\r\n\r\n", "db:8080"), 33);
    EXPECT_TRUE(SocketFlush(s));
    // A text that does not fit the format buffer is not sent cut short.
    const std::string huge(DEFAULT_MEMSIZE, 'h');
    EXPECT_EQ(SocketSendFormat(s, "%s", huge.c_str()), 0);
    // Longer than the send buffer but within the format buffer: refused.
    const std::string large(70000, 'l');
    EXPECT_EQ(SocketWriteFormat(s, "%s", large.c_str()), 0);
    EXPECT_EQ(s->buffered, 0);
    SocketClose(s);
    target.server.Stop();
    EXPECT_EQ(target.received, "GET / WSDB/2.0\r\nHost: db:8080\r\n\r\nbuffered;");
}

TEST(ClientSocketDeathTest, WriteFormatBeyondTheFormatBufferEndsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            // No connection is needed to reach the check: a bare object will do.
            static ClientSocket bare{};
            SocketWriteFormat(&bare, "%*s", static_cast<int>(DEFAULT_MEMSIZE) + 1, "x");
        },
        "ASSERT\\(strlen\\(mem\\.buf\\) <= DEFAULT_MEMSIZE\\) failed, aborting at ClientSocket:388");
}

TEST(ClientSocket, ReadStatusOfReplies)
{
    struct Case {
        const char* name;
        std::string reply;
        int status;
    } cases[] = {
        {"ok", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi", 200},
        {"not found", "HTTP/1.1 404 Not Found\r\n\r\n", 404},
        {"no space in 2047 bytes", std::string(2047, 'A') + " 200 OK\r\n\r\n", 0},
        {"closed at once", "", 0},
        {"no number after the space", "HTTP/1.1 OK\r\n\r\n", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ReplyServer server(c.reply);
        ClientSocket* s = SocketConnect("127.0.0.1", server.server.Port(), false, false);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(SocketReadStatus(s), c.status);
        SocketClose(s);
    }
}

TEST(ClientSocket, ReadHeaderStopsAtTheEmptyLineAcrossPieces)
{
    std::atomic<bool> sawEnd{false};
    LoopbackServer server([&](int fd) {
        LoopbackServer::SendAll(fd, "HTTP/1.1 200 OK\r\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        LoopbackServer::SendAll(fd, "X: y\r");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        LoopbackServer::SendAll(fd, "\n\r\nbody");
        // Hold the connection: the reader must stop on the empty line, not
        // on the end of the stream.
        LoopbackServer::ReadAll(fd);
        sawEnd = true;
    });
    ClientSocket* s = SocketConnect("127.0.0.1", server.Port(), false, false);
    ASSERT_NE(s, nullptr);
    char header[2048];
    int total = SocketReadHeader(s, header, sizeof(header));
    EXPECT_FALSE(sawEnd);
    const std::string expected = "HTTP/1.1 200 OK\r\nX: y\r\n\r\nbody";
    EXPECT_EQ(total, static_cast<int>(expected.size()));
    EXPECT_STREQ(header, expected.c_str());
    SocketClose(s);
}

TEST(ClientSocket, ReceiveOnShortAndClosedStreams)
{
    ReplyServer server(Pattern(10, 9));
    ClientSocket* s = SocketConnect("127.0.0.1", server.server.Port(), false, false);
    ASSERT_NE(s, nullptr);
    char buffer[32];
    EXPECT_EQ(SocketReceiveExact(s, buffer, 32), 10);
    EXPECT_EQ(std::string(buffer, 10), Pattern(10, 9));
    EXPECT_EQ(SocketReceive(s, buffer, 32), -1) << "the peer has closed";
    SocketClose(s);
}

TEST(ClientSocket, NonBlockingReceiveWaitsForLateBytes)
{
    ReplyServer server("late reply", 200);
    ClientSocket* s = SocketConnect("127.0.0.1", server.server.Port(), true, false);
    ASSERT_NE(s, nullptr);
    char buffer[64];
    int n = SocketReceive(s, buffer, sizeof(buffer));
    ASSERT_EQ(n, 10);
    EXPECT_EQ(std::string(buffer, 10), "late reply");
    EXPECT_EQ(buffer[10], '\0') << "the buffer is zero-filled before receiving";
    SocketClose(s);
}

TEST(ClientSocket, ReceiveLimitEndsAWaitForASilentPeer)
{
    LoopbackServer server([](int fd) { LoopbackServer::ReadAll(fd); });
    ClientSocket* s = SocketConnect("127.0.0.1", server.Port(), false, false);
    ASSERT_NE(s, nullptr);
    SocketSetReceiveLimit(s, 200);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SocketReadStatus(s), 0);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(SocketTimedOut(s));
    EXPECT_GE(elapsed, std::chrono::milliseconds(190));
    EXPECT_LT(elapsed, std::chrono::seconds(5));
    SocketClose(s);
}

TEST(ClientSocket, SendingToAClosedPeerFailsWithoutASignal)
{
    LoopbackServer server([](int) {}); // closes every connection at once
    ClientSocket* s = SocketConnect("127.0.0.1", server.Port(), false, false);
    ASSERT_NE(s, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::string bytes = Pattern(1000);
    int result = 1;
    for (int i = 0; i < 50 && result != 0; i++) {
        result = SocketSend(s, bytes.data(), 1000);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(result, 0);
    SocketClose(s);
}

TEST(ClientSocket, AbsentSocketDoesNothing)
{
    char buffer[8] = {};
    EXPECT_EQ(SocketSend(nullptr, buffer, 8), 0);
    EXPECT_EQ(SocketReceive(nullptr, buffer, 8), 0);
    EXPECT_EQ(SocketReceiveExact(nullptr, buffer, 8), 0);
    EXPECT_EQ(SocketReadHeader(nullptr, buffer, 8), 0);
    EXPECT_EQ(SocketReadStatus(nullptr), 0);
    EXPECT_EQ(SocketWrite(nullptr, buffer, 8), 0);
    EXPECT_EQ(SocketWriteFormat(nullptr, "%d", 1), 0);
    EXPECT_EQ(SocketSendFormat(nullptr, "%d", 1), 0);
    EXPECT_FALSE(SocketFlush(nullptr));
    SocketClose(nullptr);
    EXPECT_EQ(SocketConnect(nullptr, 80, false, false), nullptr);
}

TEST(ClientSocket, LocalAddressOfANameOrNothing)
{
    char output[260] = {};
    EXPECT_STREQ(GetLocalAddress("localhost", output), "127.0.0.1");

    std::strcpy(output, "kept");
    testing::internal::CaptureStderr();
    GetLocalAddress("no-such-host.invalid", output);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_STREQ(output, "kept");
    EXPECT_NE(log.find("ASSERT(host) failed at ClientSocket:476"), std::string::npos) << log;

    // This computer's own name: either an address or the report.
    output[0] = '\0';
    testing::internal::CaptureStderr();
    GetLocalAddress(nullptr, output);
    log = testing::internal::GetCapturedStderr();
    in_addr parsed{};
    if (output[0] != '\0')
        EXPECT_EQ(inet_pton(AF_INET, output, &parsed), 1) << output;
    else
        EXPECT_NE(log.find("ASSERT(host)"), std::string::npos);
}
