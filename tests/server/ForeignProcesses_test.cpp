// Processes of the managed programs' names that are not this
// installation's: the same programs from other folders, and run by another
// user. The daemon's start, a reload and its stop end only its own.
#include <gtest/gtest.h>

#include "NotifySink.h"
#include "Sandbox.h"

using namespace sandbox;

namespace {

bool Alive(pid_t pid)
{
    return kill(pid, 0) == 0 && !IsZombie(pid);
}

} // namespace

TEST(ForeignProcesses, OnlyTheInstallationsOwnAreEnded)
{
    Sandbox box;
    NotifySink notify(box.temp / "notify");
    ASSERT_TRUE(notify.Bound());
    fs::create_directories(box.install + "/apache/conf");
    WriteFileBytes(box.registry,
                   RegistryText(box.install) + "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantry\\Server\\default]\r\n");
    const std::string standIn = std::string(VTD_BIN_DIR) + "/rtmpd";
    const std::vector<std::string> names = {"httpd", "rtmpd", "vtpd", "ffmpeg", "mysqld"};

    // The same programs under the same names from another folder, started
    // as this user...
    std::vector<pid_t> foreign;
    for (const std::string& name : names) {
        CopyProgram(standIn, box.temp / ("other/" + name));
        foreign.push_back(box.Run(box.temp / ("other/" + name), {}));
    }
    // ...and as another user, from a folder that user can read.
    bool asNobody = getuid() == 0 && fs::exists("/usr/bin/setpriv");
    if (asNobody) {
        fs::permissions(box.temp.Path(), fs::perms::owner_all | fs::perms::others_exec | fs::perms::group_exec);
        fs::create_directories(box.temp / "nobody");
        fs::permissions(box.temp / "nobody", fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
        for (const std::string& name : names) {
            std::string path = box.temp / ("nobody/" + name);
            CopyProgram(standIn, path);
            fs::permissions(path, fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
            foreign.push_back(box.Run("/usr/bin/setpriv", {"--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                                           "--", path}));
        }
    }
    ASSERT_TRUE(WaitUntil([&] {
        for (pid_t pid : foreign)
            if (ArgvOf(pid).empty() || ArgvOf(pid)[0].find("/setpriv") != std::string::npos)
                return false;
        return true;
    }, 5000));

    // This installation's own: a copy of rtmpd from an earlier run, the
    // configured media converter, and one that the platform daemon starts
    // in a session of its own.
    pid_t stale = box.Run(box.bin + "/rtmpd", {});
    CopyProgram(standIn, box.install + "/bin/ffmpeg");
    pid_t converter = box.Run(box.install + "/bin/ffmpeg", {});
    CopyProgram(standIn, box.temp / "converter/ffmpeg");
    CopyProgram(std::string(VTD_BIN_DIR) + "/vtpd", box.bin + "/vtpd.real");
    WriteFileBytes(box.bin + "/vtpd", "#!/bin/sh\nsetsid '" + (box.temp / "converter/ffmpeg") + "' &\nexec '" +
                                          box.bin + "/vtpd.real'\n");
    ASSERT_TRUE(WaitUntil([&] { return Alive(stale) && Alive(converter); }, 5000));

    pid_t daemon = box.RunDaemon({}, 100, {"NOTIFY_SOCKET=" + (box.temp / "notify")});
    ASSERT_TRUE(WaitUntil([&] { return notify.Saw("READY=1"); }, 10000)) << box.Output();
    ASSERT_TRUE(WaitUntil([&] {
        return box.Running("httpd").size() == 1 + foreign.size() / names.size() &&
               box.Running("vtpd.real").size() == 1 && !ArgvOf(box.Running("vtpd.real")[0]).empty() &&
               box.Running("ffmpeg").size() == 2 + foreign.size() / names.size();
    }, 10000)) << box.Output();
    // The database server that runs already is named, with its pid.
    std::string log = box.ErrorLog();
    const std::string head = "ERROR: a database server runs already (pid ";
    size_t line = log.find(head);
    ASSERT_NE(line, std::string::npos) << log;
    int named = std::atoi(log.c_str() + line + head.size());
    EXPECT_NE(std::find(foreign.begin(), foreign.end(), named), foreign.end()) << log;
    EXPECT_NE(log.find(", " + ArgvOf(named)[0] + "): the installation's own is not started\n", line), std::string::npos)
        << log;
    EXPECT_TRUE(notify.Saw("STATUS=Database server not started: one runs already, pid " + std::to_string(named) + " " +
                           ArgvOf(named)[0]));
    // The stale copy was ended before the start; no foreign one was.
    EXPECT_FALSE(Alive(stale));
    for (pid_t pid : foreign)
        EXPECT_TRUE(Alive(pid)) << ArgvOf(pid)[0];
    auto ownHttpd = [&] {
        for (int pid : box.Running("httpd"))
            if (ArgvOf(pid)[0] == box.install + "/apache/bin/httpd")
                return pid;
        return 0;
    };
    int httpd = ownHttpd();
    ASSERT_NE(httpd, 0);

    // A reload tells the installation's web server to re-read its
    // configuration; the other ones are neither told nor ended.
    size_t reloadsBefore = CountOf(box.Output(), "rtmpd: reloaded");
    kill(daemon, SIGHUP);
    ASSERT_TRUE(WaitUntil([&] { return CountOf(box.Output(), "rtmpd: reloaded") > reloadsBefore; }, 10000))
        << box.Output();
    EXPECT_EQ(ownHttpd(), httpd);
    for (pid_t pid : foreign)
        EXPECT_TRUE(Alive(pid)) << ArgvOf(pid)[0];

    kill(daemon, SIGTERM);
    EXPECT_EQ(WaitExit(daemon, 20000), 0) << box.Output();
    for (pid_t pid : foreign)
        EXPECT_TRUE(Alive(pid)) << ArgvOf(pid)[0];
    EXPECT_EQ(ownHttpd(), 0);
    EXPECT_FALSE(Alive(converter));
    // Only the foreign ones are left.
    for (const char* name : {"httpd", "rtmpd", "vtpd", "vtpd.real", "ffmpeg"})
        for (int pid : box.Running(name))
            EXPECT_NE(std::find(foreign.begin(), foreign.end(), pid), foreign.end()) << name << " " << ArgvOf(pid)[0];
}
