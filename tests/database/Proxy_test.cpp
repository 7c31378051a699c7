// Proxy mode of the database layer, byte for byte against a scripted peer:
// a loopback listener whose script accepts connections, reads what the
// client sends and answers with hand-made replies.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

#include "StderrCapture.h"
#include "database/Database.h"
#include "database/DbHandle.h"
#include "database/Proxy.h"

namespace {

using namespace std::string_literals;

// A listener on 127.0.0.1 whose script runs on its own thread.
class ScriptedPeer {
public:
    using Script = std::function<void(ScriptedPeer&)>;

    explicit ScriptedPeer(Script script, uint16_t port = 0)
    {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(listener_, 8) != 0) {
            close(listener_);
            listener_ = -1;
            return;
        }
        socklen_t length = sizeof address;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this, script] { script(*this); });
    }
    ~ScriptedPeer()
    {
        Join();
        CloseConnection();
        CloseListener();
    }

    // Waits until the script has run to its end; what it recorded may be
    // read only after this.
    void Join()
    {
        if (thread_.joinable())
            thread_.join();
    }

    bool Listening() const { return listener_ >= 0; }
    std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }

    // Accepts the next connection (closing the current one); false when none
    // comes within 5 s.
    bool Accept()
    {
        CloseConnection();
        pollfd entry{listener_, POLLIN, 0};
        if (poll(&entry, 1, 5000) <= 0)
            return false;
        fd_ = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        return fd_ >= 0;
    }
    void CloseConnection()
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }
    void CloseListener()
    {
        if (listener_ >= 0)
            close(listener_);
        listener_ = -1;
    }

    // Reads up to the empty line of the opening request.
    std::string ReadOpening()
    {
        std::string bytes;
        char c;
        while (bytes.find("\r\n\r\n") == std::string::npos && Wait() && recv(fd_, &c, 1, 0) == 1)
            bytes += c;
        return bytes;
    }
    // Reads exactly count bytes (fewer when the client closes or stays
    // silent for 5 s).
    std::string Read(size_t count)
    {
        std::string bytes;
        char buffer[65536];
        while (bytes.size() < count && Wait()) {
            ssize_t n = recv(fd_, buffer, std::min(sizeof buffer, count - bytes.size()), 0);
            if (n <= 0)
                break;
            bytes.append(buffer, static_cast<size_t>(n));
        }
        return bytes;
    }
    // A statement request: its 4-byte length, then the text.
    std::string ReadStatement()
    {
        std::string size = Read(4);
        if (size.size() != 4)
            return "(no statement)";
        uint32_t n = static_cast<unsigned char>(size[0]) | static_cast<unsigned char>(size[1]) << 8 |
                     static_cast<unsigned char>(size[2]) << 16 | static_cast<uint32_t>(static_cast<unsigned char>(size[3])) << 24;
        return Read(n);
    }
    // Everything until the client closes.
    std::string ReadToEnd()
    {
        std::string bytes;
        char buffer[4096];
        ssize_t n;
        while (Wait() && (n = recv(fd_, buffer, sizeof buffer, 0)) > 0)
            bytes.append(buffer, static_cast<size_t>(n));
        return bytes;
    }
    void Send(const std::string& bytes)
    {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            done += static_cast<size_t>(n);
        }
    }

private:
    bool Wait()
    {
        pollfd entry{fd_, POLLIN, 0};
        return fd_ >= 0 && poll(&entry, 1, 5000) > 0;
    }

    int listener_ = -1;
    int fd_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
};

std::string Word(uint32_t value)
{
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; i++)
        bytes[i] = static_cast<char>(value >> (8 * i));
    return bytes;
}

// A reply header; words 1, 3 and 7 carry marker values the client must not use.
std::string Header(uint32_t insertId, uint32_t affected, uint32_t columns, uint32_t resultLength,
                   uint32_t payloadLength)
{
    return Word(insertId) + Word(0xdeadbeef) + Word(affected) + Word(0xdeadbeef) + Word(columns) +
           Word(resultLength) + Word(payloadLength) + Word(0xdeadbeef);
}

