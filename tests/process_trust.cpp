// What another user on the device can do to root's configuration through the shared
// objects and the file's path: real processes of root and of an unprivileged user, in
// a private mount namespace.
#include "probe_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace probe_client;

class Trust : public ProcessTest {
  protected:
    void SetUp() override {
        ProcessTest::SetUp();
        if (!can_switch_users())
            GTEST_SKIP() << kNoOtherUser;
    }
};

const char kRefusedMutex[] = "init_dovizuz_lib: Error: 13 creating Mutex (DoviZUZ_Mutex)\r\n";

// Whether kNobody can open the path with the given flags.
bool nobody_can_open(const char *path, int flags) {
    return as_nobody([&] {
               int fd = open(path, flags);
               return fd >= 0 ? 0 : errno == EACCES ? 1 : 2;
           }) == 0;
}

TEST_F(Trust, AnotherUserCanNeitherReadNorWriteTheObjects) {
    write_file(kConfig, one_value_document("wifi-password"));
    chmod(kConfig, 0600);
    Probe root({"ready", "wait"});
    ASSERT_EQ(root.next(), "ready");
    for (const char *object : kSharedObjects) {
        struct stat st;
        ASSERT_EQ(stat(object, &st), 0) << object;
        EXPECT_EQ(st.st_mode & 07777, 0600u) << object;
        EXPECT_EQ(st.st_uid, 0u) << object;
        EXPECT_FALSE(nobody_can_open(object, O_RDONLY)) << object;
        EXPECT_FALSE(nobody_can_open(object, O_RDWR)) << object;
    }
    // The other user's program works alone, without the file it may not read.
    EXPECT_EQ(run({"get", "Net", "Host"}, true), std::string(kRefusedMutex) + "probe: get -2\n");
    EXPECT_EQ(instance_count(), 1);
    EXPECT_EQ(root.finish(), 0);
}

TEST_F(Trust, ObjectsOfAnotherUserOrOpenToOthersAreNotUsed) {
    // The other user's objects come first; it keeps writing a document of its own into
    // its text buffer while root's programs load and save.
    Probe squatter({"ready", "wait"}, true);
    ASSERT_EQ(squatter.next(), "ready");
    const std::string forged = one_value_document("forged");
    std::atomic<bool> stop{false};
    std::thread forger([&] {
        while (!stop) {
            std::string segment(40964, '\0');
            uint32_t length = static_cast<uint32_t>(forged.size());
            memcpy(segment.data(), &length, 4);
            memcpy(segment.data() + 4, forged.data(), forged.size());
            write_file(kSharedObjects[1], segment);
        }
    });
    write_file(kConfig, one_value_document("genuine"));
    for (int i = 0; i < 20; i++) {
        std::string value = "genuine" + std::to_string(i);
        std::string output = run({"get", "Net", "Host", "set", "Net", "Host", value, "save"});
        ASSERT_TRUE(output.starts_with(kRefusedMutex)) << output;
        ASSERT_NE(output.find("probe: save 0\n"), std::string::npos) << output;
        ASSERT_EQ(read_file(kConfig), one_value_document(value)) << output;
    }
    stop = true;
    forger.join();
    EXPECT_EQ(squatter.finish(), 0);

    // Root's own objects, once others may open them, are not used either.
    for (const char *object : kSharedObjects)
        fs::remove(object);
    run({"ready"});
    for (mode_t open_mode : {0666, 0604, 0660}) {
        for (const char *object : kSharedObjects)
            chmod(object, open_mode);
        std::string output = run({"get", "Net", "Host", "set", "Net", "Host", "again", "save"});
        EXPECT_TRUE(output.starts_with(kRefusedMutex)) << std::oct << open_mode << output;
        EXPECT_NE(output.find("probe: Net Host = genuine19\n"), std::string::npos) << output;
        EXPECT_EQ(read_file(kConfig), one_value_document("again"));
        write_file(kConfig, one_value_document("genuine19"));
    }
}

