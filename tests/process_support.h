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
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

inline constexpr char kDeclaration[] = ZCONF_TEST_DECLARATION;
inline constexpr char kConfig[] = "/etc/zconfig.xml"; // the library's configuration file

inline std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

inline void write_file(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

// A whole document whose root holds the lines of body.
inline std::string document(const std::string &body) {
    return std::string(kDeclaration) + "<KEY name=\"ZCONF_ROOT\">\n" + body + "</KEY>\n";
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

// What a program run to its end left: its exit status (-1 when it did not exit) and what
// it wrote to its standard output and standard error.
struct outcome {
    int status;
    std::string out, err;
};

// The whole content of a file a child wrote, closing it.
inline std::string take_contents(int fd) {
    std::string text(static_cast<size_t>(lseek(fd, 0, SEEK_END)), '\0');
    if (pread(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()))
        text = "(unreadable)";
    close(fd);
    return text;
}

// Runs the command line to its end with input on its standard input and its outputs kept
// apart. prepare (may be null) runs in the child first, given arg; the child exits 126
// when it fails. A run that hangs is killed after a minute.
inline outcome run_program(std::vector<std::string> command, const std::string &input = "",
                           bool (*prepare)(int) = nullptr, int arg = 0) {
    std::vector<char *> argv = exec_args(command);
    int in = memfd_create("in", 0), out = memfd_create("out", 0), err = memfd_create("err", 0);
    if (write(in, input.data(), input.size()) != static_cast<ssize_t>(input.size()))
        return {-1, "", "cannot write the input"};
    lseek(in, 0, SEEK_SET);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in, 0), dup2(out, 1), dup2(err, 2);
        if (prepare != nullptr && !prepare(arg))
            _exit(126);
        alarm(60);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    close(in);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, take_contents(out), take_contents(err)};
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
