// Connections and handles across real threads and a forked child.
#include "zconf_test_support.h"

#include <atomic>
#include <barrier>
#include <csignal>
#include <latch>
#include <semaphore>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

int32_t kernel_tid() { return static_cast<int32_t>(syscall(SYS_gettid)); }

TEST_F(Store, SixtyFourThreadsFillTheTableAndAFurtherThreadWaits) {
    ASSERT_EQ(make_key("Full"), 0);
    std::barrier held(ZCONF_MAX_CONNECTIONS + 1);
    std::latch release(1), holders_gone(1);
    std::atomic<int> failures{0};
    std::vector<std::thread> holders;
    for (int i = 0; i < ZCONF_MAX_CONNECTIONS; i++)
        holders.emplace_back([&] {
            ZConfKeyHandle h;
            failures += ZConfOpenKeyEx(ZCONF_HKEY_ROOT, "Full", ZCONF_KEY_READ, &h) != 0;
            held.arrive_and_wait();
            release.wait();
            failures += ZConfCloseKey(h) != 0;
        });
    held.arrive_and_wait();
    EXPECT_EQ(ZCONF_ROOT->open_count, 2 * ZCONF_MAX_CONNECTIONS);
    std::thread late([&] {
        ZConfKeyHandle h = 0;
        char name[16];
        EXPECT_EQ(ZConfOpenKeyEx(ZCONF_HKEY_ROOT, "Full", ZCONF_KEY_READ, &h), -22);
        EXPECT_EQ(h, -22);
        EXPECT_EQ(ZConfCreateKey(ZCONF_HKEY_ROOT, "Other", &h), -22);
        EXPECT_EQ(h, -22);
        EXPECT_EQ(ZConfEnumKey(ZCONF_HKEY_ROOT, 0, name, sizeof name), -22);
        EXPECT_EQ(ZConfDeleteKey(ZCONF_HKEY_ROOT, "Full"), -22);
        uint32_t count = 0, type = 0, size = sizeof name;
        EXPECT_EQ(ZConfQueryInfoKey(ZCONF_HKEY_ROOT, &count, nullptr, nullptr, nullptr, nullptr),
                  -22);
        EXPECT_EQ(ZConfSetValueEx(ZCONF_HKEY_ROOT, "V", ZCONF_VALUE_SZ, "x", 2), -22);
        EXPECT_EQ(ZConfQueryValueEx(ZCONF_HKEY_ROOT, "V", &type, name, &size), -22);
        EXPECT_EQ(ZConfEnumValue(ZCONF_HKEY_ROOT, 0, name, &size, &type, nullptr, nullptr), -22);
        EXPECT_EQ(ZConfDeleteValue(ZCONF_HKEY_ROOT, "V"), -22);
        EXPECT_EQ(ZConfCloseKey(1), -9);
        release.count_down();
        holders_gone.wait();
        ASSERT_EQ(ZConfOpenKeyEx(ZCONF_HKEY_ROOT, "Full", ZCONF_KEY_READ, &h), 0);
        EXPECT_EQ(h, 1);
        EXPECT_EQ(ZConfEnumKey(ZCONF_HKEY_ROOT, 0, name, sizeof name), 0);
        EXPECT_STREQ(name, "Full");
        EXPECT_EQ(ZConfCloseKey(h), 0);
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
        ZConfKeyHandle h;
        EXPECT_EQ(ZConfOpenKeyEx(ZCONF_HKEY_ROOT, "Dir\\Leaf", ZCONF_KEY_READ, &h), 0);
        opened.release();
        close_now.acquire();
        EXPECT_EQ(ZConfCloseKey(h), 0);
    });
    opened.acquire();
    ZConfKeyHandle dir, leaf, sub;
    char name[16];
    ASSERT_EQ(ZConfOpenKeyEx(ZCONF_HKEY_ROOT, "Dir", ZCONF_KEY_ALL, &dir), 0);
    EXPECT_EQ(ZConfDeleteKey(dir, "Leaf"), 0);
    EXPECT_EQ(ZConfEnumKey(dir, 0, name, sizeof name), 0);
    EXPECT_STREQ(name, "Leaf");
    ASSERT_EQ(ZConfOpenKeyEx(dir, "Leaf", ZCONF_KEY_ALL, &leaf), 0);
    EXPECT_EQ(set_dword(leaf, "Still", 1), 0);
    EXPECT_EQ(ZConfCreateKey(leaf, "Sub", &sub), -43);
    EXPECT_EQ(ZConfCloseKey(leaf), 0); // also closes dir: the holder still keeps Leaf
    EXPECT_EQ(live_nodes(), nodes + 1);
    close_now.release();
    holder.join();
    EXPECT_EQ(live_nodes(), nodes - 1);
    EXPECT_EQ(live_bytes(), bytes - (ZCONF_KEY_REQUEST_BASE + 4));
    ASSERT_EQ(ZConfOpenKeyEx(ZCONF_HKEY_ROOT, "Dir", ZCONF_KEY_READ, &dir), 0);
    EXPECT_EQ(ZConfEnumKey(dir, 0, name, sizeof name), -2);
    EXPECT_EQ(ZConfOpenKeyEx(dir, "Leaf", ZCONF_KEY_READ, &leaf), -2);
    EXPECT_EQ(ZConfCloseKey(dir), 0);
}

