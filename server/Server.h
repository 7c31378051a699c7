// Program entry, service and console control, start-up, run and stop.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "config/Config.h"

constexpr size_t ServiceNameSize = 1024;

// Name given to the service manager and instance name of the settings;
// "vtd" unless the command line gives one with -n.
extern char ServiceName[ServiceNameSize];

// The process-wide settings, all empty until InitServer has loaded them;
// read-only afterwards.
extern ServerConfig Config;

// Asks RunServer to have every site run its update page once (option -i,
// or a site database upgraded during start-up).
extern std::atomic<bool> UpdateTriggerRequested;

// The process's arguments, kept for the whole run for the option scans.
extern int ProgramArgumentCount;
extern char** ProgramArguments;

// true when an argument after the program name starts with '-' followed by
// letter (the rest of the argument is not compared).
bool HasOption(char letter);

// The program entry: banner, command line, then console mode or the service
// dispatcher. Returns the process exit code.
int ServerMain(int argc, char** argv);

void ServiceEntry(int argc, char** argv);
void ServiceControlHandler(uint32_t control);
bool ConsoleControlHandler(uint32_t type);
// Fills the status record and reports it; false with the OS error set when
// the report could not be made.
bool ReportServiceStatus(uint32_t state, uint32_t exitCode, uint32_t waitHint);

bool InitServer(const char* instanceName);
// Starts the resident programs of config and supervises them until
// StopRequested.
void RunServer(const ServerConfig& config);
// Sets StopRequested and terminates the resident programs by name.
void StopServer();
// Returns once a StopServer under way (on another thread) has finished.
void WaitForStopServer();
