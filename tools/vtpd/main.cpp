// Stand-in for the platform daemon.
#include "tools/standin/StandIn.h"

int main(int argc, char** argv)
{
    return standin::Run("vtpd", argc, argv);
}
