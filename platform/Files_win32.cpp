// Files and folders on Windows.
#include "platform/Files.h"

#include <algorithm>
#include <cstdio>
#include <random>

#include "platform/Win32.h"

namespace {

bool Attributes(const std::string& path, DWORD& attributes)
{
    DWORD saved = ::GetLastError();
    attributes = ::GetFileAttributesA(path.c_str());
    ::SetLastError(saved);
    return attributes != INVALID_FILE_ATTRIBUTES;
}

char FoldCase(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// The file system's own matching of * and ? (letters without regard to
// case), without the short-name matches FindFirstFile adds.
bool MatchesPattern(const char* pattern, const char* name)
{
    if (*pattern == '\0')
        return *name == '\0';
    if (*pattern == '*') {
        for (const char* rest = name;; ++rest) {
            if (MatchesPattern(pattern + 1, rest))
                return true;
            if (*rest == '\0')
                return false;
        }
    }
    if (*name == '\0')
        return false;
    if (*pattern != '?' && FoldCase(*pattern) != FoldCase(*name))
        return false;
    return MatchesPattern(pattern + 1, name + 1);
}

bool WriteAll(HANDLE file, const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 30));
        DWORD written = 0;
        if (!::WriteFile(file, bytes.data() + done, chunk, &written, nullptr))
            return false;
        done += written;
    }
    return true;
}

} // namespace

bool PathExists(const std::string& path)
{
    DWORD attributes;
    return Attributes(path, attributes);
}

bool FolderExists(const std::string& path)
{
    DWORD attributes;
    return Attributes(path, attributes) && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsRegularFile(const std::string& path)
{
    DWORD attributes;
    return Attributes(path, attributes) && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool IsFolderEntry(const std::string& path)
{
    DWORD attributes;
    return Attributes(path, attributes) && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

bool CreateFolder(const std::string& path)
{
    return ::CreateDirectoryA(path.c_str(), nullptr) != 0;
}

bool SetCurrentFolder(const std::string& path)
{
    return ::SetCurrentDirectoryA(path.c_str()) != 0;
}

std::vector<std::string> FindFiles(const std::string& folder, const std::string& pattern)
{
    std::vector<std::string> names;
    DWORD saved = ::GetLastError();
    WIN32_FIND_DATAA entry {};
    HANDLE search = ::FindFirstFileA((folder + "\\" + pattern).c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::string name = entry.cFileName;
            if (name == "." || name == "..")
                continue;
            if (MatchesPattern(pattern.c_str(), name.c_str()))
                names.push_back(name);
        } while (::FindNextFileA(search, &entry));
        ::FindClose(search);
    }
    ::SetLastError(saved);
    std::sort(names.begin(), names.end());
    return names;
}

bool ReadWholeFile(const std::string& path, std::string& bytes)
{
    bytes.clear();
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    char buffer[65536];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(file, buffer, sizeof(buffer), &got, nullptr)) {
            DWORD code = ::GetLastError();
            ::CloseHandle(file);
            bytes.clear();
            ::SetLastError(code);
            return false;
        }
        if (got == 0)
            break;
        bytes.append(buffer, got);
    }
    ::CloseHandle(file);
    return true;
}

bool ReadFileSize(const std::string& path, int64_t* size)
{
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info {};
    bool ok = ::GetFileInformationByHandle(file, &info) != 0;
    DWORD code = ::GetLastError();
    if (ok && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        ok = false;
        code = ERROR_DIRECTORY;
    }
    ::CloseHandle(file);
    ::SetLastError(code);
    if (ok)
        *size = (static_cast<int64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return ok;
}

bool AppendToFile(const std::string& path, const std::string& bytes)
{
    HANDLE file = ::CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool ok = WriteAll(file, bytes);
    DWORD code = ::GetLastError();
    ::CloseHandle(file);
    if (!ok)
        ::SetLastError(code);
    return ok;
}

namespace {

std::string FolderOf(const std::string& path)
{
    size_t separator = path.find_last_of("\\/");
    return separator == std::string::npos ? "." : path.substr(0, separator);
}

std::string NameOf(const std::string& path)
{
    size_t separator = path.find_last_of("\\/");
    return separator == std::string::npos ? path : path.substr(separator + 1);
}

} // namespace

void RemoveStaleTemporaryFiles(const std::string& path)
{
    DWORD saved = ::GetLastError();
    std::string folder = FolderOf(path);
    for (const std::string& stale : FindFiles(folder, NameOf(path) + ".tmp??????"))
        ::DeleteFileA((folder + "\\" + stale).c_str());
    ::SetLastError(saved);
}

bool WriteFileAtomically(const std::string& path, const std::string& bytes, NewFileRights rights)
{
    // Access rights on Windows come from the folder's inherited access list
    // (a replaced file's own list goes with the rename); the POSIX modes and
    // groups have no counterpart here.
    (void)rights;
    RemoveStaleTemporaryFiles(path);
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device random;
    std::string temp;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (unsigned attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
        temp = path + ".tmp";
        for (int i = 0; i < 6; ++i)
            temp += letters[random() % (sizeof(letters) - 1)];
        file = ::CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS)
            return false;
    }
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool ok = WriteAll(file, bytes) && ::FlushFileBuffers(file);
    DWORD code = ::GetLastError();
    if (!::CloseHandle(file) && ok) {
        ok = false;
        code = ::GetLastError();
    }
    if (ok && !::MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ok = false;
        code = ::GetLastError();
    }
    if (!ok) {
        ::DeleteFileA(temp.c_str());
        ::SetLastError(code);
    }
    return ok;
}

bool RemoveFile(const std::string& path)
{
    return ::DeleteFileA(path.c_str()) != 0;
}

bool RemoveFolder(const std::string& path)
{
    return ::RemoveDirectoryA(path.c_str()) != 0;
}