TEST_F(Store, HandleNumberNamesTheCallingThreadsOwnSlot) {
    ASSERT_EQ(make_key("Mine"), 0);
    ASSERT_EQ(make_key("Yours"), 0);
    ZConfKeyHandle mine;
    ASSERT_EQ(ZConfOpenKeyEx(ZCONF_HKEY_ROOT, "Mine", ZCONF_KEY_ALL, &mine), 0);
    ASSERT_EQ(set_dword(mine, "Only", 7), 0);
    std::thread([mine] {
        uint32_t values = 99;
        EXPECT_EQ(ZConfQueryInfoKey(mine, nullptr, nullptr, &values, nullptr, nullptr), -22);
        EXPECT_EQ(set_dword(mine, "Stray", 1), -22);
        EXPECT_EQ(ZConfCloseKey(mine), -9);
        ZConfKeyHandle yours;
        ASSERT_EQ(ZConfOpenKeyEx(ZCONF_HKEY_ROOT, "Yours", ZCONF_KEY_ALL, &yours), 0);
        ASSERT_EQ(yours, mine);
        EXPECT_EQ(ZConfQueryInfoKey(mine, nullptr, nullptr, &values, nullptr, nullptr), 0);
        EXPECT_EQ(values, 0u);
        EXPECT_EQ(ZConfCloseKey(yours), 0);
    }).join();
    uint32_t values = 0;
    EXPECT_EQ(ZConfQueryInfoKey(mine, nullptr, nullptr, &values, nullptr, nullptr), 0);
    EXPECT_EQ(values, 1u);
    EXPECT_EQ(ZConfCloseKey(mine), 0);
}

// The child reports each failed check as one bit of its exit status.
TEST_F(Store, ForkedChildKeepsTheForkingThreadsHandlesOnly) {
    ASSERT_EQ(make_key("Kept"), 0);
    std::binary_semaphore other_ready(0), other_done(0);
    int32_t other_conn = -1;
    std::thread other([&] {
        ZConfKeyHandle h;
        EXPECT_EQ(ZConfOpenKeyEx(ZCONF_HKEY_ROOT, "Kept", ZCONF_KEY_READ, &h), 0);
        other_conn = FindhConn();
        other_ready.release();
        other_done.acquire();
        EXPECT_EQ(ZConfCloseKey(h), 0);
    });
    other_ready.acquire();
    std::thread forker([&] {
        ZConfKeyHandle h;
        ASSERT_EQ(ZConfOpenKeyEx(ZCONF_HKEY_ROOT, "Kept", ZCONF_KEY_ALL, &h), 0);
        ASSERT_EQ(set_dword(h, "Port", 80), 0);
        const int32_t conn = FindhConn(), parent_tid = kernel_tid();
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            uint32_t port = 0, size = sizeof port;
            int bad = 0;
            bad |= (conn_handles[conn].thread_id != kernel_tid()) << 0;
            bad |= (kernel_tid() == parent_tid) << 1;
            bad |= (FindhConn() != conn) << 2;
            bad |= (ZConfQueryValueEx(h, "Port", nullptr, &port, &size) != 0 || port != 80) << 3;
            bad |= (conn_handles[other_conn].slots[0].mode != 0 || zconf_open_keys != 1) << 4;
            bad |= (ZConfCloseKey(h) != 0 || ZCONF_ROOT->open_count != 0) << 5;
            _exit(bad);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "bit mask of failed checks in the child";
        EXPECT_EQ(conn_handles[conn].thread_id, parent_tid);
        EXPECT_EQ(ZConfCloseKey(h), 0);
    });
    forker.join();
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
    int status = 0;
    ASSERT_EQ(waitpid(static_cast<pid_t>(pid), &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

} // namespace
