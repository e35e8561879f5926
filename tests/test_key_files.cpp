// A key's subtree saved to a file of its own and restored under another key or into an
// empty store: the same content, volatile keys left out, and an import that fails
// changes nothing.
#include "process_support.h"
#include "zconf_test_support.h"

#include <sys/stat.h>

namespace {

// The key's subtree as text: values in order with type and data, then subkeys in order.
std::string dump(ZConfKeyHandle h, const std::string &indent = "") {
    std::string text;
    char name[300];
    uint8_t data[4100];
    for (uint32_t i = 0;; i++) {
        uint32_t name_size = sizeof name, type = 0, size = sizeof data;
        if (ZConfEnumValue(h, i, name, &name_size, &type, data, &size) != 0)
            break;
        text += indent + std::string(name, name_size) + " " + std::to_string(type) + " " +
                std::string(reinterpret_cast<char *>(data), size) + "\n";
    }
    for (uint32_t i = 0; ZConfEnumKey(h, i, name, sizeof name) == 0; i++) {
        ZConfKeyHandle sub;
        EXPECT_EQ(ZConfOpenKeyEx(h, name, ZCONF_KEY_READ, &sub), 0);
        text += indent + name + "/\n" + dump(sub, indent + "  ");
    }
    return text;
}

ZConfKeyHandle create(const char *path, uint32_t is_volatile = 0) {
    ZConfKeyHandle h = -1;
    EXPECT_EQ(ZConfCreateKeyEx(ZCONF_HKEY_ROOT, path, is_volatile, nullptr, &h), 0);
    return h;
}

void set(ZConfKeyHandle h, const char *name, uint32_t type, const std::string &data) {
    ASSERT_EQ(ZConfSetValueEx(h, name, type, data.data(), static_cast<uint32_t>(data.size())), 0);
}

using KeyFiles = Store;

TEST_F(KeyFiles, ASavedKeyRestoresTheSameUnderAnotherKeyAndIntoAnEmptyStore) {
    const char *path = "/etc/zconf-key.xml";
    ZConfKeyHandle eth0 = create("Net\\Eth0");
    set(eth0, "Host", ZCONF_VALUE_SZ, std::string("a&b<c>\"d'\n", 11));
    set(eth0, "Dns", ZCONF_VALUE_MULTI_SZ, std::string("1.1.1.1\0008.8.8.8\0\0", 18));
    set(eth0, "Mac", ZCONF_VALUE_BINARY, std::string("\x00\x1a\xff", 3));
    set(eth0, "Port", ZCONF_VALUE_DWORD_LE, std::string("\x01\x02\x03\x04", 4));
    set(eth0, "Big", ZCONF_VALUE_QWORD_BE, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8));
    ASSERT_EQ(ZConfSetValueEx(eth0, "Flag", ZCONF_VALUE_NONE, nullptr, 0), 0);
    set(create("Net\\Eth0\\Ipv4"), "Addr", ZCONF_VALUE_SZ, "10.0.0.2");
    std::string eth0_content = dump(eth0);
    set(create("Net\\Eth0\\Run", 1), "Pid", ZCONF_VALUE_SZ, "42");
    ASSERT_EQ(ZConfSaveKey(eth0, path), 0);
    ASSERT_EQ(ZConfCloseKey(eth0), 0);

    ZConfKeyHandle backup = create("Backup");
    ASSERT_EQ(ZConfRestoreKey(backup, path), 0);
    ZConfKeyHandle copy;
    ASSERT_EQ(ZConfOpenKeyEx(backup, "Eth0", ZCONF_KEY_READ, &copy), 0);
    EXPECT_EQ(dump(copy), eth0_content); // the volatile key left out
    // Restored again, the same values replace themselves.
    ASSERT_EQ(ZConfRestoreKey(backup, path), 0);
    EXPECT_EQ(dump(copy), eth0_content);
    // What a restore brought counts as this process's change: a flush writes it.
    unlink(kConfig);
    ASSERT_EQ(ZConfFlushKey(backup), 0);
    std::string saved = read_file(kConfig);
    EXPECT_NE(saved.find("<KEY name=\"Backup\">"), std::string::npos) << saved;
    EXPECT_NE(saved.find("10.0.0.2"), std::string::npos) << saved;
    EXPECT_EQ(saved.find("Net"), std::string::npos) << saved;
    ASSERT_EQ(ZConfCloseKey(backup), 0);
    unlink(path);
}

TEST_F(KeyFiles, AnImportThatFailsChangesNothing) {
    const char *path = "/etc/zconf-key.xml";
    ZConfKeyHandle key = create("K");
    set(key, "V", ZCONF_VALUE_SZ, "kept");
    std::string before = dump(ZCONF_HKEY_ROOT);
    uint32_t nodes = live_nodes();
    for (const std::string &text :
         {document("<KEY name=\"K\"><VALUE_SZ name=\"V\">new</VALUE_SZ></KEY>"
                   "<KEY name=\"New\"><VALUE_DWORD>0xZ</VALUE_DWORD></KEY>"),
          std::string(kDeclaration) + "<KEY name=\"ZCONF_ROOT\"><KEY name=\"New\"></KEY>"}) {
        write_file(path, text);
        EXPECT_EQ(ZConfRestoreKey(key, path), -22);
        EXPECT_EQ(ZConfRestoreKey(ZCONF_HKEY_ROOT, path), -22);
        EXPECT_EQ(dump(ZCONF_HKEY_ROOT), before);
        EXPECT_EQ(live_nodes(), nodes);
    }
    unlink(path);
    EXPECT_EQ(ZConfRestoreKey(key, path), -2);
    ASSERT_EQ(mkfifo(path, 0600), 0); // no writer: opening it to read would wait for ever
    EXPECT_EQ(ZConfRestoreKey(key, path), -22);
    unlink(path);
    EXPECT_EQ(ZConfRestoreKey(key, nullptr), -22);
    EXPECT_EQ(ZConfSaveKey(key, nullptr), -22);
    EXPECT_EQ(ZConfSaveKey(key, "/nonexistent/dir/file.xml"), -2);
    write_file(path, "");
    EXPECT_EQ(ZConfRestoreKey(key, path), 0); // an empty file holds nothing
    ZConfKeyHandle read_only;
    ASSERT_EQ(ZConfOpenKeyEx(ZCONF_HKEY_ROOT, "K", ZCONF_KEY_READ, &read_only), 0);
    EXPECT_EQ(ZConfRestoreKey(read_only, path), -13);
    EXPECT_EQ(dump(ZCONF_HKEY_ROOT), before);
    unlink(path);
}

} // namespace
