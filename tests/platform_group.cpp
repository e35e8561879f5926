// The platform layer as a device builds it when one group shares the objects on
// purpose (ZLL_SHARED_GID, here the unprivileged group 65534): root's objects are then
// open to that group's members and to nobody else.
#include "platform/zwincompat.h"
#include "probe_client.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace probe_client;

TEST(SharedGroup, MembersOfTheGroupShareRootsObjectsAndNobodyElse) {
    if (!can_switch_users())
        GTEST_SKIP() << kNoOtherUser;
    zll_handle mutex = zllCreateMutex(0, "GroupMutex");
    zll_handle mapping = zllCreateFileMapping(ZLL_INVALID_FILE, 2, 4096, "GroupData");
    ASSERT_NE(mutex, 0u);
    ASSERT_NE(mapping, 0u);
    auto *view = static_cast<char *>(zllMapViewOfFile(mapping, 7, 0, 4096));
    ASSERT_NE(view, nullptr);
    for (const char *object : {"/dev/shm/GroupMutex", "/dev/shm/GroupData"}) {
        struct stat st;
        ASSERT_EQ(stat(object, &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0660u) << object;
        EXPECT_EQ(st.st_gid, kNobody) << object;
    }
    // A member of the group (nobody, group 65534) uses them.
    EXPECT_EQ(as_nobody([] {
                  setgid(kNobody);
                  zll_handle shared = zllCreateFileMapping(ZLL_INVALID_FILE, 2, 4096, "GroupData");
                  if (shared == 0 || zllGetLastError() != ZLL_ERROR_ALREADY_EXISTS)
                      return 1;
                  auto *other = static_cast<char *>(zllMapViewOfFile(shared, 7, 0, 4096));
                  zll_handle lock = zllCreateMutex(0, "GroupMutex");
                  if (other == nullptr || lock == 0 ||
                      zllWaitForSingleObject(lock, ZLL_INFINITE) != ZLL_WAIT_OBJECT_0)
                      return 2;
                  strcpy(other, "from the group");
                  return zllReleaseMutex(lock) ? 0 : 3;
              }),
              0);
    EXPECT_STREQ(view, "from the group");
    // Objects of another group, or open to everyone, are not used.
    chown("/dev/shm/GroupData", 0, 0);
    EXPECT_EQ(zllCreateFileMapping(ZLL_INVALID_FILE, 2, 4096, "GroupData"), 0u);
    EXPECT_EQ(zllGetLastError(), static_cast<uint32_t>(EACCES));
    chown("/dev/shm/GroupData", 0, kNobody);
    chmod("/dev/shm/GroupData", 0664);
    EXPECT_EQ(zllCreateFileMapping(ZLL_INVALID_FILE, 2, 4096, "GroupData"), 0u);
    EXPECT_EQ(zllGetLastError(), static_cast<uint32_t>(EACCES));
}

} // namespace

PROCESS_TEST_MAIN
