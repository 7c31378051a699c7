// A small TCP server on the loopback address for the network client tests.
// It accepts connections one after another on its own thread and hands each
// to a handler, which reads and answers with the raw socket calls below.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class LoopbackServer {
public:
    using Handler = std::function<void(int fd)>;

    // Listens on 127.0.0.1 at port (0: a free port chosen by the system).
    explicit LoopbackServer(Handler handler, uint16_t port = 0) : handler_(std::move(handler))
    {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            listen(listener_, 16) != 0) {
            close(listener_);
            listener_ = -1;
            return;
        }
        socklen_t length = sizeof(address);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Run(); });
    }

    ~LoopbackServer() { Stop(); }

    bool Listening() const { return listener_ >= 0; }
    uint16_t Port() const { return port_; }
    int Accepted() const { return accepted_; }

    // Stops accepting and waits for the handler of the current connection.
    void Stop()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (listener_ >= 0)
            close(listener_);
        listener_ = -1;
    }

    // Reads until the peer closes (or nothing arrives for a while).
    static std::string ReadAll(int fd, int quietMs = 5000)
    {
        std::string bytes;
        char chunk[65536];
        for (;;) {
            pollfd entry{fd, POLLIN, 0};
            if (poll(&entry, 1, quietMs) <= 0)
                break;
            ssize_t n = recv(fd, chunk, sizeof(chunk), 0);
            if (n <= 0)
                break;
            bytes.append(chunk, static_cast<size_t>(n));
        }
        return bytes;
    }

    // Reads until the bytes end in an empty line or the peer closes.
    static std::string ReadHeader(int fd)
    {
        std::string bytes;
        char c;
        while (bytes.find("\r\n\r\n") == std::string::npos) {
            pollfd entry{fd, POLLIN, 0};
            if (poll(&entry, 1, 5000) <= 0 || recv(fd, &c, 1, 0) != 1)
                break;
            bytes += c;
        }
        return bytes;
    }

    static void SendAll(int fd, const std::string& bytes)
    {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            done += static_cast<size_t>(n);
        }
    }

private:
    void Run()
    {
        // Connections already made are served before a stop takes effect.
        for (;;) {
            pollfd entry{listener_, POLLIN, 0};
            if (poll(&entry, 1, 20) <= 0) {
                if (stop_)
                    break;
                continue;
            }
            int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            accepted_++;
            handler_(fd);
            close(fd);
        }
    }

    Handler handler_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    std::thread thread_;
};

// Port on 127.0.0.1 where nothing listens (bound a moment ago, then freed).
inline uint16_t UnusedLoopbackPort()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}
