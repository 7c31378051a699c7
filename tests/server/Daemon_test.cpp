// The real vtd program in a throwaway installation: command line, console
// mode, supervision and stop.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <sys/stat.h>

#include "Sandbox.h"

using namespace sandbox;

namespace {

// The banner: title, version and the build date ("Mar  6 2015"), the rights
// notice and an empty line.
bool IsBannerThen(const std::string& output, const std::string& tail)
{
    const std::string head = "Vantry Server Version 15.0.11 - ";
    const std::string notice = "\nCopyright (C) Vantry. All rights reserved.\n\n";
    if (output.compare(0, head.size(), head) != 0 || output.size() < head.size() + 11)
        return false;
    std::string date = output.substr(head.size(), 11);
    bool dateShape = std::isupper(static_cast<unsigned char>(date[0])) && date[3] == ' ' && date[6] == ' ' &&
                     std::isdigit(static_cast<unsigned char>(date[5])) && std::isdigit(static_cast<unsigned char>(date[10]));
    return dateShape && output.substr(head.size() + 11) == notice + tail;
}
const std::string UsageText = "Usage: Vantry Server -d\n\n";
const std::string NoService = "Failed to run the service.\n";

struct CommandCase {
    std::vector<std::string> arguments;
    std::string tail;
    int exitCode;
};

} // namespace

TEST(Daemon, CommandLinesWithoutConsoleMode)
{
    const std::string longName(1023, 'a');
    const std::vector<CommandCase> cases = {
        {{}, NoService, 0},
        {{"-w"}, NoService, 0},
        {{"-n", "second"}, NoService, 0},
        {{"-n", longName}, NoService, 0},          // 1023 characters fit
        {{"-n", longName + "a", "-d"}, UsageText, 1}, // 1024 do not
        {{"-n"}, UsageText, 1},                    // no name after -n
        {{"-w", "-n"}, UsageText, 1},
        {{"-x"}, UsageText, 1},
        {{"-"}, UsageText, 1},
        {{"d"}, UsageText, 1},
        {{"-i", "-d"}, UsageText, 1},              // -i is only read after -d
        {{"-w", "-m"}, UsageText, 1},
    };
    for (const CommandCase& c : cases) {
        Sandbox box;
        std::string shown;
        for (const std::string& a : c.arguments)
            shown += (a.size() > 20 ? a.substr(0, 8) + "..." : a) + " ";
        SCOPED_TRACE("vtd " + shown);
        pid_t pid = box.RunDaemon(c.arguments);
        EXPECT_EQ(WaitExit(pid, 10000), c.exitCode);
        std::string output = box.Output();
        EXPECT_TRUE(IsBannerThen(output, c.tail)) << output;
        EXPECT_TRUE(box.Running("").empty()) << "nothing may be started";
    }
}

// -h -r -s leave only the database server; -n selects the instance's key;
// only the second character of an option counts.
TEST(Daemon, SuppressingOptionsStartOnlyTheDatabaseServer)
{
    struct Case {
        std::vector<std::string> arguments;
        std::string key;
    };
    const std::vector<Case> cases = {
        {{"-d", "-h", "-r", "-s"}, "Server"},
        {{"-debug", "-hx", "-r", "-s"}, "Server"},
        {{"-n", "second", "-w", "-d", "-h", "-r", "-s"}, "Server-second"},
    };
    for (const Case& c : cases) {
        Sandbox box;
        SCOPED_TRACE(c.arguments[0] + " " + c.key);
        WriteFileBytes(box.registry, RegistryText(box.install, c.key));
        pid_t daemon = box.RunDaemon(c.arguments);
        ASSERT_TRUE(WaitUntil([&] { return box.Running("mysqld").size() == 1; }, 5000)) << box.Output();
        int mysqld = box.Running("mysqld")[0];
        const std::string mysql = box.install + "/mysql";
        EXPECT_EQ(ExeOf(mysqld), mysql + "/bin/mysqld");
        // The paths of the argument text are quoted: the blank in the
        // install folder does not split them.
        EXPECT_EQ(ArgvOf(mysqld), (std::vector<std::string>{mysql + "/bin/mysqld", "-b", mysql, "-h", mysql + "/data",
                                                             "--init-file=" + mysql + "/my.ini"}));
        // Several supervision passes (20 ms each) go by.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_TRUE(box.Running("httpd").empty());
        EXPECT_TRUE(box.Running("rtmpd").empty());
        EXPECT_TRUE(box.Running("vtpd").empty());
        kill(daemon, SIGINT);
        EXPECT_EQ(WaitExit(daemon, 10000), 0) << box.Output();
        // The database server outlives the daemon.
        EXPECT_EQ(box.Running("mysqld"), std::vector<int>{mysqld});
    }
}

