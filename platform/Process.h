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
// The environment variable VTD_PROCESS_FOLDER, when set, confines the
// lookups by name to processes whose executable lies in that folder tree. Tests set
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

// The program path a process was started under: argv[0] on Linux (the path
// as given, links not resolved), the image path on Windows; "" when it
// cannot be read.
std::string ProcessProgramPath(int pid);

// Process id of the first live process (zombies and the caller skipped)
// started under the program path path, as ProcessProgramPath gives it
// (Windows: compared ignoring letter case; Linux: a script also matches by
// its path after the interpreter's); 0 when there is none. Processes of the
// same name started from elsewhere never match.
int FindProcessByPath(const char* path);

// Ends the process pid if it still runs under the program path path, as
// TerminateProcessByName does.
TerminateResult TerminateProcessByPath(int pid, const char* path);

// Process id of the first live process named name (as FindProcessByName)
// that descends from the calling process, or that carries ProgramMarker
// with one of programs (a descendant of an earlier run of them); 0 when
// there is none. Windows: only the processes the caller started itself
// descend from it there (the parent's id is kept, not the line).
int FindDescendantByName(const char* name, const std::vector<std::string>& programs);

// Process id of the first live process that runs the command line: its
// arguments are those SplitCommandLine gives (Windows: its image path is
// the command line's program); 0 when there is none.
int FindProcessByCommandLine(const char* commandLine);

// A handle to a running process that need not be a child of the caller:
// it can be waited on, but not reaped. false when the process is gone.
bool OpenProcessHandle(int pid, ProcessHandle& handle);

// Whether the process has ended; when it has, status is its exit code (or
// 128 + the signal that ended it), or -1 when that is not known (not a
// child of the caller). A child is reaped here; CloseProcess still
// releases the handle.
bool QueryProcessExit(ProcessHandle& handle, int& status);

// Makes the caller the one that descendants come back to when their parent
// ends (Linux: the child subreaper), so a program's descendants that leave
// its process group (a double fork, setsid) are still the caller's to end.
// Windows has no such handing over; there it does nothing. false when the
// system refused.
bool AdoptOrphanedDescendants();

// Ends the caller's adopted descendants (children it did not start
// itself) that carry ProgramMarker with program, or carry none; with
// program null, every adopted descendant but those marked with spare. Each
// one's own process group goes with it when it leads one. The ended ones
// are reaped. Nothing on Windows.
void EndAdoptedProcesses(const char* program, const char* spare = nullptr);

// Reaps the adopted descendants that have ended.
void ReapAdoptedProcesses();

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
