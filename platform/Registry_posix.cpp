// The settings store on Linux: an in-memory registry hive filled from ".reg"
// files (RegistryFile.h). A file that cannot be parsed is refused as a whole
// with a message "file:line: reason", and the store then holds nothing: the
// daemon runs as if no settings existed rather than on half a file.
#include "platform/Registry.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <unistd.h>
#include <vector>

#include "platform/Files.h"
#include "platform/Platform.h"

extern char** environ;

namespace {

// Registry limits: a key name holds at most 255 characters.
constexpr size_t MaxKeyNameLength = 255;
// Larger settings files are refused unread.
constexpr size_t MaxHiveFileSize = 64u << 20;

struct Store {
    std::mutex lock;
    std::unique_ptr<RegistryNode> root; // null until loaded
    int openKeys = 0;
    // Hives dropped by a reload while keys were still open into them.
    std::vector<std::unique_ptr<RegistryNode>> retired;
    // How the last load went.
    SettingsStatus status;
};

Store& TheStore()
{
    static Store store;
    return store;
}

// The bytes of one settings file; false with a message in error.
bool ReadSettingsFile(const std::string& path, std::string& bytes, std::string& error)
{
    int64_t size = 0;
    std::string reason;
    if (ReadFileSize(path, &size) && size > static_cast<int64_t>(MaxHiveFileSize)) {
        error = PrintableText(path) + ": larger than 64 MiB, refused";
        return false;
    }
    if (!ReadWholeFile(path, bytes)) {
        GetOsErrorText(GetLastOsError(), reason);
        error = PrintableText(path) + ": cannot read: " + reason;
        return false;
    }
    return true;
}

// The folder the program was started in, for a relative VTD_REGISTRY.
std::string& StartFolder()
{
    static std::string folder;
    return folder;
}

std::string SettingsPath()
{
    const char* named = std::getenv("VTD_REGISTRY");
    std::string path = named != nullptr && named[0] != '\0' ? named : "/etc/vantry/vtd.reg";
    if (path[0] != '/') {
        std::string base = StartFolder();
        if (base.empty()) {
            char here[4096];
            if (getcwd(here, sizeof here) != nullptr)
                base = here;
        }
        if (!base.empty())
            path = base + "/" + path;
    }
    return path;
}

// The settings files of path: the file itself, or every *.reg of a folder
// in name order. false with a message when path names neither.
bool SettingsFiles(const std::string& path, std::vector<std::string>& files, SettingsStatus& status)
{
    std::string shown = PrintableText(path);
    if (FolderExists(path)) {
        for (const auto& name : FindFiles(path, "*.[rR][eE][gG]"))
            if (IsRegularFile(path + "/" + name))
                files.push_back(path + "/" + name);
        if (files.empty())
            status.message = "settings folder " + shown + " holds no *.reg file; no settings loaded";
        return true;
    }
    if (IsRegularFile(path)) {
        files.push_back(path);
        return true;
    }
    if (PathExists(path)) {
        status.refused = true;
        status.message = "settings path " + shown + " is neither a file nor a folder; settings refused";
        return false;
    }
    status.message = "settings file " + shown + " not found; no settings loaded";
    return true;
}

std::unique_ptr<RegistryNode> LoadHive(SettingsStatus& status)
{
    status = SettingsStatus{};
    auto root = std::make_unique<RegistryNode>();
    std::vector<std::string> files;
    if (!SettingsFiles(SettingsPath(), files, status) || !status.message.empty()) {
        WriteStandardError(status.message + "\n");
        return root;
    }
    for (const auto& file : files) {
        std::string bytes, error, notice;
        if (!ReadSettingsFile(file, bytes, error) || !ParseRegistryFile(file, bytes, *root, error, &notice)) {
            status.refused = true;
            status.message = error;
            // What follows from the refusal (the start stops, or a reload
            // keeps the running settings) is the caller's to report.
            WriteStandardError(error + "\n");
            return std::make_unique<RegistryNode>();
        }
        if (!notice.empty())
            WriteStandardError(notice);
    }
    return root;
}

RegistryNode& Root(Store& store)
{
    if (!store.root)
        store.root = LoadHive(store.status);
    return *store.root;
}

std::vector<std::string> SplitRequestPath(const char* path)
{
    std::vector<std::string> parts;
    std::string text = path != nullptr ? path : "";
    size_t start = 0;
    while (start <= text.size()) {
        size_t cut = text.find('\\', start);
        if (cut == std::string::npos)
            cut = text.size();
        if (cut > start)
            parts.push_back(text.substr(start, cut - start));
        start = cut + 1;
    }
    return parts;
}

bool OpenOrCreate(const char* path, SettingsKey* key, bool create)
{
    if (key == nullptr)
        return false;
    Store& store = TheStore();
    std::lock_guard guard(store.lock);
    std::vector<std::string> parts = SplitRequestPath(path);
    if (create)
        for (const auto& part : parts)
            if (part.size() > MaxKeyNameLength)
                return false;
    RegistryNode* node = FindRegistryKey(Root(store), parts, create);
    if (node == nullptr)
        return false;
    *key = reinterpret_cast<SettingsKey>(node);
    ++store.openKeys;
    return true;
}

} // namespace