// Ctrl+C in console mode ends every web server, streaming, platform daemon
// and media converter process, and leaves a running database server alone.
TEST(Daemon, InterruptStopsChildrenAndLeavesDatabaseServer)
{
    Sandbox box;
    CopyProgram(std::string(VTD_BIN_DIR) + "/rtmpd", box.temp / "other/mysqld");
    // The installation's media converter (path_ffmpeg unset: bin/ffmpeg).
    CopyProgram(std::string(VTD_BIN_DIR) + "/rtmpd", box.install + "/bin/ffmpeg");
    pid_t mysqld = box.Run(box.temp / "other/mysqld", {});
    pid_t ffmpeg = box.Run(box.install + "/bin/ffmpeg", {});
    ASSERT_TRUE(WaitUntil([&] { return box.Running("ffmpeg").size() == 1 && box.Running("mysqld").size() == 1; }, 5000));

    pid_t daemon = box.RunDaemon({"-d"});
    ASSERT_TRUE(WaitUntil([&] {
        return box.Running("httpd").size() == 1 && box.Running("rtmpd").size() == 1 && box.Running("vtpd").size() == 1;
    }, 5000)) << box.Output();
    // A database server ran already: none is started.
    EXPECT_EQ(box.Running("mysqld"), std::vector<int>{mysqld});
    // The quoted folder with its blank stays one argument; the two daemons get
    // only their path (their command line ends in a blank).
    EXPECT_EQ(ArgvOf(box.Running("httpd")[0]), (std::vector<std::string>{box.install + "/apache/bin/httpd", "-d",
                                                                          box.install + "/apache", "-D", "ONE_PROCESS"}));
    EXPECT_EQ(ArgvOf(box.Running("rtmpd")[0]), std::vector<std::string>{box.bin + "/rtmpd"});
    EXPECT_EQ(ArgvOf(box.Running("vtpd")[0]), std::vector<std::string>{box.bin + "/vtpd"});
    // The stand-ins report their stop only once they have set up for it:
    // wait until all have said they started (the web server and the two
    // copies above are copies of rtmpd).
    ASSERT_TRUE(WaitUntil([&] {
        std::string output = box.Output();
        size_t rtmpdStarts = 0;
        for (size_t at = output.find("rtmpd: started"); at != std::string::npos;
             at = output.find("rtmpd: started", at + 1))
            rtmpdStarts++;
        return rtmpdStarts == 4 && output.find("vtpd: started") != std::string::npos;
    }, 5000)) << box.Output();

    kill(daemon, SIGINT);
    EXPECT_EQ(WaitExit(daemon, 15000), 0) << box.Output();
    for (const char* name : {"httpd", "rtmpd", "vtpd", "ffmpeg"})
        EXPECT_TRUE(box.Running(name).empty()) << name;
    int status = 0;
    EXPECT_EQ(waitpid(ffmpeg, &status, WNOHANG), ffmpeg);
    EXPECT_EQ(box.Running("mysqld"), std::vector<int>{mysqld});
    std::string output = box.Output();
    EXPECT_NE(output.find("rtmpd: stopped (signal 15)"), std::string::npos) << output;
    EXPECT_NE(output.find("vtpd: stopped (signal 15)"), std::string::npos) << output;
}

