// Helpers shared by the tests: a fixture that leaves the store as it found it, and
// short forms of the calls the tests make most often.
#pragma once

#include "api/zconf_api.h"
#include "dovizuz.h"
#include "tree/zconf_mem.h"

#include <gtest/gtest.h>
#include <string>

// Live nodes and bytes counted by the allocator.
inline uint32_t live_nodes() { return mem_cache[0].count; }
inline uint32_t live_bytes() { return mem_cache[0].mem_used; }

// Live nodes and their requested bytes per allocator row (0 is the total), as counted
// from the nodes themselves.
struct node_tally {
    uint32_t count[ZCONF_MEM_CLASSES + 1] = {}, used[ZCONF_MEM_CLASSES + 1] = {};
    void add(const void *node) {
        uint32_t cls = *static_cast<const uint8_t *>(node) & ZCONF_FLAG_CLASS_MASK;
        for (uint32_t row : {0u, cls}) {
            count[row]++;
            used[row] += zconf_mem_get_size(node);
        }
    }
};

// Adds a key, its values and its whole subtree to the tally.
inline void tally_tree(zconf_key *key, node_tally &t) {
    t.add(key);
    for (zconf_list *l = key->values.next; l != &key->values; l = l->next)
        t.add(zconf_value_of(l));
    for (zconf_list *l = key->subkeys.next; l != &key->subkeys; l = l->next)
        tally_tree(zconf_key_of(l), t);
}

// Creates a key path from the root and closes the handle again; returns the result.
inline int32_t make_key(const char *path) {
    ZConfKeyHandle h;
    int32_t rc = ZConfCreateKey(ZCONF_HKEY_ROOT, path, &h);
    return rc == 0 ? ZConfCloseKey(h) : rc;
}

// Sets a DWORD value; the call's result.
inline int32_t set_dword(ZConfKeyHandle h, const char *name, uint32_t v) {
    return ZConfSetValueEx(h, name, ZCONF_VALUE_DWORD, &v, sizeof v);
}

// For n = 0, 1, ...: runs prepare() with the heap whole, run() with the heap refusing
// its n-th allocation (counting from 0), then check(n, fired) with the heap whole again,
// until a run no longer reaches the refused allocation. Returns that n, the number of
// runs that failed.
template <typename Prepare, typename Run, typename Check>
int32_t fail_each_allocation_in_turn(Prepare prepare, Run run, Check check, int32_t limit = 1000) {
    for (int32_t n = 0; n < limit; n++) {
        prepare();
        zconf_mem_fail_countdown = n;
        run(n);
        bool fired = zconf_mem_fail_countdown == -1;
        zconf_mem_fail_countdown = -1;
        check(n, fired);
        if (!fired)
            return n;
    }
    ADD_FAILURE() << "the heap was still refusing after " << limit << " allocations";
    return limit;
}

// Each test starts from an empty root and must leave no connection open and no node
// behind but the root.
class Store : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(live_nodes(), 1u) << "only the root should be live"; }
    void TearDown() override {
        DoviZUZClose(FindhConn());
        EXPECT_EQ(ZCONF_ROOT->open_count, 0) << "a connection or handle was left open";
        ASSERT_EQ(zconf_lock(), 0);
        while (!zconf_list_empty(&ZCONF_ROOT->subkeys))
            __zconf_del_tree(zconf_key_of(ZCONF_ROOT->subkeys.next));
        ZCONF_ROOT->flags &= ~ZCONF_FLAG_DELETE_PENDING;
        zconf_unlock();
        EXPECT_EQ(live_nodes(), 1u);
        EXPECT_EQ(live_bytes(), ZCONF_KEY_REQUEST_BASE + 10u);
    }
};
