// The vtd-check program: checks the daemon's settings before a (re)start.
#include <cstdio>

#include "check/Check.h"
#include "platform/Registry.h"

int main(int argc, char** argv)
{
    SettingsRememberStartFolder();
    CheckOptions options;
    if (!ParseCheckArguments(argc, argv, options)) {
        std::fprintf(stderr, "Usage: vtd-check [-n NAME] [-o FOLDER]\n");
        return 1;
    }
    return RunSettingsCheck(options);
}
