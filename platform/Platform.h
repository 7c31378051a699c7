// The daemon's view of the operating system: everything below is implemented
// per platform (POSIX here) so the logic above never includes an OS header.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// Separator used when the daemon composes a path of its own.
constexpr char PathSeparator = '/';

// Full path of the running executable ("" when it cannot be determined).
std::string GetExecutablePath();
// The executable's folder, without a trailing separator.
std::string GetExecutableFolder();
// Host name of this computer ("" when unknown).
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

// The thread's last OS error code (errno here) and its system text.
int GetLastOsError();
void SetLastOsError(int code);
// Fills text with the system's message for code; false when the system has
// no text for it.
bool GetOsErrorText(int code, std::string& text);

// Files and folders.
bool PathExists(const std::string& path);     // file or folder
bool FolderExists(const std::string& path);
bool FileExists(const std::string& path);
bool CreateFolder(const std::string& path);   // one level, default rights
bool SetCurrentFolder(const std::string& path);
// Names (not paths) of the entries of folder whose name matches the shell
// pattern (for example "*.bin"), sorted by name; "." and ".." left out.
std::vector<std::string> FindFiles(const std::string& folder, const std::string& pattern);
// Appends bytes to a file in one write, creating it when missing (0644).
bool AppendToFile(const std::string& path, const std::string& bytes);

// Writes a whole file through a temporary file beside it and a rename, so a
// failure leaves the previous file untouched. mode is the new file's access
// rights (0600 for a private key). false on any failure (errno kept).
bool WriteFileAtomically(const std::string& path, const std::string& bytes, unsigned mode = 0644);

// Writes text to standard error as it is (one write).
void WriteStandardError(const std::string& text);

// Re-entrant lock where the daemon's logic takes a lock it may already hold.
using RecursiveLock = std::recursive_mutex;
