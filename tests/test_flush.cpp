// The flush and the refresh inside one process, against the real file: what counts as a
// change (and that recording it leaves the allocator's figures alone), and a heap that
// fails at each allocation of a flush or refresh in turn.
#include "api/zconf_journal.h"
#include "process_support.h"
#include "xml_test_support.h"
#include "zconf_test_support.h"

#include <unistd.h>

namespace {

std::string mem_stat() {
    char buffer[1024];
    int32_t n = __ZConfMemStat(buffer, nullptr, 0, sizeof buffer);
    return std::string(buffer, static_cast<size_t>(n));
}

class Flush : public Store {
  protected:
    void SetUp() override {
        Store::SetUp();
        ASSERT_STREQ(getenv("DOVIZUZ_ISOLATED"), "1");
        unlink(kConfig);
        zconf_journal_clear();
    }
};

// A value set again and again is one change; the records live outside the node
// allocator, so its figures are those of the tree alone; a flush writes the last state
// and the changes it wrote no longer count.
TEST_F(Flush, AValueChangedOftenIsOneChangeAndCostsTheAllocatorNothing) {
    ZConfKeyHandle h;
    ASSERT_EQ(ZConfCreateKey(ZCONF_HKEY_ROOT, "Net\\Eth0", &h), 0);
    ASSERT_EQ(set_dword(h, "Port", 0), 0);
    const std::string stat = mem_stat();
    for (uint32_t i = 1; i <= 1000; i++)
        ASSERT_EQ(set_dword(h, i % 2 ? "PORT" : "port", i), 0);
    EXPECT_EQ(mem_stat(), stat);
    EXPECT_EQ(zconf_change_count, 2u) << "the key made and the value";
    ASSERT_EQ(ZConfDeleteValue(h, "Port"), 0);
    ASSERT_EQ(set_dword(h, "Port", 7), 0);
    EXPECT_EQ(zconf_change_count, 2u);
    EXPECT_EQ(ZConfFlushKey(h), 0);
    EXPECT_EQ(zconf_change_count, 0u);
    EXPECT_NE(read_file(kConfig).find("<VALUE_DWORD name=\"Port\">0x00000007</VALUE_DWORD>"),
              std::string::npos);
    ZConfCloseKey(h);
}

// Hundreds of values keep one change each, whatever the letter case of their names (the
// last one given is kept), and a flush of one key forgets its changes while those of the
// other key still count as one each; what the file gets is the last state.
TEST_F(Flush, ManyValuesKeepOneChangeEachAcrossAFlushOfAnotherKey) {
    ZConfKeyHandle a, b;
    ASSERT_EQ(ZConfCreateKey(ZCONF_HKEY_ROOT, "A", &a), 0);
    ASSERT_EQ(ZConfCreateKey(ZCONF_HKEY_ROOT, "B", &b), 0);
    auto set_all = [](ZConfKeyHandle h, const char *prefix, uint32_t value) {
        for (int i = 0; i < 300; i++)
            ASSERT_EQ(set_dword(h, (prefix + std::to_string(i)).c_str(), value), 0);
    };
    set_all(a, "v", 1);
    set_all(b, "v", 1);
    set_all(a, "V", 2);
    EXPECT_EQ(zconf_change_count, 602u) << "two keys made and 600 values";
    ASSERT_EQ(ZConfFlushKey(a), 0);
    EXPECT_EQ(zconf_change_count, 301u);
    set_all(b, "V", 3);
    ASSERT_EQ(ZConfDeleteValue(b, "v7"), 0);
    EXPECT_EQ(zconf_change_count, 301u);
    ASSERT_EQ(ZConfFlushKey(b), 0);
    EXPECT_EQ(zconf_change_count, 0u);
    const std::string text = read_file(kConfig);
    for (const char *expected : {"<VALUE_DWORD name=\"V299\">0x00000002</VALUE_DWORD>",
                                 "<VALUE_DWORD name=\"V8\">0x00000003</VALUE_DWORD>"})
        EXPECT_NE(text.find(expected), std::string::npos) << expected;
    EXPECT_EQ(text.find("name=\"V7\">0x00000003"), std::string::npos);
    ZConfCloseKey(a);
    ZConfCloseKey(b);
}

// Whichever allocation of a flush or a refresh the heap refuses, the flush either writes
// everything (the document channel tries a refused piece again) or fails with -12,
// leaving the file as it was and the change still counted.
TEST_F(Flush, AFailingHeapLeavesTheFileAndTheChangesAsTheyWere) {
    const std::string before =
        document("\t<KEY name=\"Other\">\n\t\t<VALUE_SZ name=\"V\">x</VALUE_SZ>\n\t</KEY>\n");
    ZConfKeyHandle h;
    ASSERT_EQ(ZConfCreateKey(ZCONF_HKEY_ROOT, "Net", &h), 0);
    int32_t rc = 0, failures = 0;
    auto prepare = [&] {
        write_file(kConfig, before);
        EXPECT_EQ(set_dword(h, "Port", 1), 0);
    };
    auto check = [&](int32_t n, bool) {
        const std::string text = read_file(kConfig);
        if (rc == 0) {
            EXPECT_NE(text.find("name=\"Other\""), std::string::npos) << n;
            EXPECT_NE(text.find("name=\"Port\""), std::string::npos) << n;
            EXPECT_EQ(zconf_change_count, 0u) << n;
            return;
        }
        failures++;
        EXPECT_EQ(rc, ZCONF_ERR_NOMEM) << n;
        EXPECT_EQ(text, before) << n;
        EXPECT_NE(zconf_change_count, 0u) << n;
    };
    EXPECT_GT(fail_each_allocation_in_turn(
                  prepare, [&](int32_t) { rc = ZConfFlushKey(0); }, check),
              5);
    EXPECT_GT(failures, 3);
    ZConfCloseKey(h);
    const std::string flushed = read_file(kConfig);
    // A refresh that fails for lack of memory says so; the one that does not finds the
    // other key and changes nothing of the file.
    uint32_t changed = 0;
    auto refresh = [&](int32_t) { rc = ZConfRefreshKey(ZCONF_HKEY_ROOT, &changed); };
    auto refreshed = [&](int32_t n, bool fired) {
        EXPECT_EQ(rc, fired ? ZCONF_ERR_NOMEM : 0) << n;
        EXPECT_EQ(read_file(kConfig), flushed) << n;
    };
    EXPECT_GT(fail_each_allocation_in_turn([] {}, refresh, refreshed), 3);
    ZConfKeyHandle other;
    EXPECT_EQ(ZConfOpenKeyEx(ZCONF_HKEY_ROOT, "Other", ZCONF_KEY_READ, &other), 0);
    ZConfCloseKey(other);
}

// A refresh of a key reaches only below it; a key the file no longer has goes as an open
// key is deleted: its handle serves until it is closed.
TEST_F(Flush, ARefreshOfAKeyReachesOnlyBelowIt) {
    auto write = [](const std::string &body) { write_file(kConfig, document(body)); };
    auto key = [](const char *name, const std::string &values) {
        return "<KEY name=\"" + std::string(name) + "\">" + values + "</KEY>\n";
    };
    auto dword = [](const char *name, int v) {
        return "<VALUE_DWORD name=\"" + std::string(name) + "\">" + std::to_string(v) +
               "</VALUE_DWORD>";
    };
    uint32_t changed = 7, value = 0, size = sizeof value;
    write(key("A", dword("x", 1)) + key("B", dword("y", 2)));
    ASSERT_EQ(ZConfRefreshKey(ZCONF_HKEY_ROOT, &changed), 0);
    EXPECT_EQ(changed, 1u);
    ZConfKeyHandle a;
    ASSERT_EQ(ZConfOpenKeyEx(ZCONF_HKEY_ROOT, "a", ZCONF_KEY_ALL, &a), 0);
    write(key("A", dword("X", 3) + dword("z", 4)));
    EXPECT_EQ(ZConfRefreshKey(a, &changed), 0);
    EXPECT_EQ(changed, 1u);
    EXPECT_EQ(ZConfQueryValueEx(a, "x", nullptr, &value, &size), 0);
    EXPECT_EQ(value, 3u);
    EXPECT_EQ(ZConfQueryValueEx(a, "z", nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(ZConfRefreshKey(a, &changed), 0);
    EXPECT_EQ(changed, 0u);
    EXPECT_EQ(ZConfRefreshKey(a, nullptr), 0);
    write("");
    EXPECT_EQ(ZConfRefreshKey(a, &changed), 0);
    EXPECT_EQ(changed, 1u);
    EXPECT_EQ(ZConfQueryValueEx(a, "z", nullptr, nullptr, nullptr), 0) << "open: still there";
    ZConfKeyHandle b;
    EXPECT_EQ(ZConfOpenKeyEx(ZCONF_HKEY_ROOT, "B", ZCONF_KEY_READ, &b), 0) << "not below A";
    ZConfCloseKey(a);
    EXPECT_EQ(ZConfOpenKeyEx(ZCONF_HKEY_ROOT, "A", ZCONF_KEY_READ, &a), ZCONF_ERR_NOENT);
    EXPECT_EQ(ZConfOpenKeyEx(ZCONF_HKEY_ROOT, "B", ZCONF_KEY_READ, &b), 0);
    ZConfCloseKey(b);
    // A key the file lost that holds an open subkey goes with that subkey's last close.
    write(key("P", key("Q", "")));
    ASSERT_EQ(ZConfRefreshKey(ZCONF_HKEY_ROOT, &changed), 0);
    ZConfKeyHandle q;
    ASSERT_EQ(ZConfOpenKeyEx(ZCONF_HKEY_ROOT, "P\\Q", ZCONF_KEY_READ, &q), 0);
    write("");
    ASSERT_EQ(ZConfRefreshKey(ZCONF_HKEY_ROOT, &changed), 0);
    ZConfCloseKey(q);
    EXPECT_EQ(live_nodes(), 1u) << "only the root is left";
    // A key deleted here and not yet flushed stays deleted through a refresh.
    write(key("D", dword("d", 1)));
    ASSERT_EQ(ZConfRefreshKey(ZCONF_HKEY_ROOT, &changed), 0);
    ASSERT_EQ(ZConfDeleteKey(ZCONF_HKEY_ROOT, "d"), 0);
    EXPECT_EQ(ZConfRefreshKey(ZCONF_HKEY_ROOT, &changed), 0);
    EXPECT_EQ(live_nodes(), 1u) << "D came back";
}

// A refresh keeps every change this process made and has not flushed, however many, and
// only those: keys it made stay, keys of the file it deleted stay deleted, a key it
// deleted and made again keeps what it holds here, while keys the file lost go, also
// beside and below such keys, and keys the file gained come in.
TEST_F(Flush, ARefreshKeepsThisProcesssOwnChangesAndNoOthers) {
    auto key = [](const std::string &name, const std::string &inside) {
        return "<KEY name=\"" + name + "\">" + inside + "</KEY>";
    };
    const std::string v1 = "<VALUE_DWORD name=\"v\">1</VALUE_DWORD>";
    std::string listed;
    char name[16];
    for (int i = 0; i < 40; i++) {
        snprintf(name, sizeof name, "K%d", 100 + i);
        listed += key(name, "");
    }
    write_file(kConfig,
               document(key("A", key("C", "")) + key("Del", listed) + key("Gone", key("Sub", "")) +
                        key("Own", key("Foreign", "")) + key("Re", v1)));
    uint32_t changed = 0;
    ASSERT_EQ(ZConfRefreshKey(ZCONF_HKEY_ROOT, &changed), 0);
    std::string own;
    for (int i = 0; i < 100; i++) {
        snprintf(name, sizeof name, "Lease%d", 1000 + i);
        ASSERT_EQ(make_key((std::string("Own\\") + name).c_str()), 0);
        own += std::string(name) + "{|}|";
    }
    ZConfKeyHandle h;
    ASSERT_EQ(ZConfCreateKey(ZCONF_HKEY_ROOT, "a\\B", &h), 0);
    ASSERT_EQ(set_dword(h, "x", 1), 0);
    ZConfCloseKey(h);
    for (int i = 0; i < 40; i++) {
        snprintf(name, sizeof name, "del\\k%d", 100 + i);
        ASSERT_EQ(ZConfDeleteKey(ZCONF_HKEY_ROOT, name), 0);
    }
    ASSERT_EQ(ZConfDeleteKey(ZCONF_HKEY_ROOT, "Re"), 0);
    ASSERT_EQ(ZConfCreateKey(ZCONF_HKEY_ROOT, "Re\\Inner", &h), 0);
    ASSERT_EQ(set_dword(h, "v", 2), 0);
    write_file(
        kConfig,
        document(key("Del", listed) + key("New", "") +
                 key("Re", v1 + key("Inner", v1 + "<VALUE_DWORD name=\"w\">5</VALUE_DWORD>"))));
    ASSERT_EQ(ZConfRefreshKey(ZCONF_HKEY_ROOT, &changed), 0);
    EXPECT_EQ(changed, 1u);
    EXPECT_EQ(read_document(), saved_tree("A{|B{|DWORD x=0x00000001|}|}|Del{|}|New{|}|Own{|" + own +
                                          "}|Re{|Inner{|DWORD v=0x00000002|}|}"));
    // Below a key deleted and made again here, all is this process's own too.
    const std::string text = read_document();
    EXPECT_EQ(ZConfRefreshKey(h, &changed), 0);
    EXPECT_EQ(changed, 0u);
    EXPECT_EQ(read_document(), text);
    ZConfCloseKey(h);
}

} // namespace
