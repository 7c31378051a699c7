#include "StderrCapture.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

StderrCapture::StderrCapture()
{
    std::fflush(stderr);
    saved_ = dup(2);
    if (pipe2(pipe_, O_CLOEXEC) != 0 || pipe2(wake_, O_CLOEXEC) != 0)
        return;
    fcntl(pipe_[0], F_SETFL, O_NONBLOCK);
    dup2(pipe_[1], 2);
    collector_ = std::thread([this] { Collect(); });
}

StderrCapture::~StderrCapture()
{
    std::fflush(stderr);
    if (saved_ >= 0) {
        dup2(saved_, 2);
        close(saved_);
    }
    if (collector_.joinable()) {
        char stop = 0;
        while (write(wake_[1], &stop, 1) < 0 && errno == EINTR) {
        }
        collector_.join();
    }
    for (int fd : {pipe_[0], pipe_[1], wake_[0], wake_[1]})
        if (fd >= 0)
            close(fd);
}

std::string StderrCapture::Text() const
{
    std::fflush(stderr);
    std::lock_guard<std::mutex> guard(lock_);
    Drain();
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

void StderrCapture::Drain() const
{
    char buffer[65536];
    ssize_t n;
    while ((n = read(pipe_[0], buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            text_.append(buffer, static_cast<size_t>(n));
}

// Runs on the collector thread until the destructor wakes it: keeps the pipe
// from filling up while nobody asks for the text.
void StderrCapture::Collect() const
{
    pollfd fds[2] = {{pipe_[0], POLLIN, 0}, {wake_[0], POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0 && errno != EINTR)
            break;
        if (fds[1].revents != 0)
            break;
        if (fds[0].revents != 0) {
            std::lock_guard<std::mutex> guard(lock_);
            Drain();
        }
    }
}
