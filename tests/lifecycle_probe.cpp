// A program that has the library loaded (so its start-up and shutdown run as in any
// user's process) and does what its arguments say, in order. The process tests start it
// as a child. Its own lines begin with "probe: "; the library's messages go to the same
// standard output.
//
//   ready                 print "probe: ready"
//   wait                  wait until standard input is closed
//   set KEY NAME TEXT     create KEY and set NAME to the string TEXT
//   get KEY NAME          print "probe: KEY NAME = TEXT" or "probe: get <result>"
//   save                  print "probe: save <result>"
//   fill N                set N values of about 150 bytes under Fill\GroupNN\ItemNNNNN
//   saveloop              save again and again, a new Loop\Generation each time;
//                         "probe: ready" after the first save
//   stress MS             for MS milliseconds, 3 threads change the store while 2 save
//                         it and check each saved file; "probe: stress <failures>"
//   holdmutex             take the named mutex, print "probe: holding" and sleep
//   umask MASK            set the process's umask (octal)
//   forks                 fork three children that exec /bin/true, _exit and exit
//                         (running the library's shutdown); wait for them
// Flushes and refreshes (sync_command):
//   step                  wait for a line on standard input (or its end)
//   flush KEY             flush KEY ("" the root): "probe: flush <result>"
//   refresh               refresh the root: "probe: refresh <result> <changed>"
//   del KEY NAME          delete the value: "probe: del <result>"
//   rmkey KEY             delete the key: "probe: rmkey <result>"
//   mkvol KEY             create the volatile KEY: "probe: mkvol <result>"
//   hold KEY / release    open KEY and keep the handle / close it: "probe: hold <result>"
//   held NAME             read NAME through the held handle: "probe: held <result>"
//   flushloop N           N times (0: for ever) set Flush\P<pid> Count and flush it, each
//                         file checked whole: "probe: flushloop <failures>" ("probe:
//                         ready" after the first flush when for ever)
//   notify                take a change descriptor and print "probe: notify <result>";
//   awaitnotify           then wait (at most 30 s) until it is readable, drain it and
//                         print "probe: notified <1 or 0>"
#include "dovizuz.h"
#include "lifecycle/dovizuz_lifecycle.h"
#include "platform/zwincompat.h"
#include "process_support.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

int32_t set_text(const std::string &key, const std::string &name, const std::string &text) {
    ZConfKeyHandle h;
    int32_t rc = ZConfCreateKey(ZCONF_HKEY_ROOT, key.c_str(), &h);
    if (rc != 0)
        return rc;
    rc = ZConfSetValueEx(h, name.c_str(), ZCONF_VALUE_SZ, text.c_str(),
                         static_cast<uint32_t>(text.size() + 1));
    ZConfCloseKey(h);
    return rc;
}

void get_text(const std::string &key, const std::string &name) {
    ZConfKeyHandle h;
    int32_t rc = ZConfOpenKeyEx(ZCONF_HKEY_ROOT, key.c_str(), ZCONF_KEY_READ, &h);
    if (rc == 0) {
        char text[4096];
        uint32_t type, size = sizeof text;
        rc = ZConfQueryValueEx(h, name.c_str(), &type, text, &size);
        ZConfCloseKey(h);
        if (rc == 0) {
            printf("probe: %s %s = %s\n", key.c_str(), name.c_str(), text);
            return;
        }
    }
    printf("probe: get %d\n", rc);
}

std::string item_key(int i) {
    char key[64];
    snprintf(key, sizeof key, "Fill\\Group%02d\\Item%05d", i / 100, i);
    return key;
}

void fill(int count) {
    std::string text(140, 'x');
    for (int i = 0; i < count; i++)
        set_text(item_key(i), "Text", text);
}

void save_loop() {
    for (long generation = 0;; generation++) {
        set_text("Loop", "Generation", std::to_string(generation));
        SaveXMLFile();
        if (generation == 0) {
            printf("probe: ready\n");
            fflush(stdout);
        }
    }
}

