// The zconf tool as its users meet it: the real binary started as a child process, with
// its standard output and standard error kept apart, against the real configuration
// file and the real shared library, inside a private mount namespace; its commands on
// whole files, and its output for scripts (escaped lines, decimal integers, and JSON
// that a real parser, python3's, reads back).
#include "process_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>

namespace {

namespace fs = std::filesystem;
using args_t = std::vector<std::string>;

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

// Runs the tool with `args`, `input` on its standard input, in the view given; a run that
// hangs is killed after a minute (status -1).
outcome zconf(const args_t &args, const std::string &input = "", child_view view = kAsIs) {
    auto set_up = [](int v) { return set_up_view(static_cast<child_view>(v)); };
    return run_program(program_command(TOOL, args), input, set_up, view);
}

// Status, output and error of a run as one text, for exact comparisons.
std::string run(const args_t &args, const std::string &input = "") {
    outcome r = zconf(args, input);
    return std::to_string(r.status) + "|" + r.out + "|" + r.err;
}

// The exit statuses of commands run one after the other, as digits.
std::string statuses(const std::vector<args_t> &commands) {
    std::string digits;
    for (const args_t &command : commands)
        digits += std::to_string(zconf(command).status);
    return digits;
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

// The configuration file's inode (a save makes a new one), 0 when there is none.
ino_t inode() {
    struct stat st {};
    return stat(kConfig, &st) == 0 ? st.st_ino : 0;
}

// Runs a command that reads, or fails with `status` and one line of the tool's own
// containing `err`: the output is exactly `out`, and the file is neither changed nor
// saved again (nor made when there was none).
void expect_run(const args_t &args, int status, const std::string &out, const std::string &err) {
    std::string before = read_file(kConfig), command = testing::PrintToString(args).substr(0, 80);
    ino_t saved = inode();
    outcome r = zconf(args);
    EXPECT_EQ(r.status, status) << command << "\n" << r.err;
    EXPECT_EQ(r.out, out) << command;
    size_t own = r.err.find("zconf: "); // the tool's own line, the others are the library's
    EXPECT_TRUE(err.empty() ? r.err.empty()
                            : r.err.find(err) != std::string::npos && own != std::string::npos &&
                                  own == r.err.rfind("zconf: "))
        << command << ": " << r.err;
    EXPECT_EQ(read_file(kConfig), before) << command;
    EXPECT_EQ(inode(), saved) << command << ": the file was saved again";
}

// What python3's json module reads from `text`, written again with sorted keys and
// non-ASCII characters as \uXXXX; "refused" when it is not JSON.
std::string parsed(const std::string &text) {
    outcome r = run_program({"python3", "-c",
                             "import json,sys\n"
                             "try: v = json.loads(sys.stdin.buffer.read())\n"
                             "except ValueError: sys.exit(print('refused'))\n"
                             "print(json.dumps(v, sort_keys=True, separators=(',', ':')))"},
                            text);
    return r.out;
}

// Every kind of byte a name may hold: the controls, backslash, a valid three-byte UTF-8
// character, then bytes that are not UTF-8 (a lone 0xFF, a stray continuation byte, an
// overlong NUL, a surrogate, a cut sequence at the end).
const std::string kOdd = "a\tb\nc\\d\re\x01"
                         "f\x7F\xE2\x82\xAC\xFF\x80\xC0\x80\xED\xA0\x80\xE2\x82";
const std::string kOddLine =
    "a\\tb\\nc\\\\d\\re\\x01f\\x7F\xE2\x82\xAC\xFF\x80\xC0\x80\xED\xA0\x80\xE2\x82";
const std::string kOddJson = "\"a\\tb\\nc\\\\d\\re\\u0001f\\u007f\\u20ac\\u00ff\\u0080\\u00c0"
                             "\\u0080\\u00ed\\u00a0\\u0080\\u00e2\\u0082\"";

class Tool : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_STREQ(getenv("DOVIZUZ_ISOLATED"), "1");
        fs::remove(kConfig);
    }
};

