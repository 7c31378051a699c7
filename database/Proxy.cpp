#include "database/Proxy.h"

#include "database/DbHandle.h"
#include "log/Log.h"

namespace {

void ReportUnavailable()
{
    LogError("proxy mode is not available in this build");
}

}  // namespace

bool ProxyConnect(DbHandle* handle)
{
    ReportUnavailable();
    return false;
}

bool ProxyQuery(DbHandle* handle, const char* statement)
{
    ReportUnavailable();
    return false;
}

DbResult* ProxyStoreResult(DbHandle* handle)
{
    ReportUnavailable();
    return nullptr;
}

char** ProxyFetchRow(DbResult* result)
{
    return nullptr;
}

void ProxyFreeResult(DbResult* result)
{
    delete result;
}

void ProxyClose(DbHandle* handle)
{
}
