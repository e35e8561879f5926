// Processes that share the configuration file through flushes and refreshes: programs
// that loaded the same file and each write their own changes, many at once and killed
// in the middle, a program that takes in what others wrote, the tool beside them, the
// change descriptor, and a file that does not load.
#include "probe_client.h"

#include <functional>
#include <memory>
#include <sys/file.h>

namespace {

using namespace probe_client;

class Flushes : public ProcessTest {};

// Lets a probe waiting at a "step" go on; its next line.
std::string go_on(Probe &probe) {
    EXPECT_EQ(write(probe.input, "\n", 1), 1);
    return probe.next();
}

// Starts the tool with args, its standard output (and error) to the descriptors given
// (-1: nowhere); its process id.
pid_t start_tool(const std::vector<std::string> &args, int out = -1, int err = -1) {
    std::vector<std::string> command = program_command(TOOL, args);
    std::vector<char *> argv = exec_args(command);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(out >= 0 ? out : null, 1);
        dup2(err >= 0 ? err : null, 2);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Waits for the process; its exit status, or -1 when it did not exit.
int exit_status(pid_t pid) {
    int status = -1;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs the tool to its end; its exit status.
int zconf(const std::vector<std::string> &args) { return exit_status(start_tool(args)); }

// The probe lines of a probe that loads the file and gets each KEY NAME pair given.
std::string values(const std::vector<std::string> &pairs) {
    std::vector<std::string> args;
    for (size_t i = 0; i + 1 < pairs.size(); i += 2)
        args.insert(args.end(), {"get", pairs[i], pairs[i + 1]});
    Probe probe(args);
    std::string lines;
    for (std::string line; !(line = probe.next()).empty();)
        lines += line + "\n";
    EXPECT_EQ(probe.finish(), 0);
    return lines;
}

// Two programs load the same file and each change a value: whichever flushes first, the
// file ends with both changes and with what neither touched. When both change the same
// value (named in another letter case or spelling), the later flush wins.
TEST_F(Flushes, TwoProgramsKeepEachOthersChangesAndTheLaterFlushWins) {
    struct row {
        std::string key_late, name_late, key_early, name_early, expected;
    };
    const std::string untouched = "Net Host = old\n";
    const row rows[] = {
        {"Net", "A", "Net", "B", "Net A = a\nNet B = b\n" + untouched},
        {"Net", "B", "Net", "A", "Net A = b\nNet B = a\n" + untouched},
        {"Net", "Host", "NET", "HOST", "get -2\nget -2\nNet Host = a\n"},
        {"Tarvlin", "Port", "olvex", "PORT", "Olvex Port = a\n" + untouched},
    };
    for (const row &r : rows) {
        write_file(kConfig, one_value_document("old"));
        // Both load the file before either flushes; `late` flushes last.
        Probe late({"set", r.key_late, r.name_late, "a", "step", "flush", ""});
        EXPECT_EQ(late.next(), "set 0");
        EXPECT_NE(run({"set", r.key_early, r.name_early, "b", "flush", ""}).find("probe: flush 0"),
                  std::string::npos);
        EXPECT_EQ(go_on(late), "flush 0");
        EXPECT_EQ(late.finish(), 0);
        std::vector<std::string> gets = {"Net", "A", "Net", "B"};
        if (r.key_late == "Tarvlin")
            gets = {"Olvex", "Port"};
        gets.insert(gets.end(), {"Net", "Host"});
        EXPECT_EQ(values(gets), r.expected) << r.key_late << " " << r.name_late;
        EXPECT_TRUE(whole_document(read_file(kConfig)));
    }
}

// 20 processes flush 50 times each at once, by rename and in place (the file has a second
// link), while each of them loads the file as it starts: every process's last value is in
// the file, which every flush left whole. (Killed writers are the saves' test.)
TEST_F(Flushes, ManyFlushesAtOnceLoseNothing) {
    for (bool in_place : {false, true}) {
        unlink(kConfig);
        if (in_place) {
            write_file(kConfig, "");
            ASSERT_EQ(link(kConfig, "/etc/zconfig.link"), 0);
        }
        std::vector<std::unique_ptr<Probe>> flushers;
        for (int i = 0; i < 20; i++)
            flushers.push_back(
                std::make_unique<Probe>(std::vector<std::string>{"flushloop", "50"}));
        for (auto &flusher : flushers) {
            EXPECT_EQ(flusher->next(), "flushloop 0") << "in place " << in_place;
            EXPECT_EQ(flusher->finish(), 0);
        }
        std::string text = read_file(kConfig);
        EXPECT_TRUE(whole_document(text));
        size_t last = 0;
        for (size_t at = 0; (at = text.find(">49</VALUE_SZ>", at)) != std::string::npos; at++)
            last++;
        EXPECT_EQ(last, 20u) << text;
        if (in_place) {
            EXPECT_EQ(read_file("/etc/zconfig.link"), text);
        }
        unlink("/etc/zconfig.link");
    }
}

// A program that refreshes takes in a value another changed, loses the value and the key
// another deleted (the key it holds open stays usable until its last close) and keeps its
// own change that it has not flushed yet and its volatile key, which no flush writes.
TEST_F(Flushes, ARefreshTakesInWhatOthersWroteAndKeepsItsOwnChanges) {
    write_file(kConfig, document("\t<KEY name=\"Net\">\n"
                                 "\t\t<VALUE_SZ name=\"Host\">old</VALUE_SZ>\n"
                                 "\t\t<VALUE_SZ name=\"Gone\">x</VALUE_SZ>\n\t</KEY>\n"
                                 "\t<KEY name=\"Old\">\n"
                                 "\t\t<VALUE_SZ name=\"V\">1</VALUE_SZ>\n\t</KEY>\n"));
    // clang-format off
    Probe reader({"mkvol", "Tmp", "set", "Tmp", "V", "t", "set", "Net", "Mine", "m",
                  "hold", "Old", "step", "refresh", "held", "V", "release",
                  "get", "Net", "Host", "get", "Net", "Gone", "get", "Net", "Mine",
                  "get", "Old", "V", "get", "New", "K", "refresh", "get", "Tmp", "V",
                  "flush", ""});
    // clang-format on
    for (const char *line : {"mkvol 0", "set 0", "set 0", "hold 0"})
        EXPECT_EQ(reader.next(), line);
    run({"set", "Net", "Host", "new", "del", "Net", "Gone", "rmkey", "Old", "set", "New", "K", "k",
         "flush", ""});
    const char *expected[] = {"refresh 0 1",  "held 0", "Net Host = new", "get -2",
                              "Net Mine = m", "get -2", "New K = k",      "refresh 0 0",
                              "Tmp V = t",    "flush 0"};
    EXPECT_EQ(go_on(reader), expected[0]);
    for (size_t i = 1; i < std::size(expected); i++)
        EXPECT_EQ(reader.next(), expected[i]);
    EXPECT_EQ(reader.finish(), 0);
    EXPECT_EQ(values({"Net", "Mine", "Net", "Host", "Tmp", "V"}),
              "Net Mine = m\nNet Host = new\nget -2\n");
    EXPECT_EQ(read_file(kConfig).find("Tmp"), std::string::npos);
}

// The change descriptor wakes on a save by rename and in place and on a flush of another
// process; `zconf watch` prints what others (here the tool) change.
TEST_F(Flushes, ChangesOfOthersWakeTheDescriptorAndShowInWatch) {
    write_file(kConfig, one_value_document("old"));
    struct way {
        const char *what;
        std::function<void()> write;
    };
    const way ways[] = {
        {"save by rename",
         [] {
             run({"set", "Net", "Host", "1", "save"});
         }},
        {"save in place",
         [] {
             ASSERT_EQ(link(kConfig, "/etc/zconfig.link"), 0); // a rename cannot serve
             run({"set", "Net", "Host", "2", "save"});
             EXPECT_EQ(read_file("/etc/zconfig.link"), read_file(kConfig));
             unlink("/etc/zconfig.link");
         }},
        {"flush",
         [] {
             run({"set", "Net", "Host", "3", "flush", ""});
         }},
    };
    for (const way &w : ways) {
        Probe watcher({"notify", "awaitnotify"});
        EXPECT_EQ(watcher.next(), "notify 0");
        w.write();
        EXPECT_EQ(watcher.next(), "notified 1") << w.what;
        EXPECT_EQ(watcher.finish(), 0);
    }

    int out[2], err[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(err, O_CLOEXEC), 0);
    pid_t watch = start_tool({"watch", "Net"}, out[1], err[1]);
    close(out[1]);
    close(err[1]);
    FILE *lines = fdopen(out[0], "r"), *messages = fdopen(err[0], "r");
    char line[512] = "";
    while (fgets(line, sizeof line, messages) != nullptr &&
           strncmp(line, "zconf: watch", 12) != 0) {
    }
    EXPECT_STREQ(line, "zconf: watching Net\n");
    const std::pair<std::vector<std::string>, const char *> changes[] = {
        {{"set", "Net", "Host", "sz", "5"}, "Host\tSZ\t5\n"},
        {{"set", "Other", "X", "sz", "5"}, nullptr}, // not below Net: nothing
        {{"set", "Net/Sub", "X", "dword", "1"}, "Sub\\X\tDWORD\t0x00000001\n"},
        {{"rm", "Net", "Host"}, "Host\tREMOVED\n"},
    };
    for (const auto &[args, printed] : changes) {
        EXPECT_EQ(zconf(args), 0);
        if (printed != nullptr) {
            ASSERT_NE(fgets(line, sizeof line, lines), nullptr);
            EXPECT_STREQ(line, printed);
        }
    }
    kill(watch, SIGTERM);
    EXPECT_EQ(exit_status(watch), 0);
    EXPECT_EQ(fgets(line, sizeof line, lines), nullptr) << line;
    fclose(lines);
    fclose(messages);
}

// A file that does not load is never written over by a program's flush, and a refresh
// leaves the store alone; a missing or empty file is an empty store.
TEST_F(Flushes, AFileThatDoesNotLoadIsNeverWrittenOver) {
    const std::string whole = one_value_document("old");
    for (const std::string &bad : {std::string("garbage\n"), whole.substr(0, whole.size() - 7),
                                   document("\t<VALUE_SZ name=\"A\">a</VALUE_SZ>\n")}) {
        write_file(kConfig, bad);
        std::string output = run({"set", "Net", "A", "a", "flush", "", "refresh"});
        EXPECT_NE(output.find("probe: flush -74"), std::string::npos) << output;
        EXPECT_NE(output.find("probe: refresh -74 0"), std::string::npos) << output;
        EXPECT_EQ(read_file(kConfig), bad);
    }
    for (bool missing : {true, false}) {
        if (missing)
            unlink(kConfig);
        else
            write_file(kConfig, "");
        EXPECT_NE(run({"set", "Net", "A", "a", "flush", ""}).find("probe: flush 0"),
                  std::string::npos);
        EXPECT_EQ(values({"Net", "A"}), "Net A = a\n");
    }
}

constexpr char kLockFile[] = "/etc/zconfig.xml.lock";

// Whether a flush of this process goes through at once.
bool flush_goes_through() {
    return run({"set", "Net", "A", "a", "flush", ""}).find("probe: flush 0") != std::string::npos;
}

// Only those who may write the configuration file can hold up a flush: a reader's lock on
// the file, and a lock file others may open or that belongs to someone who cannot write
// the file, stand against nobody. The lock file a flush makes gives the access the
// configuration file gives for writing, to the same owner and group.
TEST_F(Flushes, OnlyThoseWhoMayWriteTheFileCanHoldUpAFlush) {
    NEEDS_OTHER_USER();
    write_file(kConfig, one_value_document("old"));
    ASSERT_EQ(chmod(kConfig, 0644), 0);
    Probe reader({"lock", kConfig, "wait"}, true);
    EXPECT_EQ(reader.next(), "lock 1");
    EXPECT_TRUE(flush_goes_through());
    EXPECT_EQ(Probe({"lock", kLockFile}, true).next(), "lock 0"); // the flush's, root's own

    struct planted {
        uid_t uid;
        gid_t gid;
        mode_t mode;
    };
    for (planted lock : {planted{kNobody, 0, 0600}, {0, 0, 0644}, {0, kNobody, 0660}}) {
        unlink(kLockFile);
        int fd = open(kLockFile, O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        ASSERT_EQ(fchown(fd, lock.uid, lock.gid) | fchmod(fd, lock.mode), 0);
        close(fd);
        Probe holder({"lock", kLockFile, "wait"}, true);
        EXPECT_EQ(holder.next(), "lock 1") << std::oct << lock.mode;
        EXPECT_TRUE(flush_goes_through()) << std::oct << lock.mode;
    }

    for (auto [config_mode, lock_mode] : {std::pair<mode_t, mode_t>{0664, 0660}, {0622, 0666}}) {
        unlink(kLockFile);
        ASSERT_EQ(chown(kConfig, kNobody, kNobody) | chmod(kConfig, config_mode), 0);
        EXPECT_TRUE(flush_goes_through());
        struct stat st {};
        ASSERT_EQ(stat(kLockFile, &st), 0);
        EXPECT_EQ(st.st_mode & 07777, lock_mode) << std::oct << config_mode;
        EXPECT_EQ(st.st_uid * 100000 + st.st_gid, kNobody * 100000 + kNobody);
    }
}

} // namespace

PROCESS_TEST_MAIN