// The file's text, read as the library's load reads it: under a read lock, which a save
// that writes the file in place holds off until it is done.
std::string read_as_loads_do(const char *path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct flock lock {};
    lock.l_type = F_RDLCK;
    if (fd < 0 || fcntl(fd, F_OFD_SETLKW, &lock) != 0) {
        if (fd >= 0)
            close(fd);
        return "";
    }
    std::string text;
    char buffer[65536];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(n));
    close(fd);
    return text;
}

// Changes the store from some threads while others save it; each saved file must be
// whole, whoever saved last.
int stress(int milliseconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; t++)
        threads.emplace_back([&, t] {
            for (int i = 0; std::chrono::steady_clock::now() < end; i++) {
                std::string key = "Stress\\T" + std::to_string(t) + "\\K" + std::to_string(i % 50);
                if (set_text(key, std::string("V").append(std::to_string(i % 7)),
                             std::string(i % 200, 'a')) != 0)
                    failures++;
                if (i % 3 == 0) {
                    ZConfKeyHandle h;
                    if (ZConfOpenKeyEx(ZCONF_HKEY_ROOT, key.c_str(), ZCONF_KEY_ALL, &h) == 0) {
                        ZConfDeleteValue(h, "V0");
                        ZConfCloseKey(h);
                    }
                }
            }
        });
    for (int t = 0; t < 2; t++)
        threads.emplace_back([&] {
            while (std::chrono::steady_clock::now() < end)
                if (SaveXMLFile() != 0 || !whole_document(read_as_loads_do(DOVIZUZ_CONFIG_FILE)))
                    failures++;
        });
    for (std::thread &t : threads)
        t.join();
    return failures;
}

void hold_mutex() {
    zll_handle mutex = zllCreateMutex(0, DOVIZUZ_MUTEX_NAME);
    if (mutex == 0 || zllWaitForSingleObject(mutex, ZLL_INFINITE) != ZLL_WAIT_OBJECT_0) {
        printf("probe: holdmutex failed %u\n", zllGetLastError());
        return;
    }
    printf("probe: holding\n");
    fflush(stdout);
    for (;;)
        pause();
}

void fork_children() {
    for (int way = 0; way < 3; way++) {
        pid_t pid = fork();
        if (pid == 0) {
            if (way == 0)
                execl("/bin/true", "true", static_cast<char *>(nullptr));
            if (way == 1)
                _exit(0);
            exit(0);
        }
        int status;
        waitpid(pid, &status, 0);
    }
}

// ---- Flushes and refreshes ----

ZConfKeyHandle held_key;
int32_t change_fd = -1;

int flush_loop(int count) {
    std::string key = "Flush\\P" + std::to_string(getpid());
    int failures = 0;
    for (int i = 0; count == 0 || i < count; i++) {
        failures += set_text(key, "Count", std::to_string(i)) != 0;
        failures += ZConfFlushKey(ZCONF_HKEY_ROOT) != 0;
        failures += !whole_document(read_as_loads_do(DOVIZUZ_CONFIG_FILE));
        if (i == 0 && count == 0) {
            printf("probe: ready\n");
            fflush(stdout);
        }
    }
    return failures;
}

