// wsdb-proxy: a database proxy for the WSDB/2.0 protocol in front of a
// MariaDB server.
//
// It listens on a loopback port. Each connection opens with a request in the
// manner of a web request ("GET / WSDB/2.0", a Host line, an empty line) and
// then carries statements, each a 4-byte little-endian length and the text.
// Every statement runs on the MariaDB server over a connection of its own
// per client, and is answered with a header of eight little-endian 32-bit
// words and the rows of its result:
//
//   word 0, 1  insert id (low, high)       word 4  column count
//   word 2, 3  affected rows (low, high);  word 5  result length
//              the rows of a select        word 6  payload length (= word 5)
//   word 7     the server's error number, 0 when the statement ran
//
// Rows are the column values in order, each text followed by a NUL byte,
// then one separator byte ';'; after the last row comes a carriage return.
// SQL NULL travels as empty text; a value is sent up to its first NUL byte.
// The statement "CLOSE CONNECTION" ends the connection without a reply.
//
// The Host value selects the database: "host:port/name" uses database name;
// otherwise a --map entry for the whole Host value or for its host part;
// otherwise --database.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mysql.h>
#include <mysqld_error.h>
#include <errmsg.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <strings.h>
#include <string>
#include <thread>

namespace {

struct Options {
    std::string listen = "127.0.0.1";
    int port = 0;
    std::string dbHost = "127.0.0.1";
    int dbPort = 0;
    std::string dbSocket;
    std::string user;
    std::string password;
    std::string database;
    std::map<std::string, std::string> map;
    bool verbose = false;
};

Options options;

constexpr uint32_t StatementLimit = 16u << 20;
constexpr size_t OpeningLimit = 8192;
const std::string CloseText = "CLOSE CONNECTION";

void Usage()
{
    std::fprintf(stderr,
                 "usage: wsdb-proxy [--port N] [--listen ADDRESS] --user NAME [--password TEXT]\n"
                 "                  [--db-host HOST] [--db-port N] [--db-socket PATH]\n"
                 "                  [--database NAME] [--map HOST=NAME]... [--verbose]\n"
                 "Serves the WSDB/2.0 protocol on ADDRESS:N (127.0.0.1, port 0: a free one) and\n"
                 "prints \"wsdb-proxy listening on ADDRESS:PORT\" when ready.\n");
}

bool ParseOptions(int argc, char** argv)
{
    for (int i = 1; i < argc; i++) {
        std::string name = argv[i];
        if (name == "--verbose") {
            options.verbose = true;
            continue;
        }
        if (i + 1 >= argc)
            return false;
        std::string value = argv[++i];
        if (name == "--port")
            options.port = std::atoi(value.c_str());
        else if (name == "--listen")
            options.listen = value;
        else if (name == "--db-host")
            options.dbHost = value;
        else if (name == "--db-port")
            options.dbPort = std::atoi(value.c_str());
        else if (name == "--db-socket")
            options.dbSocket = value;
        else if (name == "--user")
            options.user = value;
        else if (name == "--password")
            options.password = value;
        else if (name == "--database")
            options.database = value;
        else if (name == "--map") {
            size_t equals = value.find('=');
            if (equals == std::string::npos)
                return false;
            options.map[value.substr(0, equals)] = value.substr(equals + 1);
        } else
            return false;
    }
    return !options.user.empty() && options.port >= 0 && options.port <= 65535;
}

bool ReadExact(int fd, void* buffer, size_t length)
{
    auto* bytes = static_cast<char*>(buffer);
    size_t done = 0;
    while (done < length) {
        ssize_t n = recv(fd, bytes + done, length - done, 0);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool SendAll(int fd, const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void PutWord(std::string& bytes, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; i++)
        bytes[at + i] = static_cast<char>(value >> (8 * i));
}

// The opening request up to its empty line; "" when the client went away
// or sent something else.
std::string ReadOpening(int fd)
{
    std::string text;
    char c;
    while (text.size() < OpeningLimit && text.find("\r\n\r\n") == std::string::npos) {
        if (recv(fd, &c, 1, 0) != 1)
            return "";
        text += c;
    }
    if (text.rfind("GET / WSDB/2.0\r\n", 0) != 0)
        return "";
    return text;
}

std::string HostValue(const std::string& opening)
{
    size_t at = 0;
    while ((at = opening.find("\r\n", at)) != std::string::npos) {
        at += 2;
        if (strncasecmp(opening.c_str() + at, "Host:", 5) == 0) {
            size_t start = opening.find_first_not_of(" \t", at + 5);
            size_t end = opening.find("\r\n", at);
            if (start == std::string::npos || start >= end)
                return "";
            return opening.substr(start, end - start);
        }
    }
    return "";
}

std::string DatabaseFor(const std::string& host)
{
    size_t slash = host.find('/');
    if (slash != std::string::npos && slash + 1 < host.size())
        return host.substr(slash + 1);
    auto found = options.map.find(host);
    if (found == options.map.end())
        found = options.map.find(host.substr(0, host.find(':')));
    return found != options.map.end() ? found->second : options.database;
}

bool ConnectDatabase(MYSQL* mysql, const std::string& database)
{
    mysql_init(mysql);
    if (mysql_real_connect(mysql, options.dbHost.c_str(), options.user.c_str(), options.password.c_str(),
                           database.empty() ? nullptr : database.c_str(), static_cast<unsigned>(options.dbPort),
                           options.dbSocket.empty() ? nullptr : options.dbSocket.c_str(), 0) == nullptr) {
        std::fprintf(stderr, "wsdb-proxy: cannot connect to database \"%s\": %s\n", database.c_str(),
                     mysql_error(mysql));
        return false;
    }
    mysql_query(mysql, "set names 'utf8'");
    return true;
}

// Runs one statement and builds its reply.
std::string Answer(MYSQL* mysql, bool& connected, const std::string& database, const std::string& statement)
{
    std::string reply(32, '\0');
    if (!connected) {
        mysql_close(mysql);
        connected = ConnectDatabase(mysql, database);
        if (!connected) {
            PutWord(reply, 28, CR_CONNECTION_ERROR);
            return reply;
        }
    }
    int failed = mysql_real_query(mysql, statement.data(), statement.size());
    if (failed != 0 && (mysql_errno(mysql) == CR_SERVER_GONE_ERROR || mysql_errno(mysql) == CR_SERVER_LOST)) {
        // The server dropped our connection (it restarted): once more on a
        // new one.
        mysql_close(mysql);
        connected = ConnectDatabase(mysql, database);
        if (connected)
            failed = mysql_real_query(mysql, statement.data(), statement.size());
    }
    if (failed != 0 || !connected) {
        unsigned error = connected ? mysql_errno(mysql) : CR_CONNECTION_ERROR;
        if (options.verbose)
            std::fprintf(stderr, "wsdb-proxy: refused (%u %s): %.300s\n", error, connected ? mysql_error(mysql) : "",
                         statement.c_str());
        PutWord(reply, 28, error);
        return reply;
    }
    MYSQL_RES* result = mysql_store_result(mysql);
    if (result == nullptr) {
        if (mysql_field_count(mysql) != 0) {
            PutWord(reply, 28, mysql_errno(mysql));
            return reply;
        }
        uint64_t id = mysql_insert_id(mysql);
        uint64_t affected = mysql_affected_rows(mysql);
        if (affected == static_cast<uint64_t>(-1))
            affected = 0;
        PutWord(reply, 0, static_cast<uint32_t>(id));
        PutWord(reply, 4, static_cast<uint32_t>(id >> 32));
        PutWord(reply, 8, static_cast<uint32_t>(affected));
        PutWord(reply, 12, static_cast<uint32_t>(affected >> 32));
        return reply;
    }
    unsigned columns = mysql_num_fields(result);
    uint64_t rows = mysql_num_rows(result);
    std::string payload;
    while (MYSQL_ROW row = mysql_fetch_row(result)) {
        unsigned long* lengths = mysql_fetch_lengths(result);
        for (unsigned i = 0; i < columns; i++) {
            if (row[i] != nullptr) {
                const char* nul = static_cast<const char*>(std::memchr(row[i], '\0', lengths[i]));
                payload.append(row[i], nul != nullptr ? static_cast<size_t>(nul - row[i]) : lengths[i]);
            }
            payload += '\0';
        }
        payload += ';';
    }
    payload += '\r';
    mysql_free_result(result);
    PutWord(reply, 8, static_cast<uint32_t>(rows));
    PutWord(reply, 12, static_cast<uint32_t>(rows >> 32));
    PutWord(reply, 16, columns);
    PutWord(reply, 20, static_cast<uint32_t>(payload.size()));
    PutWord(reply, 24, static_cast<uint32_t>(payload.size()));
    return reply + payload;
}

void Serve(int fd)
{
    mysql_thread_init();
    std::string opening = ReadOpening(fd);
    if (!opening.empty()) {
        std::string host = HostValue(opening);
        std::string database = DatabaseFor(host);
        if (options.verbose)
            std::fprintf(stderr, "wsdb-proxy: connection for \"%s\", database \"%s\"\n", host.c_str(),
                         database.c_str());
        MYSQL mysql;
        bool connected = ConnectDatabase(&mysql, database);
        for (;;) {
            unsigned char size[4];
            if (!ReadExact(fd, size, 4))
                break;
            uint32_t length = size[0] | size[1] << 8 | size[2] << 16 | static_cast<uint32_t>(size[3]) << 24;
            if (length > StatementLimit)
                break;
            std::string statement(length, '\0');
            if (!ReadExact(fd, statement.data(), length))
                break;
            if (statement == CloseText)
                break;
            if (!SendAll(fd, Answer(&mysql, connected, database, statement)))
                break;
        }
        mysql_close(&mysql);
    }
    close(fd);
    mysql_thread_end();
}

}  // namespace

int main(int argc, char** argv)
{
    if (!ParseOptions(argc, argv)) {
        Usage();
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    if (mysql_library_init(0, nullptr, nullptr) != 0) {
        std::fprintf(stderr, "wsdb-proxy: the client library cannot start\n");
        return 1;
    }
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(options.port));
    if (inet_pton(AF_INET, options.listen.c_str(), &address.sin_addr) != 1) {
        std::fprintf(stderr, "wsdb-proxy: not an IPv4 address: %s\n", options.listen.c_str());
        return 2;
    }
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 64) != 0) {
        std::fprintf(stderr, "wsdb-proxy: cannot listen on %s:%d: %s\n", options.listen.c_str(), options.port,
                     std::strerror(errno));
        return 1;
    }
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    std::printf("wsdb-proxy listening on %s:%d\n", options.listen.c_str(), ntohs(address.sin_port));
    std::fflush(stdout);

    for (;;) {
        int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno == EMFILE || errno == ENFILE) {
                // Out of descriptors: wait for connections to end.
                usleep(100000);
                continue;
            }
            std::fprintf(stderr, "wsdb-proxy: accept: %s\n", std::strerror(errno));
            return 1;
        }
        std::thread(Serve, fd).detach();
    }
}
