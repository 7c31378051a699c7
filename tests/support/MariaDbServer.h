// A private, throwaway MariaDB server for tests.
//
// MariaDbServer::Shared() installs a fresh data folder under /tmp, starts
// mariadbd on a free loopback port and its own socket, removes the anonymous
// accounts and creates a test account with a password and all privileges.
// It is started at most once per test program and shut down (data folder
// removed) when the program exits. Call it before the first connection of
// the client library in the process: the library reads MYSQL_TCP_PORT and
// MYSQL_UNIX_PORT once, and Start() sets both so that a connection with
// port 0 and no socket (what the daemon does) reaches this server.
//
// Stop() and Restart() keep the data folder and the port, so a test can
// drop every connection on purpose. Call Shared() first from the main
// thread: the server is told to end when the thread that started it ends.
#pragma once

#include <string>
#include <sys/types.h>

#include "config/Config.h"

class MariaDbServer {
public:
    // The server of this test program, started on first use. Fails the
    // calling test (and returns a stopped server) when it cannot start.
    static MariaDbServer& Shared();

    ~MariaDbServer();
    MariaDbServer(const MariaDbServer&) = delete;
    MariaDbServer& operator=(const MariaDbServer&) = delete;

    // Starts mariadbd on the existing data folder and waits until it accepts
    // connections; true when it runs (also when it already ran).
    bool Start();
    // Shuts the server down and waits until the process has ended.
    void Stop();
    bool Restart();
    // Ends the server at once (SIGKILL), as a crash would.
    void Kill();
    bool Running() const { return pid_ > 0; }

    int Port() const { return port_; }
    const std::string& SocketPath() const { return socket_; }
    const std::string& DataFolder() const { return folder_; }
    // The test account: all privileges, reachable over TCP on 127.0.0.1.
    const std::string& User() const { return user_; }
    const std::string& Password() const { return password_; }

    // Runs one statement as the server's root account over the socket.
    // false (with the server's text in *error) when it fails.
    bool Admin(const std::string& statement, std::string* error = nullptr);
    // First column of the first row of query as root; "" for none or NULL.
    std::string AdminValue(const std::string& query);

    // Drops database name if it exists and creates it empty. The returned
    // settings name the server "127.0.0.1", the test account and name.
    SiteConfig CreateDatabase(const std::string& name);
    // Settings for database name with the given account, without creating
    // anything (for tests of refused or incomplete settings).
    SiteConfig SiteFor(const std::string& database, const std::string& user,
                       const std::string& password) const;

private:
    MariaDbServer() = default;
    bool Install();
    bool WaitUntilAccepting();
    bool CreateAccounts();

    std::string folder_;
    std::string data_;
    std::string socket_;
    std::string user_ = "vtdtest";
    std::string password_ = "vtd-Test-pw1";
    int port_ = 0;
    pid_t pid_ = -1;
};