bool SettingsOpenKey(const char* path, SettingsKey* key)
{
    return OpenOrCreate(path, key, false);
}

bool SettingsCreateKey(const char* path, SettingsKey* key)
{
    return OpenOrCreate(path, key, true);
}

void SettingsCloseKey(SettingsKey key)
{
    if (key == nullptr)
        return;
    Store& store = TheStore();
    std::lock_guard guard(store.lock);
    if (store.openKeys > 0 && --store.openKeys == 0)
        store.retired.clear();
}

bool SettingsQueryValue(SettingsKey handle, const char* name, uint32_t* type, void* data, uint32_t* size)
{
    RegistryNode* key = reinterpret_cast<RegistryNode*>(handle);
    if (key == nullptr || (data != nullptr && size == nullptr))
        return false;
    Store& store = TheStore();
    std::lock_guard guard(store.lock);
    auto it = key->values.find(name != nullptr ? name : "");
    if (it == key->values.end())
        return false;
    const RegistryValue& value = it->second;
    auto needed = static_cast<uint32_t>(value.data.size());
    if (type != nullptr)
        *type = value.type;
    if (data == nullptr) {
        if (size != nullptr)
            *size = needed;
        return true;
    }
    bool fits = needed <= *size;
    if (fits)
        std::memcpy(data, value.data.data(), needed);
    *size = needed;
    return fits;
}

bool SettingsSetValue(SettingsKey handle, const char* name, uint32_t type, const void* data, uint32_t size)
{
    RegistryNode* key = reinterpret_cast<RegistryNode*>(handle);
    if (key == nullptr || (data == nullptr && size != 0))
        return false;
    Store& store = TheStore();
    std::lock_guard guard(store.lock);
    RegistryValue value;
    value.name = name != nullptr ? name : "";
    value.type = type;
    if (size != 0)
        value.data.assign(static_cast<const char*>(data), size);
    std::string valueName = value.name;
    key->values[valueName] = std::move(value);
    return true;
}

bool SettingsEnumKey(SettingsKey handle, uint32_t index, char* name, uint32_t nameSize)
{
    RegistryNode* key = reinterpret_cast<RegistryNode*>(handle);
    if (key == nullptr || name == nullptr)
        return false;
    Store& store = TheStore();
    std::lock_guard guard(store.lock);
    RegistryNode* subkey = RegistrySubkeyAt(*key, index);
    if (subkey == nullptr)
        return false;
    const std::string& text = subkey->name;
    if (text.size() + 1 > nameSize)
        return false;
    std::memcpy(name, text.c_str(), text.size() + 1);
    return true;
}

std::string ExpandEnvironmentText(const std::string& text)
{
    std::string out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t open = text.find('%', pos);
        if (open == std::string::npos) {
            out.append(text, pos, std::string::npos);
            break;
        }
        out.append(text, pos, open - pos);
        size_t close = text.find('%', open + 1);
        if (close == std::string::npos) {
            out.append(text, open, std::string::npos);
            break;
        }
        std::string name = text.substr(open + 1, close - open - 1);
        const char* found = name.empty() ? nullptr : std::getenv(name.c_str());
        // Names copied from Windows settings may differ in letter case.
        for (char** entry = environ; found == nullptr && !name.empty() && entry != nullptr && *entry != nullptr; ++entry) {
            const char* equals = std::strchr(*entry, '=');
            if (equals != nullptr && static_cast<size_t>(equals - *entry) == name.size() &&
                StartsWithNoCase(std::string(*entry, name.size()), name.c_str()))
                found = equals + 1;
        }
        if (found != nullptr) {
            out += found;
            pos = close + 1;
        } else {
            // Unknown: the name stays as written, and its closing '%' may
            // open the next name.
            out.append(text, open, close - open);
            pos = close;
        }
    }
    return out;
}

void SettingsReload()
{
    Store& store = TheStore();
    std::lock_guard guard(store.lock);
    if (store.root && store.openKeys > 0)
        store.retired.push_back(std::move(store.root));
    store.root.reset();
}

void SettingsRememberStartFolder()
{
    char here[4096];
    if (getcwd(here, sizeof here) != nullptr)
        StartFolder() = here;
}

SettingsStatus SettingsLoadStatus()
{
    Store& store = TheStore();
    std::lock_guard guard(store.lock);
    Root(store);
    return store.status;
}
