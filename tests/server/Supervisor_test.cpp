// The supervisor's parts in this process: command-line splitting, process
// lookup and termination, program starts, the firewall entry.
#include <gtest/gtest.h>

#include <filesystem>

#include <cstring>

#include "Sandbox.h"
#include "config/Config.h"
#include "platform/CommandLine.h"
#include "platform/Registry.h"
#include "server/MonitorProcess.h"

using namespace sandbox;

TEST(Supervisor, SplitCommandLineFollowsTheWindowsRuntime)
{
    struct Case {
        const char* line;
        std::vector<std::string> arguments;
    };
    const std::vector<Case> cases = {
        {"", {}},
        {"/bin/rtmpd ", {"/bin/rtmpd"}},
        {"p a\tb  c", {"p", "a", "b", "c"}},
        {"\"/opt/my folder/httpd\" -d \"/opt/my folder/apache\" -D ONE_PROCESS",
         {"/opt/my folder/httpd", "-d", "/opt/my folder/apache", "-D", "ONE_PROCESS"}},
        {"\"a b\"c d", {"a bc", "d"}},
        {"C:\\dir\\\"x y\" z", {"C:\\dir\\x y", "z"}},      // program name: backslashes literal
        {"p a\\\\b \\\\", {"p", "a\\\\b", "\\\\"}},           // no quote after: literal
        {"p a\\\"b", {"p", "a\"b"}},                          // odd count: literal quote
        {"p a\\\\\\\"b", {"p", "a\\\"b"}},                    // 3 backslashes, quote
        {"p a\\\\\"b c\"", {"p", "a\\b c"}},                  // even count: grouping quote
        {"p \"a\"\"b c\"", {"p", "a\"b c"}},                  // "" inside quotes, still quoted
        {"p \"a\"\"b\" c", {"p", "a\"b", "c"}},
        {"p \"\" x", {"p", "", "x"}},
        {"p \"open to the end", {"p", "open to the end"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SplitCommandLine(c.line), c.arguments) << c.line;
}

// The command line of a managed program: its path quoted when it holds a
// blank, the argument text after one blank (also when empty); a path with a
// double quote cannot be written and is refused.
TEST(Supervisor, CommandLineQuotesAProgramPathWithBlanks)
{
    struct Case {
        const char* folder;
        const char* name;
        const char* arguments;
        bool built;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"/opt/vantry/apache/bin", "httpd", "-d \"/opt/vantry/apache\" -D ONE_PROCESS", true,
         "/opt/vantry/apache/bin/httpd -d \"/opt/vantry/apache\" -D ONE_PROCESS"},
        {"/opt/vantry/bin", "rtmpd", "", true, "/opt/vantry/bin/rtmpd "},
        {"/opt/Program Files/Vantry/bin", "vtpd", "", true, "\"/opt/Program Files/Vantry/bin/vtpd\" "},
        {"/opt/tab\there", "rtmpd", "-x", true, "\"/opt/tab\there/rtmpd\" -x"},
        {"/opt/a\"b", "rtmpd", "", false, ""},
    };
    for (const Case& c : cases) {
        ManagedProcess record {};
        CopyText(record.folder, c.folder);
        CopyText(record.name, c.name);
        CopyText(record.arguments, c.arguments);
        char line[CommandLineLimit + 1];
        EXPECT_EQ(BuildCommandLine(&record, line, sizeof(line)), c.built) << c.folder;
        if (c.built) {
            EXPECT_EQ(std::string(line), c.line);
        }
    }
}

namespace {

// Copies of /bin/sleep and /bin/true under distinct names, with lookups
// confined to the folder.
class ProcessFixture : public ::testing::Test {
protected:
    void SetUp() override { setenv("VTD_PROCESS_FOLDER", box.temp.Path().c_str(), 1); }
    void TearDown() override { unsetenv("VTD_PROCESS_FOLDER"); }

    pid_t Start(const std::string& program, const std::string& name, std::vector<std::string> arguments)
    {
        CopyProgram(program, box.temp / name);
        return box.Run(box.temp / name, arguments);
    }

    Sandbox box;
};

} // namespace

TEST_F(ProcessFixture, LookupByNameIgnoresCaseAndZombies)
{
    pid_t a = Start("/bin/sleep", "vtdTestSleeper", {"1000"});
    pid_t b = Start("/bin/sleep", "vtdTestSleeper2", {"1000"});
    pid_t longName = Start("/bin/sleep", "vtd-test-long-sleeper", {"1000"});
    pid_t zombie = Start("/bin/true", "vtdTestZombie", {});
    ASSERT_TRUE(WaitUntil([&] { return box.Running("").size() == 4 - (IsZombie(zombie) ? 1 : 0) && IsZombie(zombie); },
                          5000));

    EXPECT_EQ(FindProcessByName("VTDTESTSLEEPER"), a);
    EXPECT_EQ(FindProcessByName("vtdtestsleeper2"), b);
    EXPECT_EQ(FindProcessByName("vtd-test-long-sleeper"), longName); // longer than comm holds
    EXPECT_FALSE(IsProcessRunning("vtdTestSleep"));
    EXPECT_FALSE(IsProcessRunning("vtdTestZombie"));
    EXPECT_TRUE(IsProcessRunning("vtdtestsleeper"));

    // Outside the confining folder nothing of that name is seen.
    setenv("VTD_PROCESS_FOLDER", (box.temp / "elsewhere").c_str(), 1);
    EXPECT_FALSE(IsProcessRunning("vtdTestSleeper"));
    setenv("VTD_PROCESS_FOLDER", box.temp.Path().c_str(), 1);
    waitpid(zombie, nullptr, 0);
}

// Ending by program path: every process started from that path goes (and
// our own children among them are reaped); the same program under the same
// name from another folder stays. A bare name means the managed program of
// that name, which is none here.
TEST_F(ProcessFixture, KillByPathEndsEveryCopyOfThatPathOnly)
{
    const std::string path = box.temp / "vtdTestKill";
    pid_t first = Start("/bin/sleep", "vtdTestKill", {"1000"});
    pid_t second = box.Run(path, {"1000"});
    CopyProgram("/bin/sleep", box.temp / "other/vtdTestKill");
    pid_t elsewhere = box.Run(box.temp / "other/vtdTestKill", {"1000"});
    ASSERT_TRUE(WaitUntil([&] { return box.Running("vtdTestKill").size() == 3; }, 5000));
    EXPECT_EQ(FindProcessByPath((box.temp / "other/vtdTestKill").c_str()), elsewhere);
    EXPECT_EQ(ProcessProgramPath(elsewhere), box.temp / "other/vtdTestKill");

    testing::internal::CaptureStderr();
    KillProcessByName("vtdTestKill");
    KillProcessByName((box.temp / "vtdTestNobody").c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(box.Running("vtdTestKill").size(), 3u);

    KillProcessByName(path.c_str());
    EXPECT_EQ(box.Running("vtdTestKill"), std::vector<int>{elsewhere});
    EXPECT_EQ(FindProcessByPath(path.c_str()), 0);
    for (pid_t pid : {first, second}) {
        errno = 0;
        EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);
        EXPECT_EQ(errno, ECHILD);
    }
}

TEST_F(ProcessFixture, StartedChildGetsOnlyStandardDescriptorsAndDefaultSignals)
{
    CopyProgram("/bin/sleep", box.temp / "vtdTestChild");
    int leaked = open("/dev/null", O_RDONLY); // deliberately without close-on-exec
    ASSERT_GE(leaked, 3);
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    auto oldPipe = signal(SIGPIPE, SIG_IGN);
    IgnoreStraySignals(); // SIGXFSZ, SIGUSR1, SIGUSR2 and SIGALRM too

    ManagedProcess record {};
    CopyText(record.name, "vtdTestChild");
    CopyText(record.folder, box.temp.Path().c_str());
    CopyText(record.arguments, "1000");
    bool started = StartProcess(&record);

    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    signal(SIGPIPE, oldPipe);
    for (int stray : {SIGXFSZ, SIGUSR1, SIGUSR2, SIGALRM})
        signal(stray, SIG_DFL);
    close(leaked);
    ASSERT_TRUE(started);
    int pid = record.process.pid;
    ASSERT_TRUE(WaitUntil([&] { return ExeOf(pid) == box.temp / "vtdTestChild"; }, 5000));

    // The program may hold a file open for a moment while it starts (its
    // locale data); an inherited descriptor stays open for good.
    std::vector<std::string> descriptors;
    WaitUntil(
        [&] {
            descriptors.clear();
            for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
                descriptors.push_back(entry.path().filename().string());
            std::sort(descriptors.begin(), descriptors.end());
            return descriptors == std::vector<std::string>{"0", "1", "2"};
        },
        2000);
    EXPECT_EQ(descriptors, (std::vector<std::string>{"0", "1", "2"}));
    std::string status = ReadProc(pid, "status");
    EXPECT_NE(status.find("SigBlk:\t0000000000000000"), std::string::npos) << status;
    // None of the classic signals stays ignored (SIGPIPE was, in here); the
    // C library keeps its own real-time signals above 31 to itself.
    size_t ignored = status.find("SigIgn:\t");
    ASSERT_NE(ignored, std::string::npos);
    EXPECT_EQ(std::strtoull(status.c_str() + ignored + 8, nullptr, 16) & 0x7fffffffULL, 0u) << status;
    EXPECT_EQ(getpgid(pid), pid); // a group of its own: terminal keys are the daemon's
    EXPECT_EQ(ArgvOf(pid), (std::vector<std::string>{box.temp / "vtdTestChild", "1000"}));

    EXPECT_FALSE(WaitForProcess(record.process, 10));
    kill(pid, SIGKILL);
    EXPECT_TRUE(WaitForProcess(record.process, 5000));
    CloseProcess(record.process);
    EXPECT_EQ(record.process.handle, -1);
    errno = 0;
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1); // reaped by CloseProcess
    EXPECT_EQ(errno, ECHILD);
}

