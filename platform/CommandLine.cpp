// Splitting of a command line into arguments, by the rules of the Windows C
// runtime.
#include "platform/CommandLine.h"

#include "platform/Text.h"

namespace {

// The program name: quotes toggle grouping and are dropped, backslashes are
// literal, an unquoted blank ends it. Returns the position after it.
const char* ParseProgramName(const char* p, std::string& name)
{
    bool quoted = false;
    while (*p != '\0' && (quoted || !IsBlank(*p))) {
        if (*p == '"')
            quoted = !quoted;
        else
            name += *p;
        ++p;
    }
    return p;
}

} // namespace

void SplitArguments(const char* p, std::vector<std::string>& arguments)
{
    bool quoted = false;
    for (;;) {
        while (IsBlank(*p))
            ++p;
        if (*p == '\0')
            return;
        std::string argument;
        for (;;) {
            bool copy = true;
            size_t backslashes = 0;
            while (*p == '\\') {
                ++p;
                ++backslashes;
            }
            if (*p == '"') {
                if (backslashes % 2 == 0) {
                    if (quoted && p[1] == '"')
                        ++p; // "" inside quotes: one literal quote
                    else {
                        copy = false;
                        quoted = !quoted;
                    }
                }
                backslashes /= 2;
            }
            argument.append(backslashes, '\\');
            if (*p == '\0' || (!quoted && IsBlank(*p)))
                break;
            if (copy)
                argument += *p;
            ++p;
        }
        arguments.push_back(std::move(argument));
    }
}

std::vector<std::string> SplitCommandLine(const char* commandLine)
{
    std::vector<std::string> arguments;
    if (commandLine == nullptr || *commandLine == '\0')
        return arguments;
    std::string program;
    const char* rest = ParseProgramName(commandLine, program);
    arguments.push_back(std::move(program));
    SplitArguments(rest, arguments);
    return arguments;
}
