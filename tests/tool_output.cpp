// zconf's output for scripts: lines that stay one entry each whatever bytes names and
// values hold, integers in decimal, and JSON that a real parser (python3's) reads back,
// from the real tool run as a child process inside a private mount namespace.
#include "process_support.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using args_t = std::vector<std::string>;

// Runs the tool; its status, output and error.
outcome zconf(const args_t &args) { return run_program(program_command(TOOL, args)); }

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

class ToolOutput : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_STREQ(getenv("DOVIZUZ_ISOLATED"), "1");
        std::filesystem::remove("/etc/zconfig.xml");
    }
};

TEST_F(ToolOutput, LinesAreEscapedAndJsonHoldsEveryByte) {
    // An empty store: no output, a word on standard error, and still an object for --json.
    outcome empty = zconf({"tree"});
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(empty.out, "");
    EXPECT_EQ(empty.err, "zconf: \\: the store is empty\n");
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
    for (const auto &row : rows) {
        outcome r = zconf(row.args);
        EXPECT_EQ(r.status, 0) << row.args[0] << r.err;
        EXPECT_EQ(r.out, row.out) << row.args[0];
    }

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
