// Connections and handles across real threads and forked children, and random calls from
// many threads after which the tree, the open counts and the allocator must agree.
#include "zconf_test_support.h"

#include <atomic>
#include <barrier>
#include <csignal>
#include <iterator>
#include <latch>
#include <random>
#include <semaphore>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using codes = std::vector<int32_t>;

// The calling thread's id as the kernel knows it, asked every time.
int32_t kernel_tid() { return static_cast<int32_t>(syscall(SYS_gettid)); }

// Opens a key from the root: the new handle, or the error.
ZConfKeyHandle open_key(const char *path, uint32_t mode = ZCONF_KEY_ALL) {
    ZConfKeyHandle h;
    int32_t rc = ZConfOpenKeyEx(ZCONF_HKEY_ROOT, path, mode, &h);
    return rc != 0 ? rc : h;
}

// The number of values of the handle's key, or the error of the call.
uint32_t value_count(ZConfKeyHandle h) {
    uint32_t values = 99;
    int32_t rc = ZConfQueryInfoKey(h, nullptr, nullptr, &values, nullptr, nullptr);
    return rc != 0 ? uint32_t(rc) : values;
}

// The exit status of a child that ended normally, -1 otherwise.
int child_status(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(Store, SixtyFourThreadsFillTheTableAndAFurtherThreadIsRefused) {
    ASSERT_EQ(make_key("Full"), 0);
    std::barrier held(ZCONF_MAX_CONNECTIONS + 1);
    std::latch release(1), holders_gone(1);
    std::atomic<int> failures{0};
    std::vector<std::thread> holders;
    for (int i = 0; i < ZCONF_MAX_CONNECTIONS; i++)
        holders.emplace_back([&] {
            ZConfKeyHandle h = open_key("Full", ZCONF_KEY_READ);
            held.arrive_and_wait();
            release.wait();
            failures += h != 1 || ZConfCloseKey(h) != 0;
        });
    held.arrive_and_wait();
    EXPECT_EQ(ZCONF_ROOT->open_count, 2 * ZCONF_MAX_CONNECTIONS);
    std::thread late([&] {
        ZConfKeyHandle h = 0, k = 0;
        char name[16];
        uint32_t count = 0, type = 0, size = sizeof name;
        EXPECT_EQ(
            (codes{ZConfOpenKeyEx(0, "Full", ZCONF_KEY_READ, &h), h, ZConfCreateKey(0, "Other", &k),
                   k, ZConfEnumKey(0, 0, name, sizeof name), ZConfDeleteKey(0, "Full"),
                   ZConfQueryInfoKey(0, &count, nullptr, nullptr, nullptr, nullptr),
                   ZConfSetValueEx(0, "V", ZCONF_VALUE_SZ, "x", 2),
                   ZConfQueryValueEx(0, "V", &type, name, &size),
                   ZConfEnumValue(0, 0, name, &size, &type, nullptr, nullptr),
                   ZConfDeleteValue(0, "V"), ZConfCloseKey(1)}),
            (codes{-22, -22, -22, -22, -22, -22, -22, -22, -22, -22, -22, -9}));
        release.count_down();
        holders_gone.wait();
        EXPECT_EQ(open_key("Full", ZCONF_KEY_READ), 1);
        EXPECT_EQ(ZConfEnumKey(0, 0, name, sizeof name), 0);
        EXPECT_STREQ(name, "Full");
        EXPECT_EQ(ZConfCloseKey(1), 0);
    });
    for (std::thread &t : holders)
        t.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(ZCONF_ROOT->open_count, 0);
    holders_gone.count_down();
    late.join();
    EXPECT_EQ(zconf_open_keys, 0u);
}

TEST_F(Store, KeyDeletedWhileAnotherThreadHoldsItLivesUntilThatClose) {
    ASSERT_EQ(make_key("Dir\\Leaf"), 0);
    const uint32_t nodes = live_nodes(), bytes = live_bytes();
    std::binary_semaphore opened(0), close_now(0);
    std::thread holder([&] {
        ZConfKeyHandle h = open_key("Dir\\Leaf", ZCONF_KEY_READ);
        opened.release();
        close_now.acquire();
        EXPECT_EQ(ZConfCloseKey(h), 0);
    });
    opened.acquire();
    ZConfKeyHandle dir = open_key("Dir"), sub;
    char name[16];
    EXPECT_EQ((codes{ZConfDeleteKey(dir, "Leaf"), ZConfEnumKey(dir, 0, name, sizeof name),
                     open_key("Dir\\Leaf"), set_dword(2, "Still", 1), ZConfCreateKey(2, "S", &sub),
                     ZConfCloseKey(2)}),
              (codes{0, 0, 2, 0, -43, 0})); // the close also closes dir; the holder keeps Leaf
    EXPECT_STREQ(name, "Leaf");
    EXPECT_EQ(live_nodes(), nodes + 1);
    close_now.release();
    holder.join();
    EXPECT_EQ(live_nodes(), nodes - 1);
    EXPECT_EQ(live_bytes(), bytes - (ZCONF_KEY_REQUEST_BASE + 4));
    dir = open_key("Dir", ZCONF_KEY_READ);
    EXPECT_EQ(
        (codes{ZConfEnumKey(dir, 0, name, sizeof name), open_key("Dir\\Leaf"), ZConfCloseKey(dir)}),
        (codes{-2, -2, 0}));
}

TEST_F(Store, HandleNumberNamesTheCallingThreadsOwnSlot) {
    ASSERT_EQ(make_key("Mine") + make_key("Yours"), 0);
    ZConfKeyHandle mine = open_key("Mine");
    ASSERT_EQ(set_dword(mine, "Only", 7), 0);
    std::thread([mine] {
        EXPECT_EQ(
            (codes{int32_t(value_count(mine)), set_dword(mine, "Stray", 1), ZConfCloseKey(mine),
                   open_key("Yours"), int32_t(value_count(mine)), ZConfCloseKey(mine)}),
            (codes{-22, -22, -9, mine, 0, 0}));
    }).join();
    EXPECT_EQ(value_count(mine), 1u);
    EXPECT_EQ(ZConfCloseKey(mine), 0);
}

// The child reports each failed check as one bit of its exit status.
TEST_F(Store, ForkedChildKeepsTheForkingThreadsHandlesOnly) {
    ASSERT_EQ(make_key("Kept"), 0);
    std::binary_semaphore other_ready(0), other_done(0);
    int32_t other_conn = -1;
    std::thread other([&] {
        ZConfKeyHandle h = open_key("Kept", ZCONF_KEY_READ);
        other_conn = FindhConn();
        other_ready.release();
        other_done.acquire();
        EXPECT_EQ(ZConfCloseKey(h), 0);
    });
    other_ready.acquire();
    std::thread([&] {
        ZConfKeyHandle h = open_key("Kept");
        ASSERT_EQ(set_dword(h, "Port", 80), 0);
        const int32_t conn = FindhConn(), parent_tid = kernel_tid();
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            uint32_t port = 0, size = sizeof port;
            int bad = (conn_handles[conn].thread_id != kernel_tid()) << 0;
            bad |= (kernel_tid() == parent_tid) << 1;
            bad |= (FindhConn() != conn) << 2;
            bad |= (ZConfQueryValueEx(h, "Port", nullptr, &port, &size) != 0 || port != 80) << 3;
            bad |= (conn_handles[other_conn].slots[0].mode != 0 || zconf_open_keys != 1) << 4;
            bad |= (ZConfCloseKey(h) != 0 || ZCONF_ROOT->open_count != 0) << 5;
            _exit(bad);
        }
        EXPECT_EQ(child_status(pid), 0) << "bit mask of failed checks in the child";
        EXPECT_EQ(conn_handles[conn].thread_id, parent_tid);
        EXPECT_EQ(ZConfCloseKey(h), 0);
    }).join();
    other_done.release();
    other.join();
}

