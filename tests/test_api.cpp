// The exported calls from one thread: paths, handles, and the key and value operations.
#include "zconf_test_support.h"

#include <cinttypes>
#include <cstring>
#include <set>
#include <vector>

namespace {

using namespace std::string_literals;
using codes = std::vector<int32_t>;
constexpr ZConfKeyHandle kRoot = ZCONF_HKEY_ROOT;

zconf_key *key_of(ZConfKeyHandle h) { return conn_handles[FindhConn()].slots[h].key; }

// Opens (or with `make`, creates) the key at path; returns what the call stored as the
// result, the handle or the error, which the call must also have returned.
ZConfKeyHandle open_key(ZConfKeyHandle from, const char *path, uint32_t mode = ZCONF_KEY_ALL,
                        bool make = false) {
    ZConfKeyHandle h = 0;
    int32_t rc = make ? ZConfCreateKey(from, path, &h) : ZConfOpenKeyEx(from, path, mode, &h);
    EXPECT_EQ(rc, std::min(h, 0));
    return h;
}

ZConfKeyHandle create(ZConfKeyHandle from, const char *path) {
    return open_key(from, path, 0, true);
}

// The key of a handle as a path from the root ("/" for the root), or the error.
std::string where(ZConfKeyHandle h) {
    if (h < 0)
        return std::to_string(h);
    std::vector<const char *> names;
    for (zconf_key *k = key_of(h); k != ZCONF_ROOT; k = k->parent)
        names.push_back(k->name);
    std::string path = names.empty() ? "/" : "";
    for (auto name = names.rbegin(); name != names.rend(); ++name)
        path.append("/").append(*name);
    return path;
}

// The names of the subkeys, in enumeration order.
std::string subkeys(ZConfKeyHandle h) {
    std::string names;
    char name[300];
    for (uint32_t i = 0; ZConfEnumKey(h, i, name, sizeof name) == 0; i++)
        names.append(i ? "," : "").append(name);
    return names;
}

// Whether the handle can be described: the result of ZConfQueryInfoKey.
int32_t describe(ZConfKeyHandle h) {
    return ZConfQueryInfoKey(h, nullptr, nullptr, nullptr, nullptr, nullptr);
}

// "type:data" of a value, or the error.
std::string query(ZConfKeyHandle h, const char *name) {
    char data[4100];
    uint32_t type, size = sizeof data;
    int32_t rc = ZConfQueryValueEx(h, name, &type, data, &size);
    return rc != 0 ? std::to_string(rc) : std::to_string(type) + ":" + std::string(data, size);
}

TEST_F(Store, PathsResolvePrefixAliasAndSeparators) {
    for (const char *path : {"A\\B", "Tarvlin\\tarvlin", "HZCONF_ROOTx"})
        ASSERT_GT(create(kRoot, path), 0);
    const std::pair<const char *, const char *> opens[] = {{"hzconf_root", "/"},
                                                           {"HZCONF_ROOT//", "/"},
                                                           {"HZCONF_ROOT\\a/b", "/A/B"},
                                                           {"\\\\A//B\\", "/A/B"},
                                                           {"HZCONF_ROOTX", "/HZCONF_ROOTx"},
                                                           {"olvex\\TARVLIN", "/Olvex/Olvex"},
                                                           {"", "-2"},
                                                           {"\\/", "-2"},
                                                           {"A\\C", "-2"}};
    for (auto [path, expected] : opens)
        EXPECT_EQ(where(open_key(kRoot, path)), expected) << path;
    EXPECT_EQ(where(open_key(open_key(kRoot, "A"), "HZCONF_ROOT\\B")), "-2");
    // Create and delete keep a leading separator: the path starts with an empty name.
    ASSERT_EQ(make_key("\\A"), 0);
    EXPECT_EQ(subkeys(kRoot) + " " + where(open_key(kRoot, "\\A")), ",A,HZCONF_ROOTx,Olvex /A");
    EXPECT_EQ((codes{ZConfDeleteKey(kRoot, "\\A"), ZConfDeleteKey(kRoot, "\\")}), (codes{0, 0}));
    EXPECT_EQ(subkeys(kRoot), "A,HZCONF_ROOTx,Olvex");
    // A path of 300 bytes is cut to 259: A, B and a name of 255 bytes.
    const std::string n255(255, 'n');
    EXPECT_EQ(where(create(kRoot, ("A\\B\\" + n255 + std::string(41, 'z')).c_str())),
              "/A/B/" + n255);
}

TEST_F(Store, HandleNumbersAndClosingTheConnection) {
    ASSERT_EQ(create(kRoot, "A"), 1);
    EXPECT_EQ((codes{open_key(kRoot, "a"), open_key(kRoot, "A", 4), open_key(kRoot, "A", 0),
                     open_key(kRoot, "A", 1)}),
              (codes{2, -13, -13, 3}));
    char text[16];
    EXPECT_EQ(std::string(text, __ZConfApiStat(text, nullptr, 0, sizeof text)), " 3 open keys\n");
    EXPECT_EQ(__ZConfApiStat(text, nullptr, 1, sizeof text), 0);
    EXPECT_EQ((codes{ZConfCloseKey(0), ZConfCloseKey(-1), ZConfCloseKey(128), ZConfCloseKey(4),
                     describe(2), ZConfCloseKey(1), describe(2)}),
              (codes{-9, -9, -9, -9, 0, 0, -22}));
    for (ZConfKeyHandle h = 1; h <= ZCONF_MAX_HANDLES; h++)
        ASSERT_EQ(open_key(kRoot, "A"), h);
    EXPECT_EQ((codes{open_key(kRoot, "A"), open_key(kRoot, "Missing"), create(kRoot, "New")}),
              codes(3, -12));
    EXPECT_EQ(ZConfCloseKey(ZCONF_MAX_HANDLES), 0);
    EXPECT_EQ(ZCONF_ROOT->open_count, 0) << "closing one handle closes them all";
}

TEST_F(Store, CreateReportsWhatItMadeAndInheritsVolatility) {
    ASSERT_GT(create(kRoot, "X"), 0);
    ZConfKeyHandle z, h;
    uint32_t made = 7;
    ASSERT_EQ(ZConfCreateKeyEx(open_key(kRoot, "X", ZCONF_KEY_WRITE), "Y\\Z", 0, &made, &z), 0);
    EXPECT_EQ(made, 1u);
    ASSERT_EQ(ZConfCreateKeyEx(kRoot, "x\\y\\z", 1, &made, &h), 0);
    EXPECT_EQ(where(h), "/X/Y/Z");
    EXPECT_EQ(made + (key_of(h)->flags & ZCONF_FLAG_VOLATILE), 0u) << "nothing made or changed";
    EXPECT_EQ(where(create(z, "")), "/X/Y/Z");
    ASSERT_EQ(ZConfCreateKeyEx(kRoot, "V", 1, &made, &h), 0);
    ASSERT_EQ(ZConfCreateKeyEx(h, "W\\U", 0, &made, &h), 0);
    EXPECT_EQ(key_of(h)->flags & key_of(h)->parent->flags & ZCONF_FLAG_VOLATILE,
              ZCONF_FLAG_VOLATILE);
    ZConfKeyHandle reader = open_key(kRoot, "X", ZCONF_KEY_READ);
    EXPECT_EQ((codes{create(reader, "Q"), ZConfDeleteKey(reader, "Y\\Z")}), codes(2, -13));
    // A name too long fails after the keys before it were made.
    EXPECT_EQ(ZConfCreateKeyEx(kRoot, ("N\\" + std::string(256, 'n')).c_str(), 0, &made, &h), -12);
    EXPECT_EQ((codes{h, int32_t(made)}), (codes{-12, 0}));
    EXPECT_EQ(subkeys(kRoot), "N,V,X");
}

TEST_F(Store, DeleteIsImmediateOrWaitsForTheLastClose) {
    ZConfKeyHandle leaf = create(kRoot, "I");
    ASSERT_EQ(set_dword(leaf, "v", 1), 0);
    ASSERT_EQ(ZConfCloseKey(leaf), 0);
    EXPECT_EQ(ZConfDeleteKey(kRoot, "i"), 0);
    EXPECT_EQ(live_nodes(), 1u) << "the key and its value are freed at once";
    leaf = create(kRoot, "P\\L");
    EXPECT_EQ((codes{ZConfDeleteKey(kRoot, "P\\L"), ZConfDeleteKey(kRoot, "P")}), (codes{0, -39}));
    EXPECT_EQ(subkeys(open_key(kRoot, "P")) + where(open_key(kRoot, "p\\l")), "L/P/L");
    EXPECT_EQ((codes{set_dword(leaf, "v", 1), create(kRoot, "P\\L\\M"), create(leaf, "")}),
              (codes{0, -43, -43}));
    EXPECT_EQ(live_nodes(), 4u);
    EXPECT_EQ(ZConfCloseKey(leaf), 0);
    EXPECT_EQ(live_nodes(), 2u) << "the key goes with its value at the last close";
    ZConfKeyHandle p = open_key(kRoot, "P");
    EXPECT_EQ(ZConfDeleteKey(p, ""), 0);
    EXPECT_EQ(subkeys(kRoot), "P");
    EXPECT_EQ(ZConfCloseKey(p), 0);
    EXPECT_EQ(subkeys(kRoot), "");
    // The root is always open, so deleting it only marks it.
    EXPECT_EQ((codes{ZConfDeleteKey(kRoot, ""), create(kRoot, "Q")}), (codes{0, -43}));
}

TEST_F(Store, DeletePrintsBothTraceLinesWhateverTheOutcome) {
    ASSERT_GT(create(kRoot, "D\\E"), 0);
    char at_d[80];
    snprintf(at_d, sizeof at_d, "DoviZUZDeleteKey: trc1 hKey=0, key=0x%08" PRIxPTR ", flags=0x81",
             reinterpret_cast<uintptr_t>(__zconf_find_subkey(ZCONF_ROOT, "D")));
    auto trace = [](ZConfKeyHandle h, const char *name, int32_t rc) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(ZConfDeleteKey(h, name), rc);
        return testing::internal::GetCapturedStdout();
    };
    EXPECT_EQ(trace(kRoot, "D", -39),
              "DoviZUZDeleteKey: trc0, keyName=<D>\n"s + at_d + ", keyName=<>\n");
    EXPECT_EQ(trace(kRoot, "d//nope/x", -2),
              "DoviZUZDeleteKey: trc0, keyName=<d//nope/x>\n"s + at_d + ", keyName=<nope/x>\n");
    EXPECT_EQ(trace(open_key(kRoot, "D", ZCONF_KEY_READ), "E", -13),
              "DoviZUZDeleteKey: trc0, keyName=<E>\n");
    EXPECT_EQ(trace(77, "E", -22), "");
}

