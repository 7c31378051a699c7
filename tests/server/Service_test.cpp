// The daemon as a service of the service manager, with a real notify socket.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "LoopbackPort.h"
#include "MariaDbServer.h"
#include "Sandbox.h"

using namespace sandbox;

namespace {

// A datagram socket standing in for the service manager's notify socket.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) : path_(path)
    {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", path.c_str());
        bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    }
    ~NotifySocket() { close(fd_); }
    bool Bound() const { return bound_; }

    // Next report of a state, or "" when none arrives within milliseconds.
    // The lines that only say what the daemon does meanwhile (a STATUS=
    // alone) are kept in progress.
    std::string Receive(int milliseconds)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        for (;;) {
            int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            deadline - std::chrono::steady_clock::now())
                                            .count());
            std::string message = ReceiveAny(left > 0 ? left : 0);
            bool report = message.empty() || message.find('\n') != std::string::npos ||
                          message.rfind("STATUS=Starting (", 0) == 0 || message.rfind("STATUS=Stopped (", 0) == 0 ||
                          message.rfind("STATUS=", 0) != 0;
            if (report)
                return message;
            progress.push_back(message.substr(7));
        }
    }

    // Whether a progress line starting with text has come.
    bool SawProgress(const std::string& text) const
    {
        for (const std::string& line : progress)
            if (line.rfind(text, 0) == 0)
                return true;
        return false;
    }

    std::vector<std::string> progress;

    // Next message of any kind, or "" when none arrives within milliseconds.
    std::string ReceiveAny(int milliseconds)
    {
        pollfd entry {fd_, POLLIN, 0};
        if (poll(&entry, 1, milliseconds) <= 0)
            return {};
        char buffer[4096];
        ssize_t n = recv(fd_, buffer, sizeof(buffer), 0);
        return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
    }

private:
    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
};

} // namespace

// Start-pending, running, stop-pending, stopped in this order, with lines
// saying what the daemon does in between; the programs are ended and the
// database server stays.
TEST(Service, ReportsInOrderAndStopsOnTerm)
{
    Sandbox box;
    NotifySocket notify(box.temp / "notify");
    ASSERT_TRUE(notify.Bound());
    pid_t daemon = box.RunDaemon({}, 100, {"NOTIFY_SOCKET=" + (box.temp / "notify")});

    EXPECT_EQ(notify.Receive(10000), "STATUS=Starting (checkpoint 1)\nEXTEND_TIMEOUT_USEC=60000000");
    EXPECT_EQ(notify.Receive(10000), "READY=1\nSTATUS=Running");
    EXPECT_EQ(notify.progress, (std::vector<std::string>{"Starting the database server",
                                                         "Writing the web configuration"}));
    ASSERT_TRUE(WaitUntil([&] { return box.Running("vtpd").size() == 1; }, 5000));
    EXPECT_EQ(notify.ReceiveAny(5000), "STATUS=Running: supervising mysqld, httpd, rtmpd and vtpd");
    kill(daemon, SIGTERM);
    EXPECT_EQ(notify.Receive(15000), "STOPPING=1\nSTATUS=Stopping (checkpoint 2)");
    EXPECT_EQ(notify.Receive(15000), "STATUS=Stopped (exit code 0)");
    EXPECT_EQ(WaitExit(daemon, 15000), 0) << box.Output();
    EXPECT_EQ(notify.Receive(100), "");
    for (const char* name : {"httpd", "rtmpd", "vtpd"})
        EXPECT_TRUE(box.Running(name).empty()) << name;
    // The daemon started the database server and leaves it running.
    EXPECT_EQ(box.Running("mysqld").size(), 1u);
}

