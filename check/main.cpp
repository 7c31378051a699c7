// The vtd-check program: checks the daemon's settings before a (re)start.
#include <cstdio>
#include <cstdlib>

#include "check/Check.h"
#include "platform/Platform.h"
#include "platform/Registry.h"

int main(int argc, char** argv)
{
    SettingsRememberStartFolder();
    // As for the daemon, VTD_SLEEP_DIVISOR shortens the waits (tests).
    if (const char* divisor = std::getenv("VTD_SLEEP_DIVISOR"))
        SetSleepDivisor(static_cast<unsigned>(std::strtoul(divisor, nullptr, 10)));
    CheckOptions options;
    if (!ParseCheckArguments(argc, argv, options)) {
        std::fprintf(stderr, "Usage: vtd-check [-n NAME] [-o FOLDER]\n");
        return 1;
    }
    return RunSettingsCheck(options);
}
