// The system information queries on Linux.
#include "platform/SystemInfo.h"

#include <cstring>
#include <sys/utsname.h>

bool IsX86MachineName(const char* machine)
{
    // i386, i486, i586, i686: exactly four characters, 'i', a digit 3-6, "86".
    return machine != nullptr && std::strlen(machine) == 4 && machine[0] == 'i' && machine[1] >= '3' &&
           machine[1] <= '6' && std::strcmp(machine + 2, "86") == 0;
}

bool IsNativeX86()
{
    struct utsname names {};
    if (uname(&names) != 0)
        return false;
    return IsX86MachineName(names.machine);
}
