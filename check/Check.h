// The settings check: loads the settings as the daemon does, reports them
// and every value or site the daemon would refuse, and writes the web
// configuration the daemon would write into a folder of its own, never into
// the installation. It touches no database.
#pragma once

#include <string>

struct CheckOptions {
    // The instance (-n NAME): settings key Server-NAME, "vtd" for Server.
    std::string instance = "vtd";
    // Where httpd.conf and the serverconfig.php files go (-o FOLDER); empty:
    // a temporary folder, removed at the end.
    std::string folder;
};

// Reads "[-n NAME] [-o FOLDER]"; false when the command line is not that.
bool ParseCheckArguments(int argc, char** argv, CheckOptions& options);

// Runs the check, printing its report on standard output; the last line is
// "Settings OK" (result 0) or says how many problems were found (result 1).
int RunSettingsCheck(const CheckOptions& options);
