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
#include <poll.h>
#include <string>
#include <sys/file.h>
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
                std::string key = "Stress\\T", name = "V";
                key.append(std::to_string(t)).append("\\K").append(std::to_string(i % 50));
                name.append(std::to_string(i % 7));
                failures += set_text(key, name, std::string(i % 200, 'a')) != 0;
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

// ---- Flushes and refreshes ----

ZConfKeyHandle held_key;
int32_t change_fd = -1;

// The key at path ("" the root) opened, or the error; *h is the root until it opens.
int32_t open_path(const char *path, ZConfKeyHandle *h) {
    *h = ZCONF_HKEY_ROOT;
    return path[0] == '\0' ? 0 : ZConfOpenKeyEx(ZCONF_HKEY_ROOT, path, ZCONF_KEY_ALL, h);
}

void close_path(ZConfKeyHandle h) {
    if (h != ZCONF_HKEY_ROOT)
        ZConfCloseKey(h);
}

// N times sets Flush\P<pid> Count and flushes it, checking each file whole; prints
// "probe: flushloop <failures>".
void flush_loop(char **a) {
    int failures = 0;
    std::string key = "Flush\\P" + std::to_string(getpid());
    for (int i = 0; i < std::stoi(a[0]); i++) {
        failures += set_text(key, "Count", std::to_string(i)) != 0;
        failures += ZConfFlushKey(ZCONF_HKEY_ROOT) != 0;
        failures += !whole_document(read_as_loads_do(DOVIZUZ_CONFIG_FILE));
    }
    printf("probe: flushloop %d\n", failures);
}

void flush_key(char **a) {
    ZConfKeyHandle h;
    int32_t rc = open_path(a[0], &h);
    printf("probe: flush %d\n", rc == 0 ? ZConfFlushKey(h) : rc);
    close_path(h);
}

void delete_value(char **a) {
    ZConfKeyHandle h;
    int32_t rc = open_path(a[0], &h);
    printf("probe: del %d\n", rc == 0 ? ZConfDeleteValue(h, a[1]) : rc);
    close_path(h);
}

// Waits (at most 30 s) until the change descriptor is readable and drains it.
void await_notify(char **) {
    pollfd ready = {change_fd, POLLIN, 0};
    int woken = poll(&ready, 1, 30000) == 1;
    char events[4096];
    while (read(change_fd, events, sizeof events) > 0) {
    }
    printf("probe: notified %d\n", woken);
}

// Reads standard input up to a newline or its end.
void read_line_from_stdin() {
    char c;
    while (read(0, &c, 1) > 0 && c != '\n') {
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
    // waits for the end of standard input, read from its descriptor: a probe that has
    // become another user may not open /dev/stdin
    {"wait", 0,
     [](char **) {
         fflush(stdout);
         char buffer[256];
         while (read(0, buffer, sizeof buffer) > 0) {
         }
     }},
    {"set", 3, [](char **a) { printf("probe: set %d\n", set_text(a[0], a[1], a[2])); }},
    {"get", 2, get_text},
    {"save", 0, [](char **) { printf("probe: save %d\n", SaveXMLFile()); }},
    {"fill", 1, fill},
    {"saveloop", 0, save_loop},
    {"stress", 1, stress},
    {"umask", 1, [](char **a) { umask(static_cast<mode_t>(std::stoi(a[0], nullptr, 8))); }},
    {"forks", 0, fork_children},
    // prints "probe: fds N", the number of descriptors the process has open
    {"fds", 0, [](char **) { printf("probe: fds %d\n", open_descriptors()); }},
    // waits for a line on standard input (or its end)
    {"step", 0, [](char **) { fflush(stdout), read_line_from_stdin(); }},
    {"flush", 1, flush_key},
    {"refresh", 0,
     [](char **) {
         uint32_t changed = 7;
         int32_t rc = ZConfRefreshKey(ZCONF_HKEY_ROOT, &changed);
         printf("probe: refresh %d %u\n", rc, changed);
     }},
    {"del", 2, delete_value},
    {"rmkey", 1,
     [](char **a) { printf("probe: rmkey %d\n", ZConfDeleteKey(ZCONF_HKEY_ROOT, a[0])); }},
    {"mkvol", 1,
     [](char **a) {
         ZConfKeyHandle h;
         int32_t rc = ZConfCreateKeyEx(ZCONF_HKEY_ROOT, a[0], 1, nullptr, &h);
         printf("probe: mkvol %d\n", rc);
         if (rc == 0)
             ZConfCloseKey(h);
     }},
    // keeps KEY open until release; held NAME reads a value through it
    {"hold", 1,
     [](char **a) {
         printf("probe: hold %d\n",
                ZConfOpenKeyEx(ZCONF_HKEY_ROOT, a[0], ZCONF_KEY_ALL, &held_key));
     }},
    {"held", 1,
     [](char **a) {
         printf("probe: held %d\n", ZConfQueryValueEx(held_key, a[0], nullptr, nullptr, nullptr));
     }},
    {"release", 0, [](char **) { ZConfCloseKey(held_key); }},
    {"flushloop", 1, flush_loop},
    // takes an exclusive flock() of PATH without waiting: "probe: lock 1" when it holds it
    {"lock", 1,
     [](char **a) {
         int fd = open(a[0], O_RDONLY | O_CLOEXEC);
         printf("probe: lock %d\n", fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0);
     }},
    // takes a change descriptor; awaitnotify then waits for it
    {"notify", 0,
     [](char **) { printf("probe: notify %d\n", ZConfNotifyChangeKeyValue(&change_fd)); }},
    {"awaitnotify", 0, await_notify},
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
