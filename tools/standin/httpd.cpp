// Windows stand-in for the web server, for the tests under Wine: runs until
// it is terminated, like the real one started with -D ONE_PROCESS.
#include "tools/standin/StandIn.h"

int main()
{
    return standin::Run("httpd");
}
