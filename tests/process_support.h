// Helpers of the programs that run as real processes around the library: the process
// tests, their probe, the platform layer's tests and the start-up benchmark.
#pragma once

#include "document_text.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

inline constexpr char kDeclaration[] = ZCONF_TEST_DECLARATION;

inline std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

// A saved document as a whole file has it: the declaration first, the root's end last.
inline bool whole_document(const std::string &text) {
    return text.starts_with(kDeclaration) && text.ends_with("</KEY>\n");
}

// The number of descriptors this process has open (the listing's own included, so the
// same before and after anything that leaves none open).
inline int open_descriptors() {
    return static_cast<int>(
        std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

// Whether a mutex whose owner died is handed on to the next waiter: that needs the
// kernel's robust futex lists, which user-mode emulation (qemu-user) does not provide;
// there the robust list calls fail with ENOSYS. Asks for the calling thread's list, so
// the one the C library registered stays in place.
inline bool robust_mutexes_work() {
    void *head = nullptr;
    size_t length = 0;
    return syscall(SYS_get_robust_list, 0, &head, &length) == 0 || errno != ENOSYS;
}

inline constexpr char kNoRobustMutexes[] =
    "no robust futex lists here (get_robust_list fails with ENOSYS, as under qemu "
    "user-mode emulation): a mutex whose owner process died is never handed on";

// The command line that runs a program of this build with the given arguments. A build
// for another processor defines DOVIZUZ_EMULATOR as the emulator's command line (string
// literals, e.g. "qemu-arm", "-L", "/usr/arm-linux-gnueabihf"), which then comes first.
inline std::vector<std::string> program_command(const std::string &program,
                                                const std::vector<std::string> &args = {}) {
#ifdef DOVIZUZ_EMULATOR
    std::vector<std::string> command{DOVIZUZ_EMULATOR};
#else
    std::vector<std::string> command;
#endif
    command.push_back(program);
    command.insert(command.end(), args.begin(), args.end());
    return command;
}

// The argument vector for execvp(argv[0], argv.data()) of a command line: pointers into
// `command`, which must outlive it, and a null at the end. Built before a fork, so that
// the child only calls execvp.
inline std::vector<char *> exec_args(std::vector<std::string> &command) {
    std::vector<char *> argv;
    for (std::string &word : command)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    return argv;
}

// Never touches the machine's own file and shared objects: outside a private mount
// namespace, runs the program again inside one (through the script at `isolated`) and
// does not return; returns true when already inside one, false when that fails.
inline bool run_in_private_namespace(const char *isolated, int argc, char **argv) {
    if (getenv("DOVIZUZ_ISOLATED") != nullptr)
        return true;
    std::vector<std::string> command =
        program_command(argv[0], std::vector<std::string>(argv + 1, argv + argc));
    command.insert(command.begin(), isolated);
    std::vector<char *> args = exec_args(command);
    execv(isolated, args.data());
    perror(isolated);
    return false;
}