// Runs one of the flush and refresh commands at argv[i], moving i past its arguments;
// false when the command is none of them.
bool sync_command(int argc, char **argv, int &i) {
    std::string command = argv[i];
    auto arg = [&](int n) { return i + n < argc ? std::string(argv[i + n]) : std::string(); };
    ZConfKeyHandle h = ZCONF_HKEY_ROOT;
    int32_t rc = 0;
    if (command == "step") {
        fflush(stdout);
        char line[64];
        for (ssize_t n; (n = read(0, line, 1)) > 0 && line[0] != '\n';) {
        }
    } else if (command == "flush") {
        if (!arg(1).empty())
            rc = ZConfOpenKeyEx(ZCONF_HKEY_ROOT, arg(1).c_str(), ZCONF_KEY_ALL, &h);
        printf("probe: flush %d\n", rc == 0 ? ZConfFlushKey(h) : rc);
        if (h != ZCONF_HKEY_ROOT)
            ZConfCloseKey(h);
        i += 1;
    } else if (command == "refresh") {
        uint32_t changed = 7;
        rc = ZConfRefreshKey(ZCONF_HKEY_ROOT, &changed);
        printf("probe: refresh %d %u\n", rc, changed);
    } else if (command == "del" || command == "rmkey") {
        bool value = command == "del";
        std::string key = value ? arg(1) : "";
        rc = key.empty() ? 0 : ZConfOpenKeyEx(ZCONF_HKEY_ROOT, key.c_str(), ZCONF_KEY_ALL, &h);
        if (rc == 0)
            rc = value ? ZConfDeleteValue(h, arg(2).c_str()) : ZConfDeleteKey(h, arg(1).c_str());
        if (h != ZCONF_HKEY_ROOT)
            ZConfCloseKey(h);
        printf("probe: %s %d\n", command.c_str(), rc);
        i += value ? 2 : 1;
    } else if (command == "mkvol") {
        rc = ZConfCreateKeyEx(ZCONF_HKEY_ROOT, arg(1).c_str(), 1, nullptr, &h);
        printf("probe: mkvol %d\n", rc);
        if (rc == 0)
            ZConfCloseKey(h);
        i += 1;
    } else if (command == "hold") {
        printf("probe: hold %d\n",
               ZConfOpenKeyEx(ZCONF_HKEY_ROOT, arg(1).c_str(), ZCONF_KEY_ALL, &held_key));
        i += 1;
    } else if (command == "held") {
        printf("probe: held %d\n",
               ZConfQueryValueEx(held_key, arg(1).c_str(), nullptr, nullptr, nullptr));
        i += 1;
    } else if (command == "release") {
        ZConfCloseKey(held_key);
    } else if (command == "flushloop") {
        printf("probe: flushloop %d\n", flush_loop(std::stoi(arg(1))));
        i += 1;
    } else if (command == "notify") {
        printf("probe: notify %d\n", ZConfNotifyChangeKeyValue(&change_fd));
    } else if (command == "awaitnotify") {
        pollfd ready = {change_fd, POLLIN, 0};
        int woken = poll(&ready, 1, 30000) == 1;
        char events[4096];
        while (read(change_fd, events, sizeof events) > 0) {
        }
        printf("probe: notified %d\n", woken);
    } else {
        return false;
    }
    return true;
}

void wait_for_stdin_eof() {
    char buffer[64];
    while (read(0, buffer, sizeof buffer) > 0) {
    }
}

} // namespace

int main(int argc, char **argv) {
    for (int i = 1; i < argc; i++) {
        std::string command = argv[i];
        auto arg = [&](int n) { return i + n < argc ? std::string(argv[i + n]) : std::string(); };
        if (command == "ready") {
            printf("probe: ready\n");
        } else if (command == "wait") {
            fflush(stdout);
            wait_for_stdin_eof();
        } else if (command == "set") {
            printf("probe: set %d\n", set_text(arg(1), arg(2), arg(3)));
            i += 3;
        } else if (command == "get") {
            get_text(arg(1), arg(2));
            i += 2;
        } else if (command == "save") {
            printf("probe: save %d\n", SaveXMLFile());
        } else if (command == "fill") {
            fill(std::stoi(arg(1)));
            i += 1;
        } else if (command == "saveloop") {
            save_loop();
        } else if (command == "stress") {
            printf("probe: stress %d\n", stress(std::stoi(arg(1))));
            i += 1;
        } else if (command == "holdmutex") {
            hold_mutex();
        } else if (command == "umask") {
            umask(static_cast<mode_t>(std::stoi(arg(1), nullptr, 8)));
            i += 1;
        } else if (command == "forks") {
            fork_children();
        } else if (sync_command(argc, argv, i)) {
        } else {
            printf("probe: unknown command %s\n", command.c_str());
            return 2;
        }
        fflush(stdout);
    }
    return 0;
}