TEST_F(Tool, ReadsListAndPrintAndFailuresExitByKindChangingNothing) {
    write_file(kConfig, kNetwork);
    const std::string too_long(256, 'n');
    std::string deep = "k";
    for (int i = 1; i < 128; i++)
        deep += "/k";
    const struct {
        args_t args;
        int status;
        std::string text; // the output of a run that succeeds, else a part of its error
    } rows[] = {
        {{"ls"}, 0, "Network/\nSystem/\n"},
        {{"ls", "/network\\\\"}, 0, "Eth0/\nPort\tDWORD\t0x00001F90\nDns\tMULTI_SZ\ta\tb\n"},
        {{"tree", ""},
         0,
         "Network/\n  Port\tDWORD\t0x00001F90\n  Dns\tMULTI_SZ\ta\tb\n  Eth0/\n    Up\tNONE\n"
         "    Ipv4/\n      Addr\tSZ\t10.0.0.2\nSystem/\n"},
        {{"tree", "Network\\Eth0"}, 0, "Up\tNONE\nIpv4/\n  Addr\tSZ\t10.0.0.2\n"},
        {{"get", "Network", "DNS"}, 0, "a\nb\n"},
        // Not found.
        {{"ls", "Network/Nope"}, 1, "zconf: Network\\Nope: no such key"},
        {{"get", "Network", "Mtu"}, 1, "Network: no such value 'Mtu'"},
        {{"tree", "Nope"}, 1, "Nope: no such key"},
        {{"get", "Nope", "Port"}, 1, "Nope: no such key"},
        {{"rm", "Nope", "Mtu"}, 1, "Nope: no such key"},
        {{"rmkey", "-r", "Network/Eth1"}, 1, "Network\\Eth1: no such key"},
        // Bad usage, found before the store is touched: a `set` on a missing path makes no
        // key, and a name that resembles a command or another command's option runs nothing.
        {{}, 2, "no command"},
        {{"list"}, 2, "unknown command 'list'"},
        {{"help", "nosuch"}, 2, "unknown command 'nosuch'"},
        {{"get", "Network"}, 2, "usage: zconf get KEY NAME"},
        {{"ls", "-x"}, 2, "unknown option '-x'"},
        {{"--version"}, 0, "zconf " DOVIZUZ_VERSION " (libdovizuz " DOVIZUZ_VERSION ")\n"},
        {{"--version", "ls"}, 2, "--version takes no command"},
        {{"rmkey", "--volatile", "Network"}, 2, "zconf: --volatile belongs to mkkey only"},
        {{"mkkey", "-r", "New"}, 2, "-r belongs to rmkey"},
        {{"mkkey", "/"}, 2, "zconf: the root key always exists"},
        {{"rmkey", "HZCONF_ROOT"}, 2, "root key cannot be removed"},
        {{"set", "New/Key", "V", "word", "1"}, 2, "unknown type 'word'"},
        {{"set", "", "V", "sz", "x"}, 2, "root key"},
        // Refused value text: what was expected.
        {{"set", "New/Key", "V", "dword", "12x"},
         2,
         "bad DWORD value text '12x': expected a number from 0 to 4294967295, in decimal or"},
        {{"set", "New", "V", "dword", "4294967296"}, 2, "out of range: expected 0 to 4294967295"},
        {{"set", "New", "V", "dword", "0x000000001"}, 2, "too long: at most 10 characters"},
        {{"set", "New", "V", "qword", "0x10000000000000000"},
         2,
         "QWORD value '0x10000000000000000' out of range: expected 0 to 18446744073709551615"},
        {{"set", "New", "V", "qword", ""}, 2, "bad QWORD value text '': expected a number"},
        {{"set", "New", "V", "binary", "00:1a:2b"}, 2, "'00:1a:2b': expected hexadecimal pairs"},
        {{"set", "New", "V", "binary", "ABC"}, 2, "odd number of hexadecimal digits (3)"},
        {{"set", "New", "V", "binary", " "}, 2, "expected at least one hexadecimal pair"},
        // Options come before the first operand only.
        {{"rmkey", "Network", "-r"}, 2, "usage: zconf rmkey"},
        {{"ls", "--", "-x"}, 1, "zconf: -x: no such key"},
        {{"set", "New", "V", "binary"}, 2, "hexadecimal pairs"},
        {{"set", "New", "V", "none", "x"}, 2, "no text"},
        {{"set", "New", "V", "sz", "a", "b"}, 2, "exactly one text"},
        {{"set", "New", "V", "sz", std::string(4078, 'x')}, 2, "value too large"},
        {{"set", "New", too_long, "sz", "x"}, 2, "name too long"},
        {{"mkkey", "New/" + too_long}, 2, "key name too long"},
        {{"mkkey", deep}, 2, "key path too deep (128 keys"},
        // Refused by the store.
        {{"rmkey", "Network/Eth0"}, 3, "Network\\Eth0: key not empty"},
    };
    for (const auto &row : rows)
        expect_run(row.args, row.status, row.status ? "" : row.text, row.status ? row.text : "");
    EXPECT_EQ(run({"set", "New/" + std::string(255, 'n'), "V", "sz", std::string(4077, 'x')}),
              "0||"); // the longest names and data pass
    EXPECT_EQ(zconf({"get", "New/" + std::string(255, 'n'), "V"}).out,
              std::string(4077, 'x') + "\n");
}

