// Stand-in for the streaming daemon.
#include "tools/standin/StandIn.h"

int main(int argc, char** argv)
{
    return standin::Run("rtmpd", argc, argv);
}
