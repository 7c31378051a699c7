// The real vtd program in a throwaway installation: command line, console
// mode, supervision and stop.
#include <gtest/gtest.h>

#include <regex>

#include "Sandbox.h"

using namespace sandbox;

namespace {

const std::string Banner = "Vantry Server Version 15.0.11 - [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4}\n"
                           "Copyright \\(C\\) Vantry\\. All rights reserved\\.\n\n";
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
        EXPECT_TRUE(std::regex_match(output, std::regex(Banner + std::regex_replace(c.tail, std::regex("[.()]"), "\\$&"))))
            << output;
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
        // The argument text is not quoted: a blank in the install folder
        // splits the paths, as it does for the database server on Windows.
        const std::string head = box.temp.Path() + "/inst";
        EXPECT_EQ(ArgvOf(mysqld), (std::vector<std::string>{mysql + "/bin/mysqld", "-b", head, "folder/mysql", "-h", head,
                                                             "folder/mysql/data", "--init-file=" + head,
                                                             "folder/mysql/my.ini"}));
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
