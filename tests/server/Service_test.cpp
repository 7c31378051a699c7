// The daemon as a service of the service manager, with a real notify socket.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "Sandbox.h"

using namespace sandbox;

namespace {

// A datagram socket standing in for the service manager's notify socket.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) : path_(path)
    {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", path.c_str());
        bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    }
    ~NotifySocket() { close(fd_); }
    bool Bound() const { return bound_; }

    // Next message, or "" when none arrives within milliseconds.
    std::string Receive(int milliseconds)
    {
        pollfd entry {fd_, POLLIN, 0};
        if (poll(&entry, 1, milliseconds) <= 0)
            return {};
        char buffer[4096];
        ssize_t n = recv(fd_, buffer, sizeof(buffer), 0);
        return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
    }

private:
    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
};

} // namespace

// Start-pending, running, stop-pending, stopped in this order; SIGTERM sent
// while the start may still run is held until the running report; the
// programs are ended and the database server stays.
TEST(Service, ReportsInOrderAndStopsOnTerm)
{
    Sandbox box;
    NotifySocket notify(box.temp / "notify");
    ASSERT_TRUE(notify.Bound());
    pid_t daemon = box.RunDaemon({}, 100, {"NOTIFY_SOCKET=" + (box.temp / "notify")});

    EXPECT_EQ(notify.Receive(10000), "STATUS=Starting (checkpoint 1)\nEXTEND_TIMEOUT_USEC=60000000");
    kill(daemon, SIGTERM);
    EXPECT_EQ(notify.Receive(10000), "READY=1\nSTATUS=Running");
    EXPECT_EQ(notify.Receive(15000), "STOPPING=1\nSTATUS=Stopping (checkpoint 2)");
    EXPECT_EQ(notify.Receive(15000), "STATUS=Stopped (exit code 0)");
    EXPECT_EQ(WaitExit(daemon, 15000), 0) << box.Output();
    EXPECT_EQ(notify.Receive(100), "");
    for (const char* name : {"httpd", "rtmpd", "vtpd"})
        EXPECT_TRUE(box.Running(name).empty()) << name;
    // The daemon started the database server and leaves it running.
    EXPECT_EQ(box.Running("mysqld").size(), 1u);
}

// The same again with the stop sent once the service runs, then a notify
// socket that cannot be reached: the first report fails and ends the service
// with its error, before anything is started.
TEST(Service, StopWhileRunningAndUnreachableManager)
{
    {
        Sandbox box;
        NotifySocket notify(box.temp / "notify");
        pid_t daemon = box.RunDaemon({"-n", "second", "-w"}, 100, {"NOTIFY_SOCKET=" + (box.temp / "notify")});
        EXPECT_EQ(notify.Receive(10000), "STATUS=Starting (checkpoint 1)\nEXTEND_TIMEOUT_USEC=60000000");
        EXPECT_EQ(notify.Receive(10000), "READY=1\nSTATUS=Running");
        ASSERT_TRUE(WaitUntil([&] { return box.Running("rtmpd").size() == 1; }, 5000));
        kill(daemon, SIGTERM);
        EXPECT_EQ(notify.Receive(15000), "STOPPING=1\nSTATUS=Stopping (checkpoint 2)");
        EXPECT_EQ(notify.Receive(15000), "STATUS=Stopped (exit code 0)");
        EXPECT_EQ(WaitExit(daemon, 15000), 0);
        EXPECT_TRUE(box.Running("rtmpd").empty());
    }
    {
        Sandbox box;
        pid_t daemon = box.RunDaemon({}, 100, {"NOTIFY_SOCKET=" + (box.temp / "nobody-listens")});
        EXPECT_EQ(WaitExit(daemon, 10000), 1) << box.Output();
        EXPECT_TRUE(box.Running("").empty());
    }
}
