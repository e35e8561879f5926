// Saves on the layouts devices keep their configuration in (a file mounted over a
// read-only /etc, a service user's file, hard links, a full file system), the files a
// save makes and leaves, and the instance count across fork: real processes in a
// private mount namespace.
#include "probe_client.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace probe_client;

using Saves = ProcessTest;

const char kStore[] = "/dev/shm/store";
const char kStoredConfig[] = "/dev/shm/store/zconfig.xml";

// The configuration file as a file of another file system mounted over /etc's entry.
void mount_config_from_store(const std::string &document) {
    fs::create_directories(kStore);
    write_file(kStoredConfig, document);
    write_file(kConfig, "");
    ASSERT_EQ(mount(kStoredConfig, kConfig, nullptr, MS_BIND, nullptr), 0) << strerror(errno);
}

mode_t mode_of(const char *path) {
    struct stat st {};
    stat(path, &st);
    return st.st_mode & 07777;
}

TEST_F(Saves, AFileMountedOverEtcIsWrittenInPlace) {
    mount_config_from_store(one_value_document("old"));
    // A rename over a mount point fails (EBUSY): the save writes in place.
    EXPECT_EQ(run({"set", "Net", "Host", "busy", "save"}), "probe: set 0\nprobe: save 0\n");
    EXPECT_EQ(read_file(kStoredConfig), one_value_document("busy"));
    // The same with /etc read-only, where not even a new file can be made beside it.
    ASSERT_EQ(mount(nullptr, "/etc", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0)
        << strerror(errno);
    EXPECT_EQ(run({"set", "Net", "Host", "read-only", "save"}), "probe: set 0\nprobe: save 0\n");
    EXPECT_EQ(read_file(kStoredConfig), one_value_document("read-only"));
    EXPECT_TRUE(leftovers().empty());
    mount(nullptr, "/etc", nullptr, MS_REMOUNT | MS_BIND, nullptr);
    umount(kConfig);
}

TEST_F(Saves, ALinkFromAReadOnlyEtcLeadsToTheFileItNames) {
    // A read-only /etc whose link names a file still to be made on a data partition.
    fs::create_directories(kStore);
    fs::create_symlink(kStoredConfig, kConfig);
    ASSERT_EQ(mount(nullptr, "/etc", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0)
        << strerror(errno);
    EXPECT_EQ(run({"set", "Net", "Host", "data", "save"}), "probe: set 0\nprobe: save 0\n");
    EXPECT_EQ(read_file(kStoredConfig), one_value_document("data"));
    mount(nullptr, "/etc", nullptr, MS_REMOUNT | MS_BIND, nullptr);
}

TEST_F(Saves, AFullFileSystemLeavesTheOldDocumentWhole) {
    fs::create_directories(kStore);
    ASSERT_EQ(mount("small", kStore, "tmpfs", 0, "size=64k"), 0) << strerror(errno);
    const std::string old_document = one_value_document("small");
    mount_config_from_store(old_document);
    // Fill what is left of the file system.
    write_file("/dev/shm/store/filler", std::string(128 * 1024, 'f'));
    std::string output = run({"fill", "400", "save"});
    EXPECT_NE(output.find("SaveXMLFile: write failed, error 28\nprobe: save 2\n"),
              std::string::npos)
        << output;
    EXPECT_EQ(read_file(kStoredConfig), old_document);
    EXPECT_TRUE(leftovers().empty());
    // With room again, the same save goes through.
    fs::remove("/dev/shm/store/filler");
    EXPECT_NE(run({"fill", "100", "save"}).find("probe: save 0\n"), std::string::npos);
    EXPECT_TRUE(whole_document(read_file(kStoredConfig)));
    umount(kConfig);
    umount(kStore);
}

TEST_F(Saves, ProcessesSavingInPlaceAtOnceNeverMixTheirDocuments) {
    mount_config_from_store(one_value_document("start"));
    stress_two_processes();
    EXPECT_TRUE(whole_document(read_file(kStoredConfig)));
    umount(kConfig);
}

TEST_F(Saves, AServiceUsersFileIsWrittenAsItsUserMayWriteIt) {
    if (!can_switch_users())
        GTEST_SKIP() << kNoOtherUser;
    // The service owns the file in root's /etc: it cannot make a new file beside it,
    // but it can write the file itself.
    write_file(kConfig, one_value_document("root"));
    ASSERT_EQ(chown(kConfig, kNobody, kNobody), 0);
    chmod(kConfig, 0640);
    EXPECT_NE(run({"set", "Net", "Host", "service", "save"}, true).find("probe: save 0\n"),
              std::string::npos);
    EXPECT_EQ(read_file(kConfig), one_value_document("service"));
    struct stat st;
    ASSERT_EQ(stat(kConfig, &st), 0);
    EXPECT_EQ(st.st_uid, kNobody);
    EXPECT_EQ(mode_of(kConfig), 0640u);
    // Root's save of that file keeps its owner and mode.
    EXPECT_NE(run({"set", "Net", "Host", "root", "save"}).find("probe: save 0\n"),
              std::string::npos);
    ASSERT_EQ(stat(kConfig, &st), 0);
    EXPECT_EQ(st.st_uid, kNobody);
    EXPECT_EQ(mode_of(kConfig), 0640u);

    // A file its owner made read-only stays as it is, even where the owner could
    // replace it.
    ASSERT_EQ(chown("/etc", kNobody, kNobody), 0);
    chmod(kConfig, 0444);
    EXPECT_NE(run({"set", "Net", "Host", "refused", "save"}, true)
                  .find("SaveXMLFile: fopen() failed, error 13\nprobe: save 2\n"),
              std::string::npos);
    EXPECT_EQ(read_file(kConfig), one_value_document("root"));
    // A file of root's that the service may write, in a directory of the service's: a
    // new file could not be given root as owner, so the save writes in place.
    ASSERT_EQ(chown(kConfig, 0, 0), 0);
    chmod(kConfig, 0666);
    EXPECT_NE(run({"set", "Net", "Host", "kept", "save"}, true).find("probe: save 0\n"),
              std::string::npos);
    EXPECT_EQ(read_file(kConfig), one_value_document("kept"));
    ASSERT_EQ(stat(kConfig, &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(mode_of(kConfig), 0666u);
    ASSERT_EQ(chown("/etc", 0, 0), 0);
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(Saves, WhatASaveCreatesAndReplaces) {
    // A directory at the path, or no directory for the file: fopen's error, no file.
    fs::create_directory(kConfig);
    EXPECT_EQ(run({"save"}), "SaveXMLFile: fopen() failed, error 21\nprobe: save 2\n");
    fs::remove(kConfig);
    fs::create_symlink("/etc/no-such-dir/zconfig.xml", kConfig);
    EXPECT_EQ(run({"save"}), "SaveXMLFile: fopen() failed, error 2\nprobe: save 2\n");
    EXPECT_FALSE(fs::exists("/etc/no-such-dir"));
    fs::remove(kConfig);
    // A device at the path is neither opened nor written.
    fs::create_symlink("/dev/null", kConfig);
    EXPECT_EQ(run({"save"}), "SaveXMLFile: fopen() failed, error 22\nprobe: save 2\n");
    fs::remove(kConfig);

    // A new file gets 0666 less the umask; a second name of the file sees the save.
    run({"umask", "077", "save"});
    EXPECT_EQ(mode_of(kConfig), 0600u);
    fs::remove(kConfig);
    run({"umask", "022", "save"});
    EXPECT_EQ(mode_of(kConfig), 0644u);
    fs::create_hard_link(kConfig, "/etc/zconfig.hard");
    run({"set", "Net", "Host", "linked", "save"});
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
    EXPECT_EQ(run({"save"}), "probe: save 0\n");
    std::vector<std::string> names = leftovers();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"zconfig.xml.bak", "zconfig.xml.live01"}));
    close(live);
}

TEST_F(Saves, ForkedChildrenLeaveTheCountAsItWas) {
    write_file(kConfig, one_value_document("count"));
    Probe probe({"forks", "ready", "wait"});
    ASSERT_EQ(probe.next(), "ready");
    EXPECT_EQ(instance_count(), 1);
    EXPECT_EQ(probe.finish(), 0);
    EXPECT_EQ(instance_count(), 0);
}

} // namespace

PROCESS_TEST_MAIN