TEST_F(Trust, ProcessesWorkingAloneNeverMixTheirSaves) {
    Probe squatter({"ready", "wait"}, true);
    ASSERT_EQ(squatter.next(), "ready");
    stress_two_processes();
    EXPECT_TRUE(whole_document(read_file(kConfig)));
}

TEST_F(Trust, ASegmentCutShortCausesNoSignal) {
    write_file(kConfig, one_value_document("before"));
    for (const char *object : kSharedObjects) {
        Probe probe({"ready", "wait", "set", "Net", "Host", "after", "save"});
        ASSERT_EQ(probe.next(), "ready");
        ASSERT_EQ(truncate(object, 0), 0) << object;
        probe.close_input();
        EXPECT_EQ(probe.next(), "set 0") << object;
        EXPECT_EQ(probe.next(), "save 0") << object;
        EXPECT_EQ(probe.finish(), 0) << object; // -1: killed by a signal
        EXPECT_EQ(read_file(kConfig), one_value_document("after"));
        write_file(kConfig, one_value_document("before"));
        for (const char *each : kSharedObjects)
            fs::remove(each);
    }
}

TEST_F(Trust, LinksPlantedByAnotherUserNeverRedirectASave) {
    // Root's secret in a directory of its own, and a directory the other user owns on
    // the way from the configuration path to the file.
    fs::create_directory("/etc/private");
    chmod("/etc/private", 0700);
    write_file("/etc/private/secret", "secret");
    chmod("/etc/private/secret", 0600);
    fs::create_directory("/dev/shm/service");
    ASSERT_EQ(chown("/dev/shm/service", kNobody, kNobody), 0);
    fs::create_symlink("/dev/shm/service/zconfig.xml", kConfig);

    for (const char *planted : {"/etc/private/secret", "/etc/private/new"}) {
        ASSERT_EQ(as_nobody([&] { return symlink(planted, "/dev/shm/service/zconfig.xml"); }), 0);
        // (Reading follows the link as the kernel does; only writing is refused.)
        std::string output = run({"set", "Net", "Host", "x", "save"});
        EXPECT_TRUE(output.ends_with("SaveXMLFile: fopen() failed, error 13\nprobe: save 2\n"))
            << output;
        EXPECT_EQ(read_file("/etc/private/secret"), "secret");
        EXPECT_FALSE(fs::exists("/etc/private/new"));
        fs::remove("/dev/shm/service/zconfig.xml");
    }
    // A file of the other user there is not written either; a file of root's is, in
    // place, since the directory may change under a rename.
    ASSERT_EQ(as_nobody([] { return creat("/dev/shm/service/zconfig.xml", 0666) < 0; }), 0);
    EXPECT_EQ(run({"save"}), "SaveXMLFile: fopen() failed, error 13\nprobe: save 2\n");
    EXPECT_EQ(read_file("/dev/shm/service/zconfig.xml"), "");
    fs::remove("/dev/shm/service/zconfig.xml");
    EXPECT_EQ(run({"set", "Net", "Host", "y", "save"}), "probe: set 0\nprobe: save 0\n");
    EXPECT_EQ(read_file("/dev/shm/service/zconfig.xml"), one_value_document("y"));
    struct stat st;
    ASSERT_EQ(stat("/dev/shm/service/zconfig.xml", &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(read_file("/etc/private/secret"), "secret");
}

TEST_F(Trust, AFifoAtThePathBlocksNeitherStartUpNorSave) {
    ASSERT_EQ(mkfifo(kConfig, 0644), 0);
    EXPECT_EQ(run({"get", "Net", "Host", "save"}),
              "probe: get -2\nSaveXMLFile: fopen() failed, error 6\nprobe: save 2\n");
    struct stat st;
    ASSERT_EQ(lstat(kConfig, &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

} // namespace

PROCESS_TEST_MAIN