// The same again with the stop sent once the service runs, then a notify
// socket that cannot be reached: the first report fails and ends the service
// with its error, before anything is started.
TEST(Service, StopWhileRunningAndUnreachableManager)
{
    {
        Sandbox box;
        NotifySocket notify(box.temp / "notify");
        pid_t daemon = box.RunDaemon({"-n", "second", "-w"}, 100, {"NOTIFY_SOCKET=" + (box.temp / "notify")});
        EXPECT_EQ(notify.Receive(10000), "STATUS=Starting (checkpoint 1)\nEXTEND_TIMEOUT_USEC=60000000");
        EXPECT_EQ(notify.Receive(10000), "READY=1\nSTATUS=Running");
        ASSERT_TRUE(WaitUntil([&] { return box.Running("rtmpd").size() == 1; }, 5000));
        kill(daemon, SIGTERM);
        EXPECT_EQ(notify.Receive(15000), "STOPPING=1\nSTATUS=Stopping (checkpoint 2)");
        EXPECT_EQ(notify.Receive(15000), "STATUS=Stopped (exit code 0)");
        EXPECT_EQ(WaitExit(daemon, 15000), 0);
        EXPECT_TRUE(box.Running("rtmpd").empty());
    }
    {
        Sandbox box;
        pid_t daemon = box.RunDaemon({}, 100, {"NOTIFY_SOCKET=" + (box.temp / "nobody-listens")});
        EXPECT_EQ(WaitExit(daemon, 10000), 1) << box.Output();
        EXPECT_TRUE(box.Running("").empty());
    }
}

namespace {

const char* const SiteKey = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantry\\Server\\";

} // namespace

// While a site's database server does not answer, the status names the
// site and the error; a stop then ends the start-up at its wait: the stop
// is reported, the exit status is 0, nothing generated was touched.
TEST(Service, StopWhileWaitingForASiteDatabase)
{
    Sandbox box;
    NotifySocket notify(box.temp / "notify");
    fs::create_directories(box.install + "/apache/conf");
    fs::create_directories(box.install + "/sites/campus");
    WriteFileBytes(box.install + "/apache/conf/httpd.conf", "old conf");
    WriteFileBytes(box.install + "/sites/campus/serverconfig.php", "old php");
    WriteFileBytes(box.registry, RegistryText(box.install) + "\r\n" + SiteKey +
                                     "campus]\r\n\"sql_server\"=\"127.0.0.1\"\r\n\"sql_database\"=\"campus\"\r\n"
                                     "\"sql_user\"=\"u\"\r\n\"sql_password\"=\"p\"\r\n");
    pid_t daemon = box.RunDaemon({}, 100, {"NOTIFY_SOCKET=" + (box.temp / "notify"),
                                           "MYSQL_TCP_PORT=" + std::to_string(FreeLoopbackPort())});
    EXPECT_EQ(notify.Receive(10000), "STATUS=Starting (checkpoint 1)\nEXTEND_TIMEOUT_USEC=60000000");
    ASSERT_TRUE(WaitUntil([&] {
        notify.Receive(50);
        return notify.SawProgress("Waiting for the database server of site campus: Can't connect");
    }, 10000)) << box.Output();
    EXPECT_TRUE(notify.SawProgress("Checking the database of site campus"));

    kill(daemon, SIGTERM);
    auto stopped = std::chrono::steady_clock::now();
    EXPECT_EQ(notify.Receive(5000), "STOPPING=1\nSTATUS=Stopping (checkpoint 2)");
    EXPECT_EQ(notify.Receive(5000), "STATUS=Stopped (exit code 0)");
    EXPECT_EQ(WaitExit(daemon, 5000), 0) << box.Output();
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(5));
    EXPECT_EQ(ReadFileBytes(box.install + "/apache/conf/httpd.conf"), "old conf");
    EXPECT_EQ(ReadFileBytes(box.install + "/sites/campus/serverconfig.php"), "old php");
    for (const char* name : {"httpd", "rtmpd", "vtpd"})
        EXPECT_TRUE(box.Running(name).empty()) << name;
    // The database server it started stays.
    EXPECT_EQ(box.Running("mysqld").size(), 1u);
}

