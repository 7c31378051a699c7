// The vtd program.
#include <cstdlib>

#include "platform/Platform.h"
#include "server/Server.h"

int main(int argc, char** argv)
{
    // VTD_SLEEP_DIVISOR shortens every pause of the daemon by that factor
    // (100 turns the 2 s supervision pause into 20 ms). Read once here; tests
    // that run the real program use it, the service never sets it.
    if (const char* divisor = std::getenv("VTD_SLEEP_DIVISOR"))
        SetSleepDivisor(static_cast<unsigned>(std::strtoul(divisor, nullptr, 10)));
    return ServerMain(argc, argv);
}