TEST_F(Store, EnumerationAndDescriptionOfKeys) {
    for (const char *path : {"K\\b", "K\\A", "K\\ccc"})
        ASSERT_GT(create(kRoot, path), 0);
    ZConfKeyHandle k = open_key(kRoot, "K");
    EXPECT_EQ(subkeys(k), "A,b,ccc");
    char name[8] = "#######";
    EXPECT_EQ((codes{ZConfEnumKey(k, 2, name, 3), ZConfEnumKey(k, 3, name, 8),
                     ZConfEnumKey(k, 0, name, 0), ZConfEnumKey(k, 0, nullptr, 8)}),
              (codes{0, -2, -22, -22}));
    EXPECT_EQ(std::string(name, 4), "ccc#");
    ASSERT_EQ(set_dword(k, "Speed", 1), 0);
    ASSERT_EQ(ZConfSetValueEx(k, "Greeting", ZCONF_VALUE_SZ, "hello", 5), 0);
    std::vector<uint32_t> info(5, 99);
    EXPECT_EQ(ZConfQueryInfoKey(k, &info[0], &info[1], &info[2], &info[3], &info[4]), 0);
    EXPECT_EQ(info, (std::vector<uint32_t>{3, 3, 2, 8, 6}));
    // Each call sees the lists as they are then: keys and values made or deleted between
    // two calls move the later positions; earlier positions and other lists answer too.
    auto key_at = [](ZConfKeyHandle h, uint32_t i) {
        char found[300];
        int32_t rc = ZConfEnumKey(h, i, found, sizeof found);
        return rc == 0 ? std::string(found) : std::to_string(rc);
    };
    auto value_at = [](ZConfKeyHandle h, uint32_t i) {
        char found[300];
        uint32_t size = sizeof found;
        int32_t rc = ZConfEnumValue(h, i, found, &size, nullptr, nullptr, nullptr);
        return rc == 0 ? std::string(found) : std::to_string(rc);
    };
    EXPECT_EQ(key_at(k, 1), "b");
    ASSERT_EQ(make_key("K\\Ab"), 0); // closes every handle of the thread
    k = open_key(kRoot, "K");
    EXPECT_EQ(key_at(k, 2), "b");
    EXPECT_EQ(key_at(k, 3), "ccc");
    ASSERT_EQ(ZConfDeleteKey(k, "Ab"), 0);
    EXPECT_EQ(key_at(k, 3), "-2");
    EXPECT_EQ(key_at(k, 2), "ccc");
    EXPECT_EQ(key_at(k, 0), "A");
    EXPECT_EQ(key_at(kRoot, 0), "K");
    EXPECT_EQ(value_at(k, 1), "Greeting");
    ASSERT_EQ(ZConfDeleteValue(k, "Speed"), 0);
    EXPECT_EQ(value_at(k, 1), "-2");
    EXPECT_EQ(value_at(k, 0), "Greeting");
}

