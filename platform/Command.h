// Running a program to completion and collecting what it prints, and private
// scratch folders: what a one-shot tool needs beside the daemon's own calls.
// Linux only.
#pragma once

#include <string>
#include <vector>

// Runs arguments[0] (a path) with the remaining arguments, standard input
// from /dev/null and standard output and error both into output, and waits
// for it to end. exitCode is its exit status, or 128 + the signal that ended
// it. false (OS error set) when it could not be started.
// With a time limit (milliseconds, 0 for none), a program still running when
// it has passed is killed with its process group and the call returns false
// with the OS error OsErrorTimedOut, output holding what it printed so far.
// The time is counted in the pauses of Sleep, so a test's sleep divisor
// shortens it too. With a time limit, a stop of the daemon (EarlyStop.h)
// ends the program the same way, with the OS error EINTR.
bool RunProgramCapturingOutput(const std::vector<std::string>& arguments, std::string& output, int& exitCode,
                               unsigned timeLimitMilliseconds = 0);

// path as the system reaches it now: made absolute against the current
// folder, every symbolic link of its existing part followed and "." and ".."
// applied; the part that does not exist yet is appended with "." and ".."
// applied as text. "" when it cannot be resolved (a loop of links, an
// unreadable folder on the way).
std::string ResolvedPath(const std::string& path);
// ResolvedPath of each of paths, each folder on their ways looked at once.
std::vector<std::string> ResolvedPaths(const std::vector<std::string>& paths);

// A folder held open for writing files of the running user's own into it.
struct PrivateFolder {
    int handle = -1;
    // Its real path, as it was opened.
    std::string path;
};

// Opens path, an existing folder, to write into. It must belong to the
// running user or to root, and no other user may change it: it is not
// writable by its group or by others, and neither is any folder above it
// (unless that folder is sticky, as /tmp is). false with the reason in
// refusal otherwise; then nothing is open. Stale temporary files of
// WritePrivateFile left by an earlier run are removed.
bool OpenPrivateFolder(const std::string& path, PrivateFolder& folder, std::string& refusal);
// The first of folders that is folder itself or a folder above it, compared
// by identity (device and inode, so another path, a link or a bind mount to
// the same folder counts); "" when none is. Folders that do not exist are
// passed over.
std::string ContainingFolder(const PrivateFolder& folder, const std::vector<std::string>& folders);
// Writes name (no separator) in folder as a new file of the running user's
// own with mode, whatever the umask: a temporary file created exclusively
// beside it, then renamed over name, so whatever name was before (a file of
// another user, a link) is replaced and never written through. false (OS
// error set) on failure.
bool WritePrivateFile(const PrivateFolder& folder, const std::string& name, const std::string& bytes, unsigned mode);
// The same written piece by piece: Begin creates the temporary file,
// Append adds bytes (a failure is kept and reported again by Finish), Finish
// renames it over name, or removes it when anything failed.
struct PrivateFile {
    int handle = -1;
    int error = 0;
    std::string name;
    std::string temp;
};
bool BeginPrivateFile(const PrivateFolder& folder, const std::string& name, unsigned mode, PrivateFile& file);
bool AppendPrivateFile(PrivateFile& file, const std::string& bytes);
bool FinishPrivateFile(const PrivateFolder& folder, PrivateFile& file);
// Removes name from folder; false (OS error set) on failure.
bool RemovePrivateFile(const PrivateFolder& folder, const std::string& name);
void ClosePrivateFolder(PrivateFolder& folder);

// Creates a new folder only the caller may enter (0700) in the system's
// temporary folder ($TMPDIR, else /tmp), its name starting with prefix;
// false (OS error set) on failure.
bool CreatePrivateTemporaryFolder(const std::string& prefix, std::string& path);