TEST_F(Tool, EveryTypeRoundTripsThroughSetGetAndTheSavedFile) {
    const struct {
        args_t set;               // NAME TYPE VALUE...
        std::string get, element; // saved, by default as >get<
    } rows[] = {
        {{"None", "none"}, "", "\"None\"></VALUE_NONE>"},
        {{"Bin", "BINARY", "00 1a2b", "Ff"}, "001A2BFF\n", ">001A2BFF</"},
        {{"Text", "sz", "R&D <a> \"b\""}, "R&D <a> \"b\"\n", ">R&amp;D &lt;a&gt; &quot;b&quot;<"},
        {{"Empty", "value_sz", ""}, "\n", "\"Empty\"></VALUE_SZ>"},
        {{"List", "multi_sz", "a", "", "c"}, "a\n\nc\n", ">a&#x00;&#x00;c&#x00;&#x00;<"},
        {{"NoItems", "multi_sz"}, "", ">&#x00;</VALUE_MULTI_SZ>"},
        {{"Port", "dword", "8080"}, "0x00001F90\n", "_DWORD name=\"Port\">0x00001F90<"},
        {{"Le", "Dword_LE", "0x01020304"}, "0x01020304\n", "_LE name=\"Le\">0x01020304<"},
        {{"Be", "VALUE_DWORD_BE", "4294967295"}, "0xFFFFFFFF\n", "_BE name=\"Be\">0xFFFFFFFF<"},
        {{"Q", "qword", "0X1"}, "0x0000000000000001\n", ">0x0000000000000001</VALUE_QWORD>"},
        {{"QLe", "qword_le", "0x0102030405060708"}, "0x0102030405060708\n", ""},
        {{"QBe", "qword_be", "18446744073709551615"}, "0xFFFFFFFFFFFFFFFF\n", ""},
    };
    for (const auto &row : rows) { // each run saves, and the next one loads the file
        args_t set = {"set", "Dev/Types"};
        set.insert(set.end(), row.set.begin(), row.set.end());
        EXPECT_EQ(run(set), "0||") << row.set[0];
        EXPECT_EQ(run({"get", "dev\\types", row.set[0]}), "0|" + row.get + "|");
        std::string saved = read_file(kConfig), element = row.element;
        if (element.empty())
            element = std::string(">").append(row.get, 0, row.get.size() - 1).append("<");
        EXPECT_TRUE(whole_document(saved) && saved.find(element) != std::string::npos) << saved;
    }
}

