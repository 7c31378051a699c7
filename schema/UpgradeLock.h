// The lock under which a site database is checked and upgraded. Several web
// nodes may share one database server; the lock is a named lock of that
// server (GET_LOCK), held by the connection that runs the check and the
// upgrade, so one node upgrades and the others wait and then find the
// current version. The lock goes with its connection: a connection that is
// lost gives it up.
#pragma once

#include <string>

#include "database/Database.h"

// The server limits lock names to 64 characters.
constexpr size_t UpgradeLockNameLimit = 64;

// The lock name of database: "vtd-upgrade:" and the name, or, for a name
// that would make it longer than the limit or that holds characters other
// than letters, digits, '_', '-' and '$', "vtd-upgrade#" and a 64-bit hash
// of the name in hex. Equal names give equal lock names; the lock is held
// server-wide, so names of different databases must differ (a hash
// collision only makes two sites wait for each other).
std::string UpgradeLockName(const char* database);

enum class UpgradeLock {
    Held,     // the lock is held by db's connection
    Stopped,  // an early stop ended the wait; the lock is not held
    Failed,   // the server cannot take it (reported); the lock is not held
};

// Takes the lock name on db's connection, waiting while another connection
// holds it: the server is asked without waiting, and between two questions
// the wait goes through PauseUnlessStopping, so an early stop ends it.
// While waiting, the service status and the console say that another node
// upgrades the database of site.
UpgradeLock TakeUpgradeLock(DbHandle* db, const char* site, const std::string& name);
// Gives the lock back (RELEASE_LOCK); the result is not looked at.
void ReleaseUpgradeLock(DbHandle* db, const std::string& name);
