#include "schema/UpgradeLock.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "log/Log.h"
#include "platform/EarlyStop.h"
#include "platform/Service.h"

namespace {

constexpr const char* Unit = "UpgradeLock";
constexpr int LockFailureLine = 69;
// Pause between two attempts at a lock another connection holds.
constexpr unsigned LockPollMilliseconds = 500;

bool IsPlainNameCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
           c == '$';
}

// FNV-1a over the name in lower case: the server compares database names
// without regard to letter case.
uint64_t NameHash(const char* text)
{
    uint64_t hash = 14695981039346656037ULL;
    for (const char* p = text; *p != '\0'; p++) {
        char c = *p >= 'A' && *p <= 'Z' ? static_cast<char>(*p - 'A' + 'a') : *p;
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ULL;
    }
    return hash;
}

}  // namespace

std::string UpgradeLockName(const char* database)
{
    std::string name = std::string("vtd-upgrade:") + database;
    bool plain = name.size() <= UpgradeLockNameLimit;
    for (const char* p = database; plain && *p != '\0'; p++)
        plain = IsPlainNameCharacter(*p);
    if (plain) {
        for (char& c : name)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        return name;
    }
    char hashed[40];
    std::snprintf(hashed, sizeof hashed, "vtd-upgrade#%016llx", static_cast<unsigned long long>(NameHash(database)));
    return hashed;
}

UpgradeLock TakeUpgradeLock(DbHandle* db, const char* site, const std::string& name)
{
    bool announced = false;
    for (;;) {
        if (EarlyStopRequested())
            return UpgradeLock::Stopped;
        // 1: taken; 0: another connection holds it; NULL or no row: the
        // server could not take it.
        char value[16];
        DbQueryValue(db, value, sizeof value, "select get_lock('%s', 0)", name.c_str());
        if (std::strcmp(value, "1") == 0)
            return UpgradeLock::Held;
        if (std::strcmp(value, "0") != 0) {
            LOG_ASSERT("get_lock", Unit, LockFailureLine);
            return UpgradeLock::Failed;
        }
        if (!announced) {
            std::string text = std::string("Site ") + site +
                               ": another node is upgrading its database; waiting until it is done";
            ServiceSetProgress(text);
            PrintMessage("%s\n", text.c_str());
            announced = true;
        }
        if (!PauseUnlessStopping(LockPollMilliseconds))
            return UpgradeLock::Stopped;
    }
}

void ReleaseUpgradeLock(DbHandle* db, const std::string& name)
{
    DbExecute(db, "do release_lock('%s')", name.c_str());
}
