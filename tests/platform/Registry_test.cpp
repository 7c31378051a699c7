// The .reg hive loader: value forms, encodings, merging, refusals.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "TempFolder.h"
#include "platform/Registry.h"

namespace {

const std::string V5 = "Windows Registry Editor Version 5.00\r\n\r\n";

std::string Utf16(const std::string& ascii)
{
    std::string out = "\xff\xfe";
    for (char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

class RegistryTest : public testing::Test {
protected:
    TempFolder folder;

    void TearDown() override
    {
        unsetenv("VTD_REGISTRY");
        SettingsReload();
    }

    void Use(const std::string& path)
    {
        setenv("VTD_REGISTRY", path.c_str(), 1);
        SettingsReload();
    }

    void UseText(const std::string& text)
    {
        WriteFileBytes(folder / "hive.reg", text);
        Use(folder / "hive.reg");
    }

    // The value's type and bytes; "<missing>" when it cannot be read.
    static std::pair<uint32_t, std::string> Value(const char* keyPath, const char* name)
    {
        SettingsKey key = nullptr;
        if (!SettingsOpenKey(keyPath, &key))
            return {RegNone, "<no key>"};
        uint32_t type = 0, size = 0;
        std::pair<uint32_t, std::string> result{RegNone, "<missing>"};
        if (SettingsQueryValue(key, name, &type, nullptr, &size)) {
            std::string data(size, '?');
            if (SettingsQueryValue(key, name, &type, data.data(), &size))
                result = {type, data};
        }
        SettingsCloseKey(key);
        return result;
    }

    static std::vector<std::string> Subkeys(const char* keyPath)
    {
        std::vector<std::string> names;
        SettingsKey key = nullptr;
        if (!SettingsOpenKey(keyPath, &key))
            return names;
        char name[260];
        for (uint32_t i = 0; SettingsEnumKey(key, i, name, sizeof name); ++i)
            names.emplace_back(name);
        SettingsCloseKey(key);
        return names;
    }
};

TEST_F(RegistryTest, ValueForms)
{
    UseText(V5 +
            "; a comment line\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n"
            "\"text\"=\"C:\\\\path \\\"quoted\\\"\"\r\n"
            "@=\"default value\"\r\n"
            "\"number\"=dword:0000001F\r\n"
            "\"binary\"=hex:de,ad,BE,ef\r\n"
            "\"empty\"=hex:\r\n"
            "\"expand\"=hex(2):25,00,41,00,25,00,00,00\r\n"
            "\"multi\"=hex(7):61,00,00,00,62,00,63,00,00,00,00,00\r\n"
            "\"qword\"=hex(b):01,02,03,04,05,06,07,08\r\n"
            "\"none\"=hex(0):\r\n"
            "\"big\"=hex(100000):aa\r\n"
            "\"joined\"=hex:01,02,\\\r\n"
            "  03,04,\\\r\n"
            "  05\r\n"
            "  \"spaced\" = \"x\" ; trailing comment\r\n"
            "\"unicode\"=hex(1):e9,00,3d,d8,00,de,00,00\r\n");
    struct Case {
        const char* name;
        uint32_t type;
        std::string data;
    } cases[] = {
        {"text", RegSz, std::string("C:\\path \"quoted\"\0", 17)},
        {"", RegSz, std::string("default value\0", 14)},
        {"number", RegDword, std::string("\x1f\0\0\0", 4)},
        {"binary", RegBinary, "\xde\xad\xbe\xef"},
        {"empty", RegBinary, ""},
        {"expand", RegExpandSz, std::string("%A%\0", 4)},
        {"multi", RegMultiSz, std::string("a\0bc\0\0", 6)},
        {"qword", RegQword, "\x01\x02\x03\x04\x05\x06\x07\x08"},
        {"none", RegNone, ""},
        {"big", 0x100000, "\xaa"},
        {"joined", RegBinary, "\x01\x02\x03\x04\x05"},
        {"spaced", RegSz, std::string("x\0", 2)},
        {"unicode", RegSz, std::string("\xc3\xa9\xf0\x9f\x98\x80\0", 7)}, // e-acute, U+1F600
    };
    for (const Case& c : cases) {
        auto [type, data] = Value("SOFTWARE\\Test", c.name);
        EXPECT_EQ(type, c.type) << c.name;
        EXPECT_EQ(data, c.data) << c.name;
    }
    // Names match without regard to letter case.
    EXPECT_EQ(Value("software\\TEST", "NUMBER").second, std::string("\x1f\0\0\0", 4));
}

TEST_F(RegistryTest, QuerySizesFollowTheRegistryRules)
{
    UseText(V5 + "[HKEY_LOCAL_MACHINE\\K]\r\n\"v\"=\"abcdef\"\r\n");
    SettingsKey key = nullptr;
    ASSERT_TRUE(SettingsOpenKey("K", &key));
    char buffer[8] = "xxxxxxx";
    uint32_t type = 0, size = 4;
    EXPECT_FALSE(SettingsQueryValue(key, "v", &type, buffer, &size)); // too small
    EXPECT_EQ(size, 7u);
    EXPECT_STREQ(buffer, "xxxxxxx");
    size = sizeof buffer;
    EXPECT_TRUE(SettingsQueryValue(key, "v", &type, buffer, &size));
    EXPECT_EQ(size, 7u);
    EXPECT_STREQ(buffer, "abcdef");

    // Writes stay in memory; a reload reads the file again.
    EXPECT_TRUE(SettingsSetValue(key, "w", RegDword, "\x01\0\0\0", 4));
    SettingsKey created = nullptr;
    EXPECT_TRUE(SettingsCreateKey("K\\new\\deeper", &created));
    SettingsCloseKey(created);
    SettingsCloseKey(key);
    EXPECT_EQ(Value("K", "w").first, RegDword);
    EXPECT_EQ(Subkeys("K"), std::vector<std::string>{"new"});
    SettingsReload();
    EXPECT_EQ(Value("K", "w").second, "<missing>");
    EXPECT_TRUE(Subkeys("K").empty());
}

TEST_F(RegistryTest, SubkeysEnumerateInCaseInsensitiveOrder)
{
    UseText(V5 + "[HKEY_LOCAL_MACHINE\\R\\beta]\r\n[HKEY_LOCAL_MACHINE\\R\\Alpha]\r\n"
                 "[HKEY_LOCAL_MACHINE\\R\\gamma]\r\n[HKEY_LOCAL_MACHINE\\R\\ALPHA\\x]\r\n"
                 "[HKEY_LOCAL_MACHINE\\R\\Delta]\r\n");
    EXPECT_EQ(Subkeys("R"), (std::vector<std::string>{"Alpha", "beta", "Delta", "gamma"}));
    EXPECT_EQ(Subkeys("r\\alpha"), std::vector<std::string>{"x"});
    char tiny[5];
    SettingsKey key = nullptr;
    ASSERT_TRUE(SettingsOpenKey("R", &key));
    EXPECT_FALSE(SettingsEnumKey(key, 0, tiny, sizeof tiny)); // "Alpha" needs 6 bytes
    EXPECT_TRUE(SettingsEnumKey(key, 1, tiny, sizeof tiny));
    EXPECT_FALSE(SettingsEnumKey(key, 4, tiny, sizeof tiny));
    SettingsCloseKey(key);
}

// Enumeration walks on from where the last call stopped; any order of
// indexes, two handles on one key, and a subkey added in between still give
// the name at that index.
TEST_F(RegistryTest, EnumerationByIndexInAnyOrder)
{
    std::string text = V5;
    std::vector<std::string> names;
    for (int i = 0; i < 2000; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "site%05d", i * 2);
        names.emplace_back(name);
        text += "[HKEY_LOCAL_MACHINE\\S\\" + names.back() + "]\r\n";
    }
    UseText(text);
    EXPECT_EQ(Subkeys("S"), names);
    SettingsKey a = nullptr, b = nullptr;
    ASSERT_TRUE(SettingsOpenKey("S", &a));
    ASSERT_TRUE(SettingsOpenKey("s", &b));
    char name[32];
    for (uint32_t index : {5u, 6u, 1999u, 0u, 1000u, 999u, 1000u, 1001u}) {
        SCOPED_TRACE(index);
        ASSERT_TRUE(SettingsEnumKey(a, index, name, sizeof name));
        EXPECT_EQ(name, names[index]);
        ASSERT_TRUE(SettingsEnumKey(b, 1999 - index, name, sizeof name));
        EXPECT_EQ(name, names[1999 - index]);
    }
    EXPECT_FALSE(SettingsEnumKey(a, 2000, name, sizeof name));
    // A new subkey before the last position shifts the names after it.
    ASSERT_TRUE(SettingsEnumKey(a, 1000, name, sizeof name));
    SettingsKey added = nullptr;
    ASSERT_TRUE(SettingsCreateKey("S\\site00001", &added));
    SettingsCloseKey(added);
    names.insert(names.begin() + 1, "site00001");
    for (uint32_t index : {1001u, 1u, 2u, 2000u}) {
        SCOPED_TRACE(index);
        ASSERT_TRUE(SettingsEnumKey(a, index, name, sizeof name));
        EXPECT_EQ(name, names[index]);
    }
    EXPECT_FALSE(SettingsEnumKey(a, 2001, name, sizeof name));
    SettingsCloseKey(a);
    SettingsCloseKey(b);
    EXPECT_EQ(Subkeys("S"), names);
}

TEST_F(RegistryTest, Regedit4ExpandableTextIsAnsi)
{
    // 0xE9 is e-acute in the ANSI code page; the text line holds ANSI as well.
    UseText("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n"
            "\"expand\"=hex(2):43,3a,5c,63,61,66,e9,00\r\n"
            "\"text\"=\"caf\xe9\"\r\n"
            "\"multi\"=hex(7):61,00,62,00,00\r\n");
    EXPECT_EQ(Value("A", "expand"), std::make_pair(uint32_t{RegExpandSz}, std::string("C:\\caf\xc3\xa9\0", 9)));
    EXPECT_EQ(Value("A", "text"), std::make_pair(uint32_t{RegSz}, std::string("caf\xc3\xa9\0", 6)));
    EXPECT_EQ(Value("A", "multi").second, std::string("a\0b\0\0", 5));
}

TEST_F(RegistryTest, FolderMergesInNameOrderWithDeletions)
{
    std::string dir = folder / "hive.d";
    ASSERT_EQ(system(("mkdir -p " + dir).c_str()), 0);
    WriteFileBytes(dir + "/20-site.reg", Utf16(V5 +
                                               "[HKEY_LOCAL_MACHINE\\S]\r\n\"port\"=dword:00000002\r\n"
                                               "\"gone\"=-\r\n"
                                               "[-HKEY_LOCAL_MACHINE\\S\\old]\r\n"
                                               "[HKEY_LOCAL_MACHINE\\S\\new]\r\n"));
    // 10-base.reg is UTF-8 with a byte-order mark, 20-site.reg UTF-16LE.
    WriteFileBytes(dir + "/10-base.reg", "\xef\xbb\xbf" + V5 + "[HKEY_LOCAL_MACHINE\\S]\r\n\"port\"=dword:00000001\r\n"
                                              "\"gone\"=\"x\"\r\n\"kept\"=\"y\"\r\n"
                                              "[HKEY_LOCAL_MACHINE\\S\\old\\child]\r\n");
    WriteFileBytes(dir + "/30-notes.txt", "not a hive");
    Use(dir);
    EXPECT_EQ(Value("S", "port").second, std::string("\x02\0\0\0", 4));
    EXPECT_EQ(Value("S", "gone").second, "<missing>");
    EXPECT_EQ(Value("S", "kept").second, std::string("y\0", 2));
    EXPECT_EQ(Subkeys("S"), std::vector<std::string>{"new"});
}

TEST_F(RegistryTest, MalformedInputNamesFileAndLine)
{
    struct Case {
        std::string text;
        std::string expected; // start of the message after the file name
    } cases[] = {
        {"", ":1: empty file"},
        {"REGEDIT5\r\n", ":1: not a registry file"},
        {V5 + "\"v\"=\"x\"\r\n", ":3: value before the first key"},
        {V5 + "[HKEY_LOCAL_MACHINE\\A\r\n", ":3: key line does not end"},
        {V5 + "[HKEY_NOWHERE\\A]\r\n", ":3: unknown root key"},
        {V5 + "[HKEY_LOCAL_MACHINE\\A\\\\B]\r\n", ":3: empty key name"},
        {V5 + "[HKEY_LOCAL_MACHINE\\" + std::string(256, 'k') + "]\r\n", ":3: key name longer"},
        {V5 + "[HKEY_LOCAL_MACHINE\\A]\r\n\r\n\"v\"=dword:123456789\r\n", ":5: dword:"},
        {V5 + "[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=dword:xyz\r\n", ":4: dword:"},
        {V5 + "[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=hex:1,zz\r\n", ":4: malformed hex"},
        {V5 + "[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=hex:123\r\n", ":4: malformed hex"},
        {V5 + "[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=hex(q):00\r\n", ":4: hex(n):"},
        {V5 + "[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=hex:00,\\\r\n", ":4: hex list continues"},
        {V5 + "[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=\"open\r\n", ":4: text value has no closing"},
        {V5 + "[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=\"x\" y\r\n", ":4: unexpected text"},
        {V5 + "[HKEY_LOCAL_MACHINE\\A]\r\n\"v\" \"x\"\r\n", ":4: '=' expected"},
        {V5 + "[HKEY_LOCAL_MACHINE\\A]\r\n\"v=\"x\"\r\n", ":4: '=' expected"},
        {V5 + "[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=str:x\r\n", ":4: unrecognised value"},
        {V5 + "[HKEY_LOCAL_MACHINE\\A]\r\nv=1\r\n", ":4: unrecognised line"},
    };
    for (const Case& c : cases) {
        std::string error;
        RegistryNode root;
        EXPECT_FALSE(ParseRegistryFile("bad.reg", c.text, root, error)) << c.text;
        EXPECT_EQ(error.rfind("bad.reg" + c.expected, 0), 0u) << error;
    }
    std::string error = "stale";
    RegistryNode root;
    EXPECT_TRUE(ParseRegistryFile("good.reg", V5 + "[HKEY_LOCAL_MACHINE\\A]\r\n", root, error));
    EXPECT_EQ(error, "");
}

TEST_F(RegistryTest, RefusedFileLeavesTheStoreEmpty)
{
    std::string dir = folder / "hive.d";
    ASSERT_EQ(system(("mkdir -p " + dir).c_str()), 0);
    WriteFileBytes(dir + "/1.reg", V5 + "[HKEY_LOCAL_MACHINE\\Good]\r\n\"v\"=\"x\"\r\n");
    WriteFileBytes(dir + "/2.reg", V5 + "[HKEY_LOCAL_MACHINE\\Bad]\r\n\"v\"=dword:nope\r\n");
    Use(dir);
    testing::internal::CaptureStderr();
    SettingsKey key = nullptr;
    EXPECT_FALSE(SettingsOpenKey("Good", &key));
    std::string output = testing::internal::GetCapturedStderr();
    EXPECT_NE(output.find(dir + "/2.reg:4: dword:"), std::string::npos) << output;

    // Keys below other roots are passed over with a notice; the rest loads.
    UseText(V5 + "[HKEY_CURRENT_USER\\Software\\X]\r\n\"v\"=\"user\"\r\n"
                 "[HKEY_LOCAL_MACHINE\\X]\r\n\"v\"=\"machine\"\r\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(Value("X", "v").second, std::string("machine\0", 8));
    output = testing::internal::GetCapturedStderr();
    EXPECT_NE(output.find("hive.reg:3: 1 key(s) outside HKEY_LOCAL_MACHINE ignored"), std::string::npos) << output;
    EXPECT_EQ(Value("Software\\X", "v").second, "<no key>");
}

TEST_F(RegistryTest, EnvironmentExpansion)
{
    setenv("VTD_T_ONE", "1", 1);
    setenv("VTD_T_EMPTY", "", 1);
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"a%VTD_T_ONE%b", "a1b"},
        {"%vtd_t_one%", "1"},             // letter case of the name does not matter
        {"%VTD_T_UNKNOWN%x", "%VTD_T_UNKNOWN%x"},
        {"%VTD_T_UNKNOWN%VTD_T_ONE%", "%VTD_T_UNKNOWN1"},
        {"100%", "100%"},
        {"%%", "%%"},
        {"[%VTD_T_EMPTY%]", "[]"},
        {"%VTD_T_ONE%%VTD_T_ONE%", "11"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ExpandEnvironmentText(c.in), c.out) << c.in;
    unsetenv("VTD_T_ONE");
    unsetenv("VTD_T_EMPTY");
}

TEST_F(RegistryTest, ReloadWhileKeysAreOpenAndConcurrentFirstUse)
{
    UseText(V5 + "[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=\"x\"\r\n");
    SettingsKey key = nullptr;
    ASSERT_TRUE(SettingsOpenKey("A", &key));
    SettingsReload();
    uint32_t size = 0;
    EXPECT_TRUE(SettingsQueryValue(key, "v", nullptr, nullptr, &size)); // old hive stays valid
    SettingsCloseKey(key);

    SettingsReload();
    std::vector<std::thread> threads;
    std::atomic<int> opened{0};
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&] {
            SettingsKey k = nullptr;
            if (SettingsOpenKey("A", &k)) {
                ++opened;
                SettingsCloseKey(k);
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(opened, 8);
}

} // namespace