const std::string TwoRows = "a\0b\0;c\0d\0;\r"s;

SiteConfig ProxySite(const std::string& address)
{
    SiteConfig site{};
    CopyText(site.sql_server, address.c_str());
    CopyText(site.sql_database, "ignored");
    return site;
}

std::vector<std::vector<std::string>> Rows(DbResult* result, size_t columns)
{
    std::vector<std::vector<std::string>> rows;
    while (char** row = DbFetchRow(result)) {
        std::vector<std::string> values;
        for (size_t i = 0; i < columns; i++)
            values.push_back(row[i]);
        rows.push_back(values);
    }
    return rows;
}

class ProxyTest : public ::testing::Test {
protected:
    void SetUp() override { SetSleepDivisor(100); }
    void TearDown() override { SetSleepDivisor(1); }
};

TEST_F(ProxyTest, OpeningRequestNamesTheWholeServerText)
{
    std::string opening;
    ScriptedPeer peer([&](ScriptedPeer& p) {
        if (p.Accept())
            opening = p.ReadOpening();
        p.ReadToEnd();
    });
    ASSERT_TRUE(peer.Listening());
    SiteConfig site = ProxySite(peer.Address());
    DbHandle* db = DbOpen(&site, DbMode::Proxy);
    ASSERT_NE(db, nullptr);
    EXPECT_TRUE(db->connected);
    // Proxy mode keeps only the server text.
    EXPECT_STREQ(db->database, "");
    DbClose(db);
    peer.Join();
    EXPECT_EQ(opening, "GET / WSDB/2.0\r\nHost: " + peer.Address() + "\r\n\r\n");
}

TEST_F(ProxyTest, ServerTextWithoutPortOpensPort80)
{
    std::string opening;
    ScriptedPeer peer(
        [&](ScriptedPeer& p) {
            if (p.Accept())
                opening = p.ReadOpening();
            p.ReadToEnd();
        },
        80);
    if (!peer.Listening())
        GTEST_SKIP() << "port 80 of the loopback address is taken";
    SiteConfig site = ProxySite("127.0.0.1");
    DbHandle* db = DbOpen(&site, DbMode::Proxy);
    EXPECT_TRUE(db->connected);
    DbClose(db);
    peer.Join();
    EXPECT_EQ(opening, "GET / WSDB/2.0\r\nHost: 127.0.0.1\r\n\r\n");
}

// The statement of 25 bytes goes out as its length and its text; the reply
// of two rows comes back as (a, b) and (c, d), whatever the separators are.
TEST_F(ProxyTest, StatementAndTwoRowReply)
{
    const std::string statement = "select a, b from TwoRows;";
    ASSERT_EQ(statement.size(), 25u);
    std::vector<std::string> received;
    ScriptedPeer peer([&](ScriptedPeer& p) {
        if (!p.Accept())
            return;
        p.ReadOpening();
        for (std::string payload : {TwoRows, "a\0b\0xc\0d\0\n\r"s}) {
            received.push_back(p.Read(29));
            p.Send(Header(0, 2, 2, 11, 11) + payload);
        }
        p.ReadToEnd();
    });
    SiteConfig site = ProxySite(peer.Address());
    DbHandle* db = DbOpen(&site, DbMode::Proxy);
    for (int round = 0; round < 2; round++) {
        ASSERT_TRUE(DbQuery(db, statement.c_str()));
        DbResult* result = DbStoreResult(db);
        ASSERT_NE(result, nullptr);
        EXPECT_EQ(DbRowCount(result), 2u);
        EXPECT_EQ(Rows(result, 2), (std::vector<std::vector<std::string>>{{"a", "b"}, {"c", "d"}}));
        EXPECT_EQ(DbFetchRow(result), nullptr);
        DbFreeResult(result);
    }
    DbClose(db);
    EXPECT_EQ(received, (std::vector<std::string>(2, "\x19\0\0\0"s + statement)));
}

