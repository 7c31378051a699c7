// What the daemon asks of the machine itself: its processor architecture.
#pragma once

// True when the machine's native processor architecture is 32-bit x86
// (the machine's, not that of the daemon's own build).
bool IsNativeX86();
// True for the machine names the system reports for 32-bit x86
// ("i386" to "i686").
bool IsX86MachineName(const char* machine);
