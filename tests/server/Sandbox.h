// A throwaway installation for running the real daemon: the program and the
// two daemons in <temp>/bin, stand-in web and database servers in
// "<temp>/inst folder", a settings file, and process helpers that only ever
// look at processes whose executable lies inside the temporary folder.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "TempFolder.h"

namespace sandbox {

namespace fs = std::filesystem;

inline std::string ReadProc(int pid, const char* entry)
{
    std::string path = "/proc/" + std::to_string(pid) + "/" + entry;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof(buffer))) > 0)
        text.append(buffer, static_cast<size_t>(n));
    close(fd);
    return text;
}

inline std::string ExeOf(int pid)
{
    char target[4096];
    std::string link = "/proc/" + std::to_string(pid) + "/exe";
    ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

// Arguments of a process; a process caught in the middle of its exec shows
// none for a moment, so an empty list is read again for a while.
inline std::vector<std::string> ArgvOf(int pid)
{
    std::string raw = ReadProc(pid, "cmdline");
    for (int tries = 0; raw.empty() && tries < 100 && kill(pid, 0) == 0; tries++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        raw = ReadProc(pid, "cmdline");
    }
    std::vector<std::string> argv;
    size_t start = 0;
    while (start < raw.size()) {
        size_t end = raw.find('\0', start);
        if (end == std::string::npos)
            end = raw.size();
        argv.push_back(raw.substr(start, end - start));
        start = end + 1;
    }
    return argv;
}

inline bool IsZombie(int pid)
{
    std::string stat = ReadProc(pid, "stat");
    size_t paren = stat.rfind(')');
    return paren == std::string::npos || paren + 2 >= stat.size() || stat[paren + 2] == 'Z';
}

// Live processes whose executable lies under folder, optionally of one
// process name (comm).
inline std::vector<int> ProcessesUnder(const std::string& folder, const std::string& comm = "")
{
    std::vector<int> pids;
    DIR* dir = opendir("/proc");
    if (dir == nullptr)
        return pids;
    while (struct dirent* entry = readdir(dir)) {
        char* end = nullptr;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || pid == getpid())
            continue;
        std::string exe = ExeOf(static_cast<int>(pid));
        if (exe.compare(0, folder.size() + 1, folder + "/") != 0 || IsZombie(static_cast<int>(pid)))
            continue;
        std::string name = ReadProc(static_cast<int>(pid), "comm");
        if (!name.empty() && name.back() == '\n')
            name.pop_back();
        if (comm.empty() || name == comm)
            pids.push_back(static_cast<int>(pid));
    }
    closedir(dir);
    return pids;
}

inline bool WaitUntil(const std::function<bool()>& condition, int milliseconds)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

// Exit status of a child of ours, or -1 when it did not end in time.
inline int WaitExit(pid_t pid, int milliseconds, int* rawStatus = nullptr)
{
    int status = 0;
    bool ended = WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, milliseconds);
    if (!ended)
        return -1;
    if (rawStatus != nullptr)
        *rawStatus = status;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

inline void CopyProgram(const std::string& from, const std::string& to)
{
    fs::create_directories(fs::path(to).parent_path());
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    fs::permissions(to, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
}

inline std::string RegistryText(const std::string& installFolder, const std::string& instanceKey = "Server")
{
    return "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantry\\" + instanceKey +
           "]\r\n\"InstallFolder\"=\"" + installFolder + "\"\r\n";
}

class Sandbox {
public:
    Sandbox()
    {
        bin = temp / "bin";
        install = temp / "inst folder";
        CopyProgram(std::string(VTD_BIN_DIR) + "/vtd", bin + "/vtd");
        CopyProgram(std::string(VTD_BIN_DIR) + "/rtmpd", bin + "/rtmpd");
        CopyProgram(std::string(VTD_BIN_DIR) + "/vtpd", bin + "/vtpd");
        // The stand-in daemon serves as web and database server too; as the
        // web server it passes every syntax check (-t) and replaces its
        // worker on a graceful restart (SIGUSR1).
        CopyProgram(std::string(VTD_BIN_DIR) + "/rtmpd", install + "/apache/bin/httpd");
        CopyProgram(std::string(VTD_BIN_DIR) + "/rtmpd", install + "/mysql/bin/mysqld");
        registry = temp / "vtd.reg";
        WriteFileBytes(registry, RegistryText(install));
    }

    ~Sandbox()
    {
        // Only copies inside this folder are ever touched.
        for (int round = 0; round < 3; round++) {
            for (int pid : ProcessesUnder(temp.Path()))
                kill(pid, SIGKILL);
            for (pid_t pid : started)
                waitpid(pid, nullptr, WNOHANG);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    // Starts a program of the sandbox with the daemon's environment; its
    // standard output and error go to <temp>/output.txt.
    pid_t Run(const std::string& program, const std::vector<std::string>& arguments, unsigned sleepDivisor = 100,
              const std::vector<std::string>& environment = {}, bool ignoreTerm = false)
    {
        pid_t pid = fork();
        if (pid == 0) {
            // Should the test program die before it cleans up, its programs
            // die with it instead of running on.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            int out = open((temp / "output.txt").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            dup2(out, 1);
            dup2(out, 2);
            setenv("VTD_REGISTRY", registry.c_str(), 1);
            setenv("VTD_PROCESS_FOLDER", temp.Path().c_str(), 1);
            setenv("VTD_SLEEP_DIVISOR", std::to_string(sleepDivisor).c_str(), 1);
            unsetenv("NOTIFY_SOCKET");
            for (const std::string& assignment : environment)
                putenv(strdup(assignment.c_str()));
            if (ignoreTerm)
                signal(SIGTERM, SIG_IGN);
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(program.c_str()));
            for (const std::string& argument : arguments)
                argv.push_back(const_cast<char*>(argument.c_str()));
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        started.push_back(pid);
        return pid;
    }

    pid_t RunDaemon(const std::vector<std::string>& arguments, unsigned sleepDivisor = 100,
                    const std::vector<std::string>& environment = {})
    {
        return Run(bin + "/vtd", arguments, sleepDivisor, environment);
    }

    std::vector<int> Running(const std::string& comm) const { return ProcessesUnder(temp.Path(), comm); }

    std::string Output() const
    {
        return fs::exists(temp / "output.txt") ? ReadFileBytes(temp / "output.txt") : std::string();
    }

    // Lines of the daemon's error log (logs beside the program).
    std::string ErrorLog() const
    {
        std::string text;
        if (fs::exists(bin + "/logs"))
            for (const auto& entry : fs::directory_iterator(bin + "/logs"))
                text += ReadFileBytes(entry.path().string());
        return text;
    }

    TempFolder temp;
    std::string bin;
    std::string install;
    std::string registry;
    std::vector<pid_t> started;
};

inline size_t CountOf(const std::string& text, const std::string& what)
{
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        count++;
    return count;
}

} // namespace sandbox
