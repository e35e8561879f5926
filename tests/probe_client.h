// What the process tests share: a probe process started as a child (tests/lifecycle_probe.cpp),
// the configuration file and the shared objects as the library names them, and ways to
// act as another user.
#pragma once

#include "process_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>

namespace probe_client {

namespace fs = std::filesystem;

inline constexpr const char *kSharedObjects[] = {
    "/dev/shm/DoviZUZ_Mutex", "/dev/shm/DoviZUZ_ShMem_Data", "/dev/shm/DoviZUZNbInst"};
inline constexpr uid_t kNobody = 65534; // the unprivileged user the tests act as

// The first 32-bit word of a shared object (the instance count, the text's length), or -1.
inline int64_t shared_word(const char *object) {
    std::string text = read_file(object);
    uint32_t word = 0;
    memcpy(&word, text.data(), std::min<size_t>(text.size(), 4));
    return text.size() < 4 ? -1 : word;
}
inline int64_t instance_count() { return shared_word(kSharedObjects[2]); }
inline int64_t length_word() { return shared_word(kSharedObjects[1]); }

// The document of a store whose one value Net\Host is the string text.
inline std::string one_value_document(const std::string &text) {
    return document("\t<KEY name=\"Net\">\n\t\t<VALUE_SZ name=\"Host\">" + text +
                    "</VALUE_SZ>\n\t</KEY>\n");
}

// The owner and permission bits of path, as "uid:mode" with the mode in octal.
inline std::string owner_mode(const char *path) {
    struct stat st {};
    stat(path, &st);
    char text[32];
    snprintf(text, sizeof text, "%u:%o", static_cast<unsigned>(st.st_uid), st.st_mode & 07777);
    return text;
}

// A probe process, run as kNobody when as_nobody is set: its standard input is a pipe
// (closing it ends a "wait"), its standard output is read line by line.
struct Probe {
    pid_t pid = -1;
    int input = -1;
    FILE *output = nullptr;

    explicit Probe(const std::vector<std::string> &args, bool as_nobody = false) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
            return;
        std::vector<std::string> command = program_command(PROBE, args);
        if (as_nobody)
            command.insert(command.begin(),
                           {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
        std::vector<char *> argv = exec_args(command);
        if ((pid = fork()) == 0) {
            dup2(in[0], 0), dup2(out[1], 1);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        close(in[0]), close(out[1]);
        input = in[1];
        output = fdopen(out[0], "r");
    }
    Probe(const Probe &) = delete;
    ~Probe() {
        if (pid > 0)
            kill(pid, SIGKILL), finish();
        fclose(output);
    }

    // The next line the probe itself prints, without "probe: ", or "" at its end.
    std::string next() {
        char line[8192];
        while (fgets(line, sizeof line, output) != nullptr)
            if (strncmp(line, "probe: ", 7) == 0)
                return std::string(line + 7, strcspn(line + 7, "\r\n"));
        return "";
    }

    void close_input() { close(input), input = -1; }

    // Closes the input and waits for the exit; the exit status, or -1.
    int finish() {
        close_input();
        int status = 0;
        if (pid <= 0 || waitpid(pid, &status, 0) != pid)
            return -1;
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

// Runs a probe to its end; its whole standard output, library messages included.
inline std::string run(const std::vector<std::string> &args, bool as_nobody = false) {
    Probe probe(args, as_nobody);
    probe.close_input();
    std::string text;
    for (int c; (c = fgetc(probe.output)) != EOF;)
        text += static_cast<char>(c);
    EXPECT_EQ(probe.finish(), 0) << text;
    return text;
}

// The names in /etc that a save may have left beside the configuration file, sorted.
inline std::vector<std::string> leftovers() {
    std::vector<std::string> names;
    for (const fs::directory_entry &entry : fs::directory_iterator("/etc"))
        if (entry.path().filename().string().starts_with("zconfig.xml.") &&
            entry.path().filename() != "zconfig.xml.lock") // the flush lock stays
            names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Two processes change and save the store from several threads each for 1.5 s, every
// save checked whole as a load reads it.
inline void stress_two_processes() {
    Probe one({"stress", "1500"}), two({"stress", "1500"});
    EXPECT_EQ(one.next() + "," + two.next(), "stress 0,stress 0");
    EXPECT_EQ(one.finish() | two.finish(), 0);
}

// Runs fn in a forked child that has become kNobody; fn's result as the exit status,
// or -1 when the child could not become that user or died.
template <typename Fn> int as_nobody(Fn fn) {
    pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)
            _exit(255);
        _exit(fn());
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) == 255)
        return -1;
    return WEXITSTATUS(status);
}

// Skips the test where this process cannot act as kNobody.
#define NEEDS_OTHER_USER()                                                                         \
    if (as_nobody([] { return 0; }) != 0)                                                          \
    GTEST_SKIP() << "cannot switch to another user here (not root, or in a user namespace)"

// Each test starts with no configuration file and no shared objects.
class ProcessTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_STREQ(getenv("DOVIZUZ_ISOLATED"), "1");
        unlink(kConfig);
        for (const char *object : kSharedObjects)
            fs::remove_all(object);
    }
};

} // namespace probe_client

// Every process test program starts here: in its private namespace, then GoogleTest.
#define PROCESS_TEST_MAIN                                                                          \
    int main(int argc, char **argv) {                                                              \
        if (!run_in_private_namespace(ISOLATED, argc, argv))                                       \
            return 1;                                                                              \
        ::testing::InitGoogleTest(&argc, argv);                                                    \
        return RUN_ALL_TESTS();                                                                    \
    }