// A header alone answers an update: DbUpdate gives word 2, DbInsert word 0;
// the stored result of such a statement has no rows. Payload bytes count
// only when word 5 and word 6 are both set.
TEST_F(ProxyTest, HeaderOnlyReplies)
{
    ScriptedPeer peer([&](ScriptedPeer& p) {
        if (!p.Accept())
            return;
        p.ReadOpening();
        p.ReadStatement();
        p.Send(Header(77, 3, 0, 0, 0));
        p.ReadStatement();
        p.Send(Header(77, 3, 0, 0, 0));
        p.ReadStatement();
        p.Send(Header(0, 5, 2, 11, 0));
        p.ReadStatement();
        p.Send(Header(0, 1, 1, 0, 3));  // no payload follows: word 5 is 0
        p.ReadStatement();
        p.Send(Header(9, 4, 0, 0, 0));
        p.ReadToEnd();
    });
    SiteConfig site = ProxySite(peer.Address());
    DbHandle* db = DbOpen(&site, DbMode::Proxy);
    EXPECT_EQ(DbUpdate(db, "update Object set views=%d", 1), 3u);
    EXPECT_EQ(DbInsert(db, "insert into Object (name) values ('%s')", "x"), 77u);
    for (int i = 0; i < 2; i++) {
        ASSERT_TRUE(DbExecute(db, "select * from Object"));
        DbResult* result = DbStoreResult(db);
        ASSERT_NE(result, nullptr);
        EXPECT_EQ(DbFetchRow(result), nullptr);
        DbFreeResult(result);
    }
    // The stream is still in step: the next reply is read as a header.
    EXPECT_EQ(DbUpdate(db, "delete from Object"), 4u);
    DbClose(db);
}

// A reply cut short by the peer closing (inside the header or inside the
// payload): the client connects again, sends the opening request and the
// same statement again, and takes the reply of the new connection.
TEST_F(ProxyTest, CutReplyReconnectsAndSendsTheStatementAgain)
{
    for (std::string cut : {Header(0, 2, 2, 11, 11).substr(0, 10), Header(0, 2, 2, 11, 11) + TwoRows.substr(0, 5)}) {
        std::vector<std::string> openings, statements;
        ScriptedPeer peer([&](ScriptedPeer& p) {
            for (int connection = 0; connection < 2 && p.Accept(); connection++) {
                openings.push_back(p.ReadOpening());
                statements.push_back(p.ReadStatement());
                p.Send(connection == 0 ? cut : Header(0, 2, 2, 11, 11) + TwoRows);
            }
            p.ReadToEnd();
        });
        SiteConfig site = ProxySite(peer.Address());
        DbHandle* db = DbOpen(&site, DbMode::Proxy);
        ASSERT_TRUE(DbExecute(db, "select a, b from TwoRows"));
        DbResult* result = DbStoreResult(db);
        EXPECT_EQ(Rows(result, 2), (std::vector<std::vector<std::string>>{{"a", "b"}, {"c", "d"}}));
        DbFreeResult(result);
        DbClose(db);
        std::string opening = "GET / WSDB/2.0\r\nHost: " + peer.Address() + "\r\n\r\n";
        EXPECT_EQ(openings, (std::vector<std::string>{opening, opening}));
        EXPECT_EQ(statements, (std::vector<std::string>(2, "select a, b from TwoRows")));
    }
}

// When the new connection cannot be made, the statement fails with the
// report line of the step that broke; the handle stays unconnected and the
// next statement tries to open again (line 172).
TEST_F(ProxyTest, FailedReconnectionReportsItsLine)
{
    struct Case {
        std::string reply;  // sent before the peer goes away; "" sends nothing
        const char* report;
    } cases[] = {
        {"", "ASSERT(b) failed at Database:194"},
        {Header(0, 2, 2, 11, 11).substr(0, 31), "ASSERT(b) failed at Database:194"},
        {Header(0, 2, 2, 11, 11) + TwoRows.substr(0, 10), "ASSERT(b) failed at Database:211"},
    };
    for (const Case& c : cases) {
        ScriptedPeer peer([&](ScriptedPeer& p) {
            if (!p.Accept())
                return;
            p.CloseListener();
            p.ReadOpening();
            p.ReadStatement();
            p.Send(c.reply);
            p.CloseConnection();
        });
        SiteConfig site = ProxySite(peer.Address());
        DbHandle* db = DbOpen(&site, DbMode::Proxy);
        StderrCapture capture;
        EXPECT_FALSE(DbExecute(db, "select 1"));
        EXPECT_FALSE(db->connected);
        EXPECT_FALSE(DbExecute(db, "select 1"));
        std::string text = capture.Text();
        EXPECT_NE(text.find(c.report), std::string::npos) << text;
        EXPECT_NE(text.find("ASSERT(b) failed at Database:172"), std::string::npos) << text;
        DbClose(db);
    }
}

