// StderrCapture on Windows: standard error goes into a temporary file for the
// capture's life; everything written to it is in the file when Text() reads
// it, so Text() sees all that was written before the call.
#ifdef _WIN32
#include "StderrCapture.h"

#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <io.h>
#include <sys/stat.h>
#include <iterator>
#include <random>

StderrCapture::StderrCapture()
{
    std::fflush(stderr);
    std::random_device random;
    file_ = (std::filesystem::temp_directory_path() / ("vtd-stderr-" + std::to_string(random()) + ".txt")).string();
    int fd = _open(file_.c_str(), _O_CREAT | _O_TRUNC | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0)
        return;
    saved_ = _dup(2);
    // For descriptors 0 to 2 the runtime also makes the new file the
    // process's standard handle, which the daemon's own writes use.
    _dup2(fd, 2);
    _close(fd);
}

StderrCapture::~StderrCapture()
{
    std::fflush(stderr);
    if (saved_ >= 0) {
        _dup2(saved_, 2);
        _close(saved_);
    }
    std::error_code ignored;
    std::filesystem::remove(file_, ignored);
}

std::string StderrCapture::Text() const
{
    std::fflush(stderr);
    std::lock_guard<std::mutex> guard(lock_);
    std::ifstream in(file_, std::ios::binary);
    text_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return text_;
}

int StderrCapture::Count(const std::string& needle) const
{
    std::string text = Text();
    int count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++count;
    return count;
}

void StderrCapture::Drain() const {}
void StderrCapture::Collect() const {}
#endif
