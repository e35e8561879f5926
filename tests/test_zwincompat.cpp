// The platform layer's named mutexes and segments, between threads and real processes.
#include "lifecycle/dovizuz_lifecycle.h"
#include "platform/zwincompat.h"
#include "process_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

namespace {

// A name of this process alone for an object named after base.
std::string unique_name(const char *base) { return std::string(base) + std::to_string(getpid()); }

// The results of calls of the layer, compared at once.
using Results = std::vector<int64_t>;

// Runs fn in a forked child; its exit status, or 128 and the signal that ended it.
template <typename Fn> int in_child(Fn fn) {
    pid_t pid = fork();
    if (pid == 0)
        _exit(fn());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(Zwincompat, SegmentsAreCreatedZeroedOnceAndSharedByName) {
    std::string name = unique_name("/ZllSegment");
    zll_handle created = zllCreateFileMapping(ZLL_INVALID_FILE, 2, 5000, name.c_str());
    ASSERT_NE(created, 0u);
    EXPECT_EQ(zllGetLastError(), 0u);
    EXPECT_EQ(read_file("/dev/shm" + name), std::string(5000, '\0'));
    auto *view = static_cast<unsigned char *>(zllMapViewOfFile(created, 7, 0, 5000));
    ASSERT_NE(view, nullptr);
    view[4999] = 0xA5;
    // The same object without its leading "/", from another process, opens as existing.
    std::string bare = name.substr(1);
    EXPECT_EQ(in_child([&] {
                  zll_handle opened = zllCreateFileMapping(-1, 2, 5000, bare.c_str());
                  if (opened == 0 || zllGetLastError() != ZLL_ERROR_ALREADY_EXISTS)
                      return 1;
                  auto *other = static_cast<unsigned char *>(zllMapViewOfFile(opened, 7, 0, 0));
                  if (other == nullptr || other[4999] != 0xA5)
                      return 2;
                  other[0] = 0x5A;
                  return zllUnmapViewOfFile(other) && zllCloseHandle(opened) ? 0 : 3;
              }),
              0);
    EXPECT_EQ(view[0], 0x5A);
    // An existing smaller object grows to the size asked for; its content stays.
    zll_handle larger = zllCreateFileMapping(-1, 2, 9000, name.c_str());
    EXPECT_EQ(zllGetLastError(), ZLL_ERROR_ALREADY_EXISTS);
    auto *grown = static_cast<unsigned char *>(zllMapViewOfFile(larger, 7, 0, 9000));
    ASSERT_NE(grown, nullptr);
    // Results and errors in turn (a braced list is evaluated in order).
    EXPECT_EQ(
        (Results{grown[4999], grown[8999], zllUnmapViewOfFile(grown), zllUnmapViewOfFile(grown),
                 zllGetLastError(), zllUnmapViewOfFile(view), zllCloseHandle(larger),
                 zllCloseHandle(created), zllCloseHandle(created), zllGetLastError()}),
        (Results{0xA5, 0, 1, 0, EINVAL, 1, 1, 1, 0, EBADF}));
    // Closing the last handle leaves the named object for later processes, and only it:
    // the private name it was built under is gone.
    EXPECT_EQ(read_file("/dev/shm" + name).size(), 9000u);
    for (const auto &entry : std::filesystem::directory_iterator("/dev/shm"))
        EXPECT_EQ(entry.path().filename().string().find(".new."), std::string::npos);
}

TEST(Zwincompat, BadArgumentsFailWithAReason) {
    zll_handle mapping = zllCreateFileMapping(-1, 2, 16, unique_name("ZllSmall").c_str());
    ASSERT_NE(mapping, 0u);
    EXPECT_EQ(
        (Results{zllCreateFileMapping(3, 2, 16, "ZllBad"), zllGetLastError(),
                 zllCreateFileMapping(-1, 2, 0, "ZllBad"), zllCreateFileMapping(-1, 2, 16, nullptr),
                 zllCreateFileMapping(-1, 2, 16, "/"), zllCreateMutex(0, "Zll/Bad"),
                 zllGetLastError(), zllWaitForSingleObject(0, 0), zllReleaseMutex(12345),
                 zllMapViewOfFile(0, 7, 0, 16) == nullptr,
                 zllMapViewOfFile(mapping, 7, 0, 17) == nullptr,
                 zllMapViewOfFile(mapping, 7, 1, 8) == nullptr,
                 // a mapping handle is not a mutex
                 zllWaitForSingleObject(mapping, 0), zllCloseHandle(mapping)}),
        (Results{0, EINVAL, 0, 0, 0, 0, EINVAL, ZLL_WAIT_FAILED, 0, 1, 1, 1, ZLL_WAIT_FAILED, 1}));
}

TEST(Zwincompat, FailuresLeaveNoDescriptorOpen) {
    // An object others may open is refused.
    std::string open_to_all = unique_name("/ZllOpenToAll");
    ASSERT_NE(zllCreateFileMapping(-1, 2, 16, open_to_all.c_str()), 0u);
    chmod(("/dev/shm" + open_to_all).c_str(), 0666);
    int before = open_descriptors();
    EXPECT_EQ(zllCreateFileMapping(-1, 2, 16, open_to_all.c_str()), 0u);
    EXPECT_EQ(zllGetLastError(), static_cast<uint32_t>(EACCES));
    EXPECT_EQ(open_descriptors(), before);
    // A new object that cannot get its size is not published.
    EXPECT_EQ(in_child([] {
                  signal(SIGXFSZ, SIG_IGN);
                  rlimit small = {1024, 1024};
                  int fds = open_descriptors();
                  if (setrlimit(RLIMIT_FSIZE, &small) != 0 ||
                      zllCreateFileMapping(-1, 2, 4096, unique_name("ZllTooBig").c_str()) != 0)
                      return 1;
                  return zllGetLastError() == EFBIG && open_descriptors() == fds ? 0 : 2;
              }),
              0);
    // A segment whose view cannot be mapped (every view in use) is closed again.
    std::vector<void *> views;
    zll_handle mapping = zllCreateFileMapping(-1, 2, 16, unique_name("ZllViews").c_str());
    for (void *view; (view = zllMapViewOfFile(mapping, 7, 0, 16)) != nullptr;)
        views.push_back(view);
    zll_handle handle;
    int32_t created;
    before = open_descriptors();
    EXPECT_EQ(AllocSharedMemory("ZllNoView", 16, &handle, &created), nullptr);
    EXPECT_EQ(open_descriptors(), before);
    for (void *view : views)
        zllUnmapViewOfFile(view);
    zllCloseHandle(mapping);
    // A segment freed closes what it opened.
    before = open_descriptors();
    void *view = AllocSharedMemory("ZllFreed", 16, &handle, &created);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(created, 1);
    FreeSharedMemory(view, &handle);
    EXPECT_EQ(handle, DOVIZUZ_UNSET_HANDLE);
    EXPECT_EQ(open_descriptors(), before);
}

// The handle table's last entry serves like any other; one handle more is refused with
// EMFILE and leaves nothing open.
TEST(Zwincompat, TheLastHandleServesAndOneMoreIsRefused) {
    std::string name = unique_name("ZllMany");
    int before = open_descriptors();
    std::vector<zll_handle> held;
    for (zll_handle h; (h = zllCreateMutex(0, name.c_str())) != 0;)
        held.push_back(h);
    ASSERT_FALSE(held.empty());
    EXPECT_EQ((Results{zllGetLastError(), held.back(), zllWaitForSingleObject(held.back(), 0),
                       zllReleaseMutex(held.back())}),
              (Results{EMFILE, 64, ZLL_WAIT_OBJECT_0, 1}));
    for (zll_handle h : held)
        EXPECT_EQ(zllCloseHandle(h), 1);
    EXPECT_EQ(open_descriptors(), before);
}

TEST(Zwincompat, MutexExcludesOtherThreadsAndProcessesAndIsRecursive) {
    std::string name = unique_name("ZllMutex");
    zll_handle mutex = zllCreateMutex(1, name.c_str());
    ASSERT_NE(mutex, 0u);
    EXPECT_EQ(zllGetLastError(), 0u);
    // Created owned: others cannot take it, the owner can again.
    std::thread([&] { EXPECT_EQ(zllWaitForSingleObject(mutex, 20), ZLL_WAIT_TIMEOUT); }).join();
    EXPECT_EQ(in_child([&] {
                  zll_handle other = zllCreateMutex(1, name.c_str());
                  if (other == 0 || zllGetLastError() != ZLL_ERROR_ALREADY_EXISTS)
                      return 1;
                  return zllWaitForSingleObject(other, 20) == ZLL_WAIT_TIMEOUT ? 0 : 2;
              }),
              0);
    EXPECT_EQ((Results{zllWaitForSingleObject(mutex, ZLL_INFINITE), zllReleaseMutex(mutex),
                       zllReleaseMutex(mutex)}),
              (Results{ZLL_WAIT_OBJECT_0, 1, 1}));
    std::thread([&] { EXPECT_EQ(zllReleaseMutex(mutex), 0); }).join();
    // Released, it passes between threads: a counter changed under it stays exact.
    int counter = 0;
    std::thread threads[4];
    for (std::thread &t : threads)
        t = std::thread([&] {
            for (int i = 0; i < 2000; i++) {
                ASSERT_EQ(zllWaitForSingleObject(mutex, ZLL_INFINITE), ZLL_WAIT_OBJECT_0);
                counter++;
                zllReleaseMutex(mutex);
            }
        });
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(counter, 8000);
    EXPECT_EQ(zllCloseHandle(mutex), 1);
}

// Processes that create one named mutex and one segment at once agree on one creator of
// each; the losers of the race open what the winner published.
TEST(Zwincompat, ProcessesCreatingOneObjectAtOnceAgreeOnOneCreator) {
    for (int round = 0; round < 10; round++) {
        std::string name = unique_name("ZllRace") + "_" + std::to_string(round);
        int pipefd[2];
        ASSERT_EQ(pipe(pipefd), 0);
        pid_t children[6];
        for (pid_t &child : children)
            if ((child = fork()) == 0) {
                char go;
                close(pipefd[1]);
                if (read(pipefd[0], &go, 1) != 0)
                    _exit(3);
                zll_handle m = zllCreateMutex(0, name.c_str());
                uint32_t error = zllGetLastError();
                zll_handle s = zllCreateFileMapping(-1, 2, 64, (name + "S").c_str());
                uint32_t s_error = zllGetLastError();
                if (m == 0 || s == 0 || zllWaitForSingleObject(m, 2000) != 0)
                    _exit(4);
                zllReleaseMutex(m);
                _exit(64 | (error == 0 ? 16 : 0) | (s_error == 0 ? 1 : 0));
            }
        close(pipefd[0]);
        close(pipefd[1]); // all children start at once
        int total = 0;
        for (pid_t child : children) {
            int status = 0;
            waitpid(child, &status, 0);
            total += WIFEXITED(status) ? WEXITSTATUS(status) : 1000;
        }
        // 64 from each child that got both objects, 16 from the mutex's one creator and 1
        // from the segment's.
        EXPECT_EQ(total, 6 * 64 + 16 + 1) << "round " << round;
    }
}

} // namespace
