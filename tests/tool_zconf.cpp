// The zconf tool as its users meet it: the real binary started as a child process, with
// its standard output and standard error kept apart, against the real configuration
// file and the real shared library, inside a private mount namespace.
#include "process_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sched.h>
#include <string>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

const char kConfig[] = "/etc/zconfig.xml";

struct outcome {
    int status;
    std::string out, err;
};

std::string contents(int fd) {
    std::string text(lseek(fd, 0, SEEK_END), '\0');
    if (pread(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()))
        text = "(unreadable)";
    close(fd);
    return text;
}

// What the child sees besides the test's namespace: the machine as it is, an empty file
// in the library's place (so that loading it fails), or a read-only configuration file.
enum child_view { kAsIs, kNoLibrary, kReadOnlyConfig };

// Gives the child the view it asks for, in a mount namespace of its own.
bool set_up_view(child_view view) {
    if (view == kAsIs)
        return true;
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    if (view == kNoLibrary)
        return mount("/dev/null", LIBRARY_FILE, nullptr, MS_BIND, nullptr) == 0;
    return mount(kConfig, kConfig, nullptr, MS_BIND, nullptr) == 0 &&
           mount(nullptr, kConfig, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
}

// Runs the tool with `args`. A run that hangs is killed after a minute (status -1), so a
// test that makes it wait forever fails instead of hanging.
outcome zconf(const std::vector<std::string> &args, child_view view = kAsIs) {
    std::vector<std::string> command = program_command(TOOL, args);
    std::vector<char *> argv = exec_args(command);
    int out = memfd_create("out", 0), err = memfd_create("err", 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out, 1);
        dup2(err, 2);
        if (!set_up_view(view))
            _exit(126);
        alarm(60);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, contents(out), contents(err)};
}

void write_file(const std::string &text) { std::ofstream(kConfig, std::ios::binary) << text; }

std::string document(const std::string &body) {
    return std::string(kDeclaration) + "<KEY name=\"ZCONF_ROOT\">\n" + body + "</KEY>\n";
}

const std::string kNetwork = document("\t<KEY name=\"Network\">\n"
                                      "\t\t<VALUE_DWORD name=\"Port\">0x00001F90</VALUE_DWORD>\n"
                                      "\t\t<VALUE_MULTI_SZ name=\"Dns\">a&#x00;b&#x00;&#x00;"
                                      "</VALUE_MULTI_SZ>\n"
                                      "\t\t<KEY name=\"Eth0\">\n"
                                      "\t\t\t<VALUE_NONE name=\"Up\"></VALUE_NONE>\n"
                                      "\t\t\t<KEY name=\"Ipv4\">\n"
                                      "\t\t\t\t<VALUE_SZ name=\"Addr\">10.0.0.2</VALUE_SZ>\n"
                                      "\t\t\t</KEY>\n\t\t</KEY>\n\t</KEY>\n"
                                      "\t<KEY name=\"System\">\n\t</KEY>\n");

// Lines of the tool itself; the others are the library's.
int own_lines(const std::string &text) {
    int lines = text.starts_with("zconf: ") ? 1 : 0;
    for (size_t at = text.find("\nzconf: "); at != std::string::npos;
         at = text.find("\nzconf: ", at + 1))
        lines++;
    return lines;
}

ino_t inode() {
    struct stat st {};
    return stat(kConfig, &st) == 0 ? st.st_ino : 0;
}

// Runs a command that must fail with `status` and a single line naming `subject` on
// the standard error, leaving the file as it was and not saving it again.
void expect_failure(const std::vector<std::string> &args, int status, const std::string &subject) {
    std::string before = read_file(kConfig);
    ino_t saved = inode();
    outcome r = zconf(args);
    std::string command = args.empty() ? "" : args[0] + " " + (args.size() > 1 ? args[1] : "");
    EXPECT_EQ(r.status, status) << command << "\n" << r.err;
    EXPECT_EQ(r.out, "") << command;
    EXPECT_NE(r.err.find("zconf: "), std::string::npos) << command;
    EXPECT_NE(r.err.find(subject), std::string::npos) << command << ": " << r.err;
    EXPECT_EQ(own_lines(r.err), 1) << r.err;
    EXPECT_EQ(read_file(kConfig), before) << command;
    EXPECT_EQ(inode(), saved) << command << ": the file was saved again";
}

