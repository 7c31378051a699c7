// The whole daemon on a copy of the demo installation: the real binary starts
// the database server, upgrades both site databases, writes the web server's
// configuration, starts Apache and the two stand-ins, asks each site to run
// its update page, restarts programs that die, and stops cleanly on SIGINT.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mysql.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackPort.h"
#include "TempFolder.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;


// Runs a shell command, returns its exit status.
int Shell(const std::string& command)
{
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// GET path from 127.0.0.1:port with the given Host header; "" when the
// server does not answer.
std::string HttpGet(int port, const std::string& host, const std::string& path = "/")
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval timeout{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return {};
    }
    std::string request = "GET " + path + " HTTP/1.0\r\nHost: " + host + "\r\n\r\n";
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string reply;
    char buffer[4096];
    ssize_t n;
    while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0)
        reply.append(buffer, static_cast<size_t>(n));
    close(fd);
    return reply;
}

// Pids of processes whose argv[0] is exactly program.
std::vector<pid_t> ProcessesStartedAs(const std::string& program)
{
    std::vector<pid_t> pids;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream cmdline(entry.path() / "cmdline", std::ios::binary);
        std::string argv0;
        std::getline(cmdline, argv0, '\0');
        std::ifstream stat(entry.path() / "stat");
        std::string statLine;
        std::getline(stat, statLine);
        size_t close = statLine.rfind(')');
        bool zombie = close != std::string::npos && close + 2 < statLine.size() && statLine[close + 2] == 'Z';
        if (argv0 == program && !zombie)
            pids.push_back(std::stoi(name));
    }
    return pids;
}

template <typename Condition> bool WaitFor(Condition condition, std::chrono::milliseconds limit)
{
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (condition())
            return true;
        std::this_thread::sleep_for(100ms);
    }
    return condition();
}

size_t CountLines(const std::string& path)
{
    std::ifstream in(path);
    size_t lines = 0;
    std::string line;
    while (std::getline(in, line))
        ++lines;
    return lines;
}

class DemoInstallation : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        folder_ = new TempFolder();
        // The web server's children run as www-data and must reach the sites.
        chmod(folder_->Path().c_str(), 0755);
        dir_ = folder_->Path() + "/install";
        publicPort_ = FreeLoopbackPort();
        std::string command = "DEMO_PORT=" + std::to_string(publicPort_) + " DEMO_DB_PORT=" + std::to_string(FreeLoopbackPort()) +
                              " " VTD_SOURCE_DIR "/tools/demo/layout.sh " + dir_ + " >/dev/null";
        ASSERT_EQ(Shell(command), 0);
        setenv("VTD_REGISTRY", (dir_ + "/vtd.reg").c_str(), 1);
        setenv("MYSQL_HOME", (dir_ + "/mysql").c_str(), 1);
        setenv("MYSQL_UNIX_PORT", (dir_ + "/mysql/mysql.sock").c_str(), 1);
        // The daemon's long waits (10 s before the update requests, 2 s
        // between supervision passes) run ten times faster.
        setenv("VTD_SLEEP_DIVISOR", "10", 1);
    }

    static void TearDownTestSuite()
    {
        StopDaemon();
        std::ifstream pidFile(dir_ + "/mysql/mysqld.pid");
        pid_t pid = 0;
        if (pidFile >> pid && pid > 0) {
            kill(pid, SIGTERM);
            WaitFor([&] { return kill(pid, 0) != 0; }, 30s);
        }
        for (const char* program : {"/apache/bin/httpd"})
            for (pid_t stray : ProcessesStartedAs(dir_ + program))
                kill(stray, SIGKILL);
        delete folder_;
        folder_ = nullptr;
    }

    static void StartDaemon()
    {
        std::string program = VTD_BIN_DIR "/vtd";
        std::string log = folder_->Path() + "/vtd.out";
        daemon_ = fork();
        ASSERT_GE(daemon_, 0);
        if (daemon_ == 0) {
            // Should the test program die before it cleans up, the daemon
            // dies with it instead of supervising on.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            dup2(out, 1);
            dup2(out, 2);
            execl(program.c_str(), program.c_str(), "-d", static_cast<char*>(nullptr));
            _exit(127);
        }
    }

    // SIGINT, then the exit status (-1 when it did not end in time).
    static int StopDaemon()
    {
        if (daemon_ <= 0)
            return -1;
        kill(daemon_, SIGINT);
        int status = -1;
        bool ended = WaitFor([&] { return waitpid(daemon_, &status, WNOHANG) == daemon_; }, 60s);
        if (!ended) {
            kill(daemon_, SIGKILL);
            waitpid(daemon_, &status, 0);
        }
        daemon_ = -1;
        return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    static std::string UpdateLog(const char* site) { return dir_ + "/sites/" + site + "/runtime/updatedatabase.log"; }

    static std::string DaemonOutput() { return ReadFileBytes(folder_->Path() + "/vtd.out"); }

    static bool AllProgramsRun()
    {
        return !ProcessesStartedAs(dir_ + "/apache/bin/httpd").empty() &&
               !ProcessesStartedAs(VTD_BIN_DIR "/rtmpd").empty() && !ProcessesStartedAs(VTD_BIN_DIR "/vtpd").empty();
    }

    static std::string Query(const std::string& database, const std::string& statement)
    {
        MYSQL* connection = mysql_init(nullptr);
        std::string value = "<no connection>";
        if (mysql_real_connect(connection, "localhost", "vantry", "vantry-demo", database.c_str(), 0,
                               (dir_ + "/mysql/mysql.sock").c_str(), 0) != nullptr) {
            value = "<no row>";
            if (mysql_query(connection, statement.c_str()) == 0) {
                MYSQL_RES* result = mysql_store_result(connection);
                MYSQL_ROW row = result != nullptr ? mysql_fetch_row(result) : nullptr;
                if (row != nullptr)
                    value = row[0] != nullptr ? row[0] : "<null>";
                if (result != nullptr)
                    mysql_free_result(result);
            } else {
                value = mysql_error(connection);
            }
        }
        mysql_close(connection);
        return value;
    }

    static TempFolder* folder_;
    static std::string dir_;
    static int publicPort_;
    static pid_t daemon_;
};

