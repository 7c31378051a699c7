// POSIX implementation of the system information queries.
#include "platform/SystemInfo.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

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

bool ReadWholeFile(const std::string& path, std::string& bytes)
{
    bytes.clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            bytes.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        int saved = errno;
        close(fd);
        if (n < 0) {
            errno = saved;
            bytes.clear();
            return false;
        }
        return true;
    }
}
