// Windows stand-in for the web server, for the tests under Wine: runs until
// it is terminated, like the real one started with -D ONE_PROCESS, and
// passes the syntax check (-t) that a reload runs.
#include "tools/standin/StandIn.h"

int main(int argc, char** argv)
{
    return standin::Run("httpd", argc, argv);
}