TEST_F(ProcessFixture, FailedStartIsReportedAndNoStartOnceStopping)
{
    SetSleepDivisor(1000);
    auto* missing = new ManagedProcess {};
    CopyText(missing->name, "vtdTestAbsent");
    CopyText(missing->folder, box.temp.Path().c_str());
    // The fixed report line, then one that names the program and its path.
    const std::string line = "ERROR: No such file or directory - ASSERT(b) failed at MonitorProcess:29\n"
                             "ERROR: No such file or directory - vtdTestAbsent could not be started from " +
                             box.temp / "vtdTestAbsent" + "\n";

    testing::internal::CaptureStderr();
    EXPECT_FALSE(StartProcess(missing));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), line);

    // The record stays; each pass tries again and reports again.
    ProcessTable.Append(missing);
    testing::internal::CaptureStderr();
    MonitorProcesses();
    MonitorProcesses();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), line + line);

    // Once the stop is under way no pass starts anything, even a program
    // that is there now, and nothing is reported.
    CopyProgram("/bin/sleep", box.temp / "vtdTestAbsent");
    CopyText(missing->arguments, "1000");
    StopRequested = true;
    testing::internal::CaptureStderr();
    MonitorProcesses();
    EXPECT_FALSE(StartProcess(missing));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(box.Running("vtdTestAbsent").empty());

    StopRequested = false;
    MonitorProcesses();
    EXPECT_EQ(box.Running("vtdTestAbsent").size(), 1u);
    KillProcessByName("vtdTestAbsent");
    ProcessTable.RemoveAll([](void* item) { delete static_cast<ManagedProcess*>(item); });
    SetSleepDivisor(1);
}