// SIGHUP reads the settings again: a site added to the file reaches
// httpd.conf and the running web server is told to read it again, while the
// other programs run on untouched; settings that do not parse leave everything as
// it runs.
TEST(Service, ReloadTakesNewSettingsAndKeepsRunningOnBadOnes)
{
    Sandbox box;
    NotifySocket notify(box.temp / "notify");
    fs::create_directories(box.install + "/apache/conf");
    std::string conf = box.install + "/apache/conf/httpd.conf";
    WriteFileBytes(box.registry, RegistryText(box.install) + "\r\n" + SiteKey + "default]\r\n");
    pid_t daemon = box.RunDaemon({"-n", "vtd"}, 100, {"NOTIFY_SOCKET=" + (box.temp / "notify")});
    ASSERT_EQ(notify.Receive(10000), "STATUS=Starting (checkpoint 1)\nEXTEND_TIMEOUT_USEC=60000000");
    ASSERT_EQ(notify.Receive(10000), "READY=1\nSTATUS=Running");
    ASSERT_TRUE(WaitUntil([&] {
        return box.Running("httpd").size() == 1 && box.Running("rtmpd").size() == 1 && box.Running("vtpd").size() == 1;
    }, 5000));
    int httpd = box.Running("httpd")[0], rtmpd = box.Running("rtmpd")[0], vtpd = box.Running("vtpd")[0];
    EXPECT_EQ(ReadFileBytes(conf).find("added.example"), std::string::npos);

    WriteFileBytes(box.registry, ReadFileBytes(box.registry) + SiteKey + "added]\r\n" + SiteKey +
                                     "added\\added.example]\r\n");
    kill(daemon, SIGHUP);
    std::string reloading = notify.Receive(5000);
    EXPECT_EQ(reloading.rfind("RELOADING=1\nMONOTONIC_USEC=", 0), 0u) << reloading;
    EXPECT_EQ(notify.Receive(10000), "READY=1");
    EXPECT_NE(ReadFileBytes(conf).find("ServerName added.example"), std::string::npos);
    EXPECT_TRUE(fs::exists(box.install + "/sites/added/serverconfig.php"));
    // The web server was asked to read it again, gracefully: the same
    // process, which has replaced its worker. The checked copy is gone.
    EXPECT_EQ(CountOf(box.Output(), ": reloaded\n"), 1u) << box.Output();
    EXPECT_FALSE(fs::exists(conf + ".new"));
    std::vector<int> serving = box.Running("httpd");
    EXPECT_EQ(serving.size(), 2u);
    EXPECT_NE(std::find(serving.begin(), serving.end(), httpd), serving.end());
    EXPECT_EQ(box.Running("rtmpd"), std::vector<int>{rtmpd});
    EXPECT_EQ(box.Running("vtpd"), std::vector<int>{vtpd});

    std::string before = ReadFileBytes(conf);
    WriteFileBytes(box.registry, ReadFileBytes(box.registry) + "\"broken\"=dword:nonsense\r\n");
    kill(daemon, SIGHUP);
    EXPECT_EQ(notify.Receive(5000).rfind("RELOADING=1\n", 0), 0u);
    EXPECT_EQ(notify.Receive(10000), "READY=1");
    EXPECT_TRUE(notify.SawProgress("Running: supervising mysqld, httpd, rtmpd and vtpd; settings refused, the running "
                                   "settings kept: "));
    EXPECT_EQ(ReadFileBytes(conf), before);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(box.Running("httpd"), serving);
    EXPECT_EQ(CountOf(box.Output(), ": reloaded\n"), 1u);
    EXPECT_EQ(WaitExit(daemon, 0), -1) << "the daemon runs on";
    EXPECT_NE(box.ErrorLog().find("settings refused, the running settings are kept: "), std::string::npos);
    // The journal (the daemon's standard error) says the same, nothing else.
    EXPECT_EQ(box.Output().find("no settings loaded"), std::string::npos) << box.Output();

    kill(daemon, SIGTERM);
    EXPECT_EQ(WaitExit(daemon, 15000), 0) << box.Output();
}

namespace {

struct CommandOutcome {
    int status;
    std::string output;
};

// Runs a command line through the shell, standard error with the output.
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

std::string Quoted(const std::string& text)
{
    return "'" + text + "'";
}

// A site whose folders lie in the sandbox.
std::string SiteSettings(const std::string& name, const std::string& alias)
{
    return std::string(SiteKey) + name + "]\r\n" + SiteKey + name + "\\" + alias + "]\r\n";
}

} // namespace

