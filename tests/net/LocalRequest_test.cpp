// The update requests to the local web server, against a small HTTP server
// on a free loopback port. The long waits run 100 times faster.
#include "net/LocalRequest.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackServer.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const std::string UpdateLine = "GET /internal/updatedatabase HTTP/1.1\r\n";

struct Request {
    std::string bytes;
    Clock::time_point arrived;
    Clock::time_point answered;
};

// Records each request header; answers after replyDelayMs, or never (the
// connection is held until the client gives up) when answer is false.
class HttpServer {
public:
    explicit HttpServer(int replyDelayMs = 0, bool answer = true, uint16_t port = 0)
        : server_(
              [this, replyDelayMs, answer](int fd) {
                  Request r;
                  r.bytes = LoopbackServer::ReadHeader(fd);
                  r.arrived = Clock::now();
                  if (answer) {
                      std::this_thread::sleep_for(milliseconds(replyDelayMs));
                      LoopbackServer::SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
                  } else {
                      LoopbackServer::ReadAll(fd, 30000);
                  }
                  r.answered = Clock::now();
                  requests_.push_back(r);
              },
              port)
    {
    }
    bool Listening() const { return server_.Listening(); }
    uint16_t Port() const { return server_.Port(); }
    // Stops the server; the recorded requests are then safe to read.
    const std::vector<Request>& Requests()
    {
        server_.Stop();
        return requests_;
    }

private:
    std::vector<Request> requests_;
    LoopbackServer server_;
};

// The settings whose sites the trigger asks.
ServerConfig Config{};

class LocalRequest : public testing::Test {
protected:
    void SetUp() override { SetSleepDivisor(100); }
    void TearDown() override
    {
        Config.Sites.RemoveAll([](void* item) { delete static_cast<SiteConfig*>(item); });
        SetSleepDivisor(1);
    }

    SiteConfig* AddSite(const char* name, const char* database, std::vector<const char*> aliases = {})
    {
        auto* site = new SiteConfig{};
        CopyText(site->name, name);
        CopyText(site->sql_database, database);
        for (size_t i = 0; i < aliases.size(); i++)
            CopyText(site->aliases[i], aliases[i]);
        Config.Sites.Append(site);
        return site;
    }
};

void SendRequest(int port, unsigned limit, const SiteConfig* site, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    RequestLocalSiteOn(port, limit, site, format, args);
    va_end(args);
}

} // namespace

TEST_F(LocalRequest, TriggerAsksEachSiteWithADatabaseInOrder)
{
    AddSite("default", "db0", {"www.example.org"});
    AddSite("a", "dba", {"a1", "a2"});
    AddSite("b", "");
    AddSite("c", "dbc");
    HttpServer server(150);
    ASSERT_TRUE(server.Listening());

    auto start = Clock::now();
    testing::internal::CaptureStderr();
    EXPECT_TRUE(TriggerDatabaseUpdateOn(Config, server.Port(), 5000));
    std::string log = testing::internal::GetCapturedStderr();
    const std::vector<Request>& requests = server.Requests();

    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].bytes, UpdateLine + "Host: _default_\r\n\r\n");
    EXPECT_EQ(requests[1].bytes, UpdateLine + "Host: a1\r\n\r\n");
    EXPECT_EQ(requests[2].bytes, UpdateLine + "Host: \r\n\r\n");
    // 10 s and 1 s, shortened to 100 ms and 10 ms; each request only after
    // the previous reply (150 ms late) and the pause. Lower bounds only.
    EXPECT_GE(requests[0].arrived - start, milliseconds(110));
    EXPECT_GE(requests[1].arrived - requests[0].answered, milliseconds(10));
    EXPECT_GE(requests[1].arrived - requests[0].arrived, milliseconds(160));
    EXPECT_GE(requests[2].arrived - requests[1].answered, milliseconds(10));
    EXPECT_EQ(log, "");
}

