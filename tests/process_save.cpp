// Saves on the layouts devices keep their configuration in (links, a file mounted over a
// read-only /etc, a service user's file, hard links, a full file system, links another
// user planted), and the files a save makes and leaves: real processes of root and of
// an unprivileged user in a private mount namespace.
#include "probe_client.h"

#include <sys/file.h>
#include <sys/mount.h>

namespace {

using namespace probe_client;

using Saves = ProcessTest;

const char kStore[] = "/dev/shm/store";
const char kStoredConfig[] = "/dev/shm/store/zconfig.xml";
const std::string kSaveOk = "probe: save 0\n", kSaved = "probe: set 0\n" + kSaveOk;

// What a save that cannot open the file prints, with its errno.
std::string refused(int error) {
    return "SaveXMLFile: fopen() failed, error " + std::to_string(error) + "\nprobe: save 2\n";
}

// What a probe with umask 002 prints when it sets Net\Host to text and saves (as kNobody
// when nobody), having checked that the save left no descriptor open.
std::string set_and_save(const std::string &text, bool nobody = false) {
    std::string output =
        run({"umask", "002", "fds", "set", "Net", "Host", text, "save", "fds"}, nobody);
    size_t first = output.find("probe: fds"), after = output.find('\n', first) + 1;
    size_t last = output.rfind("probe: fds");
    EXPECT_EQ(output.substr(last), output.substr(first, after - first)) << "descriptors";
    return output.substr(0, first) + output.substr(after, last - after);
}

// Mounts what (a file system of type, or a file to bind when type is null) over path.
void mount_over(const char *what, const char *path, const char *type = nullptr) {
    ASSERT_EQ(mount(what, path, type, type ? 0 : MS_BIND, "size=64k"), 0) << strerror(errno);
}

// The configuration file as a file of another file system mounted over /etc's entry.
void mount_config_from_store(const std::string &document) {
    write_file(kStoredConfig, document);
    write_file(kConfig, "");
    mount_over(kStoredConfig, kConfig);
}

// Makes /etc read-only, or writable again.
void etc_read_only(bool read_only) {
    ASSERT_EQ(mount(nullptr, "/etc", nullptr, MS_REMOUNT | MS_BIND | (read_only ? MS_RDONLY : 0),
                    nullptr),
              0);
}

// Links from the configuration path to the file, each row one layout: the links (the
// first at the configuration path, then /etc/chain1, ...), whether /etc is read-only,
// what the save prints and where the document lands.
TEST_F(Saves, LinksOfRootLeadToTheFileTheyName) {
    struct row {
        const char *name;
        std::vector<std::string> links;
        bool read_only;
        std::string output;
        const char *lands_in;
    };
    auto chain = [](int n) { // n links, the last one to zconf.d/zconfig.xml
        std::vector<std::string> links;
        for (int i = 1; i < n; i++)
            links.push_back("chain" + std::to_string(i));
        links.push_back("zconf.d/zconfig.xml");
        return links;
    };
    const char *in_zconf_d = "/etc/zconf.d/zconfig.xml";
    const row rows[] = {
        {"relative", {"zconf.d/zconfig.xml"}, false, kSaveOk, in_zconf_d},
        {"doubled slashes", {"zconf.d//zconfig.xml"}, false, kSaveOk, in_zconf_d},
        {"absolute", {"//etc/./zconf.d/../zconf.d/zconfig.xml"}, false, kSaveOk, in_zconf_d},
        {"to the root", {"/"}, false, refused(EISDIR), nullptr},
        {"to a name and a slash", {"zconf.d/zconfig.xml/"}, false, refused(EISDIR), nullptr},
        {"no directory", {"/etc/no-such-dir/zconfig.xml"}, false, refused(ENOENT), nullptr},
        {"a device", {"/dev/null"}, false, refused(EINVAL), nullptr},
        {"40 links", chain(40), false, kSaveOk, in_zconf_d},
        {"41 links", chain(41), false, refused(ELOOP), nullptr},
        // A read-only /etc whose link names a file still to be made on a data partition;
        // with no entry at all, nothing can be made.
        {"read-only /etc", {kStoredConfig}, true, kSaveOk, kStoredConfig},
        {"read-only /etc, no file", {}, true, refused(EROFS), nullptr},
    };
    for (const row &row : rows) {
        SCOPED_TRACE(row.name);
        fs::create_directories("/etc/zconf.d");
        fs::create_directories(kStore);
        for (size_t i = 0; i < row.links.size(); i++)
            fs::create_symlink(row.links[i], i == 0 ? kConfig : "/etc/chain" + std::to_string(i));
        etc_read_only(row.read_only);
        EXPECT_EQ(set_and_save(row.name), "probe: set 0\n" + row.output);
        etc_read_only(false);
        if (row.lands_in != nullptr) {
            EXPECT_EQ(read_file(row.lands_in), one_value_document(row.name));
            EXPECT_EQ(owner_mode(row.lands_in), "0:664"); // a new file: 0666 less the umask
        }
        EXPECT_TRUE(row.links.empty() || fs::is_symlink(kConfig));
        EXPECT_FALSE(fs::exists("/etc/no-such-dir"));
        for (size_t i = 0; i < row.links.size(); i++)
            fs::remove(i == 0 ? kConfig : "/etc/chain" + std::to_string(i));
        fs::remove_all("/etc/zconf.d");
        fs::remove_all(kStore);
    }
}

TEST_F(Saves, AFileMountedOverEtcIsWrittenInPlace) {
    fs::create_directories(kStore);
    mount_config_from_store(one_value_document("old"));
    // A rename over a mount point fails (EBUSY): the save writes in place.
    EXPECT_EQ(set_and_save("busy"), kSaved);
    EXPECT_EQ(read_file(kStoredConfig), one_value_document("busy"));
    // The same with /etc read-only, where not even a new file can be made beside it.
    etc_read_only(true);
    EXPECT_EQ(set_and_save("read-only"), kSaved);
    EXPECT_EQ(read_file(kStoredConfig), one_value_document("read-only"));
    EXPECT_TRUE(leftovers().empty());
    etc_read_only(false);
    // Processes saving in place at once never mix their documents.
    stress_two_processes();
    EXPECT_TRUE(whole_document(read_file(kStoredConfig)));
    umount(kConfig);
}

TEST_F(Saves, AFullFileSystemLeavesTheOldDocumentWhole) {
    fs::create_directories(kStore);
    mount_over("small", kStore, "tmpfs");
    mount_config_from_store(one_value_document("small"));
    write_file("/dev/shm/store/filler", std::string(128 * 1024, 'f')); // fills what is left
    std::string output = run({"fill", "400", "save"});
    EXPECT_TRUE(output.ends_with("SaveXMLFile: write failed, error 28\nprobe: save 2\n")) << output;
    EXPECT_EQ(read_file(kStoredConfig), one_value_document("small"));
    EXPECT_TRUE(leftovers().empty());
    // With room again, the same save goes through.
    fs::remove("/dev/shm/store/filler");
    EXPECT_TRUE(run({"fill", "100", "save"}).ends_with(kSaveOk));
    EXPECT_TRUE(whole_document(read_file(kStoredConfig)));
    umount(kConfig);
    umount(kStore);
}

TEST_F(Saves, AServiceUsersFileIsWrittenAsItsUserMayWriteIt) {
    NEEDS_OTHER_USER();
    // Each row: the file's owner and mode and /etc's owner, who saves, what the save
    // prints and what the file then holds; its owner and mode stay.
    struct row {
        const char *name;
        uid_t owner, etc_owner;
        mode_t mode;
        bool by_nobody;
        std::string output;
        const char *holds;
    };
    const row rows[] = {
        // The service owns the file in root's /etc: it cannot make a new file beside it,
        // but it can write the file itself; root's save keeps its owner and mode.
        {"service", kNobody, 0, 0640, true, kSaved, "service"},
        {"root", kNobody, 0, 0640, false, kSaved, "root"},
        // A file of root's the service may write but not read is written all the same.
        {"write-only", 0, 0, 0622, true, kSaved, "write-only"},
        // A file its owner made read-only stays as it is, even where the owner could
        // replace it.
        {"read-only", kNobody, kNobody, 0444, true, refused(EACCES), "write-only"},
        // A file of root's that the service may write, in a directory of the service's:
        // a new file could not be given root as owner, so the save writes in place.
        {"kept", 0, kNobody, 0666, true, kSaved, "kept"},
    };
    write_file(kConfig, "");
    for (const row &row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_EQ(chown(kConfig, row.owner, row.owner) | chown("/etc", row.etc_owner, 0), 0);
        chmod(kConfig, row.mode);
        std::string output = set_and_save(row.name, row.by_nobody);
        EXPECT_TRUE(output.ends_with(row.output)) << output;
        EXPECT_EQ(read_file(kConfig), one_value_document(row.holds));
        char expected[32];
        snprintf(expected, sizeof expected, "%u:%o", row.owner, row.mode);
        EXPECT_EQ(owner_mode(kConfig), expected);
    }
    ASSERT_EQ(chown("/etc", 0, 0), 0);
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(Saves, WhatASaveCreatesAndReplaces) {
    // A directory or a fifo at the path: fopen's error; the fifo blocks neither the
    // start-up nor the save.
    fs::create_directory(kConfig);
    EXPECT_EQ(run({"save"}), refused(EISDIR));
    fs::remove(kConfig);
    ASSERT_EQ(mkfifo(kConfig, 0644), 0);
    EXPECT_EQ(run({"get", "Net", "Host", "save"}), "probe: get -2\n" + refused(ENXIO));
    EXPECT_TRUE(fs::is_fifo(kConfig));
    fs::remove(kConfig);
    // A second name of the file sees the save.
    write_file(kConfig, "");
    fs::create_hard_link(kConfig, "/etc/zconfig.hard");
    set_and_save("linked");
    EXPECT_EQ(read_file("/etc/zconfig.hard"), one_value_document("linked"));
    EXPECT_EQ(fs::hard_link_count(kConfig), 2u);
    fs::remove("/etc/zconfig.hard");
    // New files that killed saves left are removed; one that a live save holds, and
    // names that are not a save's, stay.
    for (const char *name : {"/etc/zconfig.xml.Ab12Cd", "/etc/zconfig.xml.zzzzzz",
                             "/etc/zconfig.xml.live01", "/etc/zconfig.xml.bak"})
        write_file(name, "leftover");
    int live = open("/etc/zconfig.xml.live01", O_RDONLY);
    ASSERT_EQ(flock(live, LOCK_EX), 0);
    EXPECT_EQ(run({"save"}), kSaveOk);
    EXPECT_EQ(leftovers(), (std::vector<std::string>{"zconfig.xml.bak", "zconfig.xml.live01"}));
    close(live);
}

TEST_F(Saves, LinksPlantedByAnotherUserNeverRedirectASave) {
    NEEDS_OTHER_USER();
    // Root's secret in a directory of its own, and a directory the other user owns on
    // the way from the configuration path to the file.
    const char *service_file = "/dev/shm/service/zconfig.xml";
    fs::create_directories("/etc/private");
    write_file("/etc/private/secret", "secret");
    fs::create_directory("/dev/shm/service");
    ASSERT_EQ(chown("/dev/shm/service", kNobody, kNobody), 0);
    fs::create_symlink(service_file, kConfig);
    for (const char *planted : {"/etc/private/secret", "/etc/private/new"}) {
        ASSERT_EQ(as_nobody([&] { return symlink(planted, service_file); }), 0);
        // (Reading follows the link as the kernel does; only writing is refused.)
        EXPECT_TRUE(set_and_save("x").ends_with(refused(EACCES)));
        fs::remove(service_file);
    }
    EXPECT_FALSE(fs::exists("/etc/private/new"));
    // A file of the other user there is not written either; a file of root's is, in
    // place, since the directory may change under a rename.
    ASSERT_EQ(as_nobody([&] { return creat(service_file, 0666) < 0; }), 0);
    EXPECT_EQ(run({"save"}), refused(EACCES));
    EXPECT_EQ(read_file(service_file), "");
    fs::remove(service_file);
    EXPECT_EQ(set_and_save("y"), kSaved);
    EXPECT_EQ(read_file(service_file), one_value_document("y"));
    EXPECT_TRUE(owner_mode(service_file).starts_with("0:"));
    EXPECT_EQ(read_file("/etc/private/secret"), "secret");
}

} // namespace

PROCESS_TEST_MAIN