// vtd --reload PID returns once the reload is done: right after exit 0 the
// new site is in httpd.conf and its serverconfig.php is there; settings that
// do not parse give exit 1 and the reason, and the files stay as they were;
// a daemon that has gone gives exit 1 at once. Without the service
// manager's runtime folder the outcome file is looked for in /run.
TEST(Service, ReloadCommandWaitsForTheOutcome)
{
    Sandbox box;
    NotifySocket notify(box.temp / "notify");
    fs::create_directories(box.install + "/apache/conf");
    std::string runtime = box.temp / "run";
    std::string conf = box.install + "/apache/conf/httpd.conf";
    WriteFileBytes(box.registry, RegistryText(box.install) + "\r\n" + SiteKey + "default]\r\n");
    pid_t daemon = box.RunDaemon({}, 100, {"NOTIFY_SOCKET=" + (box.temp / "notify"), "RUNTIME_DIRECTORY=" + runtime});
    ASSERT_EQ(notify.Receive(10000), "STATUS=Starting (checkpoint 1)\nEXTEND_TIMEOUT_USEC=60000000");
    ASSERT_EQ(notify.Receive(10000), "READY=1\nSTATUS=Running");
    // The service manager reads every notification; so does this test.
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done)
            notify.ReceiveAny(20);
    });
    struct Join {
        std::atomic<bool>& done;
        std::thread& reader;
        ~Join()
        {
            done = true;
            reader.join();
        }
    } join{done, reader};
    const std::string command = "RUNTIME_DIRECTORY=" + Quoted(runtime) + " " + Quoted(box.bin + "/vtd") +
                                " --reload " + std::to_string(daemon);

    for (int round = 1; round <= 3; round++) {
        SCOPED_TRACE(round);
        std::string name = "site" + std::to_string(round);
        WriteFileBytes(box.registry, ReadFileBytes(box.registry) + SiteSettings(name, name + ".example"));
        CommandOutcome reload = RunCommandLine(command);
        EXPECT_EQ(reload.status, 0) << reload.output;
        EXPECT_EQ(reload.output, "vtd: reload " + std::to_string(round) + " done\n");
        EXPECT_NE(ReadFileBytes(conf).find("ServerName " + name + ".example"), std::string::npos);
        EXPECT_TRUE(fs::exists(box.install + "/sites/" + name + "/serverconfig.php"));
    }
    struct stat info {};
    ASSERT_EQ(stat((runtime + "/reload").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);

    std::string before = ReadFileBytes(conf);
    WriteFileBytes(box.registry, ReadFileBytes(box.registry) + SiteSettings("late", "late.example") +
                                     "\"broken\"=dword:nonsense\r\n");
    CommandOutcome refused = RunCommandLine(command);
    EXPECT_EQ(refused.status, 1) << refused.output;
    EXPECT_EQ(refused.output.rfind("vtd: reload 4 refused: settings refused, the running settings are kept: ", 0), 0u)
        << refused.output;
    EXPECT_NE(refused.output.find("dword: needs one to eight hex digits"), std::string::npos) << refused.output;
    EXPECT_EQ(ReadFileBytes(conf), before);
    EXPECT_FALSE(fs::exists(box.install + "/sites/late"));

    kill(daemon, SIGTERM);
    EXPECT_EQ(WaitExit(daemon, 15000), 0) << box.Output();
    CommandOutcome gone = RunCommandLine(command);
    EXPECT_EQ(gone.status, 1) << gone.output;
    EXPECT_NE(gone.output.find("cannot be asked to reload"), std::string::npos) << gone.output;

    // Nothing but "[-n NAME] --reload PID" is the command; the daemon's own
    // command line is read as before.
    for (const std::string& arguments : {"--reload", "--reload 12 -w", "-w --reload 12", "--reload x"}) {
        CommandOutcome other = RunCommandLine(Quoted(box.bin + "/vtd") + " " + arguments);
        EXPECT_EQ(other.status, 1) << arguments << "\n" << other.output;
    }
}

