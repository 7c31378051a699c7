// Command on Windows: CreateProcessA with a pipe for the program's output.
#include "platform/Command.h"

#include "platform/EarlyStop.h"
#include "platform/Platform.h"
#include "platform/Win32.h"

namespace {

// One argument quoted so that the C runtime's parsing gives it back as it is.
std::string QuoteArgument(const std::string& argument)
{
    if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos)
        return argument;
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            backslashes++;
            continue;
        }
        if (c == '"')
            quoted.append(backslashes * 2 + 1, '\\');
        else
            quoted.append(backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    return quoted + "\"";
}

} // namespace

bool RunProgramCapturingOutput(const std::vector<std::string>& arguments, std::string& output, int& exitCode,
                               unsigned timeLimitMilliseconds)
{
    output.clear();
    exitCode = -1;
    if (arguments.empty()) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::string line;
    for (const std::string& argument : arguments)
        line += (line.empty() ? "" : " ") + QuoteArgument(argument);

    SECURITY_ATTRIBUTES inherit {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!::CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        return false;
    ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    HANDLE input = ::CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                                 nullptr);
    STARTUPINFOA startup {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    std::vector<char> buffer(line.begin(), line.end());
    buffer.push_back('\0');
    PROCESS_INFORMATION created {};
    BOOL started = ::CreateProcessA(arguments[0].c_str(), buffer.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                    nullptr, nullptr, &startup, &created);
    DWORD error = ::GetLastError();
    ::CloseHandle(writeEnd);
    if (input != INVALID_HANDLE_VALUE)
        ::CloseHandle(input);
    if (!started) {
        ::CloseHandle(readEnd);
        ::SetLastError(error);
        return false;
    }
    ::CloseHandle(created.hThread);

    ULONGLONG deadline = ::GetTickCount64() + timeLimitMilliseconds;
    DWORD endError = 0;
    char chunk[4096];
    for (;;) {
        DWORD available = 0;
        if (!::PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr))
            break; // the program and its children closed their end
        if (available > 0) {
            DWORD got = 0;
            if (!::ReadFile(readEnd, chunk, sizeof(chunk), &got, nullptr) || got == 0)
                break;
            output.append(chunk, got);
            continue;
        }
        if (timeLimitMilliseconds != 0 && ::GetTickCount64() >= deadline) {
            endError = OsErrorTimedOut;
            break;
        }
        if (EarlyStopRequested()) {
            endError = ERROR_OPERATION_ABORTED;
            break;
        }
        ::WaitForSingleObject(created.hProcess, 10);
    }
    ::CloseHandle(readEnd);
    if (endError != 0) {
        ::TerminateProcess(created.hProcess, 1);
        ::WaitForSingleObject(created.hProcess, INFINITE);
        ::CloseHandle(created.hProcess);
        ::SetLastError(endError);
        return false;
    }
    ::WaitForSingleObject(created.hProcess, INFINITE);
    DWORD code = 0;
    ::GetExitCodeProcess(created.hProcess, &code);
    ::CloseHandle(created.hProcess);
    exitCode = static_cast<int>(code);
    return true;
}