// A stale web server of this installation from an earlier run is ended
// before the new one starts, even when it ignores SIGTERM and its program
// file has been replaced since.
TEST(Daemon, StaleProcessIsEndedBeforeTheNewStart)
{
    Sandbox box;
    const std::string httpd = box.install + "/apache/bin/httpd";
    CopyProgram("/bin/sleep", httpd + ".old");
    fs::rename(httpd + ".old", httpd);
    pid_t stale = box.Run(httpd, {"1000"}, 100, {}, /*ignoreTerm=*/true);
    ASSERT_TRUE(WaitUntil([&] { return box.Running("httpd").size() == 1; }, 5000));
    CopyProgram(std::string(VTD_BIN_DIR) + "/rtmpd", httpd + ".new");
    fs::rename(httpd + ".new", httpd);

    pid_t daemon = box.RunDaemon({"-d", "-m", "-r", "-s"});
    int status = 0;
    ASSERT_TRUE(WaitUntil(
        [&] {
            std::vector<int> running = box.Running("httpd");
            return !running.empty() && ExeOf(running[0]) == httpd;
        },
        15000))
        << box.Output();
    // By the time the new server runs the stale one has been killed.
    ASSERT_EQ(waitpid(stale, &status, WNOHANG), stale);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    EXPECT_EQ(box.Running("httpd").size(), 1u);

    kill(daemon, SIGINT);
    EXPECT_EQ(WaitExit(daemon, 15000), 0);
    EXPECT_TRUE(box.Running("httpd").empty());
}

// With the real pauses: a killed child is back within about 4 s (one loop
// pause plus the restart pause), with the same command line.
TEST(Daemon, KilledChildIsRestartedWithTheSameCommandLine)
{
    Sandbox box;
    pid_t daemon = box.RunDaemon({"-d", "-m", "-h", "-s"}, 1);
    ASSERT_TRUE(WaitUntil([&] { return box.Running("rtmpd").size() == 1; }, 5000)) << box.Output();
    int first = box.Running("rtmpd")[0];
    std::vector<std::string> argv = ArgvOf(first);
    kill(first, SIGKILL);
    auto killed = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitUntil([&] {
        std::vector<int> now = box.Running("rtmpd");
        return now.size() == 1 && now[0] != first && !ArgvOf(now[0]).empty();
    }, 6000));
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - killed).count();
    EXPECT_GE(seconds, 1.9);
    EXPECT_LE(seconds, 4.5);
    EXPECT_EQ(ArgvOf(box.Running("rtmpd")[0]), argv);
    kill(daemon, SIGINT);
    EXPECT_EQ(WaitExit(daemon, 15000), 0);
    EXPECT_TRUE(box.Running("rtmpd").empty());
}

// A program that cannot be started is reported at every pass and tried again.
TEST(Daemon, MissingExecutableIsReportedAtEveryPass)
{
    Sandbox box;
    fs::remove(box.bin + "/vtpd");
    pid_t daemon = box.RunDaemon({"-d", "-m", "-h", "-r"});
    const std::string line = "ERROR: No such file or directory - ASSERT(b) failed at MonitorProcess:29\n";
    ASSERT_TRUE(WaitUntil([&] { return CountOf(box.ErrorLog(), line) >= 3; }, 5000)) << box.ErrorLog();
    EXPECT_NE(box.ErrorLog().find("ERROR: No such file or directory - vtpd could not be started from " + box.bin +
                                  "/vtpd\n"),
              std::string::npos)
        << box.ErrorLog();
    size_t seen = CountOf(box.ErrorLog(), line);
    // The file appears: the next pass starts it and the reports stop.
    CopyProgram(std::string(VTD_BIN_DIR) + "/vtpd", box.bin + "/vtpd");
    ASSERT_TRUE(WaitUntil([&] { return box.Running("vtpd").size() == 1; }, 5000));
    size_t after = CountOf(box.ErrorLog(), line);
    EXPECT_GE(after, seen);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(CountOf(box.ErrorLog(), line), after);
    EXPECT_EQ(box.Running("vtpd").size(), 1u);
    kill(daemon, SIGINT);
    EXPECT_EQ(WaitExit(daemon, 15000), 0);
}

namespace {

struct Usage {
    size_t descriptors; // apart from process handles
    size_t handles;     // process handles (pidfds)
    long rssKb;
};

Usage UsageOf(int pid)
{
    size_t descriptors = 0;
    size_t handles = 0;
    for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        std::error_code error;
        if (fs::read_symlink(entry.path(), error).string() == "anon_inode:[pidfd]")
            handles++;
        else
            descriptors++;
    }
    std::string status = ReadProc(pid, "status");
    size_t at = status.find("VmRSS:");
    long rss = at == std::string::npos ? -1 : std::strtol(status.c_str() + at + 6, nullptr, 10);
    return {descriptors, handles, rss};
}

