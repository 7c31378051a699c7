// Child processes and the process list: start a program from one command
// line, wait for it, and find or terminate processes by executable name.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A started child: its process id and a handle (a pidfd on Linux, a process
// handle on Windows) that stays bound to that process even after the id is
// reused. handle < 0: no process.
struct ProcessHandle {
    int pid = 0;
    intptr_t handle = -1;
};

// Name of the environment variable that every started child gets, holding
// the program path it was started from. Its descendants inherit it, so the
// daemon can tell which program one came from after it left its group.
constexpr const char* ProgramMarker = "VTD_PROGRAM";

// Starts the program named by the command line's first argument: a path
// with blanks must be quoted, and no shorter part of an unquoted one is ever
// tried as a program. On Linux the line is split by SplitCommandLine
// (CommandLine.h). The child's current folder is its program's own folder.
// It inherits standard input, output and error, nothing else, and the
// environment less the service manager's variables for the main process
// (NOTIFY_SOCKET, WATCHDOG_PID, WATCHDOG_USEC, LISTEN_PID, LISTEN_FDS,
// LISTEN_FDNAMES), plus ProgramMarker. It runs in a process group of its
// own (a Ctrl+C at the daemon's terminal is the daemon's to handle) with
// default signal handling. false with the OS error set when it cannot be
// started.
bool SpawnProcess(const char* commandLine, ProcessHandle& handle);

// Waits at most milliseconds for the process to end. true when it has ended
// or the handle holds no process; false when it still runs.
bool WaitForProcess(const ProcessHandle& handle, unsigned milliseconds);

// Reaps the process when it has ended and is our child, then releases the
// handle. The handle holds no process afterwards.
void CloseProcess(ProcessHandle& handle);

// Process id of the first running process whose executable name is name,
// ignoring letter case; 0 when there is none. The name is the one the
// program was started under (/proc/PID/comm, symlinks not resolved; for
// names longer than the 15 characters kept there, the last part of argv[0]
// is compared as well). Zombies and the calling process are skipped.
//
// The environment variable VTD_PROCESS_FOLDER, when set, confines every
// lookup to processes whose executable lies in that folder tree. Tests set
// it so that a daemon under test never sees or touches processes of the
// same names that belong to someone else on the machine.
int FindProcessByName(const char* name);

enum class TerminateResult {
    Ended,   // the process has gone (or had gone before the first signal)
    Denied,  // it may not be signalled ("cannot open")
    Failed,  // it survived SIGKILL within the bounded wait
};

// Ends the process pid if it still runs under the executable name name:
// SIGTERM, a bounded wait of a few seconds, then SIGKILL. A process that is
// our child is reaped.
TerminateResult TerminateProcessByName(int pid, const char* name);

// Ends what is left of the process group groupId, the group of a managed
// child whose leader has ended and been reaped (a program that started
// others and exited): SIGTERM, a bounded wait, then SIGKILL. Nothing happens
// when the group is empty. On Windows a child's own children are not
// grouped with it, and this does nothing.
void TerminateProcessGroup(int groupId);

// Ignores the signals that must not end the daemon: SIGPIPE (a peer closed a
// connection; the send fails instead), SIGXFSZ (a file size limit; the write
// fails with EFBIG and is reported), SIGUSR1, SIGUSR2 and SIGALRM. Children
// get default handling of all of them.
void IgnoreStraySignals();

// Enables (or disables) a privilege of the process's own token, named as the
// system names it ("SeTcbPrivilege"); false when the token cannot be
// adjusted or the system knows no privilege of that name. Linux processes
// carry no such tokens: there it does nothing and reports success.
bool SetProcessPrivilege(const char* name, bool enable);
