// The platform layer's named mutexes and segments, between threads and real processes.
#include "platform/zwincompat.h"
#include "process_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

std::string unique_name(const char *base) { return std::string(base) + std::to_string(getpid()); }

// Runs fn in a forked child; its exit status.
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
    struct stat st;
    ASSERT_EQ(stat(("/dev/shm" + name).c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 5000);

    auto *view = static_cast<unsigned char *>(zllMapViewOfFile(created, 7, 0, 5000));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(std::count(view, view + 5000, 0), 5000);
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
    ASSERT_NE(larger, 0u);
    EXPECT_EQ(zllGetLastError(), ZLL_ERROR_ALREADY_EXISTS);
    auto *grown = static_cast<unsigned char *>(zllMapViewOfFile(larger, 7, 0, 9000));
    ASSERT_NE(grown, nullptr);
    EXPECT_EQ(grown[4999], 0xA5);
    EXPECT_EQ(grown[8999], 0);

    EXPECT_EQ(zllUnmapViewOfFile(grown), 1);
    EXPECT_EQ(zllUnmapViewOfFile(grown), 0);
    EXPECT_EQ(zllGetLastError(), static_cast<uint32_t>(EINVAL));
    EXPECT_EQ(zllUnmapViewOfFile(view), 1);
    EXPECT_EQ(zllCloseHandle(larger), 1);
    EXPECT_EQ(zllCloseHandle(created), 1);
    EXPECT_EQ(zllCloseHandle(created), 0);
    EXPECT_EQ(zllGetLastError(), static_cast<uint32_t>(EBADF));
    // Closing the last handle leaves the named object for later processes.
    EXPECT_EQ(stat(("/dev/shm" + name).c_str(), &st), 0);
}

TEST(Zwincompat, BadArgumentsFailWithAReason) {
    EXPECT_EQ(zllCreateFileMapping(3, 2, 16, "ZllBad"), 0u);
    EXPECT_EQ(zllGetLastError(), static_cast<uint32_t>(EINVAL));
    EXPECT_EQ(zllCreateFileMapping(-1, 2, 0, "ZllBad"), 0u);
    EXPECT_EQ(zllCreateFileMapping(-1, 2, 16, nullptr), 0u);
    EXPECT_EQ(zllCreateFileMapping(-1, 2, 16, "/"), 0u);
    EXPECT_EQ(zllCreateMutex(0, "Zll/Bad"), 0u);
    EXPECT_EQ(zllGetLastError(), static_cast<uint32_t>(EINVAL));
    EXPECT_EQ(zllWaitForSingleObject(0, 0), ZLL_WAIT_FAILED);
    EXPECT_EQ(zllReleaseMutex(12345), 0);
    EXPECT_EQ(zllMapViewOfFile(0, 7, 0, 16), nullptr);

    zll_handle mapping = zllCreateFileMapping(-1, 2, 16, unique_name("ZllSmall").c_str());
    ASSERT_NE(mapping, 0u);
    EXPECT_EQ(zllMapViewOfFile(mapping, 7, 0, 17), nullptr);
    EXPECT_EQ(zllMapViewOfFile(mapping, 7, 1, 8), nullptr);
    // A mapping handle is not a mutex.
    EXPECT_EQ(zllWaitForSingleObject(mapping, 0), ZLL_WAIT_FAILED);
    EXPECT_EQ(zllCloseHandle(mapping), 1);
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
    EXPECT_EQ(zllWaitForSingleObject(mutex, ZLL_INFINITE), ZLL_WAIT_OBJECT_0);
    EXPECT_EQ(zllReleaseMutex(mutex), 1);
    EXPECT_EQ(zllReleaseMutex(mutex), 1);
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

TEST(Zwincompat, MutexOfAProcessThatDiedPassesToTheNextWaiter) {
    if (!robust_mutexes_work())
        GTEST_SKIP() << kNoRobustMutexes;
    std::string name = unique_name("ZllAbandoned");
    EXPECT_EQ(in_child([&] {
                  zll_handle mutex = zllCreateMutex(0, name.c_str());
                  if (mutex == 0 || zllWaitForSingleObject(mutex, ZLL_INFINITE) != 0)
                      return 1;
                  raise(SIGKILL);
                  return 2;
              }),
              128 + SIGKILL);
    zll_handle mutex = zllCreateMutex(0, name.c_str());
    ASSERT_NE(mutex, 0u);
    EXPECT_EQ(zllGetLastError(), ZLL_ERROR_ALREADY_EXISTS);
    EXPECT_EQ(zllWaitForSingleObject(mutex, 2000), ZLL_WAIT_OBJECT_0);
    EXPECT_EQ(zllReleaseMutex(mutex), 1);
    // And it works as before afterwards.
    EXPECT_EQ(zllWaitForSingleObject(mutex, 2000), ZLL_WAIT_OBJECT_0);
    EXPECT_EQ(zllReleaseMutex(mutex), 1);
    EXPECT_EQ(zllCloseHandle(mutex), 1);
}

TEST(Zwincompat, ProcessesCreatingOneObjectAtOnceAgreeOnOneCreator) {
    for (int round = 0; round < 10; round++) {
        std::string name = unique_name("ZllRace") + "_" + std::to_string(round);
        int pipefd[2];
        ASSERT_EQ(pipe(pipefd), 0);
        pid_t children[6];
        for (pid_t &child : children) {
            child = fork();
            if (child == 0) {
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
                _exit((error == 0 ? 1 : 0) | (s_error == 0 ? 2 : 0) | 8);
            }
        }
        close(pipefd[0]);
        close(pipefd[1]); // all children start at once
        int mutex_creators = 0, segment_creators = 0;
        for (pid_t child : children) {
            int status = 0;
            waitpid(child, &status, 0);
            ASSERT_TRUE(WIFEXITED(status));
            int code = WEXITSTATUS(status);
            ASSERT_TRUE(code & 8) << code;
            mutex_creators += code & 1;
            segment_creators += (code & 2) >> 1;
        }
        EXPECT_EQ(mutex_creators, 1);
        EXPECT_EQ(segment_creators, 1);
    }
}

} // namespace