// A command line longer than the limit is not started cut short: here the
// cut would fall in the trailing blanks and start the program anyway.
TEST_F(ProcessFixture, CommandLineBeyondTheLimitIsNotStarted)
{
    // Every field within its own limit, together beyond the command line's.
    std::string folder = box.temp.Path();
    while (folder.size() < 900)
        folder += "/" + std::string(100, 'd');
    ASSERT_LT(folder.size(), 1024u);
    std::filesystem::create_directories(folder);
    const std::string name = "vtdTestLong" + std::string(200, 'x');
    CopyProgram("/bin/sleep", folder + "/" + name);
    ManagedProcess record {};
    CopyText(record.name, name.c_str());
    CopyText(record.folder, folder.c_str());
    CopyText(record.arguments, ("1000" + std::string(1019, ' ')).c_str());
    char commandLine[CommandLineLimit + 1];
    ASSERT_FALSE(BuildCommandLine(&record, commandLine, sizeof(commandLine)));

    testing::internal::CaptureStderr();
    EXPECT_FALSE(StartProcess(&record));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("ASSERT(b) failed at MonitorProcess:29\n"), std::string::npos);
    EXPECT_TRUE(box.Running(name).empty());
    KillProcessByName(name.c_str());
}

TEST(Supervisor, FirewallEntryGoesToTheControlSetInUse)
{
    TempFolder temp;
    const std::string hive = temp / "vtd.reg";
    const std::string listKey = "SYSTEM\\ControlSet%03d\\Services\\SharedAccess\\Parameters\\FirewallPolicy"
                                "\\StandardProfile\\AuthorizedApplications\\List";
    char path3[512], path0[512];
    std::snprintf(path3, sizeof(path3), listKey.c_str(), 3);
    std::snprintf(path0, sizeof(path0), listKey.c_str(), 0);
    const std::string withSelect = "Windows Registry Editor Version 5.00\r\n\r\n"
                                   "[HKEY_LOCAL_MACHINE\\SYSTEM\\Select]\r\n\"Current\"=dword:00000003\r\n";
    WriteFileBytes(hive, withSelect);
    setenv("VTD_REGISTRY", hive.c_str(), 1);
    SettingsReload();

    AuthorizeFirewallProgram("/opt/vantry/apache/bin/httpd");
    SettingsKey key = nullptr;
    ASSERT_TRUE(SettingsOpenKey(path3, &key));
    char data[512] = {};
    uint32_t type = 0, size = sizeof(data);
    ASSERT_TRUE(SettingsQueryValue(key, "/opt/vantry/apache/bin/httpd", &type, data, &size));
    SettingsCloseKey(key);
    const std::string expected = "/opt/vantry/apache/bin/httpd:*:Enabled:@xpsp2res.dll,-22019";
    EXPECT_EQ(type, static_cast<uint32_t>(RegSz));
    EXPECT_EQ(size, expected.size() + 1);
    EXPECT_EQ(std::string(data), expected);
    EXPECT_EQ(ReadFileBytes(hive), withSelect); // the file itself is never written

    // Without the number of the control set in use nothing is written.
    WriteFileBytes(hive, "Windows Registry Editor Version 5.00\r\n\r\n");
    SettingsReload();
    AuthorizeFirewallProgram("/opt/vantry/apache/bin/httpd");
    EXPECT_FALSE(SettingsOpenKey(path0, &key));
    EXPECT_FALSE(SettingsOpenKey(path3, &key));
    unsetenv("VTD_REGISTRY");
    SettingsReload();
}

