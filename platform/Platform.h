// The daemon's view of the operating system: everything declared in the
// platform headers is implemented once per platform (<Unit>_posix.cpp,
// <Unit>_win32.cpp, chosen by CMake), so the logic above never includes an
// OS header.
#pragma once

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <string>

#ifdef _WIN32
// Separator used when the daemon composes a path of its own.
constexpr char PathSeparator = '\\';
// Ending of executable file names ("httpd" + ExecutableSuffix).
constexpr const char* ExecutableSuffix = ".exe";
// Deleting a folder tree can be completed by the system some time after the
// calls return; the daemon waits this long before creating it anew.
constexpr unsigned FolderRemovalPauseMilliseconds = 1000;
// The define the web server is started with (-D): Apache's Windows server is
// one process with many threads, which ONE_PROCESS runs without its
// monitoring parent, so the supervisor holds the serving process itself.
constexpr const char* WebServerDefine = "ONE_PROCESS";
// The OS error code of an operation that ran out of time (ERROR_TIMEOUT).
constexpr int OsErrorTimedOut = 1460;
#else
constexpr char PathSeparator = '/';
constexpr const char* ExecutableSuffix = "";
constexpr unsigned FolderRemovalPauseMilliseconds = 0;
// On Linux Apache's main process stays in the foreground, where the
// supervisor holds it, and runs its own worker processes: a full server.
// (ONE_PROCESS would be its debugging mode there, one process answering one
// request after the other.)
constexpr const char* WebServerDefine = "FOREGROUND";
constexpr int OsErrorTimedOut = ETIMEDOUT;
#endif

// Full path of the running executable ("" when it cannot be determined).
std::string GetExecutablePath();
// The executable's folder, without a trailing separator.
std::string GetExecutableFolder();
// Name of this computer as the system reports it ("" when unknown).
std::string GetComputerNameText();

struct LocalTime {
    int year, month, day, hour, minute, second;
};
LocalTime GetLocalTime();

// The one pause of the daemon. Every wait of the program goes through it so
// tests can shorten the long waits without changing the code paths: a test
// sets a divisor (SetSleepDivisor(100) turns 10 s into 100 ms).
void Sleep(unsigned milliseconds);
void SetSleepDivisor(unsigned divisor);

// The thread's last OS error code and its system text.
int GetLastOsError();
void SetLastOsError(int code);
// Fills text with the system's message for code; false when the system has
// no text for it.
bool GetOsErrorText(int code, std::string& text);

// Writes text to standard error. When standard error is the systemd
// journal (JOURNAL_STREAM names its device and inode), every line starts
// with the kernel-style priority prefix "<priority>" (3 error, 4 warning,
// 6 information); elsewhere text goes out as it is.
void WriteStandardError(const std::string& text, int priority = 6);
// Passes text to the debugger channel (none on Linux).
void WriteDebuggerChannel(const std::string& text);

// Shows text in a message box with caption and an OK button and returns once
// it is closed. Without a desktop (Linux) the text goes to standard error as
// "<caption>: <text>" and the call returns at once.
void ShowMessageBox(const char* caption, const std::string& text);

// Re-entrant lock where the daemon's logic takes a lock it may already hold.
using RecursiveLock = std::recursive_mutex;
