#include "log/Log.h"

#include "platform/Files.h"

#include <cstdarg>
#include <cstdio>
#include <memory>

std::atomic<bool> ErrorLogEnabled{false};

namespace {

// Formats into a fresh zero-filled buffer of MessageBufferSize bytes; longer
// texts are cut at the buffer's end.
std::string FormatV(const char* format, va_list args)
{
    auto buffer = std::make_unique<char[]>(MessageBufferSize);
    int n = std::vsnprintf(buffer.get(), MessageBufferSize, format, args);
    if (n < 0)
        return {};
    size_t length = static_cast<size_t>(n) < MessageBufferSize ? static_cast<size_t>(n) : MessageBufferSize - 1;
    return std::string(buffer.get(), length);
}

std::string Format(const char* format, ...) VTD_PRINTF(1, 2);
std::string Format(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = FormatV(format, args);
    va_end(args);
    return text;
}

void WriteLogLine(const char* name, const std::string& text, int priority)
{
    LocalTime now = GetLocalTime();
    std::string folder = GetExecutableFolder();
    if (folder.empty())
        return;
    folder += PathSeparator;
    folder += "logs";
    CreateFolderPath(folder);
    std::string line = Format("[%.4d/%.2d/%.2d %.2d:%.2d:%.2d] %s", now.year, now.month, now.day, now.hour,
                              now.minute, now.second, text.c_str());
    if (line.back() != '\n')
        line += '\n';
    WriteDebuggerChannel(line);
    WriteStandardError(line, priority);
    AppendToFile(LogFileName(folder, name, now), line);
}

} // namespace

std::string LogFileName(const std::string& folder, const char* name, const LocalTime& time)
{
    return Format("%s%c%s-%.4d%.2d.log", folder.c_str(), PathSeparator, name, time.year, time.month);
}

void PrintMessage(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = FormatV(format, args);
    va_end(args);
    WriteDebuggerChannel(text);
    WriteStandardError(text, PriorityInfo);
}

void PrintMessageAt(int priority, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = FormatV(format, args);
    va_end(args);
    WriteDebuggerChannel(text);
    WriteStandardError(text, priority);
}

void LogToFile(const char* name, const char* format, ...)
{
    int saved = GetLastOsError();
    va_list args;
    va_start(args, format);
    std::string text = FormatV(format, args);
    va_end(args);
    WriteLogLine(name, text, PriorityInfo);
    SetLastOsError(saved);
}

void LogError(const char* format, ...)
{
    int code = GetLastOsError();
    va_list args;
    va_start(args, format);
    std::string text = FormatV(format, args);
    va_end(args);

    std::string line;
    std::string system;
    bool enabled = ErrorLogEnabled;
    if (code == 0)
        line = "ERROR: " + text + "\n";
    else if (GetOsErrorText(code, system))
        line = "ERROR: " + system + " - " + text + "\n";
    else if (enabled)
        line = Format("ERROR: %s: %d\n", text.c_str(), code);
    else
        line = Format("ERROR: %d %s\n", code, text.c_str());

    if (enabled) {
        WriteLogLine("error", line, PriorityError);
    } else {
        WriteDebuggerChannel(line);
        WriteStandardError(line, PriorityError);
    }
    // The caller's error code survives the report (a code of 0 is left to
    // whatever the file operations set, as callers do not rely on it).
    if (code != 0)
        SetLastOsError(code);
}

void ShowErrorBox(void* owner, const char* format, ...)
{
    int code = GetLastOsError();
    va_list args;
    va_start(args, format);
    std::string text = FormatV(format, args);
    va_end(args);
    std::string system;
    if (code != 0)
        GetOsErrorText(code, system);
    std::string box = system + "\n" + text + "\n\nClick Ok to continue.";
    ShowMessageBox("Vantry", box);
    SetLastOsError(code);
}

void CreateFolderPath(const std::string& path)
{
    int saved = GetLastOsError();
    if (path.size() >= 3 && !PathExists(path)) {
        size_t cut = path.find_last_of("\\/");
        if (cut != std::string::npos) {
            CreateFolderPath(path.substr(0, cut));
            CreateFolder(path);
        }
    }
    SetLastOsError(saved);
}
