// Site database start-up: brings every site database in line with this
// release before the web server and the site code use it.
#pragma once

#include <string>

// For each site with a database: on a server of role 1, upgrades the
// database when its stamped version differs from ProgramVersion (then
// rebuilds the site's assets folder and requests the update trigger), and
// records this computer's name, address and version in the Server row and
// resets the user and session states. For the default site with HTTPS on,
// writes default.crt and default.pvk into the install folder. false only
// when a connection object cannot be created.
bool StartSiteDatabases();

// Deletes the folder path with everything in it. A missing folder is left
// alone; entries that cannot be deleted are passed over. Symbolic links are
// deleted themselves, never followed.
void DeleteFolderTree(const char* path);

// text with every line feed not already preceded by a carriage return
// written as CR LF, as the certificate files are stored.
std::string ToCrLfText(const char* text);