TEST_F(Store, SetValueChecksTypeSizeNameAndAccess) {
    ZConfKeyHandle k = create(kRoot, "K"), reader = open_key(kRoot, "K", ZCONF_KEY_READ);
    const uint64_t q = 0;
    const std::pair<uint32_t, uint32_t> refused[] = {{7, 8}, {11, 8}, {12, 4}, {4, 8},
                                                     {8, 4}, {1, 0},  {0, 1}};
    for (auto [type, size] : refused)
        EXPECT_EQ(ZConfSetValueEx(k, "v", type, &q, size), -22) << type << " " << size;
    EXPECT_EQ(ZConfSetValueEx(k, "v", ZCONF_VALUE_BINARY, nullptr, 4), -22);
    EXPECT_EQ(ZConfSetValueEx(k, "none", ZCONF_VALUE_NONE, nullptr, 0), 0);
    EXPECT_EQ(query(k, "NONE"), "0:");
    for (uint32_t size : {5u, 6u}) {
        ASSERT_EQ(ZConfSetValueEx(k, "s", ZCONF_VALUE_SZ, "hello", size), 0);
        EXPECT_EQ(query(k, "s"), "2:hello\0"s);
    }
    EXPECT_EQ((codes{set_dword(kRoot, "v", 1), set_dword(open_key(kRoot, "HZCONF_ROOT"), "v", 1),
                     set_dword(reader, "v", 1), ZConfDeleteValue(reader, "s"),
                     set_dword(open_key(kRoot, "K", ZCONF_KEY_WRITE), "w", 1)}),
              (codes{-13, -13, -13, -13, 0}));
    const std::string n255(255, 'n'), n256(256, 'n'), n300(300, 'n');
    EXPECT_EQ((codes{set_dword(k, n255.c_str(), 1), set_dword(k, n256.c_str(), 1),
                     set_dword(k, n300.c_str(), 1), ZConfDeleteValue(k, "missing"),
                     ZConfDeleteValue(k, "S")}),
              (codes{0, -12, -12, -2, 0}));
    EXPECT_EQ(query(k, n300.c_str()) + query(k, "s"), "-2-2");
    // One byte of name, 4078 of data and 17 of header make a node of 4096 bytes.
    const std::string fits(4078, 'o'), too_big(4079, 'x');
    ASSERT_EQ(ZConfSetValueEx(k, "b", ZCONF_VALUE_BINARY, fits.data(), 4078), 0);
    EXPECT_EQ(ZConfSetValueEx(k, "B", ZCONF_VALUE_BINARY, too_big.data(), 4079), -12);
    EXPECT_EQ(query(k, "b"), "1:" + fits);
}

