// Splitting of one command line into arguments, the way the Windows C runtime
// splits the command line of a program it starts.
#pragma once

#include <string>
#include <vector>

// Blanks and tabs separate, double quotes group, 2n backslashes before a
// quote give n backslashes and a grouping quote, 2n+1 give n backslashes and
// a literal quote, other backslashes are literal, and "" in a quoted part is
// a literal quote. The program name (the first argument) ends at the first
// blank unless quoted and takes backslashes literally.
std::vector<std::string> SplitCommandLine(const char* commandLine);

// The arguments after the program name, by the same rules, appended to
// arguments.
void SplitArguments(const char* text, std::vector<std::string>& arguments);
