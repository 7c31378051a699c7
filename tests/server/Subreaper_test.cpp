// Descendants that leave their program's process group: a double fork
// into a new session, setsid with a fork of its own, and a plain double fork
// in the group. This process takes the daemon's place: it is the one they
// come back to, and the supervisor's restarts and its stop end them.
#include <gtest/gtest.h>

#include "Sandbox.h"
#include "server/MonitorProcess.h"

using namespace sandbox;

namespace {

// Children of this process that have ended and not been reaped.
size_t ZombieChildren()
{
    size_t zombies = 0;
    DIR* dir = opendir("/proc");
    while (struct dirent* entry = readdir(dir)) {
        char* end = nullptr;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0')
            continue;
        std::string stat = ReadProc(static_cast<int>(pid), "stat");
        size_t paren = stat.rfind(')');
        char state = 0;
        int parent = 0;
        if (paren != std::string::npos && std::sscanf(stat.c_str() + paren + 1, " %c %d", &state, &parent) == 2 &&
            parent == getpid() && state == 'Z')
            zombies++;
    }
    closedir(dir);
    return zombies;
}

int ParentOf(int pid)
{
    std::string stat = ReadProc(pid, "stat");
    size_t paren = stat.rfind(')');
    char state = 0;
    int parent = 0;
    if (paren == std::string::npos || std::sscanf(stat.c_str() + paren + 1, " %c %d", &state, &parent) != 2)
        return 0;
    return parent;
}

} // namespace

TEST(Subreaper, DescendantsThatLeaveTheirGroupEndWithTheirProgram)
{
    ASSERT_TRUE(AdoptOrphanedDescendants());
    SetSleepDivisor(1000);
    Sandbox box;
    const std::string dir = box.temp.Path();
    const std::vector<std::string> orphans = {"vtdSession", "vtdSetsid", "vtdGroup"};
    for (const std::string& name : orphans) {
        CopyProgram("/bin/sleep", dir + "/" + name);
        // Each says it is there, then becomes the named program.
        WriteFileBytes(dir + "/start-" + name, "#!/bin/sh\n: > \"$0.ready\"\nexec \"" + dir + "/" + name + "\" 1000\n");
        fs::permissions(dir + "/start-" + name, fs::perms::owner_all);
    }
    // The program starts all three and exits once they run.
    WriteFileBytes(dir + "/vtdDaemonizer", "#!/bin/sh\n"
                                           "d=\"$(dirname \"$0\")\"\n"
                                           "rm -f \"$d\"/*.ready\n"
                                           "( setsid \"$d/start-vtdSession\" & )\n"
                                           "setsid -f \"$d/start-vtdSetsid\"\n"
                                           "( \"$d/start-vtdGroup\" & )\n"
                                           "while [ \"$(ls \"$d\" | grep -c '\\.ready$')\" != 3 ]; do sleep 0.01; done\n"
                                           "exit 0\n");
    fs::permissions(dir + "/vtdDaemonizer", fs::perms::owner_all);

    auto* program = new ManagedProcess{};
    CopyText(program->name, "vtdDaemonizer");
    CopyText(program->folder, dir.c_str());
    ProcessTable.Append(program);
    ASSERT_TRUE(StartProcess(program));

    for (int restart = 0; restart < 8; restart++) {
        ASSERT_TRUE(WaitUntil([&] { return WaitForProcess(program->process, 0); }, 10000));
        std::vector<int> generation;
        for (const std::string& name : orphans) {
            ASSERT_TRUE(WaitUntil([&] { return box.Running(name).size() == 1; }, 5000))
                << name << " restart " << restart << ": " << box.Running(name).size();
            int pid = box.Running(name)[0];
            // All came back to this process when their parents ended.
            EXPECT_EQ(ParentOf(pid), getpid()) << name;
            generation.push_back(pid);
        }
        EXPECT_NE(getsid(generation[0]), getsid(0));
        EXPECT_NE(getsid(generation[1]), getsid(0));
        MonitorProcesses(); // ends this generation, starts the next
        // Gone and reaped, not left to pile up beside the next one.
        for (int pid : generation) {
            errno = 0;
            EXPECT_EQ(kill(pid, 0), -1) << pid;
            EXPECT_EQ(errno, ESRCH);
        }
    }

    // The stop's clean-up ends the last generation, and everything that
    // ended has been reaped.
    ASSERT_TRUE(WaitUntil([&] { return WaitForProcess(program->process, 0); }, 10000));
    for (const std::string& name : orphans)
        ASSERT_TRUE(WaitUntil([&] { return !box.Running(name).empty(); }, 5000)) << name;
    StopManagedPrograms();
    for (const std::string& name : orphans)
        EXPECT_TRUE(box.Running(name).empty()) << name;
    CloseProcess(program->process);
    ReapAdoptedProcesses();
    EXPECT_EQ(ZombieChildren(), 0u);

    ProcessTable.RemoveAll();
    delete program;
    SetSleepDivisor(1);
}