TEST_F(LocalRequest, TriggerWithoutDatabasesOnlyWaits)
{
    AddSite("default", "");
    AddSite("b", "", {"b1"});
    HttpServer server;
    auto start = Clock::now();
    EXPECT_TRUE(TriggerDatabaseUpdateOn(Config, server.Port(), 5000));
    auto elapsed = Clock::now() - start;
    EXPECT_TRUE(server.Requests().empty());
    EXPECT_GE(elapsed, milliseconds(100));
    EXPECT_LT(elapsed, milliseconds(5000));
}

TEST_F(LocalRequest, TriggerWithTheServerDownCostsOnlyTheWaits)
{
    AddSite("default", "db0");
    AddSite("a", "dba", {"a1"});
    auto start = Clock::now();
    testing::internal::CaptureStderr();
    EXPECT_TRUE(TriggerDatabaseUpdateOn(Config, UnusedLoopbackPort(), 5000));
    std::string log = testing::internal::GetCapturedStderr();
    auto elapsed = Clock::now() - start;
    EXPECT_EQ(log, "") << "a refused connection is silent";
    EXPECT_GE(elapsed, milliseconds(120));
    EXPECT_LT(elapsed, milliseconds(5000));
}

TEST_F(LocalRequest, ASiteThatNeverAnswersIsCutOffAtTheLimit)
{
    AddSite("default", "db0");
    AddSite("a", "dba", {"a1"});
    HttpServer server(0, false);
    auto start = Clock::now();
    testing::internal::CaptureStderr();
    EXPECT_TRUE(TriggerDatabaseUpdateOn(Config, server.Port(), 300));
    std::string log = testing::internal::GetCapturedStderr();
    auto elapsed = Clock::now() - start;
    const std::vector<Request>& requests = server.Requests();

    ASSERT_EQ(requests.size(), 2u) << "the second site is still asked";
    EXPECT_EQ(requests[1].bytes, UpdateLine + "Host: a1\r\n\r\n");
    EXPECT_GE(elapsed, milliseconds(100 + 2 * (10 + 300)));
    EXPECT_LT(elapsed, milliseconds(10000));
    EXPECT_NE(log.find("for host \"_default_\" within 300 ms"), std::string::npos) << log;
    EXPECT_NE(log.find("for host \"a1\" within 300 ms"), std::string::npos) << log;
}

TEST_F(LocalRequest, RequestLineIsFormattedAndCut)
{
    SiteConfig* site = AddSite("x", "dbx", {"x.example.org"});
    HttpServer server;
    SendRequest(server.Port(), 5000, site, "GET /page?id=%d&name=%s HTTP/1.1", 42, "abc");
    const std::string longPath(2000, 'p');
    SendRequest(server.Port(), 5000, site, "GET /%s", longPath.c_str());
    const std::vector<Request>& requests = server.Requests();

    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].bytes, "GET /page?id=42&name=abc HTTP/1.1\r\nHost: x.example.org\r\n\r\n");
    // The request line holds at most 1023 characters.
    EXPECT_EQ(requests[1].bytes, "GET /" + longPath.substr(0, 1023 - 5) + "\r\nHost: x.example.org\r\n\r\n");
}

TEST_F(LocalRequest, HostNamesOfSites)
{
    struct Case {
        const char* name;
        std::vector<const char*> aliases;
        const char* host;
    } cases[] = {
        {"default", {"www.example.org"}, "_default_"},
        {"Default", {"d1"}, "d1"}, // the match is case-sensitive
        {"shop", {"shop.example.org", "shop2"}, "shop.example.org"},
        {"bare", {}, ""},
    };
    for (const Case& c : cases) {
        SiteConfig* site = AddSite(c.name, "db", c.aliases);
        EXPECT_STREQ(LocalSiteHostName(site), c.host) << c.name;
    }
}

TEST_F(LocalRequest, TriggerUsesTheInternalPort)
{
    HttpServer server(0, true, InternalHttpPort);
    if (!server.Listening())
        GTEST_SKIP() << "port " << InternalHttpPort << " is taken";
    AddSite("default", "db0");
    EXPECT_TRUE(TriggerDatabaseUpdate(Config));
    const std::vector<Request>& requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].bytes, UpdateLine + "Host: _default_\r\n\r\n");
}