TEST_F(Tool, ChangesAreSavedUnlessNoSaveIsGiven) {
    write_file(kConfig, kNetwork);
    EXPECT_EQ(statuses({{"--no-save", "set", "Network", "Mtu", "dword", "1500"},
                        {"rmkey", "--no-save", "-r", "Network"},
                        {"mkkey", "--volatile", "Run/Tmp"}}), // never written
              "000");
    EXPECT_EQ(read_file(kConfig), kNetwork);
    EXPECT_EQ(statuses({{"rm", "Network", "Dns"},
                        {"mkkey", "System/Boot/Log"},
                        {"mkkey", "system\\BOOT"}}), // exists: left as it is
              "000");
    outcome r = zconf({"rmkey", "Network/Eth0/Ipv4"}); // a key with values, no subkeys
    EXPECT_EQ(r.status + r.out.size(), 0u);
    EXPECT_NE(r.err.find("DoviZUZDeleteKey"), std::string::npos); // the library's trace
    EXPECT_EQ(read_file(kConfig),
              document("\t<KEY name=\"Network\">\n"
                       "\t\t<VALUE_DWORD name=\"Port\">0x00001F90</VALUE_DWORD>\n"
                       "\t\t<KEY name=\"Eth0\">\n"
                       "\t\t\t<VALUE_NONE name=\"Up\"></VALUE_NONE>\n\t\t</KEY>\n\t</KEY>\n"
                       "\t<KEY name=\"System\">\n\t\t<KEY name=\"Boot\">\n"
                       "\t\t\t<KEY name=\"Log\">\n\t\t\t</KEY>\n\t\t</KEY>\n\t</KEY>\n"));
    EXPECT_EQ(statuses({{"rmkey", "-r", "Network"}, {"rmkey", "-r", "System/Boot"}}), "00");
    EXPECT_EQ(read_file(kConfig), document("\t<KEY name=\"System\">\n\t</KEY>\n"));
}

// The lock is a file beside the configuration file: while another run holds it, runs
// that would save give up with a message and change nothing, runs that only read go on.
// A lock on the configuration file itself, which any reader may take, holds up nobody;
// what is in the world-writable /dev/shm is neither created nor followed.
TEST_F(Tool, ARunThatCannotTakeTheLockOfTheFileGivesUpAndChangesNothing) {
    write_file(kConfig, kNetwork);
    int reader = open(kConfig, O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(reader, LOCK_EX | LOCK_NB), 0) << strerror(errno);
    EXPECT_EQ(run({"set", "Network", "Mtu", "dword", "1400"}), "0||");
    close(reader);
    int lock = open("/etc/zconfig.xml.lock", O_RDONLY | O_CLOEXEC); // made by that run
    ASSERT_EQ(flock(lock, LOCK_EX | LOCK_NB), 0) << strerror(errno);
    expect_run({"set", "Network", "Mtu", "dword", "1500"}, 3, "",
               "zconf: /etc/zconfig.xml is locked by another process");
    expect_run({"rmkey", "-r", "Network"}, 3, "", "locked by another process");
    expect_run({"get", "Network", "Port"}, 0, "0x00001F90\n", "");
    EXPECT_EQ(zconf({"--no-save", "rmkey", "-r", "Network"}).status, 0);
    close(lock);
    // The library's own locks while it loads and while it saves in place (the file has
    // a second link) do not stand against the run's lock.
    ASSERT_EQ(link(kConfig, "/etc/zconfig-link.xml"), 0);
    EXPECT_EQ(run({"set", "Network", "Mtu", "dword", "1280"}), "0||");
    EXPECT_EQ(read_file("/etc/zconfig-link.xml"), read_file(kConfig));
    EXPECT_EQ(zconf({"get", "Network", "Mtu"}).out, "0x00000500\n");
    // A file this run cannot write is no reason to fail at the lock: the save says why.
    std::string before = read_file(kConfig);
    outcome r = zconf({"set", "Network", "Mtu", "dword", "1500"}, "", kReadOnlyConfig);
    EXPECT_EQ(std::to_string(r.status) + r.err,
              "3ZConfFlushKey: fopen() failed, error 30\nzconf: saving /etc/zconfig.xml failed: "
              "Read-only file system (error -30)\n");
    EXPECT_EQ(read_file(kConfig), before);

    fs::create_symlink("/etc/planted-target", "/dev/shm/zconf.lock");
    EXPECT_EQ(run({"set", "A", "B", "sz", "x"}), "0||");
    EXPECT_FALSE(fs::exists(fs::symlink_status("/etc/planted-target")));
    // A FIFO in the file's place is refused at once, and left alone.
    fs::remove(kConfig);
    ASSERT_EQ(mkfifo(kConfig, 0644), 0);
    EXPECT_EQ(
        run({"set", "A", "B", "sz", "x"}), // (reading the FIFO would block)
        "3||zconf: /etc/zconfig.xml: not a regular file (the file did not load; nothing done)\n");
    EXPECT_TRUE(fs::is_fifo(kConfig));
}

