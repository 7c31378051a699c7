// What the daemon asks of the machine itself, on Windows.
#include "platform/SystemInfo.h"

#include <cstring>

#include "platform/Win32.h"

bool IsX86MachineName(const char* machine)
{
    // i386, i486, i586, i686: exactly four characters, 'i', a digit 3-6, "86".
    return machine != nullptr && std::strlen(machine) == 4 && machine[0] == 'i' && machine[1] >= '3' &&
           machine[1] <= '6' && std::strcmp(machine + 2, "86") == 0;
}

bool IsNativeX86()
{
    SYSTEM_INFO info {};
    ::GetNativeSystemInfo(&info);
    return info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_INTEL;
}