class Tool : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_STREQ(getenv("DOVIZUZ_ISOLATED"), "1");
        fs::remove(kConfig);
    }
};

TEST_F(Tool, ListsKeysAndValuesAndPrintsTheTree) {
    write_file(kNetwork);
    EXPECT_EQ(zconf({"ls"}).out, "Network/\nSystem/\n");
    outcome r = zconf({"ls", "/network\\\\"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Eth0/\nPort\tDWORD\t0x00001F90\nDns\tMULTI_SZ\ta\tb\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(zconf({"ls", "Network/Eth0/Ipv4"}).out, "Addr\tSZ\t10.0.0.2\n");
    EXPECT_EQ(zconf({"tree", ""}).out, "Network/\n"
                                       "  Port\tDWORD\t0x00001F90\n"
                                       "  Dns\tMULTI_SZ\ta\tb\n"
                                       "  Eth0/\n"
                                       "    Up\tNONE\n"
                                       "    Ipv4/\n"
                                       "      Addr\tSZ\t10.0.0.2\n"
                                       "System/\n");
    EXPECT_EQ(zconf({"tree", "Network\\Eth0"}).out, "Up\tNONE\nIpv4/\n  Addr\tSZ\t10.0.0.2\n");
    EXPECT_EQ(zconf({"get", "Network", "DNS"}).out, "a\nb\n");
    EXPECT_EQ(read_file(kConfig), kNetwork); // reading saves nothing
}

TEST_F(Tool, EveryTypeRoundTripsThroughSetGetAndTheSavedFile) {
    struct {
        std::vector<std::string> set; // NAME TYPE VALUE...
        std::string get, element;
    } cases[] = {
        {{"None", "none"}, "", "<VALUE_NONE name=\"None\"></VALUE_NONE>"},
        {{"Bin", "BINARY", "00 1a2b", "Ff"}, "001A2BFF\n", ">001A2BFF</"},
        {{"Text", "sz", "R&D <lab> \"x\""},
         "R&D <lab> \"x\"\n",
         ">R&amp;D &lt;lab&gt; &quot;x&quot;<"},
        {{"Empty", "value_sz", ""}, "\n", "<VALUE_SZ name=\"Empty\"></VALUE_SZ>"},
        {{"List", "multi_sz", "a", "", "c"}, "a\n\nc\n", ">a&#x00;&#x00;c&#x00;&#x00;<"},
        {{"NoItems", "multi_sz"}, "", ">&#x00;</VALUE_MULTI_SZ>"},
        {{"Port", "dword", "8080"}, "0x00001F90\n", "<VALUE_DWORD name=\"Port\">0x00001F90<"},
        {{"Le", "Dword_LE", "0x01020304"},
         "0x01020304\n",
         "<VALUE_DWORD_LE name=\"Le\">0x01020304<"},
        {{"Be", "VALUE_DWORD_BE", "4294967295"}, "0xFFFFFFFF\n", "_BE name=\"Be\">0xFFFFFFFF<"},
        {{"Q", "qword", "0X1"}, "0x0000000000000001\n", ">0x0000000000000001</VALUE_QWORD>"},
        {{"QLe", "qword_le", "0x0102030405060708"}, "0x0102030405060708\n", ">0x0102030405060708<"},
        {{"QBe", "qword_be", "18446744073709551615"},
         "0xFFFFFFFFFFFFFFFF\n",
         ">0xFFFFFFFFFFFFFFFF<"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = {"set", "Dev/Types"};
        args.insert(args.end(), c.set.begin(), c.set.end());
        outcome r = zconf(args);
        EXPECT_EQ(r.status, 0) << c.set[0] << ": " << r.err;
        EXPECT_EQ(r.out + r.err, "") << c.set[0];
    }
    std::string saved = read_file(kConfig);
    EXPECT_TRUE(whole_document(saved));
    for (const auto &c : cases) {
        EXPECT_NE(saved.find(c.element), std::string::npos) << c.element << "\n" << saved;
        outcome r = zconf({"get", "dev\\types", c.set[0]}); // a new process loads the file
        EXPECT_EQ(r.status, 0) << c.set[0];
        EXPECT_EQ(r.out, c.get) << c.set[0];
    }
    // A file the tool wrote lists as the tool reads it, and a value set again is replaced.
    EXPECT_EQ(zconf({"set", "Dev/Types", "Port", "dword", "0x50"}).status, 0);
    EXPECT_EQ(zconf({"get", "Dev/Types", "Port"}).out, "0x00000050\n");
    EXPECT_NE(zconf({"ls", "Dev/Types"}).out.find("\nPort\tDWORD\t0x00000050\nLe\tDWORD_LE"),
              std::string::npos);
}

TEST_F(Tool, ChangesAreSavedUnlessNoSaveIsGiven) {
    write_file(kNetwork);
    EXPECT_EQ(zconf({"--no-save", "set", "Network", "Mtu", "dword", "1500"}).status, 0);
    EXPECT_EQ(zconf({"rmkey", "-r", "Network", "--no-save"}).status, 0);
    EXPECT_EQ(zconf({"mkkey", "--volatile", "Run/Tmp"}).status, 0); // never written
    EXPECT_EQ(read_file(kConfig), kNetwork);

    EXPECT_EQ(zconf({"rm", "Network", "Dns"}).status, 0);
    EXPECT_EQ(zconf({"mkkey", "System/Boot/Log"}).status, 0);
    EXPECT_EQ(zconf({"mkkey", "system\\BOOT"}).status, 0); // exists: left as it is
    outcome r = zconf({"rmkey", "Network/Eth0/Ipv4"});     // a key with values, no subkeys
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("DoviZUZDeleteKey"), std::string::npos); // the library's trace
    EXPECT_EQ(read_file(kConfig),
              document("\t<KEY name=\"Network\">\n"
                       "\t\t<VALUE_DWORD name=\"Port\">0x00001F90</VALUE_DWORD>\n"
                       "\t\t<KEY name=\"Eth0\">\n"
                       "\t\t\t<VALUE_NONE name=\"Up\"></VALUE_NONE>\n\t\t</KEY>\n\t</KEY>\n"
                       "\t<KEY name=\"System\">\n\t\t<KEY name=\"Boot\">\n"
                       "\t\t\t<KEY name=\"Log\">\n\t\t\t</KEY>\n\t\t</KEY>\n\t</KEY>\n"));
    EXPECT_EQ(zconf({"rmkey", "-r", "Network"}).status, 0);
    EXPECT_EQ(zconf({"rmkey", "-r", "System/Boot"}).status, 0);
    EXPECT_EQ(read_file(kConfig), document("\t<KEY name=\"System\">\n\t</KEY>\n"));
}

// Each run loads the file, changes its own store and saves it: runs at once must not
// save over each other's changes.
TEST_F(Tool, ChangesOfRunsAtOnceAreAllKept) {
    constexpr int kRuns = 16;
    std::vector<std::thread> runs;
    std::vector<int> status(kRuns, -1);
    for (int i = 0; i < kRuns; i++)
        runs.emplace_back([i, &status] {
            status[i] =
                zconf({"set", "Race", "V" + std::to_string(i), "dword", std::to_string(i)}).status;
        });
    for (std::thread &run : runs)
        run.join();
    EXPECT_EQ(status, std::vector<int>(kRuns, 0));
    outcome r = zconf({"ls", "Race"});
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), kRuns) << r.out;
}