TEST_F(Store, ReadingReportsSizesAndShortBuffers) {
    ZConfKeyHandle k = create(kRoot, "K");
    ASSERT_EQ(ZConfSetValueEx(k, "Data", ZCONF_VALUE_BINARY, "12345678", 8), 0);
    char name[8] = "#######", out[9] = "########";
    uint32_t name_size = 3, type = 0, size = 0;
    // Enumeration: the name is cut silently and a short data buffer keeps its own size.
    EXPECT_EQ(ZConfEnumValue(k, 0, name, &name_size, &type, nullptr, &size), 0);
    EXPECT_EQ((std::vector{name_size, type, size}), (std::vector{3u, 1u, 8u}));
    name_size = sizeof name, size = 4;
    EXPECT_EQ(ZConfEnumValue(k, 0, name, &name_size, nullptr, out, &size), -75);
    EXPECT_EQ(std::string(name) + out + std::to_string(size), "Data1234####4");
    // Reading: a short data buffer learns the full length.
    size = 5;
    EXPECT_EQ(ZConfQueryValueEx(k, "data", nullptr, out, &size), -75);
    EXPECT_EQ(out + std::to_string(size), "12345###8");
    EXPECT_EQ(ZConfQueryValueEx(k, "data", nullptr, out, &size), 0);
    EXPECT_STREQ(out, "12345678");
    EXPECT_EQ((codes{ZConfQueryValueEx(k, "data", nullptr, nullptr, nullptr),
                     ZConfQueryValueEx(k, "data", nullptr, out, nullptr),
                     ZConfEnumValue(k, 0, name, &name_size, nullptr, out, nullptr),
                     ZConfEnumValue(k, 1, name, &name_size, nullptr, nullptr, nullptr)}),
              (codes{0, -22, -22, -2}));
}

