// UpgradeDatabase: brings one site database to the layout and the data of
// this release. The layout change lives in ConvertDatabaseSchema.cpp, the
// data steps in ConvertDatabaseData.cpp.
#include "schema/ConvertDatabase.h"

void UpgradeDatabase(const SiteConfig* site, DbHandle* db)
{
    // Tables, then the fixed statement list and the views. Nothing here
    // stops early: refused statements are reported and passed over.
    UpgradeSchema(db, site->name);
    // Data migrations, version stamp and runtime clean-up.
    MigrateSiteData(site, db);
}
