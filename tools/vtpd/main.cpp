// Stand-in for the platform daemon.
#include "tools/standin/StandIn.h"

int main()
{
    return standin::Run("vtpd");
}