// After the first call the thread id comes from the thread's own copy: a child made by a
// raw clone (no fork handlers run) still sees the parent thread's id.
TEST_F(Store, ThreadIdIsAskedOncePerThread) {
    const int32_t mine = local_gettid();
    EXPECT_EQ(mine, kernel_tid());
    int32_t theirs = 0;
    std::thread([&] { theirs = local_gettid() == kernel_tid() ? local_gettid() : -1; }).join();
    EXPECT_NE(theirs, mine);
    EXPECT_GT(theirs, 0);
    long pid = syscall(SYS_clone, SIGCHLD, nullptr, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0)
        _exit(local_gettid() == mine && kernel_tid() != mine ? 0 : 1);
    EXPECT_EQ(child_status(static_cast<pid_t>(pid)), 0);
}

const char *const paths[] = {"S", "S\\A", "S/A/X", "s\\a\\x\\Z", "S\\B", "s//b\\Y", "S\\C"};
const char *const names[] = {"v0", "V0", "v1"};

// Runs random calls and returns how many results were outside what the call may return.
int worker(unsigned seed, int iterations) {
    std::mt19937 rng(seed);
    std::vector<std::pair<ZConfKeyHandle, uint32_t>> held; // handle, mode
    int bad = 0;
    auto any = [&](const auto &list) { return list[rng() % std::size(list)]; };
    for (int i = 0; i < iterations; i++) {
        auto [k, mode] = held.empty() ? std::pair{0, 3u} : held[rng() % held.size()];
        bool writes = mode & ZCONF_KEY_WRITE, on_key = k != ZCONF_HKEY_ROOT, coin = rng() % 2;
        ZConfKeyHandle h = 0;
        uint32_t word = rng(), size = sizeof word, made, new_mode = coin ? 1 + rng() % 3 : 3;
        char name[16];
        int32_t rc;
        switch (rng() % 9) {
        case 0:
        case 1: // open or create, up to 16 handles
            if (held.size() >= 16)
                break;
            rc = coin ? ZConfOpenKeyEx(0, any(paths), new_mode, &h)
                      : ZConfCreateKeyEx(0, any(paths), rng() % 2, &made, &h);
            bad += rc != 0 && (rc != (coin ? -2 : -43) || h != rc);
            if (rc == 0)
                held.push_back({h, new_mode});
            break;
        case 2:
            rc = coin ? set_dword(k, any(names), word)
                      : ZConfSetValueEx(k, any(names), ZCONF_VALUE_SZ, "abc", 3);
            bad += rc != (!on_key || !writes ? -13 : 0);
            break;
        case 3:
            rc = ZConfQueryValueEx(k, any(names), nullptr, &word, &size);
            bad += rc != 0 && rc != -2;
            break;
        case 4:
            rc = ZConfDeleteValue(k, any(names));
            bad += writes ? rc != 0 && rc != -2 : rc != -13;
            break;
        case 5:
            rc = on_key && coin ? ZConfDeleteKey(k, "") : ZConfDeleteKey(0, any(paths));
            bad += rc != 0 && rc != -2 && rc != -39 && (rc != -13 || writes);
            break;
        case 6:
            rc = ZConfEnumKey(k, rng() % 3, name, sizeof name);
            size = sizeof name;
            rc = rc == 0 || rc == -2 ? ZConfEnumValue(k, rng() % 3, name, &size, 0, 0, 0) : 1;
            bad += rc != 0 && rc != -2;
            break;
        case 7:
            bad += ZConfQueryInfoKey(k, &word, &size, nullptr, nullptr, nullptr) != 0;
            break;
        case 8: // a close takes the thread's whole connection with it
            if (on_key && coin) {
                bad += ZConfCloseKey(k) != 0;
                held.clear();
            }
        }
    }
    // End with no connection: a successful close frees the thread's entry.
    return bad + (ZConfCloseKey(open_key("HZCONF_ROOT", ZCONF_KEY_READ)) != 0);
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
        bad += (sub->parent != key) + walk(sub, t);
        bad += l->next != &key->subkeys &&
               zconf_casecmp(sub->name, zconf_key_of(l->next)->name, sub->name_len + 1u) >= 0;
    }
    return bad;
}

TEST_F(Store, RandomCallsFromManyThreadsLeaveConsistentTreeAndCounters) {
    std::atomic<int> bad{0};
    std::vector<std::thread> pool;
    for (unsigned i = 0; i < 5; i++)
        pool.emplace_back([&bad, i] { bad += worker(1234u + i, 20000); });
    for (std::thread &t : pool)
        t.join();
    EXPECT_EQ(bad, 0) << "calls returned codes they may not return";
    EXPECT_EQ(zconf_open_keys, 0u);
    for (const ZConfConnection &entry : conn_handles)
        EXPECT_TRUE(entry.thread_id == 0 && entry.slots[0].mode == 0);
    node_tally t;
    EXPECT_EQ(walk(ZCONF_ROOT, t), 0) << "open, pending, unsorted or misparented nodes";
    for (int row = 0; row <= ZCONF_MEM_CLASSES; row++)
        EXPECT_EQ((codes{int32_t(t.count[row]), int32_t(t.used[row])}),
                  (codes{int32_t(mem_cache[row].count), int32_t(mem_cache[row].mem_used)}))
            << "class row " << row;
    EXPECT_GT(t.count[0], 1u) << "the threads should leave some keys behind";
}

} // namespace
