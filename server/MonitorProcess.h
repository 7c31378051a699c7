// The supervised child programs: start, watch, restart; process utilities.
#pragma once

#include <atomic>
#include <string>

#include "config/Config.h"
#include "log/Log.h"
#include "platform/List.h"
#include "platform/Process.h"

constexpr size_t ManagedTextSize = 1024;
// Longest command line handed to a child, without its terminating NUL.
constexpr size_t CommandLineLimit = 2047;

struct ManagedProcess {
    char name[ManagedTextSize];      // executable file name, "httpd" (Windows: "httpd.exe")
    char folder[ManagedTextSize];    // folder of the executable, no trailing separator
    char arguments[ManagedTextSize]; // appended to the command line; may be empty
    ProcessHandle process;           // the running (or last started) process
    bool takenOver;                  // process is one of an earlier run, not a child
};

// The managed programs in the order they were added.
extern List ProcessTable;

// Set once when the daemon stops: no program is started or restarted after
// it, and a supervision pass under way ends early.
extern std::atomic<bool> StopRequested;

// Adds and starts a program (name without the platform's executable suffix);
// stale processes of the same executable name are terminated first. The
// caller leaves out the programs that the command line suppresses.
void AddManagedProcess(const char* name, const char* folder, const char* arguments);
// Starts one program: "<folder>/<name> <arguments>". false when it could not
// be created (reported) or when the daemon is stopping (not reported).
bool StartProcess(ManagedProcess* process);
// One supervision pass: every program that has ended is started again after
// a 2 s pause. Returns early once StopRequested is set.
void MonitorProcesses();
// Starts a managed program that has ended again, as a supervision pass
// does: what it left in its group, and its descendants that came back to
// the daemon, are ended first; then the pause, then the start.
void RestartProcess(ManagedProcess* process, unsigned pauseMilliseconds);
// The managed program of name (without the executable suffix); null when
// it is not in the table.
ManagedProcess* FindManagedProcess(const char* name);
// Starts the database server of config's install folder unless one runs
// already; true when it was started here. A server of the installation
// that an earlier run left running (same program path and command line) is
// taken into the table and supervised, not started; any other database
// server is named in the log and the status and left alone.
bool StartDatabaseServer(const ServerConfig& config);
bool IsProcessRunning(const char* name);
// Terminates this installation's processes of a program. name is either a
// full program path (every process started under that path), or an
// executable name ("httpd", Windows "httpd.exe", any letter case): the
// processes started under the path of the managed program of that name.
// For "ffmpeg" and "ffmpeg32" also those started under the configured
// media converter (SetInstallationPrograms), and converters of any path
// that descend from the daemon or from an earlier run of its programs.
// Processes of the same name started from elsewhere are left alone.
void KillProcessByName(const char* name);
// Ends what is left in the process groups of the managed programs of name
// (without the executable suffix): the processes they started themselves,
// also those that left the group and came back to the daemon.
void TerminateProcessGroupsOf(const char* name);
// Tells the process utilities the installation's media converter.
void SetInstallationPrograms(const ServerConfig& config);
// The media converter of config: path_ffmpeg, else InstallFolder/bin/ffmpeg
// (ffmpeg32 on a 32-bit x86 machine).
std::string MediaConverterPath(const ServerConfig& config);
// "<folder>/<name>", the path the program is started from.
std::string ProgramPath(const ManagedProcess* process);
// Adds the program to the firewall's list of authorised applications.
void AuthorizeFirewallProgram(const char* path);
bool EnablePrivilege(const char* name, bool enable);
// The names of the managed programs, "httpd, rtmpd and vtpd".
std::string ManagedProgramNames();
// Releases the records of the table and their process handles at exit; the
// programs themselves go on running.
void ReleaseProcessTable();
// Returns once a program start under way has finished. Called after
// StopRequested is set: no program is started after it returns.
void FinishProcessStarts();
// Full command line of a managed program, as StartProcess builds it; false
// when it does not fit size bytes (the text is then cut).
bool BuildCommandLine(const ManagedProcess* process, char* commandLine, size_t size);
