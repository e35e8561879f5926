// Large sibling sets (thousands of subkeys under one key, thousands of values in one key):
// loaded through the document channel and changed through the exported calls, they keep
// the name order of subkeys, the insertion order of values, the lookups and the node
// counts that small sets have.
#include "xml_test_support.h"
#include "zconf_test_support.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

constexpr int many = 3000;

// The name with A-Z folded to a-z.
std::string folded(std::string s) {
    for (char &c : s)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
    return s;
}

// Names as a device writes them: a common prefix, mixed letter case, numbers that do not
// sort as their values ("n10" before "n9"), and a few names that are prefixes of others.
std::string name_of(int i) {
    char buf[32];
    snprintf(buf, sizeof buf, i % 3 == 0 ? "Lease%d" : i % 3 == 1 ? "lease%dX" : "LEASE%d_", i);
    return buf;
}

// Names in the order the store keeps subkeys: by name, letter case aside.
std::vector<std::string> sorted(std::vector<std::string> names) {
    std::stable_sort(names.begin(), names.end(), [](const std::string &a, const std::string &b) {
        return folded(a) < folded(b);
    });
    return names;
}

// The nodes the allocator counts are exactly the nodes of the tree.
void expect_counts_match_tree() {
    node_tally t;
    tally_tree(ZCONF_ROOT, t);
    for (int row = 0; row <= ZCONF_MEM_CLASSES; row++) {
        EXPECT_EQ(mem_cache[row].count, t.count[row]) << "row " << row;
        EXPECT_EQ(mem_cache[row].mem_used, t.used[row]) << "row " << row;
    }
}

// A document with one key "List" holding a key per name, in the order given, each with a
// DWORD "n" of its position in that order.
std::string list_document(const std::vector<std::string> &names) {
    std::string body = "<KEY name=\"List\">";
    for (size_t i = 0; i < names.size(); i++)
        body += "<KEY name=\"" + names[i] + "\"><VALUE_DWORD name=\"n\">" + std::to_string(i) +
                "</VALUE_DWORD></KEY>";
    return doc(body + "</KEY>");
}

// The DWORD `name` of the key at path, or ~0u when the key or value is missing.
uint32_t dword_at(const std::string &path, const char *name) {
    ZConfKeyHandle h;
    if (ZConfOpenKeyEx(ZCONF_HKEY_ROOT, path.c_str(), ZCONF_KEY_READ, &h) != 0)
        return ~0u;
    uint32_t v = ~0u, size = sizeof v, type = 0;
    if (ZConfQueryValueEx(h, name, &type, &v, &size) != 0)
        v = ~0u;
    ZConfCloseKey(h);
    return v;
}

// The subkey names of the key at path, through the exported enumeration.
std::vector<std::string> listed(const char *path) {
    std::vector<std::string> out;
    ZConfKeyHandle h;
    if (ZConfOpenKeyEx(ZCONF_HKEY_ROOT, path, ZCONF_KEY_READ, &h) != 0)
        return out;
    char name[300];
    for (uint32_t i = 0; ZConfEnumKey(h, i, name, sizeof name) == 0; i++)
        out.emplace_back(name);
    ZConfCloseKey(h);
    return out;
}

// Replaces the whole store with the document (the calling thread's connection, which
// holds the root, is dropped first); the write's result.
int32_t reload(const std::string &text) {
    DoviZUZClose(FindhConn());
    return write_document(text, ZCONF_XML_OPEN_WRITE | ZCONF_XML_OPEN_CLEAR);
}

// Names 0..n-1 in a shuffled order fixed by the seed.
std::vector<std::string> shuffled_names(int n, unsigned seed) {
    std::vector<std::string> names;
    for (int i = 0; i < n; i++)
        names.push_back(name_of(i));
    std::mt19937 rng(seed);
    std::shuffle(names.begin(), names.end(), rng);
    return names;
}

