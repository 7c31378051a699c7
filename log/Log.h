// Output routines: console, error log file and failure reports.
#pragma once

#include <atomic>
#include <string>

#include "platform/Platform.h"
#include "platform/Text.h"

// Size of the buffer every routine formats into; a text holds at most one
// byte less.
constexpr size_t MessageBufferSize = TextBufferSize;

// Set once early in start-up: from then on LogError writes to the error log.
extern std::atomic<bool> ErrorLogEnabled;

// Priorities of what reaches the journal.
constexpr int PriorityError = 3;    // failure reports
constexpr int PriorityWarning = 4;  // refusals the daemon passes over
constexpr int PriorityInfo = 6;     // everything else

// Formatted text to the debugger channel and standard error.
void PrintMessage(const char* format, ...) VTD_PRINTF(1, 2);
// The same at the given journal priority.
void PrintMessageAt(int priority, const char* format, ...) VTD_PRINTF(2, 3);
// Time-stamped line appended to logs/<name>-YYYYMM.log beside the executable,
// echoed to standard error.
void LogToFile(const char* name, const char* format, ...) VTD_PRINTF(2, 3);
// Failure report with the text of the thread's last OS error.
void LogError(const char* format, ...) VTD_PRINTF(1, 2);
// Message box; without a desktop the box text goes to standard error.
void ShowErrorBox(void* owner, const char* format, ...) VTD_PRINTF(2, 3);
// Creates a folder and any missing parents; failures are ignored.
void CreateFolderPath(const std::string& path);

// Log file for name at the given time: "<folder>/<name>-YYYYMM.log".
std::string LogFileName(const std::string& folder, const char* name, const LocalTime& time);

// The usual failure report of a unit: "ASSERT(cond) failed at Unit:line".
#define LOG_ASSERT(cond, unit, line) LogError("ASSERT(%s) failed at %s:%d", cond, unit, line)
