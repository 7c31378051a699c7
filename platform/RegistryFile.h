// The registry editor's export format: the bytes of one ".reg" file parsed
// into a tree of keys and values below HKEY_LOCAL_MACHINE. Key and value
// names match without regard to letter case; subkeys are kept in the order
// the registry enumerates them (letters folded to upper case, then byte by
// byte). Portable: the Linux settings store is built on it, and tests on
// either platform read the files with it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/Text.h"

// Value types, numbered as the registry numbers them.
enum : uint32_t {
    RegNone = 0,
    RegSz = 1,
    RegExpandSz = 2,
    RegBinary = 3,
    RegDword = 4,
    RegDwordBigEndian = 5,
    RegLink = 6,
    RegMultiSz = 7,
    RegResourceList = 8,
    RegQword = 11,
};

struct RegistryNameLess {
    bool operator()(const std::string& a, const std::string& b) const { return CompareNoCase(a, b) < 0; }
};

// One value: text types hold UTF-8 with their terminating NUL, numbers their
// little-endian bytes.
struct RegistryValue {
    std::string name;
    uint32_t type = RegNone;
    std::string data;
};

struct RegistryNode {
    using Subkeys = std::map<std::string, std::unique_ptr<RegistryNode>, RegistryNameLess>;
    std::string name;
    Subkeys subkeys;
    std::map<std::string, RegistryValue, RegistryNameLess> values;
    // Where the last RegistrySubkeyAt stopped; valid only while subkeys is
    // unchanged (whatever adds or removes a subkey clears cursorValid).
    bool cursorValid = false;
    size_t cursorIndex = 0;
    Subkeys::iterator cursor;
};

// The subkey at index in enumeration order, or null past the last one.
// Walking the indexes in order costs one step each, not a walk from the
// first subkey: a key with many subkeys (the sites) is enumerated in linear
// time.
RegistryNode* RegistrySubkeyAt(RegistryNode& key, size_t index);

// Parses the bytes of one .reg file (either header, UTF-16LE with byte-order
// mark or UTF-8) into root, adding to and deleting from what root already
// holds. false with "file:line: reason" in error when the file is refused;
// root may then hold part of the file. Keys below other roots than
// HKEY_LOCAL_MACHINE are passed over; notice, when given, then gets one line
// saying so.
bool ParseRegistryFile(const std::string& fileName, const std::string& bytes, RegistryNode& root,
                       std::string& error, std::string* notice = nullptr);

// The key below root at the path parts; with create, missing keys are made.
// null when it does not exist.
RegistryNode* FindRegistryKey(RegistryNode& root, const std::vector<std::string>& parts, bool create);
