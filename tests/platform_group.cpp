// The platform layer as a device builds it when one group shares the objects on
// purpose (ZLL_SHARED_GID, here the unprivileged group 65534): root's objects are then
// open to that group's members and to nobody else.
#include "platform/zwincompat.h"
#include "probe_client.h"

namespace {

using namespace probe_client;

TEST(SharedGroup, MembersOfTheGroupShareRootsObjectsAndNobodyElse) {
    NEEDS_OTHER_USER();
    ASSERT_NE(zllCreateMutex(0, "GroupMutex"), 0u);
    zll_handle mapping = zllCreateFileMapping(ZLL_INVALID_FILE, 2, 4096, "GroupData");
    auto *view = static_cast<char *>(zllMapViewOfFile(mapping, 7, 0, 4096));
    ASSERT_NE(view, nullptr);
    for (const char *object : {"/dev/shm/GroupMutex", "/dev/shm/GroupData"}) {
        struct stat st {};
        stat(object, &st);
        EXPECT_EQ(std::to_string(st.st_gid) + ":" + owner_mode(object), "65534:0:660") << object;
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
    for (auto [group, mode] : {std::pair<gid_t, mode_t>{0, 0660}, {kNobody, 0664}}) {
        chown("/dev/shm/GroupData", 0, group), chmod("/dev/shm/GroupData", mode);
        EXPECT_EQ(zllCreateFileMapping(ZLL_INVALID_FILE, 2, 4096, "GroupData"), 0u);
        EXPECT_EQ(zllGetLastError(), static_cast<uint32_t>(EACCES));
    }
}

} // namespace

PROCESS_TEST_MAIN
