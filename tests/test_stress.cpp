// Several threads hammer a small shared set of keys; afterwards the tree, the open counts
// and the allocator's statistics must agree with each other.
#include "zconf_test_support.h"

#include <atomic>
#include <cstring>
#include <iterator>
#include <random>
#include <thread>
#include <vector>

namespace {

const char *const paths[] = {"S", "S\\A", "S/A/X", "s\\a\\x\\Z", "S\\B", "s//b\\Y", "S\\C"};
const char *const names[] = {"v0", "V0", "v1"};

struct held_handle {
    ZConfKeyHandle h;
    uint32_t mode;
};

// Runs random calls and returns how many results were outside what the call may return.
int worker(unsigned seed, int iterations) {
    std::mt19937 rng(seed);
    std::vector<held_handle> held;
    int bad = 0;
    auto any_of = [&](const auto &list) { return list[rng() % std::size(list)]; };
    for (int i = 0; i < iterations; i++) {
        held_handle k = held.empty() ? held_handle{ZCONF_HKEY_ROOT, 3} : held[rng() % held.size()];
        bool writes = k.mode & ZCONF_KEY_WRITE, on_key = k.h != ZCONF_HKEY_ROOT;
        ZConfKeyHandle h = 0;
        uint32_t word = rng(), size = sizeof word, disposition;
        char name[16];
        int32_t rc;
        switch (rng() % 9) {
        case 0:
        case 1:
            if (held.size() >= 16)
                break;
            if (rng() % 2) {
                uint32_t mode = 1 + rng() % 3;
                rc = ZConfOpenKeyEx(ZCONF_HKEY_ROOT, any_of(paths), mode, &h);
                bad += rc != 0 && (rc != -2 || h != -2);
                if (rc == 0)
                    held.push_back({h, mode});
            } else {
                rc = ZConfCreateKeyEx(ZCONF_HKEY_ROOT, any_of(paths), rng() % 2, &disposition, &h);
                bad += rc != 0 && (rc != -43 || h != -43);
                if (rc == 0)
                    held.push_back({h, 3});
            }
            break;
        case 2:
            rc = rng() % 2 ? set_dword(k.h, any_of(names), word)
                           : ZConfSetValueEx(k.h, any_of(names), ZCONF_VALUE_SZ, "abc", 3);
            bad += rc != (!on_key || !writes ? -13 : 0);
            break;
        case 3:
            rc = ZConfQueryValueEx(k.h, any_of(names), nullptr, &word, &size);
            bad += rc != 0 && rc != -2;
            break;
        case 4:
            rc = ZConfDeleteValue(k.h, any_of(names));
            bad += writes ? rc != 0 && rc != -2 : rc != -13;
            break;
        case 5:
            rc = on_key && rng() % 2 ? ZConfDeleteKey(k.h, "")
                                     : ZConfDeleteKey(ZCONF_HKEY_ROOT, any_of(paths));
            bad += rc != 0 && rc != -2 && rc != -39 && (rc != -13 || writes);
            break;
        case 6:
            rc = ZConfEnumKey(k.h, rng() % 3, name, sizeof name);
            bad += rc != 0 && rc != -2;
            size = sizeof name;
            rc = ZConfEnumValue(k.h, rng() % 3, name, &size, nullptr, nullptr, nullptr);
            bad += rc != 0 && rc != -2;
            break;
        case 7:
            bad += ZConfQueryInfoKey(k.h, &word, &size, nullptr, nullptr, nullptr) != 0;
            break;
        case 8:
            if (on_key && rng() % 2) {
                bad += ZConfCloseKey(k.h) != 0;
                held.clear(); // the close took the thread's whole connection with it
            }
            break;
        }
    }
    // End with no connection: a successful close frees the thread's entry.
    ZConfKeyHandle h;
    bad += ZConfOpenKeyEx(ZCONF_HKEY_ROOT, "HZCONF_ROOT", ZCONF_KEY_READ, &h) != 0;
    bad += ZConfCloseKey(h) != 0;
    return bad;
}

// Counts every node below key and reports keys that are still open, pending, out of
// order, or whose nodes point at the wrong parent.
int walk(zconf_key *key, node_tally &t) {
    int bad = key->open_count != 0 || (key->flags & ZCONF_FLAG_DELETE_PENDING);
    t.add(key);
    for (zconf_list *l = key->values.next; l != &key->values; l = l->next) {
        t.add(zconf_value_of(l));
        bad += zconf_value_of(l)->parent != key;
    }
    for (zconf_list *l = key->subkeys.next; l != &key->subkeys; l = l->next) {
        zconf_key *sub = zconf_key_of(l);
        bad += sub->parent != key;
        bad += l->next != &key->subkeys &&
               zconf_casecmp(sub->name, zconf_key_of(l->next)->name, sub->name_len + 1u) >= 0;
        bad += walk(sub, t);
    }
    return bad;
}

TEST_F(Store, RandomCallsFromManyThreadsLeaveConsistentTreeAndCounters) {
    constexpr int threads = 5, iterations = 20000;
    std::atomic<int> bad{0};
    std::vector<std::thread> pool;
    for (int i = 0; i < threads; i++)
        pool.emplace_back([&bad, i] { bad += worker(1234u + i, iterations); });
    for (std::thread &t : pool)
        t.join();
    EXPECT_EQ(bad, 0) << "calls returned codes they may not return";
    EXPECT_EQ(zconf_open_keys, 0u);
    for (const ZConfConnection &entry : conn_handles)
        EXPECT_TRUE(entry.thread_id == 0 && entry.slots[0].mode == 0);
    node_tally t;
    EXPECT_EQ(walk(ZCONF_ROOT, t), 0) << "open, pending, unsorted or misparented nodes";
    for (int row = 0; row <= ZCONF_MEM_CLASSES; row++) {
        EXPECT_EQ(t.count[row], mem_cache[row].count) << "class row " << row;
        EXPECT_EQ(t.used[row], mem_cache[row].mem_used) << "class row " << row;
    }
    EXPECT_GT(t.count[0], 1u) << "the threads should leave some keys behind";
}

} // namespace