// Usage with the fewest descriptors over a few samples: a descriptor open
// for a moment (a log line being appended, a program being started) is not
// counted, while a leaked one shows in every sample.
Usage SteadyUsageOf(int pid)
{
    Usage least = UsageOf(pid);
    for (int sample = 1; sample < 20; ++sample) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        Usage now = UsageOf(pid);
        if (now.descriptors < least.descriptors)
            least = now;
    }
    return least;
}

size_t FileSize(const std::string& path)
{
    std::error_code error;
    size_t size = fs::file_size(path, error);
    return error ? 0 : size;
}

} // namespace

// 500 restarts of a child that dies at once leave the daemon's descriptors
// and memory where they were.
TEST(Daemon, RestartsLeaveDescriptorsAndMemoryFlat)
{
    Sandbox box;
    const std::string counter = box.temp / "starts";
    WriteFileBytes(box.bin + "/rtmpd", "#!/bin/sh\necho >> '" + counter + "'\nexit 1\n");
    pid_t daemon = box.RunDaemon({"-d", "-m", "-h", "-s"}, 1000);
    ASSERT_TRUE(WaitUntil([&] { return FileSize(counter) >= 50; }, 30000)) << box.Output();
    Usage before = SteadyUsageOf(daemon);
    ASSERT_TRUE(WaitUntil([&] { return FileSize(counter) >= 550; }, 120000)) << FileSize(counter);
    Usage after = SteadyUsageOf(daemon);
    std::printf("after 50 restarts: %zu descriptors + %zu process handles, VmRSS %ld kB; "
                "after 550: %zu + %zu, VmRSS %ld kB\n",
                before.descriptors, before.handles, before.rssKb, after.descriptors, after.handles, after.rssKb);
    EXPECT_EQ(after.descriptors, before.descriptors);
    // The handle of the one managed program is open unless the pass is
    // between closing it and the next start.
    EXPECT_LE(before.handles, 1u);
    EXPECT_LE(after.handles, 1u);
#ifndef __SANITIZE_ADDRESS__
    // (A sanitizer build keeps freed memory in its own pools for a while, so
    // its resident size says nothing about leaks; its leak check runs at exit.)
    EXPECT_LE(after.rssKb - before.rssKb, 256);
#endif
    kill(daemon, SIGINT);
    EXPECT_EQ(WaitExit(daemon, 15000), 0);
}

namespace {

// An installation with a conf folder, one site and what an earlier start
// generated; the files' bytes, to compare after a run.
struct Installed {
    explicit Installed(Sandbox& box)
    {
        fs::create_directories(box.install + "/apache/conf");
        fs::create_directories(box.install + "/sites/default");
        conf = box.install + "/apache/conf/httpd.conf";
        php = box.install + "/sites/default/serverconfig.php";
        WriteFileBytes(conf, "old httpd.conf\r\n");
        WriteFileBytes(php, "<?php // old\r\n");
        WriteFileBytes(box.registry, RegistryText(box.install) + "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantry\\Server\\default]\r\n");
    }
    bool Unchanged() const
    {
        return ReadFileBytes(conf) == "old httpd.conf\r\n" && ReadFileBytes(php) == "<?php // old\r\n";
    }
    std::string conf, php;
};

} // namespace

