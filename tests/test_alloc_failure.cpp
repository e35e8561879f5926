// The heap failing midway through an operation: the call reports -12, the tree keeps
// what was complete, and the allocator's counters agree with the nodes in the tree.
#include "zconf_test_support.h"

#include <cstdio>
#include <functional>

namespace {

// Runs an operation with the heap failing after the given number of allocations.
int32_t with_heap_failing_after(int32_t allocations, const std::function<int32_t()> &op) {
    zconf_mem_fail_countdown = allocations;
    int32_t rc = op();
    zconf_mem_fail_countdown = -1;
    node_tally t;
    tally_tree(ZCONF_ROOT, t);
    EXPECT_EQ(live_nodes(), t.count[0]);
    EXPECT_EQ(live_bytes(), t.used[0]);
    return rc;
}

TEST_F(Store, CreateFailingAtEachAllocationKeepsTheKeysMadeBefore) {
    ASSERT_EQ(make_key("A"), 0);
    const char *paths[] = {"A", "A\\B", "A\\B\\C", "A\\B\\C\\D"};
    ZConfKeyHandle h, deepest, missing;
    for (int32_t allowed = 0; allowed < 3; allowed++) {
        auto create = [&] { return ZConfCreateKey(ZCONF_HKEY_ROOT, paths[3], &h); };
        EXPECT_EQ(with_heap_failing_after(allowed, create), -12);
        EXPECT_EQ(zconf_open_keys, 0u) << "a failed create leaves no handle";
        EXPECT_EQ(ZConfOpenKeyEx(ZCONF_HKEY_ROOT, paths[allowed], ZCONF_KEY_READ, &deepest), 0);
        EXPECT_EQ(ZConfOpenKeyEx(ZCONF_HKEY_ROOT, paths[allowed + 1], ZCONF_KEY_READ, &missing),
                  -2);
        EXPECT_EQ(ZConfCloseKey(deepest), 0);
        if (zconf_key *b = __zconf_find_subkey(__zconf_find_subkey(ZCONF_ROOT, "A"), "B"))
            __zconf_del_tree(b); // the next run starts from A alone again
    }
    EXPECT_EQ(with_heap_failing_after(3, [&] { return make_key(paths[3]); }), 0);
}

TEST(Lifecycle, AStoreThatCouldNotStartSavesNothing) {
    FILE *file = fopen("/etc/zconfig.xml", "w");
    ASSERT_NE(file, nullptr);
    fputs("kept", file);
    fclose(file);
    ZConfStopAPI();
    zconf_mem_fail_countdown = 0;
    EXPECT_EQ(ZConfInitAPI(), -12);
    zconf_mem_fail_countdown = -1;
    EXPECT_EQ(SaveXMLFile(), -12);
    char text[16] = {};
    file = fopen("/etc/zconfig.xml", "r");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(fread(text, 1, sizeof text, file), 4u);
    fclose(file);
    EXPECT_STREQ(text, "kept");
    EXPECT_EQ(ZConfInitAPI(), 0);
}

TEST_F(Store, ReplacingAValueWithoutMemoryKeepsTheOldOne) {
    ZConfKeyHandle k;
    ASSERT_EQ(ZConfCreateKey(ZCONF_HKEY_ROOT, "K", &k), 0);
    for (const char *name : {"a", "speed", "c"})
        ASSERT_EQ(set_dword(k, name, 7), 0);
    auto second_value = [&] {
        char name[8];
        uint32_t name_size = sizeof name, type, data = 0, size = 4;
        EXPECT_EQ(ZConfEnumValue(k, 1, name, &name_size, &type, &data, &size), 0);
        return std::string(name) + " " + std::to_string(type) + " " + std::to_string(data);
    };
    auto replace = [&] { return ZConfSetValueEx(k, "SPEED", ZCONF_VALUE_DWORD_BE, "\3\0\0", 4); };
    EXPECT_EQ(with_heap_failing_after(0, replace), -12);
    EXPECT_EQ(second_value(), "speed 4 7");
    // With memory the value keeps its place and takes the new name, type and data.
    EXPECT_EQ(with_heap_failing_after(1, replace), 0);
    EXPECT_EQ(second_value(), "SPEED 6 3");
}

} // namespace
