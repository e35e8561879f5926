// A program that has the library loaded (so its start-up and shutdown run as in any
// user's process) and runs the commands of its arguments in order; the process tests
// start it as a child. Its own lines begin with "probe: "; the library's messages go to
// the same standard output. The commands are the rows of kCommands below.
#include "dovizuz.h"
#include "lifecycle/dovizuz_lifecycle.h"
#include "process_support.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

namespace {

// Creates key and sets its value name to the string text; 0 or the error.
int32_t set_text(const std::string &key, const std::string &name, const std::string &text) {
    ZConfKeyHandle h;
    int32_t rc = ZConfCreateKey(ZCONF_HKEY_ROOT, key.c_str(), &h);
    if (rc == 0)
        rc = ZConfSetValueEx(h, name.c_str(), ZCONF_VALUE_SZ, text.c_str(),
                             static_cast<uint32_t>(text.size() + 1));
    ZConfCloseKey(h);
    return rc;
}

// Prints "probe: KEY NAME = TEXT", or "probe: get <result>" when it cannot be read.
void get_text(char **arg) {
    ZConfKeyHandle h;
    char text[4096];
    uint32_t type, size = sizeof text;
    int32_t rc = ZConfOpenKeyEx(ZCONF_HKEY_ROOT, arg[0], ZCONF_KEY_READ, &h);
    if (rc == 0)
        rc = ZConfQueryValueEx(h, arg[1], &type, text, &size);
    ZConfCloseKey(h);
    if (rc == 0)
        printf("probe: %s %s = %s\n", arg[0], arg[1], text);
    else
        printf("probe: get %d\n", rc);
}

// Sets N values of about 150 bytes under Fill\GroupNN\ItemNNNNN.
void fill(char **arg) {
    for (int i = 0; i < std::stoi(arg[0]); i++) {
        char key[64];
        snprintf(key, sizeof key, "Fill\\Group%02d\\Item%05d", i / 100, i);
        set_text(key, "Text", std::string(140, 'x'));
    }
}

// Saves again and again, a new Loop\Generation each time; "probe: ready" after the first.
void save_loop(char **) {
    for (long generation = 0;; generation++) {
        set_text("Loop", "Generation", std::to_string(generation));
        SaveXMLFile();
        if (generation == 0)
            printf("probe: ready\n"), fflush(stdout);
    }
}

// The file's text, read as the library's load reads it: under a read lock, which a save
// that writes the file in place holds off until it is done.
std::string read_as_loads_do(const char *path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct flock lock {};
    lock.l_type = F_RDLCK;
    std::string text;
    char buffer[65536];
    ssize_t n;
    if (fd >= 0 && fcntl(fd, F_OFD_SETLKW, &lock) == 0)
        while ((n = read(fd, buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<size_t>(n));
    if (fd >= 0)
        close(fd);
    return text;
}

// For MS milliseconds 3 threads change the store while 2 save it and check each saved
// file whole, whoever saved last; prints "probe: stress <failures>".
void stress(char **arg) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::stoi(arg[0]));
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; t++)
        threads.emplace_back([&, t] {
            for (int i = 0; std::chrono::steady_clock::now() < end; i++) {
                std::string key = "Stress\\T" + std::to_string(t) + "\\K" + std::to_string(i % 50);
                failures +=
                    set_text(key, "V" + std::to_string(i % 7), std::string(i % 200, 'a')) != 0;
                ZConfKeyHandle h;
                if (i % 3 == 0 &&
                    ZConfOpenKeyEx(ZCONF_HKEY_ROOT, key.c_str(), ZCONF_KEY_ALL, &h) == 0)
                    ZConfDeleteValue(h, "V0"), ZConfCloseKey(h);
            }
        });
    for (int t = 0; t < 2; t++)
        threads.emplace_back([&] {
            while (std::chrono::steady_clock::now() < end)
                failures +=
                    SaveXMLFile() != 0 || !whole_document(read_as_loads_do(DOVIZUZ_CONFIG_FILE));
        });
    for (std::thread &t : threads)
        t.join();
    printf("probe: stress %d\n", failures.load());
}

// Forks three children that exec /bin/true, _exit and exit (running the library's
// shutdown), one after the other.
void fork_children(char **) {
    for (int way = 0; way < 3; way++) {
        pid_t pid = fork();
        if (pid == 0 && way == 0)
            execl("/bin/true", "true", static_cast<char *>(nullptr));
        if (pid == 0)
            way == 1 ? _exit(0) : exit(0);
        waitpid(pid, nullptr, 0);
    }
}

// A command: its word, how many arguments follow it, what it does with them.
struct command {
    const char *word;
    int args;
    void (*run)(char **arg);
};

const command kCommands[] = {
    {"ready", 0, [](char **) { printf("probe: ready\n"); }},
    // waits until standard input is closed
    {"wait", 0, [](char **) { fflush(stdout), read_file("/dev/stdin"); }},
    {"set", 3, [](char **a) { printf("probe: set %d\n", set_text(a[0], a[1], a[2])); }},
    {"get", 2, get_text},
    {"save", 0, [](char **) { printf("probe: save %d\n", SaveXMLFile()); }},
    {"fill", 1, fill},
    {"saveloop", 0, save_loop},
    {"stress", 1, stress},
    {"umask", 1, [](char **a) { umask(static_cast<mode_t>(std::stoi(a[0], nullptr, 8))); }},
    {"forks", 0, fork_children},
    // prints "probe: status <result> <text>" of the start-up load
    {"status", 0,
     [](char **) {
         char text[256] = {};
         int32_t rc = ZConfQueryLoadStatus(text, sizeof text - 1);
         printf("probe: status %d %s\n", rc, text);
     }},
    // prints "probe: fds N", the number of descriptors the process has open
    {"fds", 0, [](char **) { printf("probe: fds %d\n", open_descriptors()); }},
};

} // namespace

int main(int argc, char **argv) {
    for (int i = 1; i < argc; i++) {
        const command *found = nullptr;
        for (const command &each : kCommands)
            if (strcmp(argv[i], each.word) == 0 && i + each.args < argc)
                found = &each;
        if (found == nullptr) {
            printf("probe: unknown command %s\n", argv[i]);
            return 2;
        }
        found->run(argv + i + 1);
        i += found->args;
        fflush(stdout);
    }
    return 0;
}