TEST_F(Store, NullPointersAreRefusedAndChangeNothing) {
    ZConfKeyHandle opened = 5, created = 5;
    uint32_t made = 7, word = 1;
    EXPECT_EQ(
        (codes{ZConfOpenKeyEx(kRoot, "A", ZCONF_KEY_ALL, nullptr),
               ZConfCreateKey(kRoot, "A", nullptr), ZConfCreateKeyEx(kRoot, "A", 0, &made, nullptr),
               ZConfOpenKeyEx(kRoot, nullptr, ZCONF_KEY_ALL, &opened),
               ZConfCreateKeyEx(kRoot, nullptr, 0, &made, &created), ZConfDeleteKey(kRoot, nullptr),
               ZConfSetValueEx(1, nullptr, 4, &word, 4), ZConfDeleteValue(1, nullptr),
               ZConfQueryValueEx(1, nullptr, nullptr, nullptr, nullptr)}),
        codes(9, -22));
    EXPECT_EQ((codes{opened, created, int32_t(made)}), (codes{-22, -22, 7}));
    EXPECT_EQ(live_nodes(), 1u);
    EXPECT_EQ(ZCONF_ROOT->open_count, 0) << "no connection may have been opened";
}

// Each result the calls return has words of its own; another errno has the system's.
TEST_F(Store, EveryResultHasItsOwnStaticText) {
    const int32_t results[] = {0,   2,  ZCONF_ERR_NOENT, -9, -11, -12, -13, -14, -16, -22, -39, -43,
                               -74, -75};
    std::set<std::string> texts;
    for (int32_t rc : results) {
        const char *text = ZConfErrorText(rc);
        ASSERT_NE(text, nullptr);
        EXPECT_TRUE(*text != 0 && strcmp(text, "unknown result") != 0) << rc;
        EXPECT_EQ(ZConfErrorText(rc), text) << rc;
        texts.insert(text);
    }
    EXPECT_EQ(texts.size(), std::size(results));
    EXPECT_STREQ(ZConfErrorText(-30), "Read-only file system");
    EXPECT_STREQ(ZConfErrorText(-28), "No space left on device");
    for (int32_t rc : {1, 3, -4095, INT32_MIN, INT32_MAX})
        EXPECT_STREQ(ZConfErrorText(rc), "unknown result") << rc;
}

} // namespace