// Word 5 below word 6: only the first word-5 bytes form the result, the rest
// is read and dropped so the next reply is read in step.
TEST_F(ProxyTest, ResultShorterThanPayloadKeepsItsBytesOnly)
{
    ScriptedPeer peer([&](ScriptedPeer& p) {
        if (!p.Accept())
            return;
        p.ReadOpening();
        p.ReadStatement();
        p.Send(Header(0, 1, 2, 5, 11) + TwoRows);
        p.ReadStatement();
        p.Send(Header(0, 6, 0, 0, 0));
        p.ReadToEnd();
    });
    SiteConfig site = ProxySite(peer.Address());
    DbHandle* db = DbOpen(&site, DbMode::Proxy);
    ASSERT_TRUE(DbExecute(db, "select a, b from TwoRows"));
    DbResult* result = DbStoreResult(db);
    EXPECT_EQ(Rows(result, 2), (std::vector<std::vector<std::string>>{{"a", "b"}}));
    DbFreeResult(result);
    EXPECT_EQ(DbUpdate(db, "update x set y=1"), 6u);
    DbClose(db);
}

// Damaged results: the walk never reads beyond the kept bytes (the
// sanitizers watch), returns the complete rows and then none.
TEST_F(ProxyTest, DamagedResultsEndTheWalk)
{
    struct Case {
        const char* name;
        uint32_t columns, resultLength;
        std::string payload;
        std::vector<std::vector<std::string>> rows;
    } cases[] = {
        {"word 5 above word 6", 2, 100, TwoRows, {{"a", "b"}, {"c", "d"}}},
        {"no final 13", 2, 10, TwoRows.substr(0, 10), {{"a", "b"}, {"c", "d"}}},
        {"no separator at the end", 2, 9, TwoRows.substr(0, 9), {{"a", "b"}, {"c", "d"}}},
        {"ends inside a value", 2, 7, TwoRows.substr(0, 7), {{"a", "b"}}},
        {"ends after a value", 2, 8, TwoRows.substr(0, 8), {{"a", "b"}}},
        {"more columns than bytes", 0xffffffff, 11, TwoRows, {}},
        {"three columns", 3, 11, TwoRows, {{"a", "b", ";c"}}},
        {"no columns", 0, 3, "xy\r", {{}, {}}},
        {"carriage return first", 2, 11, "\r" + TwoRows.substr(1), {}},
    };
    ScriptedPeer peer([&](ScriptedPeer& p) {
        if (!p.Accept())
            return;
        p.ReadOpening();
        for (const Case& c : cases) {
            p.ReadStatement();
            p.Send(Header(0, 2, c.columns, c.resultLength, static_cast<uint32_t>(c.payload.size())) + c.payload);
        }
        p.ReadToEnd();
    });
    SiteConfig site = ProxySite(peer.Address());
    DbHandle* db = DbOpen(&site, DbMode::Proxy);
    for (const Case& c : cases) {
        ASSERT_TRUE(DbExecute(db, "select %s", c.name));
        DbResult* result = DbStoreResult(db);
        ASSERT_NE(result, nullptr);
        size_t columns = c.columns > 3 ? 0 : c.columns;
        EXPECT_EQ(Rows(result, columns), c.rows) << c.name;
        EXPECT_EQ(DbFetchRow(result), nullptr) << c.name;
        DbFreeResult(result);
    }
    DbClose(db);
}

