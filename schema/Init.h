// Site database start-up: brings every site database in line with this
// release before the web server and the site code use it.
#pragma once

#include <string>
#include <vector>

#include "config/Config.h"

struct SiteDatabasesResult {
    // false only when a connection object could not be created: the sites
    // after it were not visited.
    bool completed;
    // A site database was upgraded: every site should run its update page.
    bool upgraded;
    // Sites whose database server did not accept a connection within the
    // attempts given: nothing was done for them.
    std::vector<std::string> unreachable;
    // An early stop ended the start-up: the sites after it were not visited.
    bool stopped;
};

// For each site of config with a database: on a server of role 1, upgrades
// the database when its stamped version differs from ProgramVersion (then
// rebuilds the site's assets folder), and records this computer's name,
// address and version in the Server row and resets the user and session
// states. For the default site with HTTPS on, writes default.crt and
// default.pvk into the install folder. connectAttempts bounds the wait for
// each site's database server (0: without limit, as at the start); an early
// stop ends the work between two sites or at a wait for a server.
SiteDatabasesResult StartSiteDatabases(const ServerConfig& config, unsigned connectAttempts = 0);

// Deletes the folder path with everything in it. A missing folder is left
// alone; entries that cannot be deleted are passed over. Symbolic links are
// deleted themselves, never followed.
void DeleteFolderTree(const char* path);