// From the command's first operand on, an argument that looks like an option is an
// operand: stored as it is, and the run saves.
TEST_F(Tool, ArgumentsAfterTheFirstOperandAreOperandsWhateverTheyLookLike) {
    EXPECT_EQ(statuses({{"set", "System", "Note", "sz", "--no-save"},
                        {"set", "System", "-h", "multi_sz", "--help", "--", "-r"},
                        {"--", "set", "System", "-r", "sz", "x"}, // "--" before the command
                        {"set", "--", "-k", "V", "dword", "1"}}),
              "0000");
    EXPECT_EQ(run({"get", "System", "-h"}), "0|--help\n--\n-r\n|");
    EXPECT_EQ(run({"ls", "System"}),
              "0|Note\tSZ\t--no-save\n-h\tMULTI_SZ\t--help\t--\t-r\n-r\tSZ\tx\n|");
    EXPECT_EQ(run({"ls"}), "0|-k/\nSystem/\n|");
}

TEST_F(Tool, HelpOfTheToolAndOfEachCommand) {
    std::vector<args_t> asks = {{"--help"}, {"-h"}, {"help"}};
    for (std::string c : {"ls", "tree", "get", "set", "rm", "mkkey", "rmkey", "help"})
        asks.insert(asks.end(), {{"help", c}, {c, "--help"}, {"-h", c}});
    for (const args_t &ask : asks) {
        std::string r = run(ask);
        EXPECT_TRUE(r.starts_with("0|Usage: zconf ") && r.ends_with("\n|")) << r;
    }
    EXPECT_NE(zconf({"--help"}).out.find("Exit status"), std::string::npos);
    EXPECT_NE(zconf({"set", "-h"}).out.find("qword_be"), std::string::npos);
    EXPECT_FALSE(fs::exists(kConfig));
}

const std::string kGood = document("\t<KEY name=\"System\">\n"
                                   "\t\t<VALUE_SZ name=\"Hostname\">box</VALUE_SZ>\n"
                                   "\t\t<VALUE_DWORD name=\"Port\">0x00001F90</VALUE_DWORD>\n"
                                   "\t\t<KEY name=\"Eth0\">\n"
                                   "\t\t\t<VALUE_BINARY name=\"Mac\">001A2B</VALUE_BINARY>\n"
                                   "\t\t</KEY>\n\t</KEY>\n");

TEST_F(Tool, CheckTellsWhetherAFileLoadsAndWhereNot) {
    write_file(kConfig, kGood);
    EXPECT_EQ(run({"check"}), "0|/etc/zconfig.xml: ok, 2 keys, 3 values\n|");
    std::string bad = kGood;
    write_file("/etc/bad.xml", bad.replace(bad.find("0x00001F90"), 10, "0x00001G90"));
    EXPECT_EQ(run({"check", "/etc/bad.xml"}),
              "3|/etc/bad.xml:5:35: a byte that is not a digit in a number\n|");
    EXPECT_EQ(read_file(kConfig), kGood);
    write_file("/etc/empty.xml", "");
    EXPECT_EQ(zconf({"check", "/etc/empty.xml"}).out, "/etc/empty.xml: ok, 0 keys, 0 values\n");
    EXPECT_EQ(run({"check", "/etc/none.xml"}), "3||zconf: /etc/none.xml: no such file\n");
    EXPECT_EQ(zconf({"check", "a", "b"}).status, 2);
}

