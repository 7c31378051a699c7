// Loading the settings for the start-up, and loading them again while the
// daemon runs (a reload: SIGHUP under systemd), without holding up the
// supervision of the running programs, and the command that asks a running
// daemon for a reload and waits for its outcome.
#pragma once

#include <string>

#include "config/Config.h"

// Loads config from the settings store and logs every value it refused.
// false when the settings files as a whole were refused: that is logged
// with what follows ("start-up stopped") and config is left as it was.
bool LoadUsableSettings(ServerConfig& config, const char* consequence);

// What a reload needs to know of the running daemon: its instance name, and
// whether it supervises the web server (which a reload asks to read its new
// configuration).
void ConfigureReload(const char* instanceName, bool webServerManaged);
// Asks for a reload; called on the control handler's thread.
void RequestReload();
// Called by the supervision loop between two passes: starts a requested
// reload on a thread of its own, unless one is still under way (the request
// then waits for it).
void StartRequestedReload();
// Waits for a reload under way to end (at the stop).
void FinishReload();
// Returns once a reload that is writing the configuration files or telling
// the web server to read them has done so. Called after StopRequested is
// set: no reload writes anything after it returns.
void FinishReloadWrites();

// "Running: supervising httpd, rtmpd and vtpd", with what the last reload
// left undone.
std::string RunningStatus();

// Where the daemon of instance records the outcome of each reload:
// "<runtime folder>/reload", the runtime folder being $RUNTIME_DIRECTORY
// when the service manager sets it, else /run/vtd (instance "vtd") or
// /run/vtd-<instance>. "" where there is none (Windows).
std::string ReloadOutcomePath(const char* instanceName);

// vtd [-n NAME] --reload PID: asks the daemon running as PID to reload
// (SIGHUP) and waits until it has recorded the outcome of a reload begun
// after the request. Prints the outcome; the exit code is 0 when the new
// settings are in force, 1 when the reload was refused (the reason printed)
// or the daemon ended first.
int RunReloadCommand(const char* instanceName, const char* pidText);
