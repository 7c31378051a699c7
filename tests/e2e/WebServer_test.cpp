// The daemon's web server on a copy of the demo installation, in a network
// of its own (the internal listener's port is fixed): Debian's Apache serves
// several requests at once, a reload keeps serving the requests in flight and
// answers with the new configuration as soon as the reload command returns,
// and a configuration that Apache refuses leaves everything as it runs.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TempFolder.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr int PublicPort = 8080;

// The test program runs in a network namespace of its own, with only its
// loopback interface, set up before any thread starts; every program it
// starts inherits it.
bool PrivateNetwork()
{
    if (unshare(CLONE_NEWNET) != 0)
        return false;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::snprintf(request.ifr_name, sizeof request.ifr_name, "lo");
    bool up = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP | IFF_RUNNING;
    up = up && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    close(fd);
    return up;
}
const bool privateNetwork = PrivateNetwork();

int Shell(const std::string& command)
{
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct CommandOutcome {
    int status;
    std::string output;
};

CommandOutcome RunCommandLine(const std::string& line)
{
    CommandOutcome outcome{-1, {}};
    FILE* pipe = popen((line + " 2>&1").c_str(), "r");
    if (pipe == nullptr)
        return outcome;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        outcome.output.append(buffer, n);
    int status = pclose(pipe);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

// GET path from 127.0.0.1:port with the given Host header; "" when the
// server does not answer.
std::string HttpGet(int port, const std::string& host, const std::string& path)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval timeout{60, 0};
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

bool IsOk(const std::string& reply)
{
    return reply.rfind("HTTP/1.1 200 ", 0) == 0 || reply.rfind("HTTP/1.0 200 ", 0) == 0;
}

// Pids of live processes whose argv[0] is exactly program.
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

pid_t ParentOf(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    size_t close = line.rfind(')');
    if (close == std::string::npos)
        return 0;
    return std::atoi(line.c_str() + close + 4);
}

template <typename Condition> bool WaitFor(Condition condition, std::chrono::milliseconds limit)
{
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (condition())
            return true;
        std::this_thread::sleep_for(20ms);
    }
    return condition();
}

size_t CountOf(const std::string& text, const std::string& what)
{
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        count++;
    return count;
}

class WebServer : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!privateNetwork)
            return;
        folder_ = new TempFolder();
        chmod(folder_->Path().c_str(), 0755);
        dir_ = folder_->Path() + "/install";
        ASSERT_EQ(Shell("DEMO_PORT=" + std::to_string(PublicPort) +
                        " DEMO_DB_PORT=3399 " VTD_SOURCE_DIR "/tools/demo/layout.sh " + dir_ + " >/dev/null"),
                  0);
        fs::copy_file(VTD_TEST_DATA "/web/hold.php", dir_ + "/sites/default/htdocs/hold.php");
        runtime_ = folder_->Path() + "/run";
        std::string notifyPath = folder_->Path() + "/notify";
        notify_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", notifyPath.c_str());
        ASSERT_EQ(bind(notify_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        reading_ = true;
        reader_ = new std::thread([] {
            while (reading_) {
                pollfd entry{notify_, POLLIN, 0};
                if (poll(&entry, 1, 20) <= 0)
                    continue;
                char buffer[4096];
                ssize_t n = recv(notify_, buffer, sizeof buffer, 0);
                std::lock_guard<std::mutex> guard(messagesLock_);
                if (n > 0)
                    messages_.emplace_back(buffer, static_cast<size_t>(n));
            }
        });

        std::string program = VTD_BIN_DIR "/vtd";
        std::string log = folder_->Path() + "/vtd.out";
        std::vector<std::string> environment = {
            "VTD_REGISTRY=" + dir_ + "/vtd.reg", "MYSQL_HOME=" + dir_ + "/mysql",
            "MYSQL_UNIX_PORT=" + dir_ + "/mysql/mysql.sock", "VTD_SLEEP_DIVISOR=5",
            // Only the processes of this installation are looked at: the
            // links to Debian's programs point outside it, so none is, and
            // the daemon starts and ends its own.
            "VTD_PROCESS_FOLDER=" + dir_, "RUNTIME_DIRECTORY=" + runtime_, "NOTIFY_SOCKET=" + notifyPath};
        daemon_ = fork();
        ASSERT_GE(daemon_, 0);
        if (daemon_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            dup2(out, 1);
            dup2(out, 2);
            for (const std::string& assignment : environment)
                putenv(strdup(assignment.c_str()));
            execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        ASSERT_TRUE(WaitFor([] { return Saw("READY=1\nSTATUS=Running"); }, 300s)) << DaemonOutput();
        ASSERT_TRUE(WaitFor([] { return IsOk(HttpGet(PublicPort, "127.0.0.1", "/")); }, 30s)) << DaemonOutput();
    }

    static void TearDownTestSuite()
    {
        if (folder_ == nullptr)
            return;
        if (daemon_ > 0) {
            kill(daemon_, SIGTERM);
            WaitFor([] { return waitpid(daemon_, nullptr, WNOHANG) == daemon_; }, 60s);
            kill(daemon_, SIGKILL);
            waitpid(daemon_, nullptr, 0);
        }
        std::ifstream pidFile(dir_ + "/mysql/mysqld.pid");
        pid_t pid = 0;
        if (pidFile >> pid && pid > 0) {
            kill(pid, SIGTERM);
            WaitFor([&] { return kill(pid, 0) != 0; }, 30s);
        }
        for (pid_t stray : ProcessesStartedAs(dir_ + "/apache/bin/httpd"))
            kill(stray, SIGKILL);
        reading_ = false;
        reader_->join();
        delete reader_;
        close(notify_);
        delete folder_;
        folder_ = nullptr;
    }

    void SetUp() override
    {
        if (!privateNetwork)
            GTEST_SKIP() << "no network namespace of its own for the fixed internal port";
        ASSERT_NE(daemon_, -1);
    }

    static bool Saw(const std::string& message)
    {
        std::lock_guard<std::mutex> guard(messagesLock_);
        for (const std::string& m : messages_)
            if (m == message)
                return true;
        return false;
    }
    static bool SawStatusStarting(const std::string& text)
    {
        std::lock_guard<std::mutex> guard(messagesLock_);
        for (const std::string& m : messages_)
            if (m.rfind("STATUS=" + text, 0) == 0)
                return true;
        return false;
    }

    static std::string DaemonOutput() { return ReadFileBytes(folder_->Path() + "/vtd.out"); }

    // The web server's main process: the one the daemon started.
    static pid_t MainWebServer()
    {
        for (pid_t pid : ProcessesStartedAs(dir_ + "/apache/bin/httpd"))
            if (ParentOf(pid) == daemon_)
                return pid;
        return 0;
    }

    static CommandOutcome Reload()
    {
        return RunCommandLine("RUNTIME_DIRECTORY='" + runtime_ + "' " VTD_BIN_DIR "/vtd --reload " +
                              std::to_string(daemon_));
    }

    static std::string HoldLog(const std::string& name)
    {
        std::string path = dir_ + "/sites/default/runtime/" + name + ".log";
        return fs::exists(path) ? ReadFileBytes(path) : std::string();
    }

    static TempFolder* folder_;
    static std::string dir_, runtime_;
    static pid_t daemon_;
    static int notify_;
    static std::atomic<bool> reading_;
    static std::thread* reader_;
    static std::mutex messagesLock_;
    static std::vector<std::string> messages_;
};

TempFolder* WebServer::folder_ = nullptr;
std::string WebServer::dir_, WebServer::runtime_;
pid_t WebServer::daemon_ = -1;
int WebServer::notify_ = -1;
std::atomic<bool> WebServer::reading_{false};
std::thread* WebServer::reader_ = nullptr;
std::mutex WebServer::messagesLock_;
std::vector<std::string> WebServer::messages_;

// Four requests that each wait until all four have begun: a server that
// answers one request after the other cannot let all four begin before the
// first ends, so the log's order proves they ran at once.
TEST_F(WebServer, ServesSeveralRequestsAtOnce)
{
    pid_t main = MainWebServer();
    ASSERT_NE(main, 0);
    std::vector<std::string> replies(4);
    std::vector<std::thread> clients;
    for (size_t i = 0; i < replies.size(); i++)
        clients.emplace_back([&, i] {
            replies[i] = HttpGet(PublicPort, "127.0.0.1", "/hold.php?log=overlap&n=4&id=" + std::to_string(i));
        });
    for (std::thread& client : clients)
        client.join();
    for (const std::string& reply : replies)
        EXPECT_TRUE(IsOk(reply)) << reply;
    std::string log = HoldLog("overlap");
    size_t lastStart = log.rfind("start ");
    size_t firstEnd = log.find("end ");
    EXPECT_EQ(CountOf(log, "start "), 4u) << log;
    EXPECT_EQ(CountOf(log, "end "), 4u) << log;
    EXPECT_LT(lastStart, firstEnd) << "the requests did not overlap:\n" << log;
    // Apache's own workers serve them, children of the main process that the
    // daemon supervises.
    size_t workers = 0;
    for (pid_t pid : ProcessesStartedAs(dir_ + "/apache/bin/httpd"))
        workers += ParentOf(pid) == main ? 1 : 0;
    EXPECT_GE(workers, 2u);
}

// Requests held open across a reload all end with 200; the host name added
// to the settings answers right after the reload command returns; the web
// server's main process is the same.
TEST_F(WebServer, ReloadKeepsServingAndTakesTheNewConfiguration)
{
    pid_t main = MainWebServer();
    ASSERT_NE(main, 0);
    EXPECT_EQ(HttpGet(PublicPort, "added.localhost", "/").find("<h1>Site campus</h1>"), std::string::npos);
    std::vector<std::string> replies(3);
    std::vector<std::thread> clients;
    for (size_t i = 0; i < replies.size(); i++)
        clients.emplace_back([&, i] {
            replies[i] = HttpGet(PublicPort, "127.0.0.1", "/hold.php?log=reload&n=0&id=" + std::to_string(i));
        });
    ASSERT_TRUE(WaitFor([] { return CountOf(HoldLog("reload"), "start ") == 3; }, 30s)) << HoldLog("reload");

    std::string settings = dir_ + "/vtd.reg";
    WriteFileBytes(settings, ReadFileBytes(settings) +
                                 "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantry\\Server\\campus\\added.localhost]\n");
    CommandOutcome reload = Reload();
    EXPECT_EQ(reload.status, 0) << reload.output;
    std::string page = HttpGet(PublicPort, "added.localhost", "/");
    EXPECT_NE(page.find("<h1>Site campus</h1>"), std::string::npos) << page;
    EXPECT_EQ(CountOf(HoldLog("reload"), "end "), 0u) << "the held requests are still in flight";

    WriteFileBytes(dir_ + "/sites/default/runtime/release", "");
    for (std::thread& client : clients)
        client.join();
    for (const std::string& reply : replies) {
        EXPECT_TRUE(IsOk(reply)) << reply;
        EXPECT_NE(reply.find("held "), std::string::npos) << reply;
    }
    EXPECT_EQ(MainWebServer(), main);
}

// An addition that Apache refuses (a local configuration file with an
// unknown directive) refuses the reload as a whole: the command fails with
// Apache's message, httpd.conf and every serverconfig.php keep their bytes
// although the settings changed, and the same web server serves on.
TEST_F(WebServer, RefusedConfigurationLeavesEverythingAsItRuns)
{
    pid_t main = MainWebServer();
    ASSERT_NE(main, 0);
    std::string conf = dir_ + "/apache/conf/httpd.conf";
    std::vector<std::string> files = {conf, dir_ + "/sites/default/serverconfig.php",
                                      dir_ + "/sites/campus/serverconfig.php"};
    std::vector<std::string> before;
    for (const std::string& file : files)
        before.push_back(ReadFileBytes(file));
    std::string settings = dir_ + "/vtd.reg";
    std::string oldSettings = ReadFileBytes(settings);
    WriteFileBytes(settings, oldSettings + "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantry\\Server]\n"
                                           "\"SmtpEmail\"=\"changed@localhost\"\n");
    fs::create_directories(dir_ + "/apache/conf/local");
    WriteFileBytes(dir_ + "/apache/conf/local/broken.conf", "NoSuchDirective on\n");

    CommandOutcome reload = Reload();
    EXPECT_EQ(reload.status, 1) << reload.output;
    EXPECT_NE(reload.output.find("refused"), std::string::npos) << reload.output;
    EXPECT_NE(reload.output.find("Invalid command 'NoSuchDirective'"), std::string::npos) << reload.output;
    for (size_t i = 0; i < files.size(); i++)
        EXPECT_EQ(ReadFileBytes(files[i]), before[i]) << files[i];
    EXPECT_TRUE(SawStatusStarting("Running: supervising mysqld, httpd, rtmpd and vtpd; web configuration refused, "
                                  "the running configuration kept: "));
    std::string errors;
    for (const auto& entry : fs::directory_iterator(VTD_BIN_DIR "/logs"))
        errors += ReadFileBytes(entry.path().string());
    EXPECT_NE(errors.find("web configuration refused, the running configuration is kept: the web server refused " +
                          conf + ".new"),
              std::string::npos);
    EXPECT_EQ(MainWebServer(), main);
    EXPECT_TRUE(IsOk(HttpGet(PublicPort, "campus.localhost", "/")));

    // Mended, the next reload takes the changed settings.
    fs::remove(dir_ + "/apache/conf/local/broken.conf");
    reload = Reload();
    EXPECT_EQ(reload.status, 0) << reload.output;
    EXPECT_NE(ReadFileBytes(files[1]).find("changed@localhost"), std::string::npos);
    EXPECT_FALSE(fs::exists(conf + ".new"));
    EXPECT_EQ(MainWebServer(), main);
}

// The stop ends the web server's main process first, which ends its
// workers: none is left, none runs on without its parent.
TEST_F(WebServer, StopLeavesNoWebServerProcess)
{
    ASSERT_GE(ProcessesStartedAs(dir_ + "/apache/bin/httpd").size(), 2u);
    kill(daemon_, SIGTERM);
    int status = -1;
    ASSERT_TRUE(WaitFor([&] { return waitpid(daemon_, &status, WNOHANG) == daemon_; }, 60s));
    daemon_ = 0;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(ProcessesStartedAs(dir_ + "/apache/bin/httpd"), std::vector<pid_t>{});
}

} // namespace
