// Files and folders: existence tests, folder creation and listing, whole-file
// reads and writes, removal.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

bool PathExists(const std::string& path);     // file or folder
bool FolderExists(const std::string& path);
bool IsRegularFile(const std::string& path);
// True when path is a folder itself, not a symbolic link to one.
bool IsFolderEntry(const std::string& path);

// One level, default rights; the new folder takes the group of the folder it
// is created in.
bool CreateFolder(const std::string& path);
bool SetCurrentFolder(const std::string& path);
// Names (not paths) of the entries of folder whose name matches the shell
// pattern (for example "*.bin"), sorted by name; "." and ".." left out.
std::vector<std::string> FindFiles(const std::string& folder, const std::string& pattern);

// Reads a whole file into bytes; false (OS error kept) when it cannot be
// opened or read.
bool ReadWholeFile(const std::string& path, std::string& bytes);
// Opens path for reading (others may read, write and delete it meanwhile) and
// stores its size in bytes in *size. false, with the OS error kept, when the
// path cannot be opened or is not a regular file.
bool ReadFileSize(const std::string& path, int64_t* size);

// Appends bytes to a file in one write, creating it when missing (0640).
bool AppendToFile(const std::string& path, const std::string& bytes);

// How WriteFileAtomically creates a file that does not exist yet.
struct NewFileRights {
    unsigned mode = 0644;      // access rights, whatever the umask
    bool folderGroup = false;  // the group of its folder, not the writer's
    // A file of secrets: mode is also the most a replaced file keeps. One
    // that granted more loses the rest, and then takes its folder's group
    // when folderGroup is set (the group meant to read it).
    bool secret = false;
};
// Writes a whole file through a temporary file beside it and a rename, so a
// failure leaves the previous file untouched. A file that is replaced keeps
// its access rights, owner and group (within the limit of a secret file); a
// new one is created with rights. The temporary file ("<file>.tmpXXXXXX")
// never grants more than the final file, and stale ones of that pattern left
// by an earlier run are removed first.
// false on any failure (OS error kept).
bool WriteFileAtomically(const std::string& path, const std::string& bytes, NewFileRights rights = {});
// Removes the temporary files of WriteFileAtomically's pattern that a run
// ended part way left beside path.
void RemoveStaleTemporaryFiles(const std::string& path);

// Deletes a file (or a symbolic link itself); false on failure, OS error kept.
bool RemoveFile(const std::string& path);
// Removes an empty folder; false on failure, OS error kept.
bool RemoveFolder(const std::string& path);
