#include "MariaDbServer.h"

#include "LoopbackPort.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <mysql.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Starts program with args, its output appended to logPath; returns the pid.
// The child gets no descriptor of ours beyond the three standard ones and is
// killed when the thread that started it ends.
pid_t Spawn(const std::vector<std::string>& args, const std::string& logPath)
{
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(127);
    int in = open("/dev/null", O_RDONLY);
    int out = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (in < 0 || out < 0)
        _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    close_range(3, ~0U, 0);
    execv(argv[0], argv.data());
    _exit(127);
}

std::string ReadTail(const std::string& path)
{
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr)
        return "";
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, n);
    std::fclose(file);
    return text.size() > 4000 ? text.substr(text.size() - 4000) : text;
}

MYSQL* ConnectRoot(const std::string& socketPath)
{
    MYSQL* mysql = mysql_init(nullptr);
    if (mysql == nullptr)
        return nullptr;
    unsigned timeout = 5;
    mysql_options(mysql, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
    if (mysql_real_connect(mysql, "localhost", "root", "", nullptr, 0, socketPath.c_str(), 0) == nullptr) {
        mysql_close(mysql);
        return nullptr;
    }
    return mysql;
}

// First column of every row of query.
bool QueryColumn(MYSQL* mysql, const std::string& query, std::vector<std::string>& values)
{
    if (mysql_real_query(mysql, query.c_str(), query.size()) != 0)
        return false;
    MYSQL_RES* result = mysql_store_result(mysql);
    if (result == nullptr)
        return mysql_errno(mysql) == 0;
    while (MYSQL_ROW row = mysql_fetch_row(result))
        values.push_back(row[0] != nullptr ? row[0] : "");
    mysql_free_result(result);
    return true;
}

}  // namespace

MariaDbServer& MariaDbServer::Shared()
{
    static MariaDbServer server;
    static bool tried = false;
    if (!tried) {
        tried = true;
        if (!server.Install() || !server.Start() || !server.CreateAccounts())
            ADD_FAILURE() << "the private MariaDB server did not start; its log:\n"
                          << ReadTail(server.folder_ + "/server.log");
    }
    return server;
}

MariaDbServer::~MariaDbServer()
{
    Stop();
    if (!folder_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
}

bool MariaDbServer::Install()
{
    char pattern[] = "/tmp/vtd-mariadb-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        return false;
    folder_ = pattern;
    data_ = folder_ + "/data";
    socket_ = folder_ + "/mariadbd.sock";
    port_ = FreeLoopbackPort();
    if (port_ == 0)
        return false;

    // The client library reads these once, when it is first initialised.
    setenv("MYSQL_TCP_PORT", std::to_string(port_).c_str(), 1);
    setenv("MYSQL_UNIX_PORT", socket_.c_str(), 1);

    // A temporary folder of its own: servers of other test programs run at
    // the same time and would share /tmp otherwise.
    if (mkdir((folder_ + "/tmp").c_str(), 0700) != 0)
        return false;
    pid_t pid = Spawn({"/usr/bin/mariadb-install-db", "--no-defaults", "--user=root", "--datadir=" + data_,
                       "--tmpdir=" + folder_ + "/tmp",
                       "--auth-root-authentication-method=normal", "--skip-test-db", "--skip-name-resolve"},
                      folder_ + "/server.log");
    if (pid < 0)
        return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool MariaDbServer::Start()
{
    if (Running())
        return true;
    if (data_.empty())
        return false;
    pid_ = Spawn({"/usr/sbin/mariadbd", "--no-defaults", "--user=root", "--datadir=" + data_,
                  "--tmpdir=" + folder_ + "/tmp", "--socket=" + socket_, "--port=" + std::to_string(port_), "--bind-address=127.0.0.1",
                  "--pid-file=" + folder_ + "/mariadbd.pid", "--lower-case-table-names=1", "--skip-log-bin",
                  "--character-set-server=utf8mb4", "--collation-server=utf8mb4_general_ci",
                  "--innodb-buffer-pool-size=32M", "--innodb-flush-log-at-trx-commit=0",
                  "--max-allowed-packet=64M"},
                 folder_ + "/server.log");
    if (pid_ < 0) {
        pid_ = -1;
        return false;
    }
    if (!WaitUntilAccepting()) {
        Stop();
        return false;
    }
    return true;
}

bool MariaDbServer::WaitUntilAccepting()
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;  // it ended on its own
            return false;
        }
        if (MYSQL* mysql = ConnectRoot(socket_)) {
            mysql_close(mysql);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

void MariaDbServer::Stop()
{
    if (!Running())
        return;
    kill(pid_, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid_ = -1;
}

void MariaDbServer::Kill()
{
    if (!Running())
        return;
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

bool MariaDbServer::Restart()
{
    Stop();
    return Start();
}

bool MariaDbServer::CreateAccounts()
{
    MYSQL* mysql = ConnectRoot(socket_);
    if (mysql == nullptr)
        return false;
    std::vector<std::string> anonymous;
    bool ok = QueryColumn(mysql, "select host from mysql.user where user=''", anonymous);
    mysql_close(mysql);
    for (const std::string& host : anonymous)
        ok = ok && Admin("drop user ''@'" + host + "'");
    ok = ok && Admin("create user '" + user_ + "'@'%' identified by '" + password_ + "'") &&
         Admin("grant all privileges on *.* to '" + user_ + "'@'%' with grant option");
    return ok;
}

bool MariaDbServer::Admin(const std::string& statement, std::string* error)
{
    MYSQL* mysql = ConnectRoot(socket_);
    if (mysql == nullptr) {
        if (error != nullptr)
            *error = "cannot connect to the private server as root";
        return false;
    }
    std::vector<std::string> ignored;
    bool ok = QueryColumn(mysql, statement, ignored);
    if (!ok && error != nullptr)
        *error = mysql_error(mysql);
    else if (!ok)
        ADD_FAILURE() << "admin statement failed: " << statement << ": " << mysql_error(mysql);
    mysql_close(mysql);
    return ok;
}

std::string MariaDbServer::AdminValue(const std::string& query)
{
    MYSQL* mysql = ConnectRoot(socket_);
    if (mysql == nullptr)
        return "";
    std::vector<std::string> values;
    QueryColumn(mysql, query, values);
    mysql_close(mysql);
    return values.empty() ? "" : values[0];
}

SiteConfig MariaDbServer::CreateDatabase(const std::string& name)
{
    Admin("drop database if exists `" + name + "`");
    Admin("create database `" + name + "`");
    return SiteFor(name, user_, password_);
}

SiteConfig MariaDbServer::SiteFor(const std::string& database, const std::string& user,
                                  const std::string& password) const
{
    SiteConfig site;
    std::memset(&site, 0, sizeof site);
    std::snprintf(site.name, sizeof site.name, "%s", database.c_str());
    std::snprintf(site.sql_server, sizeof site.sql_server, "127.0.0.1");
    std::snprintf(site.sql_database, sizeof site.sql_database, "%s", database.c_str());
    std::snprintf(site.sql_user, sizeof site.sql_user, "%s", user.c_str());
    std::snprintf(site.sql_password, sizeof site.sql_password, "%s", password.c_str());
    return site;
}