// A SIGHUP that comes while the start-up still waits for a site's database
// is carried out once the daemon runs: the settings changed meanwhile reach
// httpd.conf.
TEST(Service, ReloadAskedForDuringStartUpIsCarriedOutOnceRunning)
{
    MariaDbServer& server = MariaDbServer::Shared();
    ASSERT_TRUE(server.Running());
    server.CreateDatabase("vtd_hup");
    server.Stop();
    Sandbox box;
    NotifySocket notify(box.temp / "notify");
    fs::create_directories(box.install + "/apache/conf");
    std::string conf = box.install + "/apache/conf/httpd.conf";
    WriteFileBytes(box.registry, RegistryText(box.install) + "\r\n" + SiteKey + "default]\r\n\"sql_server\"=\"127.0.0.1\"\r\n"
                   "\"sql_database\"=\"vtd_hup\"\r\n\"sql_user\"=\"" + server.User() + "\"\r\n\"sql_password\"=\"" +
                   server.Password() + "\"\r\n");
    pid_t daemon = box.RunDaemon({}, 100, {"NOTIFY_SOCKET=" + (box.temp / "notify")});
    ASSERT_EQ(notify.Receive(10000), "STATUS=Starting (checkpoint 1)\nEXTEND_TIMEOUT_USEC=60000000");
    ASSERT_TRUE(WaitUntil([&] {
        notify.Receive(50);
        return notify.SawProgress("Waiting for the database server of site default");
    }, 10000)) << box.Output();

    WriteFileBytes(box.registry, ReadFileBytes(box.registry) + SiteSettings("late", "late.example"));
    kill(daemon, SIGHUP);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_TRUE(server.Start());
    EXPECT_EQ(notify.Receive(120000), "READY=1\nSTATUS=Running") << box.Output();
    EXPECT_EQ(ReadFileBytes(conf).find("late.example"), std::string::npos) << "the start-up read the old settings";
    EXPECT_EQ(notify.Receive(10000).rfind("RELOADING=1\n", 0), 0u);
    EXPECT_EQ(notify.Receive(30000), "READY=1");
    EXPECT_NE(ReadFileBytes(conf).find("ServerName late.example"), std::string::npos);
    kill(daemon, SIGTERM);
    EXPECT_EQ(WaitExit(daemon, 15000), 0) << box.Output();
}

// A stop while a reload waits for the web server's check ends the reload
// there: after STOPPING=1 only the stop's own lines come, the new settings
// reach no file, and no program is left running.
TEST(Service, StopDuringAReloadEndsItAtItsNextSafePoint)
{
    Sandbox box;
    NotifySocket notify(box.temp / "notify");
    fs::create_directories(box.install + "/apache/conf");
    std::string conf = box.install + "/apache/conf/httpd.conf";
    // A web server whose syntax check does not end before the stop.
    std::string httpd = box.install + "/apache/bin/httpd";
    fs::rename(httpd, httpd + "-serving");
    WriteFileBytes(httpd, "#!/bin/sh\ncase \" $* \" in *\" -t \"*) touch '" + (box.temp / "checking") +
                              "'; exec sleep 600;; esac\nexec '" + httpd + "-serving' \"$@\"\n");
    fs::permissions(httpd, fs::perms::owner_all);
    WriteFileBytes(box.registry, RegistryText(box.install) + "\r\n" + SiteKey + "default]\r\n");
    pid_t daemon = box.RunDaemon({}, 100, {"NOTIFY_SOCKET=" + (box.temp / "notify")});
    ASSERT_EQ(notify.Receive(10000), "STATUS=Starting (checkpoint 1)\nEXTEND_TIMEOUT_USEC=60000000");
    ASSERT_EQ(notify.Receive(10000), "READY=1\nSTATUS=Running");
    std::string before = ReadFileBytes(conf);

    WriteFileBytes(box.registry, ReadFileBytes(box.registry) + SiteSettings("late", "late.example"));
    kill(daemon, SIGHUP);
    EXPECT_EQ(notify.Receive(5000).rfind("RELOADING=1\n", 0), 0u);
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(box.temp / "checking"); }, 10000)) << box.Output();
    kill(daemon, SIGTERM);
    std::vector<std::string> after;
    for (std::string message = notify.ReceiveAny(15000); !message.empty(); message = notify.ReceiveAny(2000)) {
        after.push_back(message);
        if (message.rfind("STATUS=Stopped", 0) == 0)
            break;
    }
    EXPECT_EQ(WaitExit(daemon, 15000), 0) << box.Output();
    ASSERT_FALSE(after.empty());
    // What came before the stop's report was the reload's progress; from the
    // stop's report on, only the stop.
    auto stopping = std::find(after.begin(), after.end(), "STOPPING=1\nSTATUS=Stopping (checkpoint 2)");
    ASSERT_NE(stopping, after.end()) << after.back();
    std::vector<std::string> tail(stopping, after.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"STOPPING=1\nSTATUS=Stopping (checkpoint 2)",
                                               "STATUS=Stopping: terminating httpd, rtmpd, vtpd and ffmpeg",
                                               "STATUS=Stopped (exit code 0)"}));
    EXPECT_EQ(notify.ReceiveAny(300), "");
    EXPECT_EQ(ReadFileBytes(conf), before);
    EXPECT_FALSE(fs::exists(box.install + "/sites/late"));
    EXPECT_TRUE(box.Running("").size() <= 1u) << "only the database server stays";
    EXPECT_TRUE(box.Running("httpd-serving").empty());
    EXPECT_TRUE(box.Running("rtmpd").empty());
}

