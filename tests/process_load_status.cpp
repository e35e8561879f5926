// The start-up load's status as a program that loads the library sees it: no file, a
// good file, an empty one and refused ones, with the library's messages as they were.
#include "probe_client.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace probe_client;

using LoadStatus = ProcessTest;

TEST_F(LoadStatus, AProgramLearnsWhetherAndWhyItsFileWasRefused) {
    EXPECT_EQ(run({"status"}), "probe: status -2 \n");
    std::string good = one_value_document("alpha");
    struct file_case {
        std::string text, output;
    };
    const std::string declaration(kDeclaration);
    const std::string parse_error = "zconf_xml_write: ERROR while parsing input data!\n";
    const std::vector<file_case> files = {
        {good, "probe: Net Host = alpha\nprobe: status 0 \n"},
        {"", "probe: get -2\nprobe: status 0 \n"},
        // Cut inside a tag: nothing is printed, nothing loaded.
        {good.substr(0, 80),
         "probe: get -2\nprobe: status -22 3:13: the document ends inside a tag or a reference\n"},
        {declaration + "<KEY name=\"ZCONF_ROOT\">\n\t<KEY name=\"Net\">\n\t\t<VALUE_DWORD "
                       "name=\"Host\">0x1G</VALUE_DWORD>\n",
         parse_error +
             "probe: get -2\nprobe: status -22 4:31: a byte that is not a digit in a number\n"},
        {std::string(64, '\0') + good,
         parse_error + "probe: get -2\nprobe: status -22 1:1: a control byte (0x00), which the "
                       "document may not hold\n"},
        {"\xEF\xBB\xBF" + good,
         parse_error + "probe: get -2\nprobe: status -22 1:1: text before the first element (a "
                       "byte-order mark is text too)\n"},
    };
    for (const file_case &f : files) {
        write_file(kConfig, f.text);
        EXPECT_EQ(run({"get", "Net", "Host", "status"}), f.output) << f.text;
    }
}

} // namespace

PROCESS_TEST_MAIN
