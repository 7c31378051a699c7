#include "config/Config.h"

#include <cstring>

bool IsDefaultSite(const SiteConfig& site)
{
    return std::strcmp(site.name, "default") == 0;
}
