// The database server around start-up: one that exits while the start-up
// waits for it, and one that an earlier run of the daemon left running.
#include <gtest/gtest.h>

#include "LoopbackPort.h"
#include "NotifySink.h"
#include "Sandbox.h"

using namespace sandbox;

namespace {

const char* const SiteKey = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantry\\Server\\";

// The argument vector the daemon gives the installation's database server.
std::vector<std::string> DatabaseArgv(const Sandbox& box)
{
    const std::string mysql = box.install + "/mysql";
    return {mysql + "/bin/mysqld", "-b", mysql, "-h", mysql + "/data", "--init-file=" + mysql + "/my.ini"};
}

} // namespace

// The server exits at once with status 3, and nothing answers on the
// site's port: each exit is reported in the log and the status with its
// exit status, and the server is started again; a stop still ends the
// start-up.
TEST(DatabaseServer, ExitDuringStartUpIsReportedAndRestarted)
{
    Sandbox box;
    NotifySink notify(box.temp / "notify");
    ASSERT_TRUE(notify.Bound());
    const std::string starts = box.temp / "starts";
    WriteFileBytes(box.install + "/mysql/bin/mysqld", "#!/bin/sh\necho >> '" + starts + "'\nexit 3\n");
    WriteFileBytes(box.registry, RegistryText(box.install) + "\r\n" + SiteKey +
                                     "campus]\r\n\"sql_server\"=\"127.0.0.1\"\r\n\"sql_database\"=\"campus\"\r\n"
                                     "\"sql_user\"=\"u\"\r\n\"sql_password\"=\"p\"\r\n");
    pid_t daemon = box.RunDaemon({}, 100, {"NOTIFY_SOCKET=" + (box.temp / "notify"),
                                           "MYSQL_TCP_PORT=" + std::to_string(FreeLoopbackPort())});
    const std::string line = "ERROR: database server " + box.install +
                             "/mysql/bin/mysqld exited during start-up (exit status 3); starting it again\n";
    ASSERT_TRUE(WaitUntil([&] { return CountOf(box.ErrorLog(), line) >= 3; }, 20000)) << box.ErrorLog();
    ASSERT_TRUE(WaitUntil([&] { return CountOf(ReadFileBytes(starts), "\n") >= 4; }, 5000));
    EXPECT_TRUE(notify.Saw("STATUS=Database server exited during start-up (exit status 3); starting it again"));
    EXPECT_FALSE(notify.Saw("READY=1"));
    EXPECT_TRUE(box.Running("httpd").empty());
    kill(daemon, SIGTERM);
    EXPECT_EQ(WaitExit(daemon, 10000), 0) << box.Output();
}

// A server that the earlier run started, with the daemon's own command
// line, is supervised again: not started beside, not terminated, started
// anew when it exits, and left running at the stop. One of the same
// program with other arguments is not the installation's: left alone and
// not supervised.
TEST(DatabaseServer, ServerOfAnEarlierRunIsSupervisedAgain)
{
    struct Case {
        const char* name;
        bool own;
    };
    for (const Case& c : {Case{"same command line", true}, Case{"other arguments", false}}) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        std::vector<std::string> argv = DatabaseArgv(box);
        if (!c.own)
            argv.push_back("--port=1");
        pid_t earlier = box.Run(argv[0], std::vector<std::string>(argv.begin() + 1, argv.end()));
        ASSERT_TRUE(WaitUntil([&] { return ArgvOf(earlier) == argv; }, 5000));

        pid_t daemon = box.RunDaemon({"-d", "-h", "-r", "-s"});
        const std::string supervised = "database server " + box.install +
                                       "/mysql/bin/mysqld (pid " + std::to_string(earlier) +
                                       ") of an earlier run is running; it is supervised again";
        const std::string leftAlone = "a database server runs already (pid " + std::to_string(earlier) + ", " +
                                      argv[0] + "): the installation's own is not started";
        ASSERT_TRUE(WaitUntil([&] { return box.ErrorLog().find(c.own ? supervised : leftAlone) != std::string::npos; },
                              10000))
            << box.ErrorLog();
        // Several passes go by: nothing is started beside it, it is not ended.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(box.Running("mysqld"), std::vector<int>{earlier});

        // It exits: the installation's own is started again with the same
        // command line, the other is not.
        kill(earlier, SIGKILL);
        waitpid(earlier, nullptr, 0);
        if (c.own) {
            ASSERT_TRUE(WaitUntil([&] { return box.Running("mysqld").size() == 1; }, 5000)) << box.ErrorLog();
            EXPECT_EQ(ArgvOf(box.Running("mysqld")[0]), DatabaseArgv(box));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            EXPECT_TRUE(box.Running("mysqld").empty());
        }
        std::vector<int> left = box.Running("mysqld");
        kill(daemon, SIGINT);
        EXPECT_EQ(WaitExit(daemon, 15000), 0) << box.Output();
        EXPECT_EQ(box.Running("mysqld"), left);
    }
}