// 500 reloads of 50 sites leave the daemon's memory where it was after the
// first few: each reload's settings are released once it is done.
TEST(Service, ReloadsLeaveMemoryFlat)
{
    Sandbox box;
    NotifySocket notify(box.temp / "notify");
    fs::create_directories(box.install + "/apache/conf");
    fs::copy(std::string(VTD_SOURCE_DIR) + "/tests/data/httpd/fragments", box.install + "/apache/conf",
             fs::copy_options::overwrite_existing | fs::copy_options::recursive);
    std::string settings = RegistryText(box.install) + "\r\n" + SiteKey + "default]\r\n";
    for (int i = 0; i < 49; i++)
        settings += SiteSettings("site" + std::to_string(i), "site" + std::to_string(i) + ".example");
    WriteFileBytes(box.registry, settings);
    pid_t daemon = box.RunDaemon({}, 1000, {"NOTIFY_SOCKET=" + (box.temp / "notify")});
    ASSERT_EQ(notify.Receive(10000), "STATUS=Starting (checkpoint 1)\nEXTEND_TIMEOUT_USEC=60000000");
    ASSERT_EQ(notify.Receive(10000), "READY=1\nSTATUS=Running");
    auto reload = [&] {
        kill(daemon, SIGHUP);
        std::string begun = notify.Receive(10000);
        std::string done = notify.Receive(10000);
        return begun.rfind("RELOADING=1\n", 0) == 0 && done == "READY=1";
    };
    auto threads = [&] {
        size_t count = 0;
        for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/" + std::to_string(daemon) + "/task"))
            count++;
        return count;
    };
    const size_t steadyThreads = threads();
    // Measured once the last reload's thread has ended, so that its stack
    // and working memory are not counted as if they stayed.
    auto rssKb = [&] {
        WaitUntil([&] { return threads() == steadyThreads; }, 5000);
        std::string status = ReadProc(daemon, "status");
        size_t at = status.find("VmRSS:");
        return at == std::string::npos ? -1L : std::strtol(status.c_str() + at + 6, nullptr, 10);
    };
    // The first reloads settle the allocator's pools of the reload thread.
    for (int i = 0; i < 50; i++)
        ASSERT_TRUE(reload()) << i;
    long before = rssKb();
    for (int i = 0; i < 500; i++)
        ASSERT_TRUE(reload()) << i;
    long after = rssKb();
    std::printf("VmRSS after 50 reloads of 50 sites: %ld kB; after 550: %ld kB\n", before, after);
#ifndef __SANITIZE_ADDRESS__
    // (A sanitizer build keeps freed memory in its own pools; its leak check
    // runs at exit instead.)
    EXPECT_LE(after, before + before / 10);
#endif
    kill(daemon, SIGTERM);
    EXPECT_EQ(WaitExit(daemon, 15000), 0);
}