// Takes the lock a flush holds on the file, as another process would; -1 when it cannot.
int hold_lock() {
    int fd = open(kConfig, O_RDWR | O_CLOEXEC);
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// While another process holds the file's lock, runs that would write give up (after the
// library's 10 s) with a message and change nothing, and runs that only read go on; a
// lock let go soon is waited for.
TEST_F(Tool, ARunThatCannotTakeTheLockGivesUpAndChangesNothing) {
    write_file(kNetwork);
    int lock = hold_lock();
    ASSERT_GE(lock, 0) << strerror(errno);
    auto start = std::chrono::steady_clock::now();
    expect_failure({"set", "Network", "Mtu", "dword", "1500"}, 3,
                   "zconf: /etc/zconfig.xml is locked by another process");
    EXPECT_LT(seconds_since(start), 30);
    expect_failure({"rmkey", "-r", "Network"}, 3, "locked by another process");
    EXPECT_EQ(zconf({"get", "Network", "Port"}).out, "0x00001F90\n");
    EXPECT_EQ(zconf({"--no-save", "rmkey", "-r", "Network"}).status, 0);
    close(lock);
    outcome r = zconf({"set", "Network", "Mtu", "dword", "1500"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(zconf({"get", "Network", "Mtu"}).out, "0x000005DC\n");

    // A lock let go half a second after the run starts is waited for.
    lock = hold_lock();
    ASSERT_GE(lock, 0) << strerror(errno);
    std::thread release([lock] {
        usleep(500 * 1000);
        close(lock);
    });
    r = zconf({"set", "Network", "Mtu", "dword", "9000"});
    release.join();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(zconf({"get", "Network", "Mtu"}).out, "0x00002328\n");

    // The library's own locks while it loads and while it saves in place (the file has
    // a second link) do not stand against the flush's lock.
    ASSERT_EQ(link(kConfig, "/etc/zconfig-link.xml"), 0);
    r = zconf({"set", "Network", "Mtu", "dword", "1280"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file("/etc/zconfig-link.xml"), read_file(kConfig));
    EXPECT_EQ(zconf({"get", "Network", "Mtu"}).out, "0x00000500\n");

    // A file this run cannot write is no reason to fail at the lock: the save reports
    // why it cannot write it.
    std::string before = read_file(kConfig);
    r = zconf({"set", "Network", "Mtu", "dword", "1500"}, kReadOnlyConfig);
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("zconf: saving /etc/zconfig.xml failed"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("lock"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(kConfig), before);
}

// The lock is the configuration file itself: nothing in the world-writable /dev/shm is
// created, followed or waited for, and only a regular file at /etc/zconfig.xml counts.
TEST_F(Tool, TheLockIsTheConfigurationFileAlone) {
    fs::create_symlink("/etc/planted-target", "/dev/shm/zconf.lock");
    outcome r = zconf({"set", "A", "B", "sz", "x"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(fs::exists(fs::symlink_status("/etc/planted-target")));
    EXPECT_TRUE(fs::is_symlink("/dev/shm/zconf.lock"));
    fs::remove("/dev/shm/zconf.lock");
    int held = open("/dev/shm/zconf.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    ASSERT_EQ(flock(held, LOCK_EX), 0); // anyone could take this one
    r = zconf({"set", "A", "B", "sz", "y"});
    close(held);
    fs::remove("/dev/shm/zconf.lock");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(zconf({"get", "A", "B"}).out, "y\n");

    // A FIFO or a directory in the file's place is refused at once, and left alone.
    fs::remove(kConfig);
    ASSERT_EQ(mkfifo(kConfig, 0644), 0);
    auto start = std::chrono::steady_clock::now();
    r = zconf({"set", "A", "B", "sz", "x"}); // (reading the FIFO here would block)
    EXPECT_LT(seconds_since(start), 30);
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("zconf: /etc/zconfig.xml is not a regular file\n"), std::string::npos);
    EXPECT_TRUE(fs::is_fifo(kConfig));
    fs::remove(kConfig);
    fs::create_directory(kConfig);
    expect_failure({"set", "A", "B", "sz", "x"}, 3, "/etc/zconfig.xml is not a regular file");
    EXPECT_TRUE(fs::is_directory(kConfig));
}

// A run with no file makes one only when it writes into it, with the mode the library
// gives a new file (0666 less the umask).
TEST_F(Tool, TheFileMadeForTheLockStaysOnlyWhenSaved) {
    expect_failure({"rm", "A", "B"}, 1, "A: no such key");
    EXPECT_FALSE(fs::exists(fs::symlink_status(kConfig)));
    expect_failure({"rmkey", "A"}, 1, "A: no such key");
    EXPECT_FALSE(fs::exists(fs::symlink_status(kConfig)));
    for (mode_t mask : {mode_t{022}, mode_t{077}}) {
        fs::remove(kConfig);
        mode_t old = umask(mask);
        outcome r = zconf({"set", "A", "B", "sz", "x"});
        umask(old);
        EXPECT_EQ(r.status, 0) << r.err;
        struct stat st {};
        EXPECT_EQ(stat(kConfig, &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0666u & ~mask) << "umask " << mask;
        EXPECT_EQ(zconf({"get", "A", "B"}).out, "x\n");
    }
}

TEST_F(Tool, FailuresExitByKindWithOneLineAndChangeNothing) {
    write_file(kNetwork);
    // Not found.
    expect_failure({"ls", "Network/Nope"}, 1, "Network\\Nope: no such key");
    expect_failure({"tree", "Nope"}, 1, "no such key");
    expect_failure({"get", "Network", "Mtu"}, 1, "Network: no such value 'Mtu'");
    expect_failure({"get", "Nope", "Port"}, 1, "Nope: no such key");
    expect_failure({"rm", "Network", "Mtu"}, 1, "no such value 'Mtu'");
    expect_failure({"rmkey", "-r", "Network/Eth1"}, 1, "Network\\Eth1: no such key");
    // Bad usage, found before the store is touched: a `set` on a missing path makes no key.
    std::string longest(255, 'n'), too_long(256, 'n');
    expect_failure({}, 2, "no command");
    expect_failure({"list"}, 2, "unknown command 'list'");
    expect_failure({"get", "Network"}, 2, "usage: zconf get KEY NAME");
    expect_failure({"ls", "a", "b"}, 2, "usage");
    expect_failure({"ls", "-x"}, 2, "unknown option '-x'");
    expect_failure({"set", "New/Key", "V", "word", "1"}, 2, "unknown type 'word'");
    expect_failure({"set", "New/Key", "V", "dword", "12x"}, 2, "bad DWORD value text '12x'");
    expect_failure({"set", "New", "V", "dword", "4294967296"}, 2, "bad DWORD");
    expect_failure({"set", "New", "V", "dword", "0x000000001"}, 2, "bad DWORD");
    expect_failure({"set", "New", "V", "qword", "0x10000000000000000"}, 2, "bad QWORD");
    expect_failure({"set", "New", "V", "qword", ""}, 2, "bad QWORD");
    expect_failure({"set", "New", "V", "binary", "ABC"}, 2, "bad BINARY value text");
    expect_failure({"set", "New", "V", "binary"}, 2, "hexadecimal pairs");
    expect_failure({"set", "New", "V", "none", "x"}, 2, "no text");
    expect_failure({"set", "New", "V", "sz", "a", "b"}, 2, "exactly one text");
    expect_failure({"set", "New", "V", "sz", std::string(4078, 'x')}, 2, "value too large");
    expect_failure({"set", "", "V", "sz", "x"}, 2, "root key");
    expect_failure({"set", "New", too_long, "sz", "x"}, 2, "name too long");
    expect_failure({"mkkey", "New/" + too_long}, 2, "key name too long");
    std::string deep = "k";
    for (int i = 1; i < 128; i++)
        deep += "/k";
    expect_failure({"mkkey", deep}, 2, "key path too deep (128 keys");
    expect_failure({"rmkey", "HZCONF_ROOT"}, 2, "root key cannot be removed");
    expect_failure({"mkkey", "-r", "New"}, 2, "-r belongs to rmkey");
    // Other failures.
    expect_failure({"rmkey", "Network/Eth0"}, 3, "Network\\Eth0: key not empty");
    EXPECT_NE(zconf({"tree", "network"}).out.find("    Addr\t"), std::string::npos); // all there
    // The longest names and data pass.
    EXPECT_EQ(zconf({"set", "New/" + longest, "V", "sz", std::string(4077, 'x')}).status, 0);
    EXPECT_EQ(zconf({"get", "New/" + longest, "V"}).out, std::string(4077, 'x') + "\n");

    fs::remove(kConfig);
    fs::create_symlink("/etc/no-such-dir/zconfig.xml", kConfig); // a save cannot write it
    outcome r = zconf({"set", "A", "B", "sz", "x"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("ZConfFlushKey: fopen() failed"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("zconf: saving /etc/zconfig.xml failed"), std::string::npos) << r.err;

    r = zconf({"ls"}, kNoLibrary);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("zconf: cannot load libdovizuz.so.1: ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

// Only a command the tool knows runs, and only with the options and the KEY it takes: a
// name that resembles a command, another command's option or the root where a key is
// needed stops the run before the store is loaded, and nothing is saved.
TEST_F(Tool, OnlyTheNamedCommandRunsAndOnlyWithWhatItTakes) {
    write_file(kNetwork);
    expect_failure({"RMKEY", "Network/Eth0/Ipv4"}, 2, "unknown command 'RMKEY'");
    expect_failure({"rmkey2", "-r", "Network"}, 2, "unknown command 'rmkey2'");
    expect_failure({"remove", "--no-save", "Network/Eth0/Ipv4"}, 2, "unknown command 'remove'");
    expect_failure({"rmkey", "--volatile", "Network/Eth0/Ipv4"}, 2,
                   "zconf: --volatile belongs to mkkey only");
    expect_failure({"set", "-r", "Network", "Mtu", "dword", "1"}, 2,
                   "zconf: -r belongs to rmkey only");
    expect_failure({"help", "-r"}, 2, "-r belongs to rmkey only");
    expect_failure({"mkkey", "/"}, 2, "zconf: the root key always exists");
}

TEST_F(Tool, LibraryMessagesGoToStandardErrorAndARefusedFileIsNotSavedOver) {
    std::string broken = kNetwork.substr(0, kNetwork.size() - 7) + "\t<BAD/>\n</KEY>\n";
    write_file(broken);
    outcome r = zconf({"ls"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("ERROR"), std::string::npos) << r.err;
    expect_failure({"set", "A", "B", "sz", "x"}, 3, "/etc/zconfig.xml did not load");
    r = zconf({"set", "--no-save", "A", "B", "sz", "x"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(kConfig), broken);

    write_file(document("")); // a file with no keys is no refused file
    EXPECT_EQ(zconf({"set", "A", "B", "sz", "x"}).status, 0);
    EXPECT_EQ(zconf({"get", "A", "B"}).out, "x\n");
}

TEST_F(Tool, HelpOfTheToolAndOfEachCommand) {
    std::vector<std::vector<std::string>> asks = {{"--help"}, {"-h"}, {"help"}};
    for (const char *command : {"ls", "tree", "get", "set", "rm", "mkkey", "rmkey", "help"}) {
        asks.push_back({"help", command});
        asks.push_back({command, "--help"});
        asks.push_back({"-h", command});
    }
    for (const auto &ask : asks) {
        outcome r = zconf(ask);
        EXPECT_EQ(r.status, 0) << ask[0];
        EXPECT_EQ(r.out.rfind("Usage: zconf ", 0), 0u) << ask[0];
        EXPECT_EQ(r.err, "") << ask[0];
    }
    EXPECT_NE(zconf({"--help"}).out.find("Exit status"), std::string::npos);
    EXPECT_NE(zconf({"set", "-h"}).out.find("qword_be"), std::string::npos);
    EXPECT_FALSE(fs::exists(kConfig));
    EXPECT_EQ(zconf({"help", "nosuch"}).status, 2);
}

} // namespace
