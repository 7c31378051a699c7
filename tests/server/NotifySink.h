// A datagram socket standing in for the service manager's notify socket,
// keeping every message the daemon sends.
#pragma once

#include <cstdio>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace sandbox {

class NotifySink {
public:
    explicit NotifySink(const std::string& path)
    {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", path.c_str());
        bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    }
    ~NotifySink() { close(fd_); }
    NotifySink(const NotifySink&) = delete;
    NotifySink& operator=(const NotifySink&) = delete;
    bool Bound() const { return bound_; }

    // Whether a message starting with text has come.
    bool Saw(const std::string& text)
    {
        char buffer[4096];
        for (ssize_t n; (n = recv(fd_, buffer, sizeof(buffer), 0)) > 0;)
            messages.emplace_back(buffer, static_cast<size_t>(n));
        for (const std::string& message : messages)
            if (message.rfind(text, 0) == 0)
                return true;
        return false;
    }

    std::vector<std::string> messages;

private:
    int fd_ = -1;
    bool bound_ = false;
};

} // namespace sandbox