// Loads the names as the keys of "List" (in the order given) and checks that they list in
// name order, that each is found by its name in any letter case, and that the missing
// names are not found.
void expect_loaded_list(const std::vector<std::string> &names,
                        std::initializer_list<const char *> missing) {
    ASSERT_EQ(write_document(list_document(names)), 0);
    EXPECT_EQ(listed("List"), sorted(names));
    for (size_t i = 0; i < names.size(); i++)
        EXPECT_EQ(dword_at("List\\" + (i % 2 ? folded(names[i]) : names[i]), "n"), i) << names[i];
    for (const char *name : missing)
        EXPECT_EQ(dword_at("List\\"s + name, "n"), ~0u) << name;
}

// A list loaded in shuffled order keeps name order; each key is found by its name in any
// letter case, and names between and around them are not there.
TEST_F(Store, LargeListKeepsOrderThroughDeletesAndNewKeys) {
    const std::vector<std::string> names = shuffled_names(many, 11);
    expect_loaded_list(names, {"A", "Lease", "lease1", "Lease9X", "LEASE2", "zz", "Leasf"});
    std::vector<std::string> kept, gone;
    for (size_t i = 0; i < names.size(); i++)
        (i % 3 == 1 ? gone : kept).push_back(names[i]);
    ZConfKeyHandle list;
    ASSERT_EQ(ZConfOpenKeyEx(ZCONF_HKEY_ROOT, "List", ZCONF_KEY_ALL, &list), 0);
    for (const std::string &name : gone)
        ASSERT_EQ(ZConfDeleteKey(list, folded(name).c_str()), 0) << name;
    ZConfCloseKey(list);
    EXPECT_EQ(listed("List"), sorted(kept));
    expect_counts_match_tree();
    for (const std::string &name : gone)
        EXPECT_EQ(dword_at("List\\" + name, "n"), ~0u) << name;
    // Deleted names come back in their places, in reverse order of deletion, through the
    // calls; the ones kept are all still found.
    for (auto it = gone.rbegin(); it != gone.rend(); ++it)
        ASSERT_EQ(make_key(("List\\" + *it).c_str()), 0) << *it;
    EXPECT_EQ(listed("List"), sorted(names));
    for (size_t i = 0; i < names.size(); i += 7)
        EXPECT_EQ(dword_at("List\\" + names[i], "n"), i % 3 == 1 ? ~0u : i) << names[i];
    expect_counts_match_tree();
    // A run of neighbours in the middle, longer than a block, deleted and made again.
    std::vector<std::string> order = sorted(names);
    ASSERT_EQ(ZConfOpenKeyEx(ZCONF_HKEY_ROOT, "List", ZCONF_KEY_ALL, &list), 0);
    for (size_t i = 1000; i < 1400; i++)
        ASSERT_EQ(ZConfDeleteKey(list, order[i].c_str()), 0) << order[i];
    ZConfCloseKey(list);
    std::vector<std::string> rest = order;
    rest.erase(rest.begin() + 1000, rest.begin() + 1400);
    EXPECT_EQ(listed("List"), rest);
    for (size_t i = 1000; i < 1400; i++)
        ASSERT_EQ(make_key(("List\\" + order[i]).c_str()), 0) << order[i];
    EXPECT_EQ(listed("List"), order);
    expect_counts_match_tree();
}

