// zconf's commands on whole files, and every command on a configuration file the library
// refused: the real tool run as a child process against real files, inside a private
// mount namespace.
#include "process_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

const char kConfig[] = "/etc/zconfig.xml";

// Runs the tool with `args`, `input` on its standard input; a run that hangs is killed
// after a minute.
outcome zconf(const std::vector<std::string> &args, const std::string &input = "") {
    return run_program(program_command(TOOL, args), input);
}

void write_file(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string document(const std::string &body) {
    return std::string(kDeclaration) + "<KEY name=\"ZCONF_ROOT\">\n" + body + "</KEY>\n";
}

const std::string kGood = document("\t<KEY name=\"System\">\n"
                                   "\t\t<VALUE_SZ name=\"Hostname\">box</VALUE_SZ>\n"
                                   "\t\t<VALUE_DWORD name=\"Port\">0x00001F90</VALUE_DWORD>\n"
                                   "\t\t<KEY name=\"Eth0\">\n"
                                   "\t\t\t<VALUE_BINARY name=\"Mac\">001A2B</VALUE_BINARY>\n"
                                   "\t\t</KEY>\n\t</KEY>\n");

class FileCommands : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_STREQ(getenv("DOVIZUZ_ISOLATED"), "1");
        fs::remove(kConfig);
    }
};

TEST_F(FileCommands, CheckTellsWhetherAFileLoadsAndWhereNot) {
    write_file(kConfig, kGood);
    outcome r = zconf({"check"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "/etc/zconfig.xml: ok, 2 keys, 3 values\n");
    EXPECT_EQ(r.err, "");

    std::string bad = kGood;
    bad.replace(bad.find("0x00001F90"), 10, "0x00001G90");
    write_file("/etc/bad.xml", bad);
    r = zconf({"check", "/etc/bad.xml"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "/etc/bad.xml:5:35: a byte that is not a digit in a number\n");
    EXPECT_EQ(read_file(kConfig), kGood);

    write_file("/etc/empty.xml", "");
    EXPECT_EQ(zconf({"check", "/etc/empty.xml"}).out, "/etc/empty.xml: ok, 0 keys, 0 values\n");
    r = zconf({"check", "/etc/none.xml"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "zconf: /etc/none.xml: no such file\n");
    EXPECT_EQ(zconf({"check", "a", "b"}).status, 2);
}

// Each command on a configuration file the library refused says where and why, changes
// nothing and exits 3, --no-save or not.
TEST_F(FileCommands, NoCommandRunsOnARefusedFile) {
    std::mt19937 random(7);
    std::string noise(1000, '\0');
    for (char &c : noise)
        c = static_cast<char>(random());
    std::string erased = std::string(4096, '\xFF') + kGood.substr(0, 100);
    const std::vector<std::pair<std::string, std::string>> files = {
        {kGood.substr(0, kGood.size() / 2), ":5:8: the document ends inside a tag or a reference"},
        {noise, ":1:3: a control byte (0x19)"},
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
            outcome r = zconf(args);
            EXPECT_EQ(r.status, 3) << args[0] << place;
            EXPECT_EQ(r.out, "") << args[0] << place;
            std::string line = "\nzconf: /etc/zconfig.xml" + place;
            EXPECT_NE(("\n" + r.err).find(line), std::string::npos) << r.err;
            EXPECT_NE(r.err.find("(the file was refused; nothing done)\n"), std::string::npos);
            EXPECT_EQ(read_file(kConfig), text) << args[0] << place;
        }
        EXPECT_EQ(zconf({"check"}).status, 3);
    }
}

TEST_F(FileCommands, ExportThenImportGivesTheSameContentUnderAnotherKeyAndInAnEmptyStore) {
    write_file(kConfig, kGood);
    outcome exported = zconf({"export", "System"});
    ASSERT_EQ(exported.status, 0) << exported.err;
    std::string tree = zconf({"tree", "System"}).out;
    // From the standard input, under a key that does not exist yet.
    outcome r = zconf({"import", "Backup/Old", "-"}, exported.out);
    ASSERT_EQ(r.status, 0) << r.err;
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
    r = zconf({"import", "New/Key", "-"}, exported.out.substr(0, 60));
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(
        r.err.find("zconf: (standard input):2:17: the document ends inside a tag or a reference"),
        std::string::npos)
        << r.err;
    EXPECT_EQ(read_file(kConfig), before);
    EXPECT_EQ(zconf({"export", "Nope"}).status, 1);
}

// A batch runs every line on one store and writes them together: later lines see what
// earlier ones did, and a value set and removed in the same batch never reaches the file.
TEST_F(FileCommands, BatchRunsEveryLineAndSavesThemTogether) {
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
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
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
    r = zconf({"--no-save", "batch", "-"}, "rmkey -r System\nset A B sz c\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(kConfig), saved);
}

// Each line's words are quoted as the shell quotes them; # starts a comment only as the
// line's first word.
TEST_F(FileCommands, BatchLinesAreQuotedAsTheShellQuotes) {
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
    outcome r = zconf({"batch"}, batch);
    ASSERT_EQ(r.status, 0) << r.err;
    for (size_t i = 0; i < cases.size(); i++)
        EXPECT_EQ(zconf({"get", "Q/Sub Key", "V" + std::to_string(i)}).out, cases[i].second + "\n")
            << cases[i].first;
    EXPECT_EQ(zconf({"ls", "Q"}).out, "Sub Key/\n");
}

// A failing line, wherever it fails (its words, its checks or its run), leaves the file as
// it was, though the lines before it succeeded, and names its line with the message and
// exit status the command has on its own.
TEST_F(FileCommands, AFailingBatchLineWritesNothingAndSaysWhere) {
    const std::vector<std::tuple<std::string, int, std::string>> cases = {
        {"set A B nosuch 1", 2, "unknown type 'nosuch' (see zconf help set)"},
        {"set A B dword", 2, "a DWORD value takes exactly one text"},
        {"set A 'B sz x", 2, "unterminated single quote"},
        {"set A \"B sz x", 2, "unterminated double quote"},
        {"set A B sz x\\", 2, "a backslash ends the line"},
        {"get System Hostname", 2, "get cannot run in a batch (only set, rm, mkkey and rmkey can)"},
        {"batch -", 2, "batch cannot run in a batch (only set, rm, mkkey and rmkey can)"},
        {"frob A", 2, "unknown command 'frob' (see zconf help batch)"},
        {"rmkey -x System", 2, "unknown option '-x' in a batch line"},
        {"mkkey -r A", 2, "-r belongs to rmkey only"},
        {"rm System", 2, "usage: zconf rm KEY NAME"},
        {"rm System Nope", 1, "System: no such value 'Nope'"},
        {"rmkey System", 3, "System: key not empty: it has subkeys (rmkey -r removes them too)"},
        {"rm Gone Port", 1, "Gone: no such key"},
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
    outcome r = zconf({"batch", "/etc/changes"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "zconf: /etc/changes:3: System: no such value 'Nope'\n");
    r = zconf({"batch", "/etc/none"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "zconf: /etc/none: No such file or directory\n");
    EXPECT_EQ(zconf({"batch", "a", "b"}).status, 2);
    EXPECT_EQ(read_file(kConfig), kGood);
}

} // namespace