// Settings that cannot be used stop the start before anything is written:
// exit 1, the reason in the error log, every generated file as it was.
TEST(Daemon, UnusableSettingsStopTheStart)
{
    struct Case {
        const char* name;
        std::function<std::string(Sandbox&)> settings; // VTD_REGISTRY
        std::string reported;
    };
    const std::vector<Case> cases = {
        {"a line that does not parse",
         [](Sandbox& box) {
             WriteFileBytes(box.registry, ReadFileBytes(box.registry) + "\"PortNumber\"=dword:xyz\r\n");
             return box.registry;
         },
         "vtd.reg:7: dword: needs one to eight hex digits\n"},
        {"a NUL inside a text",
         [](Sandbox& box) {
             WriteFileBytes(box.registry, ReadFileBytes(box.registry) + "\"path\"=hex(2):61,00,00,00,62,00,00,00\r\n");
             return box.registry;
         },
         "vtd.reg:7: NUL character inside a text value\n"},
        {"a FIFO",
         [](Sandbox& box) {
             std::string fifo = box.temp / "settings.fifo";
             mkfifo(fifo.c_str(), 0600);
             return fifo;
         },
         "settings.fifo is neither a file nor a folder; settings refused\n"},
        {"a folder whose file name holds a line break",
         [](Sandbox& box) {
             std::string folder = box.temp / "set\ntings";
             fs::create_directories(folder);
             WriteFileBytes(folder + "/a.reg", "REGEDIT4\r\nnonsense\r\n");
             return folder;
         },
         "set\\x0atings/a.reg:2: unrecognised line \"nonsense\"\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        Installed installed(box);
        std::string settings = c.settings(box);
        pid_t daemon = box.RunDaemon({"-d", "-m", "-h", "-r", "-s"}, 100, {"VTD_REGISTRY=" + settings});
        EXPECT_EQ(WaitExit(daemon, 10000), 1) << box.Output();
        std::string log = box.ErrorLog();
        EXPECT_NE(log.find("ERROR: settings refused, start-up stopped: "), std::string::npos) << log;
        EXPECT_NE(log.find(c.reported), std::string::npos) << log;
        EXPECT_EQ(CountOf(log, "\n"), 1u) << log; // one line, not forged into two
        EXPECT_TRUE(installed.Unchanged());
        EXPECT_TRUE(box.Running("").empty());
    }
}

// A relative settings path names the file it named where the daemon was
// started, although the daemon works in its own folder.
TEST(Daemon, RelativeSettingsPathIsTakenFromTheStartFolder)
{
    Sandbox box;
    Installed installed(box);
    std::string relative = fs::relative(box.registry, fs::current_path()).string();
    ASSERT_NE(relative[0], '/');
    pid_t daemon = box.RunDaemon({"-d", "-m", "-h", "-s"}, 100, {"VTD_REGISTRY=" + relative});
    // Supervision runs once the start-up is done.
    ASSERT_TRUE(WaitUntil([&] { return box.Running("rtmpd").size() == 1; }, 10000)) << box.Output();
    EXPECT_NE(ReadFileBytes(installed.php).find("VANTRY_SITENAME', 'default'"), std::string::npos);
    kill(daemon, SIGINT);
    EXPECT_EQ(WaitExit(daemon, 10000), 0) << box.Output();
}

// A file size limit makes the writes fail, not the daemon die: the failure
// is logged, the old file stays whole, no temporary file is left, and the
// daemon runs on and stops as usual.
TEST(Daemon, FileSizeLimitIsAFailedWriteNotASignal)
{
    Sandbox box;
    Installed installed(box);
    WriteFileBytes(installed.conf + ".tmpAb12Cd", "stale copy of a password");
    WriteFileBytes(installed.conf + ".orig", "the administrator's");
    fs::copy(std::string(VTD_SOURCE_DIR) + "/tests/data/httpd/fragments", box.install + "/apache/conf",
             fs::copy_options::overwrite_existing | fs::copy_options::recursive);
    pid_t daemon = box.Run("/usr/bin/prlimit", {"--fsize=300", box.bin + "/vtd", "-d", "-m", "-h", "-s"});
    ASSERT_TRUE(WaitUntil([&] { return box.ErrorLog().find("ASSERT(fconf) failed at Httpd:76") != std::string::npos; },
                          10000))
        << box.Output();
    EXPECT_NE(box.ErrorLog().find("ERROR: File too large - ASSERT(fconf) failed at Httpd:76"), std::string::npos)
        << box.ErrorLog();
    // Supervision runs once the start-up is done.
    ASSERT_TRUE(WaitUntil([&] { return box.Running("rtmpd").size() == 1; }, 10000)) << box.Output();
    kill(daemon, SIGINT);
    EXPECT_EQ(WaitExit(daemon, 10000), 0) << box.Output();
    EXPECT_TRUE(installed.Unchanged());
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(box.install + "/apache/conf"))
        if (entry.path().filename().string().rfind("httpd.conf", 0) == 0)
            left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"httpd.conf", "httpd.conf.orig"}));
}