// Each name given twice in one document, the second time in other letter case and with a
// value of its own: the keys merge into one, in the earlier key's place and name.
TEST_F(Store, SameNamedKeysMergeInALargeList) {
    const std::vector<std::string> names = shuffled_names(many, 13);
    std::string body = "<KEY name=\"List\">";
    for (size_t i = 0; i < names.size(); i++)
        body += "<KEY name=\"" + names[i] + "\"><VALUE_DWORD name=\"n\">" + std::to_string(i) +
                "</VALUE_DWORD></KEY><KEY name=\"" + folded(names[i]) +
                "\"><VALUE_DWORD name=\"m\">" + std::to_string(2 * i) + "</VALUE_DWORD></KEY>";
    ASSERT_EQ(write_document(doc(body + "</KEY>")), 0);
    EXPECT_EQ(listed("List"), sorted(names));
    expect_counts_match_tree();
    // A second document merges into the loaded list: new keys between the old ones,
    // and a value replaced in place in every tenth.
    std::vector<std::string> more;
    std::string second = "<KEY name=\"List\">";
    for (size_t i = 0; i < names.size(); i++) {
        if (i % 10 == 0)
            second += "<KEY name=\"" + names[i] + "\"><VALUE_DWORD name=\"n\">" +
                      std::to_string(i + 1) + "</VALUE_DWORD></KEY>";
        if (i % 5 == 0) {
            more.push_back(names[i] + "a");
            second += "<KEY name=\"" + more.back() + "\"></KEY>";
        }
    }
    ASSERT_EQ(write_document(doc(second + "</KEY>")), 0);
    std::vector<std::string> all = names;
    all.insert(all.end(), more.begin(), more.end());
    EXPECT_EQ(listed("List"), sorted(all));
    for (size_t i = 0; i < names.size(); i += 3) {
        EXPECT_EQ(dword_at("List\\" + names[i], "n"), i % 10 == 0 ? i + 1 : i) << names[i];
        EXPECT_EQ(dword_at("List\\" + names[i], "m"), 2 * i) << names[i];
    }
    expect_counts_match_tree();
}

// Names the store's fixed-length name prefixes cannot tell apart: long shared beginnings
// in mixed letter case, names ending just before, at and just after 16 bytes, and bytes of
// 0x80 and above (which sort after every ASCII letter), in a shuffled order.
std::vector<std::string> tied_names(int n, unsigned seed) {
    const char *const stems[] = {"Device.Interface",        "DEVICE.INTERFACE",
                                 "device.interfac",         "Device.Interface.",
                                 "Device.Interfac\xC3\xA9", "Device.Interface\xC3\xA9",
                                 "\xC3\xA9tat.Interface.Lo"};
    std::vector<std::string> names = {"Device.Interface", "device.interfac", "Device.Interface."};
    for (int i = 0; i < n; i++)
        names.push_back(stems[i % 7] + std::to_string(i));
    std::shuffle(names.begin(), names.end(), std::mt19937(seed));
    return names;
}

// Keys and values whose names tie over their first 16 bytes, letter case aside, keep the
// order and lookups of any others: loaded, deleted in part and made again, and set as
// values, replaced and deleted in part.
TEST_F(Store, NamesAlikeInTheirFirstBytesKeepOrderAndLookups) {
    const std::vector<std::string> names = tied_names(many, 19);
    expect_loaded_list(names, {"Device.Interfa", "Device.Interface00", "Device.InterfaceZ",
                               "Device.Interface.x", "Device.Interfac\xC3",
                               "Device.Interface\xC3\xA9", "\xC3\xA9tat.Interface.L"});
    ZConfKeyHandle list;
    ASSERT_EQ(ZConfOpenKeyEx(ZCONF_HKEY_ROOT, "List", ZCONF_KEY_ALL, &list), 0);
    for (size_t i = 0; i < names.size(); i += 3)
        ASSERT_EQ(ZConfDeleteKey(list, folded(names[i]).c_str()), 0) << names[i];
    ZConfCloseKey(list);
    for (size_t i = 0; i < names.size(); i += 6) // half of them made again, by the calls
        ASSERT_EQ(make_key(("List\\" + names[i]).c_str()), 0) << names[i];
    std::vector<std::string> kept;
    for (size_t i = 0; i < names.size(); i++)
        if (i % 3 != 0 || i % 6 == 0)
            kept.push_back(names[i]);
    EXPECT_EQ(listed("List"), sorted(kept));
    for (size_t i = 0; i < names.size(); i += 3)
        EXPECT_EQ(dword_at("List\\" + names[i], "n"), ~0u) << names[i];
    // The same names as values of one key.
    ASSERT_EQ(ZConfOpenKeyEx(ZCONF_HKEY_ROOT, "List", ZCONF_KEY_ALL, &list), 0);
    for (size_t i = 0; i < names.size(); i++)
        ASSERT_EQ(set_dword(list, names[i].c_str(), static_cast<uint32_t>(i)), 0) << names[i];
    for (size_t i = 0; i < names.size(); i += 2)
        ASSERT_EQ(set_dword(list, folded(names[i]).c_str(), static_cast<uint32_t>(i + many)), 0);
    for (size_t i = 1; i < names.size(); i += 4)
        ASSERT_EQ(ZConfDeleteValue(list, names[i].c_str()), 0);
    for (size_t i = 0; i < names.size(); i++) {
        uint32_t v = ~0u, vs = sizeof v;
        int32_t rc = ZConfQueryValueEx(list, (i % 3 ? names[i] : folded(names[i])).c_str(), nullptr,
                                       &v, &vs);
        uint32_t want = i % 4 == 1 ? ~0u : i % 2 == 0 ? i + many : i;
        EXPECT_EQ(rc == 0 ? v : ~0u, want) << names[i];
    }
    ZConfCloseKey(list);
    expect_counts_match_tree();
}

