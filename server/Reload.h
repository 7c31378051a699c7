// Loading the settings for the start-up, and loading them again while the
// daemon runs (a reload: SIGHUP under systemd), without holding up the
// supervision of the running programs.
#pragma once

#include <string>

#include "config/Config.h"

// Loads config from the settings store and logs every value it refused.
// false when the settings files as a whole were refused: that is logged
// with what follows ("start-up stopped") and config is left as it was.
bool LoadUsableSettings(ServerConfig& config, const char* consequence);

// What a reload needs to know of the running daemon: its instance name, and
// whether it supervises the web server (which a reload restarts with the
// new configuration).
void ConfigureReload(const char* instanceName, bool webServerManaged);
// Asks for a reload; called on the control handler's thread.
void RequestReload();
// Called by the supervision loop between two passes: starts a requested
// reload on a thread of its own, unless one is still under way (the request
// then waits for it).
void StartRequestedReload();
// Waits for a reload under way to end (at the stop).
void FinishReload();
// Releases the settings that reloads loaded (at exit, once nothing runs).
void ReleaseReloadedSettings();

// "Running: supervising httpd, rtmpd and vtpd", with what the last reload
// left undone.
std::string RunningStatus();
