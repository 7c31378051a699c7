// How the daemon starts its programs: quoted program paths, each child in
// its own program's folder, and an environment without the service
// manager's variables for the daemon's own process.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "Sandbox.h"
#include "platform/Process.h"

using namespace sandbox;

namespace {

std::vector<std::string> EnvironmentOf(int pid)
{
    std::vector<std::string> entries;
    std::string raw = ReadProc(pid, "environ");
    for (size_t start = 0; start < raw.size();) {
        size_t end = raw.find('\0', start);
        if (end == std::string::npos)
            end = raw.size();
        entries.push_back(raw.substr(start, end - start));
        start = end + 1;
    }
    return entries;
}

std::string CwdOf(int pid)
{
    char target[4096];
    std::string link = "/proc/" + std::to_string(pid) + "/cwd";
    ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

} // namespace

// The install folder "<temp>/inst folder" has a blank: a program planted at
// "<temp>/inst", the part before the blank, must never run, while the
// installation's own database and web servers do, with their paths whole.
// Every child works in its program's folder and gets none of the variables
// that the service manager meant for the daemon.
TEST(ChildStart, QuotedPathsOwnFolderAndCleanEnvironment)
{
    Sandbox box;
    const std::string planted = box.temp / "inst";
    const std::string ran = box.temp / "planted-ran";
    WriteFileBytes(planted, "#!/bin/sh\necho \"$@\" >> '" + ran + "'\n");
    fs::permissions(planted, fs::perms::owner_all);
    const std::vector<std::string> serviceManagerOnly = {
        "NOTIFY_SOCKET=" + (box.temp / "no-such-socket"),
        "WATCHDOG_PID=1",
        "WATCHDOG_USEC=30000000",
        "LISTEN_PID=1",
        "LISTEN_FDS=1",
        "LISTEN_FDNAMES=vtd",
    };

    pid_t daemon = box.RunDaemon({"-d"}, 100, serviceManagerOnly);
    ASSERT_TRUE(WaitUntil([&] {
        return box.Running("mysqld").size() == 1 && box.Running("httpd").size() == 1 &&
               box.Running("rtmpd").size() == 1 && box.Running("vtpd").size() == 1;
    }, 10000)) << box.Output();

    const std::string mysql = box.install + "/mysql";
    int mysqld = box.Running("mysqld")[0];
    EXPECT_EQ(ArgvOf(mysqld), (std::vector<std::string>{mysql + "/bin/mysqld", "-b", mysql, "-h", mysql + "/data",
                                                         "--init-file=" + mysql + "/my.ini"}));
    int httpd = box.Running("httpd")[0];
    EXPECT_EQ(ArgvOf(httpd)[0], box.install + "/apache/bin/httpd");

    struct Child {
        int pid;
        std::string program;
    };
    const std::vector<Child> children = {
        {mysqld, mysql + "/bin/mysqld"},
        {httpd, box.install + "/apache/bin/httpd"},
        {box.Running("rtmpd")[0], box.bin + "/rtmpd"},
        {box.Running("vtpd")[0], box.bin + "/vtpd"},
    };
    for (const Child& child : children) {
        SCOPED_TRACE(child.program);
        EXPECT_EQ(CwdOf(child.pid), fs::path(child.program).parent_path().string());
        std::vector<std::string> environment = EnvironmentOf(child.pid);
        for (const std::string& assignment : serviceManagerOnly) {
            std::string name = assignment.substr(0, assignment.find('=') + 1);
            for (const std::string& entry : environment)
                EXPECT_NE(entry.compare(0, name.size(), name), 0) << entry;
        }
        // The rest of the daemon's environment is there, and the program
        // the child was started from.
        EXPECT_NE(std::find(environment.begin(), environment.end(), "VTD_REGISTRY=" + box.registry),
                  environment.end());
        EXPECT_NE(std::find(environment.begin(), environment.end(), std::string(ProgramMarker) + "=" + child.program),
                  environment.end());
    }

    // Several supervision passes go by; the planted program is never run.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(fs::exists(ran)) << ReadFileBytes(ran);
    kill(daemon, SIGINT);
    EXPECT_EQ(WaitExit(daemon, 15000), 0) << box.Output();
    EXPECT_FALSE(fs::exists(ran));
}
