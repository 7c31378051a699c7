#include "platform/FileInfo.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool ReadFileSize(const std::string& path, int64_t* size)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat st {};
    bool ok = fstat(fd, &st) == 0;
    int saved = errno;
    if (ok && !S_ISREG(st.st_mode)) {
        ok = false;
        saved = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    }
    close(fd);
    errno = saved;
    if (ok)
        *size = static_cast<int64_t>(st.st_size);
    return ok;
}

bool RemoveFile(const std::string& path)
{
    return unlink(path.c_str()) == 0;
}

bool RemoveFolder(const std::string& path)
{
    return rmdir(path.c_str()) == 0;
}

bool IsFolderEntry(const std::string& path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
