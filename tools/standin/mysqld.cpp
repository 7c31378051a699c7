// Windows stand-in for the database server, for the tests under Wine: runs
// until it is terminated. The site databases of those tests live on a
// MariaDB server outside Wine.
#include "tools/standin/StandIn.h"

int main()
{
    return standin::Run("mysqld");
}
