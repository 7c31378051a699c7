// File and folder operations beyond Platform.h: 64-bit file sizes, removal of
// files and folders, and a look at a folder entry without following links.
#pragma once

#include <cstdint>
#include <string>

// Opens path for reading (others may read, write and delete it meanwhile) and
// stores its size in bytes in *size. false, with the OS error kept, when the
// path cannot be opened or is not a regular file.
bool ReadFileSize(const std::string& path, int64_t* size);

// Deletes a file (or a symbolic link itself); false on failure, errno kept.
bool RemoveFile(const std::string& path);
// Removes an empty folder; false on failure, errno kept.
bool RemoveFolder(const std::string& path);
// True when path is a folder itself, not a symbolic link to one.
bool IsFolderEntry(const std::string& path);
