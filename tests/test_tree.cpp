// The node allocator and its statistics text, and the heap failing midway through an
// operation.
#include "process_support.h"
#include "zconf_test_support.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

namespace {

using namespace std::string_literals;

// The statistics text, whole.
std::string statistics() {
    char buffer[512];
    const int32_t n = __ZConfMemStat(buffer, nullptr, 0, sizeof buffer);
    EXPECT_EQ(n, int32_t(strlen(buffer)));
    return buffer;
}

// Values with an empty name ask for their length + 17 bytes: 64 and 65 bytes straddle
// the first two classes, 4096 fills the last, and 4097 is refused.
TEST_F(Store, AllocatorCountsEachRequestInTheSmallestFittingClass) {
    const std::string header = " size count  mem_used\n", zero = "     0         0 %\n";
    const std::string empty = header + "   64     1        43 %\n" + "  128" + zero + "  256" +
                              zero + "  512" + zero + " 1024" + zero + " 2048" + zero + " 4096" +
                              zero + "total     1        43 %\n";
    EXPECT_EQ(statistics(), empty);
    const std::vector<char> data(4080, 'x');
    std::vector<zconf_value *> values;
    for (auto [length, cls] :
         {std::pair{47u, 1}, std::pair{48u, 2}, std::pair{200u, 3}, std::pair{4079u, 7}}) {
        values.push_back(__zconf_create_value("", ZCONF_VALUE_BINARY, data.data(), length));
        ASSERT_NE(values.back(), nullptr);
        EXPECT_EQ(values.back()->flags, cls);
    }
    EXPECT_EQ(__zconf_create_value("", ZCONF_VALUE_BINARY, data.data(), 4080), nullptr);
    const std::string text = header + "   64     2       107 %\n" + "  128     1        65 %\n" +
                             "  256     1       217 %\n" + "  512" + zero + " 1024" + zero +
                             " 2048" + zero + " 4096     1      4096 %\n" +
                             "total     5      4485 %\n";
    EXPECT_EQ(statistics(), text);
    char buffer[512];
    EXPECT_EQ(__ZConfMemStat(buffer, nullptr, 1, sizeof buffer), int32_t(header.size()));
    EXPECT_EQ(buffer, header);
    // Header and first class line fit in 56 bytes; the cut second line ends the text.
    EXPECT_EQ(__ZConfMemStat(buffer, nullptr, 0, 56), 22 + 24 + 24);
    EXPECT_EQ(buffer, text.substr(0, 55));
    for (zconf_value *value : values)
        zconf_mem_free(value);
    EXPECT_EQ(statistics(), empty);
}

// Runs an operation with the heap failing after the given number of allocations; the
// allocator's counters must then agree with the nodes in the tree.
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

TEST(Lifecycle, AStoreThatCouldNotStartSavesNothing) {
    write_file(kConfig, "kept");
    ZConfStopAPI();
    zconf_mem_fail_countdown = 0;
    EXPECT_EQ(ZConfInitAPI(), -12);
    zconf_mem_fail_countdown = -1;
    EXPECT_EQ(SaveXMLFile(), -12);
    EXPECT_EQ(read_file(kConfig), "kept");
    EXPECT_EQ(ZConfInitAPI(), 0);
}

} // namespace