// Each command on a configuration file the library refused says where and why, changes
// nothing and exits 3, --no-save or not; so does a run whose library does not load.
TEST_F(Tool, NoCommandRunsOnARefusedFile) {
    std::string erased = std::string(4096, '\xFF') + kGood.substr(0, 100);
    const std::vector<std::pair<std::string, std::string>> files = {
        {kGood.substr(0, kGood.size() / 2), ":5:8: the document ends inside a tag or a reference"},
        {std::string(2048, '\0'), ":1:1: a control byte (0x00)"},
        {erased, ":1:1: text before the first element"},
    };
    const std::vector<std::vector<std::string>> commands = {
        {"ls"},
        {"tree"},
        {"get", "System", "Hostname"},
        {"set", "System", "Hostname", "sz", "x"},
        {"set", "--no-save", "A", "B", "dword", "1"},
        {"rm", "System", "Hostname"},
        {"mkkey", "Other"},
        {"rmkey", "-r", "System"},
        {"batch", "/dev/null"},
    };
    for (const auto &[text, place] : files) {
        write_file(kConfig, text);
        for (const auto &args : commands) {
            std::string r = run(args);
            EXPECT_TRUE(r.starts_with("3||") &&
                        r.ends_with("(the file was refused; nothing done)\n") &&
                        r.find("zconf: /etc/zconfig.xml" + place) != std::string::npos)
                << r;
            EXPECT_EQ(read_file(kConfig), text) << args[0] << place;
        }
        EXPECT_EQ(zconf({"check"}).status, 3);
    }
    // A library that does not load fails the run with one line.
    outcome r = zconf({"ls"}, "", kNoLibrary);
    EXPECT_EQ(r.status * 100 + r.out.size(), 300u);
    EXPECT_EQ(r.err.rfind("zconf: cannot load libdovizuz.so.1: ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

TEST_F(Tool, ExportThenImportGivesTheSameContentUnderAnotherKeyAndInAnEmptyStore) {
    write_file(kConfig, kGood);
    outcome exported = zconf({"export", "System"});
    ASSERT_EQ(exported.status, 0) << exported.err;
    std::string tree = zconf({"tree", "System"}).out;
    // From the standard input, under a key that does not exist yet.
    ASSERT_EQ(zconf({"import", "Backup/Old", "-"}, exported.out).status, 0);
    EXPECT_EQ(zconf({"ls", "Backup/Old"}).out, "System/\n");
    EXPECT_EQ(zconf({"tree", "Backup/Old/System"}).out, tree);
    // From a file, into an empty store.
    ASSERT_EQ(zconf({"export", "", "/etc/all.xml"}).status, 0);
    std::string whole = zconf({"tree"}).out;
    fs::remove(kConfig);
    ASSERT_EQ(zconf({"import", "/etc/all.xml"}).status, 0);
    EXPECT_EQ(zconf({"tree"}).out, whole);
    EXPECT_EQ(zconf({"export"}).out, read_file("/etc/all.xml"));

    // A refused document imports nothing and says where and why.
    std::string before = read_file(kConfig);
    std::string refused = run({"import", "New/Key", "-"}, exported.out.substr(0, 60));
    EXPECT_TRUE(refused.starts_with("3||") &&
                refused.find("zconf: (standard input):2:17: the document ends inside a tag or a "
                             "reference") != std::string::npos)
        << refused;
    EXPECT_EQ(read_file(kConfig), before);
    EXPECT_EQ(zconf({"export", "Nope"}).status, 1);
}

// A batch runs every line on one store and writes them together: later lines see what
// earlier ones did, and a value set and removed in the same batch never reaches the file.
TEST_F(Tool, BatchRunsEveryLineAndSavesThemTogether) {
    write_file(kConfig, kGood);
    write_file("/etc/changes", "# network settings\n"
                               "\n"
                               "set System/Eth1 Mtu dword 1500\n"
                               "   set System Hostname sz 'new box'\n"
                               "set System Scratch sz x\n"
                               "rm System Scratch\n"
                               "rm System Port\n"
                               "mkkey Apps/Empty\n"
                               "mkkey --volatile Run\n"
                               "rmkey -r System/Eth0\n"
                               "set Apps Names multi_sz one 'two words' -three");
    outcome r = zconf({"batch", "/etc/changes"});
    EXPECT_EQ(r.status + r.out.size(), 0u) << r.err;
    EXPECT_EQ(r.err.find("zconf:"), std::string::npos) << r.err;
    EXPECT_EQ(zconf({"tree"}).out, "Apps/\n"
                                   "  Names\tMULTI_SZ\tone\ttwo words\t-three\n"
                                   "  Empty/\n"
                                   "System/\n"
                                   "  Hostname\tSZ\tnew box\n"
                                   "  Eth1/\n"
                                   "    Mtu\tDWORD\t0x000005DC\n");

    // --no-save runs the lines on this run's store only.
    std::string saved = read_file(kConfig);
    EXPECT_EQ(zconf({"--no-save", "batch", "-"}, "rmkey -r System\nset A B sz c\n").status, 0);
    EXPECT_EQ(read_file(kConfig), saved);
}

// Each line's words are quoted as the shell quotes them; # starts a comment only as the
// line's first word.
TEST_F(Tool, BatchLinesAreQuotedAsTheShellQuotes) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"'two  words'", "two  words"},
        {R"("say \"hi\" \\ \$HOME \`x\`")", R"(say "hi" \ $HOME `x`)"},
        {R"("\n\a'")", R"(\n\a')"},
        {R"('a\b"c')", R"(a\b"c)"},
        {R"(a\ b\'c\\)", R"(a b'c\)"},
        {R"('it'"'"'s'x)", "it's"
                           "x"},
        {"''", ""},
        {"#not-a-comment", "#not-a-comment"},
        {"\"\"'#'\\#", "##"},
    };
    std::string batch = "#set Q Skipped sz x\n\t# indented comment\n \t\n";
    for (size_t i = 0; i < cases.size(); i++)
        batch += "set 'Q/Sub Key' V" + std::to_string(i) + " sz " + cases[i].first + "\n";
    ASSERT_EQ(zconf({"batch"}, batch).status, 0);
    for (size_t i = 0; i < cases.size(); i++)
        EXPECT_EQ(zconf({"get", "Q/Sub Key", std::string("V").append(std::to_string(i))}).out,
                  cases[i].second + "\n")
            << cases[i].first;
    EXPECT_EQ(zconf({"ls", "Q"}).out, "Sub Key/\n");
}

// A failing line, wherever it fails (its words, its checks or its run), leaves the file as
// it was, though the lines before it succeeded, and names its line with the message and
// exit status the command has on its own.
TEST_F(Tool, AFailingBatchLineWritesNothingAndSaysWhere) {
    const std::vector<std::tuple<std::string, int, std::string>> cases = {
        {"set A B nosuch 1", 2, "unknown type 'nosuch' (see zconf help set)"},
        {"set A 'B sz x", 2, "unterminated single quote"},
        {"set A \"B sz x", 2, "unterminated double quote"},
        {"set A B sz x\\", 2, "a backslash ends the line"},
        {"get System Hostname", 2, "get cannot run in a batch (only set, rm, mkkey and rmkey can)"},
        {"frob A", 2, "unknown command 'frob' (see zconf help batch)"},
        {"rmkey -x System", 2, "unknown option '-x' in a batch line"},
        {"rm System", 2, "usage: zconf rm KEY NAME"},
        {"rm System Nope", 1, "System: no such value 'Nope'"},
        {"rmkey System", 3, "System: key not empty: it has subkeys (rmkey -r removes them too)"},
    };
    write_file(kConfig, kGood);
    for (const auto &[line, status, message] : cases) {
        std::string batch =
            "set System Hostname sz changed\n# c\nmkkey New/Key\n" + line + "\nset Late A sz b\n";
        outcome r = zconf({"batch"}, batch);
        EXPECT_EQ(r.status, status) << line;
        // The library's own traces (of rmkey) may come first.
        EXPECT_TRUE(("\n" + r.err).ends_with("\nzconf: (standard input):4: " + message + "\n"))
            << r.err;
        EXPECT_EQ(read_file(kConfig), kGood) << line;
    }
    // A file's lines are named by the file.
    write_file("/etc/changes", "\n\nrm System Nope\n");
    EXPECT_EQ(run({"batch", "/etc/changes"}),
              "1||zconf: /etc/changes:3: System: no such value 'Nope'\n");
    EXPECT_EQ(run({"batch", "/etc/none"}), "3||zconf: /etc/none: No such file or directory\n");
    EXPECT_EQ(zconf({"batch", "a", "b"}).status, 2);
    EXPECT_EQ(read_file(kConfig), kGood);
}

TEST_F(Tool, LinesAreEscapedAndJsonHoldsEveryByte) {
    // An empty store: no output, a word on standard error, and still an object for --json.
    EXPECT_EQ(run({"tree"}), "0||zconf: \\: the store is empty\n");
    EXPECT_EQ(parsed(zconf({"tree", "--json"}).out),
              "{\"key\":\"\\\\\",\"subkeys\":[],\"values\":[]}\n");

    const std::string key = "K\t\xFF";
    for (const args_t &set : std::vector<args_t>{{kOdd, "sz", kOdd},
                                                 {"L", "multi_sz", "x\ny", "\\"},
                                                 {"Port", "dword_be", "22"},
                                                 {"Big", "qword", "18446744073709551615"},
                                                 {"Bin", "binary", "00fF"},
                                                 {"N", "none"}}) {
        args_t args{"set", key};
        args.insert(args.end(), set.begin(), set.end());
        ASSERT_EQ(zconf(args).status, 0) << set[0];
    }
    const std::string values = kOddLine + "\tSZ\t" + kOddLine + "\nL\tMULTI_SZ\tx\\ny\t\\\\\n";
    const struct {
        args_t args;
        std::string out;
    } rows[] = {
        {{"ls"}, "K\\t\xFF/\n"},
        {{"ls", key},
         values + "Port\tDWORD_BE\t0x00000016\nBig\tQWORD\t0xFFFFFFFFFFFFFFFF\nBin\tBINARY\t00FF\n"
                  "N\tNONE\n"},
        {{"tree", "-d"},
         "K\\t\xFF/\n  " + kOddLine + "\tSZ\t" + kOddLine +
             "\n  L\tMULTI_SZ\tx\\ny\t\\\\\n  Port\tDWORD_BE\t22\n"
             "  Big\tQWORD\t18446744073709551615\n  Bin\tBINARY\t00FF\n  N\tNONE\n"},
        {{"get", "--decimal", key, "Port"}, "22\n"},
        {{"get", "-d", key, "Bin"}, "00FF\n"},
        {{"get", key, "L"}, "x\ny\n\\\n"},
    };
    for (const auto &row : rows)
        EXPECT_EQ(run(row.args), "0|" + row.out + "|");

    // JSON: typed data, every byte kept or as \u00XX.
    const std::string odd = "{\"data\":" + kOddJson + ",\"name\":" + kOddJson + ",\"type\":\"SZ\"}";
    const std::string rest = "{\"data\":[\"x\\ny\",\"\\\\\"],\"name\":\"L\",\"type\":\"MULTI_SZ\"},"
                             "{\"data\":22,\"name\":\"Port\",\"type\":\"DWORD_BE\"},"
                             "{\"data\":18446744073709551615,\"name\":\"Big\",\"type\":\"QWORD\"},"
                             "{\"data\":\"00FF\",\"name\":\"Bin\",\"type\":\"BINARY\"},"
                             "{\"data\":null,\"name\":\"N\",\"type\":\"NONE\"}";
    EXPECT_EQ(parsed(zconf({"get", "--json", key, kOdd}).out), odd + "\n");
    EXPECT_EQ(parsed(zconf({"ls", "--json", key}).out),
              "{\"key\":\"K\\t\\u00ff\",\"subkeys\":[],\"values\":[" + odd + "," + rest + "]}\n");
    EXPECT_EQ(
        parsed(zconf({"tree", "--json"}).out),
        "{\"key\":\"\\\\\",\"subkeys\":[{\"name\":\"K\\t\\u00ff\",\"subkeys\":[],\"values\":[" +
            odd + "," + rest + "]}],\"values\":[]}\n");
    // export: the same form, to the standard output or a FILE.
    const std::string exported =
        "{\"key\":\"k\\t\\u00ff\",\"subkeys\":[],\"values\":[" + odd + "," + rest + "]}\n";
    EXPECT_EQ(parsed(zconf({"export", "--json", "k\t\xFF"}).out), exported);
    EXPECT_EQ(zconf({"export", "--json", "k\t\xFF", "/tmp/exported.json"}).status, 0);
    EXPECT_EQ(parsed(read_file("/tmp/exported.json")), exported);
    std::filesystem::remove("/tmp/exported.json");
    // The options belong to the readers only.
    EXPECT_EQ(zconf({"set", "--json", "K", "V", "sz", "x"}).status, 2);
}

} // namespace
