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

// Runs the tool with `args`, `input` on its standard input; a run that hangs is killed
// after a minute.
outcome zconf(const std::vector<std::string> &args, const std::string &input = "") {
    std::vector<std::string> command = program_command(TOOL, args);
    std::vector<char *> argv = exec_args(command);
    int in = memfd_create("in", 0), out = memfd_create("out", 0), err = memfd_create("err", 0);
    if (write(in, input.data(), input.size()) != static_cast<ssize_t>(input.size()))
        return {-1, "", "cannot write the input"};
    lseek(in, 0, SEEK_SET);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        alarm(60);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    close(in);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, contents(out), contents(err)};
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

} // namespace
