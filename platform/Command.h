// Running a program to completion and collecting what it prints, and private
// scratch folders: what a one-shot tool needs beside the daemon's own calls.
// (On Windows only the first is there.)
#pragma once

#include <string>
#include <vector>

// Runs arguments[0] (a path) with the remaining arguments, standard input
// from /dev/null and standard output and error both into output, and waits
// for it to end. exitCode is its exit status, or 128 + the signal that ended
// it. false (OS error set) when it could not be started. With a time limit
// (milliseconds, 0 for none) a program that has not ended by then is killed
// and false returned with the OS error OsErrorTimedOut (Platform.h). A stop
// of the daemon (EarlyStop.h) ends it the same way, with the OS error of an
// interrupted call (EINTR; ERROR_OPERATION_ABORTED on Windows).
bool RunProgramCapturingOutput(const std::vector<std::string>& arguments, std::string& output, int& exitCode,
                               unsigned timeLimitMilliseconds = 0);

// Creates a new folder only the caller may enter (0700) in the system's
// temporary folder ($TMPDIR, else /tmp), its name starting with prefix;
// false (OS error set) on failure.
bool CreatePrivateTemporaryFolder(const std::string& prefix, std::string& path);