// Thousands of values in one key: set in shuffled order, replaced, deleted and set again,
// they stay in the order first set, and each is found by its name in any letter case.
TEST_F(Store, LargeValueSetKeepsInsertionOrder) {
    const std::vector<std::string> names = shuffled_names(many, 17);
    ZConfKeyHandle h;
    ASSERT_EQ(ZConfCreateKey(ZCONF_HKEY_ROOT, "Big", &h), 0);
    for (size_t i = 0; i < names.size(); i++)
        ASSERT_EQ(set_dword(h, names[i].c_str(), static_cast<uint32_t>(i)), 0);
    for (size_t i = 0; i < names.size(); i += 2) // replaced in place, named in other case
        ASSERT_EQ(set_dword(h, folded(names[i]).c_str(), static_cast<uint32_t>(i + many)), 0);
    for (size_t i = 1; i < names.size(); i += 4)
        ASSERT_EQ(ZConfDeleteValue(h, names[i].c_str()), 0);
    ASSERT_EQ(set_dword(h, names[1].c_str(), 1), 0); // set again: now the last
    std::vector<std::string> expected_order;
    for (size_t i = 0; i < names.size(); i++)
        if (i % 4 != 1)
            expected_order.push_back(i % 2 == 0 ? folded(names[i]) : names[i]);
    expected_order.push_back(names[1]);
    std::vector<std::string> order;
    char name[300];
    uint32_t size = sizeof name;
    for (uint32_t i = 0; ZConfEnumValue(h, i, name, &size, nullptr, nullptr, nullptr) == 0;
         i++, size = sizeof name)
        order.emplace_back(name);
    EXPECT_EQ(order, expected_order);
    for (size_t i = 0; i < names.size(); i++) {
        uint32_t v = ~0u, vs = sizeof v;
        int32_t rc =
            ZConfQueryValueEx(h, (i % 3 ? names[i] : folded(names[i])).c_str(), nullptr, &v, &vs);
        uint32_t want = i == 1 ? 1 : i % 4 == 1 ? ~0u : i % 2 == 0 ? i + many : i;
        EXPECT_EQ(rc == 0 ? v : ~0u, want) << names[i];
    }
    ZConfCloseKey(h);
    expect_counts_match_tree();
    // The key read back and loaded again holds the same values in the same order.
    const std::string text = read_document();
    ASSERT_EQ(reload(text), 0);
    EXPECT_EQ(read_document(), text);
    expect_counts_match_tree();
}

} // namespace
