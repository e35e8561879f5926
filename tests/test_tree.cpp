// The node allocator and its statistics text, and the tree primitives used directly where
// the exported calls cannot reach them well.
#include "zconf_test_support.h"

#include <cstring>
#include <vector>

namespace {

using namespace std::string_literals;

std::vector<uint32_t> counters() {
    std::vector<uint32_t> all;
    for (const zconf_mem_class &row : mem_cache)
        all.insert(all.end(), {row.count, row.mem_used});
    return all;
}

zconf_key *add_key(zconf_key *parent, const char *name) {
    zconf_key *key = __zconf_create_key(name, 0);
    __zconf_add_subkey(parent, key);
    return key;
}

std::string subkeys(zconf_key *key) {
    std::string names;
    for (int32_t i = 0; zconf_key *sub = __zconf_enum_subkey(key, i); i++)
        names += sub->name;
    return names;
}

TEST_F(Store, AllocatorTakesTheSmallestFittingClassAndCountsTheRequest) {
    const std::vector<char> data(4080, 'x');
    // Values with an empty name ask for 64, 65 and 4096 bytes, and then for 4097.
    for (auto [length, cls] : {std::pair{47u, 1}, std::pair{48u, 2}, std::pair{4079u, 7}}) {
        const std::vector<uint32_t> before = counters();
        zconf_value *value = __zconf_create_value("", ZCONF_VALUE_BINARY, data.data(), length);
        ASSERT_NE(value, nullptr);
        EXPECT_EQ(value->flags, cls);
        EXPECT_EQ(mem_cache[cls].count - before[2 * cls], 1u);
        EXPECT_EQ(mem_cache[cls].mem_used - before[2 * cls + 1], length + 17);
        zconf_mem_free(value);
        EXPECT_EQ(counters(), before);
    }
    const std::vector<uint32_t> before = counters();
    EXPECT_EQ(__zconf_create_value("", ZCONF_VALUE_BINARY, data.data(), 4080), nullptr);
    EXPECT_EQ(counters(), before);
}

TEST_F(Store, StatisticsText) {
    zconf_key *abc = __zconf_create_key("abc", 0); // beside the root, which asked for 43
    const std::string header = " size count  mem_used\n";
    std::string text = header + "   64     2        79 %\n";
    for (const char *size : {"  128", "  256", "  512", " 1024", " 2048", " 4096"})
        text += size + "     0         0 %\n"s;
    text += "total     2        79 %\n";
    char buffer[512];
    EXPECT_EQ(__ZConfMemStat(buffer, nullptr, 0, sizeof buffer), int32_t(text.size()));
    EXPECT_EQ(buffer, text);
    EXPECT_EQ(__ZConfMemStat(buffer, nullptr, 1, sizeof buffer), int32_t(header.size()));
    EXPECT_EQ(buffer, header);
    // Header and first class line fit in 56 bytes; the cut second line ends the text.
    EXPECT_EQ(__ZConfMemStat(buffer, nullptr, 0, 56), 22 + 24 + 24);
    EXPECT_EQ(buffer, text.substr(0, 55));
    zconf_mem_free(abc);
}

TEST_F(Store, SubkeysStayInNameOrderAndADeletedSubtreeReturnsEveryNode) {
    for (const char *name : {"b", "A", "c"})
        add_key(ZCONF_ROOT, name);
    EXPECT_EQ(subkeys(ZCONF_ROOT), "Abc");
    add_key(ZCONF_ROOT, "B");
    EXPECT_EQ(subkeys(ZCONF_ROOT), "AbBc");
    const std::vector<uint32_t> before = counters();
    zconf_key *top = add_key(ZCONF_ROOT, "top");
    const uint32_t word = 1;
    for (zconf_key *key : {top, add_key(add_key(top, "a"), "a1"), add_key(top, "b")})
        for (const char *name : {"x", "y"})
            __zconf_add_value(key, __zconf_create_value(name, ZCONF_VALUE_DWORD, &word, 4));
    __zconf_del_tree(top);
    EXPECT_EQ(counters(), before);
    EXPECT_EQ(subkeys(ZCONF_ROOT), "AbBc");
}

TEST_F(Store, MergeMovesSourceValuesIntoMatchingKeysAndFreesTheSource) {
    zconf_key *parsed = __zconf_create_key("ZCONF_ROOT", 0), *net = add_key(ZCONF_ROOT, "NET");
    parsed->parent = nullptr;
    parsed->sibling.next = parsed->sibling.prev = &parsed->sibling;
    const uint32_t zero = 0, one = 1;
    __zconf_add_value(net, __zconf_create_value("ip", ZCONF_VALUE_DWORD, &zero, 4));
    __zconf_add_value(net, __zconf_create_value("mask", ZCONF_VALUE_DWORD, &zero, 4));
    __zconf_add_value(add_key(parsed, "net"),
                      __zconf_create_value("ip", ZCONF_VALUE_DWORD, &one, 4));
    const uint32_t nodes = live_nodes(), bytes = live_bytes();
    __zconf_merge_trees(ZCONF_ROOT, parsed);
    // Gone: the parsed root (43 bytes), its net (36) and the replaced ip (23).
    EXPECT_EQ(live_nodes(), nodes - 3);
    EXPECT_EQ(live_bytes(), bytes - 43 - 36 - 23);
    EXPECT_EQ(subkeys(ZCONF_ROOT), "NET");
    zconf_value *ip = __zconf_enum_value(net, 0);
    EXPECT_EQ(std::string(ip->name) + __zconf_enum_value(net, 1)->name, "ipmask");
    EXPECT_EQ(memcmp(zconf_value_data(ip), &one, 4), 0);
}

} // namespace
