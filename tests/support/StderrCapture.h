// Captures what is written to standard error while it lives.
//
// Standard error goes into a pipe (a pipe is not subject to the file size
// limit some tests set) that a thread of the capture keeps empty, so any
// amount of output can be written. Text() and Count() may be called at any
// time, also from another thread than the writer's, and see everything
// written before the call. The destructor puts standard error back.
#pragma once

#include <mutex>
#include <string>
#include <thread>

class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    // Everything captured so far.
    std::string Text() const;
    // How often needle occurs in Text(), overlapping occurrences included.
    int Count(const std::string& needle) const;

private:
    // Moves what the pipe holds into text_; lock_ is held.
    void Drain() const;
    void Collect() const;

#ifdef _WIN32
    // No poll() for pipes there: standard error goes into a file, which
    // Text() reads back from its start.
    std::string file_;
#endif
    int saved_ = -1;
    int pipe_[2] = {-1, -1};
    int wake_[2] = {-1, -1};
    mutable std::mutex lock_;
    mutable std::string text_;
    std::thread collector_;
};