// A managed program that starts another and exits: before each restart
// what it left in its process group is ended, so copies do not pile up; the
// stop ends the last one.
TEST_F(ProcessFixture, ForkingChildLeavesAtMostOneCopy)
{
    SetSleepDivisor(1000);
    CopyProgram("/bin/sleep", box.temp / "vtdLeftBehind");
    WriteFileBytes(box.temp / "vtdForker", "#!/bin/sh\n\"$(dirname \"$0\")/vtdLeftBehind\" 1000 &\nexit 0\n");
    fs::permissions(box.temp / "vtdForker", fs::perms::owner_all);
    auto* forker = new ManagedProcess{};
    CopyText(forker->name, "vtdForker");
    CopyText(forker->folder, box.temp.Path().c_str());
    ProcessTable.Append(forker);
    ASSERT_TRUE(StartProcess(forker));
    ASSERT_TRUE(WaitUntil([&] { return box.Running("vtdLeftBehind").size() == 1; }, 5000));

    size_t most = 0;
    for (int restart = 0; restart < 30; restart++) {
        // The forker has exited: the pass ends its copy and starts it anew.
        ASSERT_TRUE(WaitUntil([&] { return WaitForProcess(forker->process, 0); }, 5000));
        MonitorProcesses();
        most = std::max(most, box.Running("vtdLeftBehind").size());
        ASSERT_TRUE(WaitUntil([&] { return box.Running("vtdLeftBehind").size() == 1; }, 5000));
        most = std::max(most, box.Running("vtdLeftBehind").size());
    }
    EXPECT_EQ(most, 1u);

    TerminateProcessGroupsOf("vtdForker");
    EXPECT_TRUE(WaitUntil([&] { return box.Running("vtdLeftBehind").empty(); }, 5000));
    ProcessTable.RemoveAll();
    CloseProcess(forker->process);
    delete forker;
    SetSleepDivisor(1);
}
