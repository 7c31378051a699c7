// Stand-in for the streaming daemon.
#include "tools/standin/StandIn.h"

int main()
{
    return standin::Run("rtmpd");
}