// A payload announced beyond the bound is not read: the statement fails
// with the "buffer" report and the connection is dropped, so the next
// statement opens a new one and is answered in step.
TEST_F(ProxyTest, OversizedPayloadDropsTheConnection)
{
    int connections = 0;
    ScriptedPeer peer([&](ScriptedPeer& p) {
        if (!p.Accept())
            return;
        connections++;
        p.ReadOpening();
        p.ReadStatement();
        p.Send(Header(0, 1, 1, ProxyPayloadLimit + 1, ProxyPayloadLimit + 1) + "garbage that must not be read");
        if (!p.Accept())
            return;
        connections++;
        p.ReadOpening();
        p.ReadStatement();
        p.Send(Header(0, 8, 0, 0, 0));
        p.ReadToEnd();
    });
    SiteConfig site = ProxySite(peer.Address());
    DbHandle* db = DbOpen(&site, DbMode::Proxy);
    {
        StderrCapture capture;
        EXPECT_FALSE(DbExecute(db, "select huge"));
        EXPECT_NE(capture.Text().find("ASSERT(buffer) failed at Database:206"), std::string::npos);
    }
    EXPECT_FALSE(db->connected);
    EXPECT_EQ(DbUpdate(db, "update x set y=1"), 8u);
    DbClose(db);
    EXPECT_EQ(connections, 2);
}

// A statement must go out whole with its length in the 65536-byte send
// buffer: one byte more is refused before anything is sent.
TEST_F(ProxyTest, StatementTooLongForTheSendBufferIsRefusedUnsent)
{
    std::string longest = "select '" + std::string(65536 - 4 - 9, 'x') + "'";
    ASSERT_EQ(longest.size(), 65532u);
    std::string first, rest;
    ScriptedPeer peer([&](ScriptedPeer& p) {
        if (!p.Accept())
            return;
        p.ReadOpening();
        first = p.ReadStatement();
        p.Send(Header(0, 0, 0, 0, 0));
        rest = p.ReadToEnd();
    });
    SiteConfig site = ProxySite(peer.Address());
    DbHandle* db = DbOpen(&site, DbMode::Proxy);
    EXPECT_TRUE(DbQuery(db, longest.c_str()));
    std::string tooLong = longest + " ";
    {
        StderrCapture capture;
        EXPECT_FALSE(DbQuery(db, tooLong.c_str()));
        EXPECT_NE(capture.Text().find("SQL STATEMENT TOO LONG"), std::string::npos);
    }
    DbClose(db);
    peer.Join();
    EXPECT_EQ(first, longest);
    // After the first statement only the close message came.
    EXPECT_EQ(rest, "\x10\0\0\0CLOSE CONNECTION"s);
}

// Closing sends the close message and then ends the connection; a handle
// whose opening failed sends nothing and closes quietly.
TEST_F(ProxyTest, CloseMessage)
{
    std::string bytes;
    ScriptedPeer peer([&](ScriptedPeer& p) {
        if (!p.Accept())
            return;
        p.ReadOpening();
        bytes = p.ReadToEnd();
    });
    SiteConfig site = ProxySite(peer.Address());
    DbHandle* db = DbOpen(&site, DbMode::Proxy);
    ASSERT_TRUE(db->connected);
    DbClose(db);
    peer.Join();
    EXPECT_EQ(bytes, "\x10\0\0\0CLOSE CONNECTION"s);

    // A port where nothing listens: bound a moment ago, then freed.
    std::string address;
    {
        ScriptedPeer gone([](ScriptedPeer& p) { p.CloseListener(); });
        address = gone.Address();
    }
    SiteConfig nowhere = ProxySite(address);
    StderrCapture capture;
    DbHandle* unconnected = DbOpen(&nowhere, DbMode::Proxy);
    EXPECT_FALSE(unconnected->connected);
    EXPECT_EQ(unconnected->proxy.socket, nullptr);
    DbClose(unconnected);
}

}  // namespace