TempFolder* DemoInstallation::folder_ = nullptr;
std::string DemoInstallation::dir_;
int DemoInstallation::publicPort_ = 0;
pid_t DemoInstallation::daemon_ = -1;

TEST_F(DemoInstallation, RunsTheWholeStackAndStopsCleanly)
{
    StartDaemon();
    // Both sites get their update request once the databases were upgraded.
    ASSERT_TRUE(WaitFor([] { return CountLines(UpdateLog("default")) >= 1 && CountLines(UpdateLog("campus")) >= 1; },
                        180s))
        << DaemonOutput();
    // The daemon waited for the database server it started: its first
    // connection did not fail.
    EXPECT_EQ(DaemonOutput().find("SQL CONNECT"), std::string::npos) << DaemonOutput();

    for (const char* database : {"vantry_default", "vantry_campus"}) {
        SCOPED_TRACE(database);
        EXPECT_EQ(Query(database, "select version from DatabaseVersion"), "15.0.11");
        EXPECT_EQ(Query(database, "select count(*) from information_schema.tables where table_schema=database() "
                                  "and table_type='BASE TABLE'"),
                  "58");
        EXPECT_EQ(Query(database, "select group_concat(lower(table_name) order by table_name) from "
                                  "information_schema.views where table_schema=database()"),
                  "vcourse,vfile,vsession");
    }

    // Apache serves each site by host name on the public and internal ports.
    struct HostCase {
        int port;
        const char* host;
        const char* site;
    };
    const HostCase hosts[] = {
        {publicPort_, "127.0.0.1", "default"},       {publicPort_, "campus.localhost", "campus"},
        {publicPort_, "learn.localhost", "campus"},  {19039, "127.0.0.1", "default"},
        {19039, "campus.localhost", "campus"},       {publicPort_, "unknown.example", "default"},
    };
    for (const auto& c : hosts) {
        std::string page = HttpGet(c.port, c.host);
        EXPECT_NE(page.find("<h1>Site " + std::string(c.site) + "</h1>"), std::string::npos)
            << c.host << ":" << c.port << "\n" << page;
        EXPECT_NE(page.find("15.0.11"), std::string::npos) << page;
    }
    EXPECT_EQ(CountLines(UpdateLog("default")), 1u);
    EXPECT_EQ(CountLines(UpdateLog("campus")), 1u);

    // Programs killed by hand come back (2 s pass + 2 s restart, shortened).
    ASSERT_TRUE(AllProgramsRun());
    for (const std::string& program :
         {dir_ + "/apache/bin/httpd", std::string(VTD_BIN_DIR "/rtmpd"), std::string(VTD_BIN_DIR "/vtpd")}) {
        SCOPED_TRACE(program);
        std::vector<pid_t> before = ProcessesStartedAs(program);
        ASSERT_FALSE(before.empty());
        for (pid_t pid : before)
            kill(pid, SIGKILL);
        EXPECT_TRUE(WaitFor(
            [&] {
                std::vector<pid_t> now = ProcessesStartedAs(program);
                return !now.empty() && now != before;
            },
            10s));
    }
    EXPECT_TRUE(WaitFor([] { return !HttpGet(publicPort_, "campus.localhost").empty(); }, 10s));

    EXPECT_EQ(StopDaemon(), 0) << DaemonOutput();
    EXPECT_TRUE(ProcessesStartedAs(dir_ + "/apache/bin/httpd").empty());
    EXPECT_TRUE(ProcessesStartedAs(VTD_BIN_DIR "/rtmpd").empty());
    EXPECT_TRUE(ProcessesStartedAs(VTD_BIN_DIR "/vtpd").empty());
    EXPECT_EQ(Query("vantry_default", "select 1"), "1") << "the database server outlives the daemon";

    // A second start finds the databases current: no upgrade, so no update
    // request either.
    std::string updatedBefore = Query("vantry_default", "select updated from DatabaseVersion");
    StartDaemon();
    ASSERT_TRUE(WaitFor([] { return AllProgramsRun(); }, 120s)) << DaemonOutput();
    ASSERT_TRUE(WaitFor([] { return !HttpGet(publicPort_, "127.0.0.1").empty(); }, 20s));
    std::this_thread::sleep_for(2s);  // longer than the shortened trigger wait
    EXPECT_EQ(StopDaemon(), 0);
    EXPECT_EQ(CountLines(UpdateLog("default")), 1u);
    EXPECT_EQ(CountLines(UpdateLog("campus")), 1u);
    EXPECT_EQ(Query("vantry_default", "select updated from DatabaseVersion"), updatedBefore);
}

}  // namespace
