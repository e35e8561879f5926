// Refused documents explained: each way the decoder refuses a document gives its reason
// and the place of the byte that decided it, whole or fed through the channel in pieces;
// ZConfCheckXMLFile on real files; the status of this program's own start-up load.
#include "lifecycle/zconf_load_status.h"
#include "process_support.h"
#include "xml_test_support.h"
#include "zconf_test_support.h"

#include <cstdio>
#include <fstream>

namespace {

// A case's text marks the deciding byte with "@" (no case needs the character itself).
struct refusal_case {
    uint8_t reason;
    int32_t code;
    bool inner; // the text stands inside the root element of a whole document
    std::string text;
};

const std::string declaration(xml_declaration);
const std::string root_open = "<KEY name=\"ZCONF_ROOT\">\n";
const std::string value_sz = "<KEY name=\"A\"><VALUE_SZ name=\"v\">";
const std::string dword = "<KEY name=\"A\"><VALUE_DWORD name=\"d\">";
const std::string binary = "<KEY name=\"A\"><VALUE_BINARY name=\"b\">";

const std::vector<refusal_case> cases = {
    {XML_REFUSED_CONTROL_BYTE, -22, true, "<KEY name=\"A\">\n @\x01</KEY>"},
    {XML_REFUSED_GT_IN_TEXT, -22, true, "<KEY name=\"A\">\n\t@></KEY>"},
    {XML_REFUSED_MARKUP_IN_TAG, -22, true, "<KEY name=\"A\"@<KEY>"},
    {XML_REFUSED_MARKUP_IN_ATTRIBUTE, -22, true, "<KEY name=\"A@>\"></KEY>"},
    {XML_REFUSED_MARKUP_IN_REFERENCE, -22, true, value_sz + "&amp@</VALUE_SZ></KEY>"},
    {XML_REFUSED_BAD_REFERENCE, -22, true, value_sz + "x@&nope;</VALUE_SZ></KEY>"},
    {XML_REFUSED_BAD_REFERENCE, -22, true, "<KEY name=\"x@&#300;\"></KEY>"},
    {XML_REFUSED_MARKUP_DECLARATION, -22, true, "\t@<!-- a comment -->\n"},
    {XML_REFUSED_PROCESSING_INSTRUCTION, -22, true, "@<?pi x?>"},
    {XML_REFUSED_LATE_DECLARATION, -22, true, "@<?xml version=\"1.0\"?>"},
    {XML_REFUSED_BAD_DECLARATION, -22, false,
     "<?xml version=\"1.0\" @encoding=\"utf-8\"?>\n" + root_open + "</KEY>\n"},
    {XML_REFUSED_BAD_TAG, -22, true, "<KEY name=\"A\" @/ ></KEY>"},
    {XML_REFUSED_BAD_END_TAG, -22, true, "<KEY name=\"A\"></KEY @x>"},
    {XML_REFUSED_BAD_ATTRIBUTE, -22, true, "<KEY @name=A></KEY>"},
    {XML_REFUSED_TOO_MANY_ATTRIBUTES, -22, true, "<KEY name=\"A\" volatile=\"no\" @x=\"1\"></KEY>"},
    {XML_REFUSED_UNKNOWN_ELEMENT, -22, true, "\n\n\t\t<@FOO/>"},
    {XML_REFUSED_ELEMENT_IN_VALUE, -22, true, value_sz + "<@KEY/></VALUE_SZ></KEY>"},
    {XML_REFUSED_ELEMENT_AFTER_ROOT, -22, false,
     declaration + root_open + "</KEY>\n<@KEY name=\"X\"/>"},
    {XML_REFUSED_BAD_ROOT, -22, false, declaration + "<@KEY name=\"ROOT\">\n</KEY>\n"},
    {XML_REFUSED_UNKNOWN_ATTRIBUTE, -22, true, "<KEY name=\"A\" @size=\"1\"></KEY>"},
    {XML_REFUSED_REPEATED_ATTRIBUTE, -22, true, "<KEY name=\"A\" @name=\"B\"></KEY>"},
    {XML_REFUSED_BAD_VOLATILE, -22, true, "<KEY name=\"A\" volatile=\"@y\"></KEY>"},
    {XML_REFUSED_LONG_NAME, -22, true, "<KEY name=\"@" + std::string(256, 'n') + "\"></KEY>"},
    {XML_REFUSED_TEXT_BEFORE_ROOT, -22, false,
     "@\xEF\xBB\xBF" + declaration + root_open + "</KEY>"},
    {XML_REFUSED_TEXT_IN_KEY, -22, true, "<KEY name=\"A\">\n  @x</KEY>"},
    {XML_REFUSED_TEXT_AFTER_ROOT, -22, false, declaration + root_open + "</KEY>\n@x"},
    {XML_REFUSED_TEXT_IN_NONE, -22, true, "<KEY name=\"A\"><VALUE_NONE> @x</VALUE_NONE></KEY>"},
    {XML_REFUSED_BINARY_DIGIT, -22, true, binary + "00 @zz</VALUE_BINARY></KEY>"},
    {XML_REFUSED_NUMBER_BYTE, -22, true, dword + "0x1@G</VALUE_DWORD></KEY>"},
    {XML_REFUSED_NUMBER_BYTE, -22, true, dword + "@ 1</VALUE_DWORD></KEY>"},
    {XML_REFUSED_NUMBER_LONG, -22, true, dword + "0x00000000@1</VALUE_DWORD></KEY>"},
    {XML_REFUSED_NUMBER_NO_DIGITS, -22, true, dword + "0x</@VALUE_DWORD></KEY>"},
    {XML_REFUSED_NUMBER_HEX_WITHOUT_PREFIX, -22, true, dword + "1F</@VALUE_DWORD></KEY>"},
    {XML_REFUSED_NUMBER_RANGE, -22, true, dword + "4294967296</@VALUE_DWORD></KEY>"},
    {XML_REFUSED_NUMBER_RANGE, -22, true,
     "<KEY name=\"A\"><VALUE_QWORD>0X10000000000000000</@VALUE_QWORD></KEY>"},
    {XML_REFUSED_ODD_BINARY, -22, true, binary + "001</@VALUE_BINARY></KEY>"},
    {XML_REFUSED_MISMATCHED_END, -22, true, dword + "1</@VALUE_SZ></KEY>"},
    {XML_REFUSED_MISMATCHED_END, -22, true, "<KEY name=\"A\"></@VALUE_SZ>"},
    {XML_REFUSED_END_BEFORE_ROOT, -22, false, "</@KEY>"},
    {XML_REFUSED_VALUE_IN_ROOT, -22, true, "<VALUE_SZ name=\"v\">x</@VALUE_SZ>"},
    {XML_REFUSED_VALUE_TOO_LARGE, -12, true,
     value_sz + std::string(4100, 'x') + "</@VALUE_SZ></KEY>"},
    {XML_REFUSED_DATA_TOO_LONG, -12, true, value_sz + std::string(41000, 'x') + "@"},
    {XML_REFUSED_LONG_TAG, -75, true, "\n@<KEY name=\"" + std::string(41000, 'x') + "\">"},
    {XML_REFUSED_NO_ROOT, -22, false, declaration + "\n@"},
    {XML_REFUSED_NO_ROOT, -22, false, "@"},
    {XML_REFUSED_ENDS_IN_TAG, -22, false, declaration + root_open + "<KEY name=\"A\"@"},
    {XML_REFUSED_ENDS_IN_VALUE, -22, false, declaration + root_open + value_sz + "abc@"},
    {XML_REFUSED_ENDS_IN_KEY, -22, false, declaration + root_open + "<KEY name=\"A\">\n@"},
    {XML_REFUSED_ENDS_BEFORE_ROOT_END, -22, false,
     declaration + root_open + "<KEY name=\"A\"></KEY>\n@"},
};

// The case's document without its marker, and the marker's offset.
std::string document_of(const refusal_case &c, uint32_t *offset) {
    std::string text = c.inner ? declaration + root_open + c.text + "\n</KEY>\n" : c.text;
    size_t at = text.find('@');
    *offset = static_cast<uint32_t>(at);
    return text.erase(at, 1);
}

using LoadStatus = Store;

TEST_F(LoadStatus, EachRefusalHasItsReasonAndThePlaceOfItsByteWholeOrInPieces) {
    std::vector<bool> seen(XML_REFUSED_COUNT);
    for (const refusal_case &c : cases) {
        uint32_t offset;
        std::string text = document_of(c, &offset);
        std::string what = std::string(__xml_refusal_text(c.reason)) + " in " + text.substr(0, 200);
        zconf_key *root = nullptr;
        xml_refusal why;
        EXPECT_EQ(zconf_xml_parse_document_why(text.data(), static_cast<uint32_t>(text.size()),
                                               &root, &why),
                  c.code)
            << what;
        EXPECT_EQ(root, nullptr);
        EXPECT_EQ(why.code, c.code) << what;
        EXPECT_EQ(why.reason, c.reason) << what << ": " << why.text;
        // The place of data too long is that of the run that overflows, wherever it is cut.
        bool placed = c.reason != XML_REFUSED_DATA_TOO_LONG;
        if (placed) {
            EXPECT_EQ(why.offset, offset) << what;
        }
        EXPECT_NE(why.text[0], 0);
        // The channel, fed in pieces that cut tags and data anywhere, finds the same.
        for (size_t piece : {size_t{7}, text.size()}) {
            write_document(text, ZCONF_XML_OPEN_WRITE, piece);
            const xml_refusal *pass = zconf_xml_write_outcome();
            EXPECT_EQ(pass->code, c.code) << what << " in pieces of " << piece;
            EXPECT_EQ(pass->reason, c.reason) << what << " in pieces of " << piece;
            if (placed) {
                EXPECT_EQ(pass->offset, offset) << what << " in pieces of " << piece;
            }
            EXPECT_STREQ(pass->text, why.text);
        }
        // Only a document cut behind a subkey reaches the store, as loads always had it.
        bool merged = c.reason == XML_REFUSED_ENDS_BEFORE_ROOT_END;
        EXPECT_NE(zconf_list_empty(&ZCONF_ROOT->subkeys), merged) << what;
        if (merged)
            __zconf_del_tree(zconf_key_of(ZCONF_ROOT->subkeys.next));
        seen[c.reason] = true;
    }
    // Every reason but running out of memory has a case.
    for (uint8_t r = XML_REFUSED_NONE + 1; r < XML_REFUSED_COUNT; r++)
        EXPECT_TRUE(seen[r] || r == XML_REFUSED_NO_MEMORY) << __xml_refusal_text(r);
    // The names a refusal quotes are in its text.
    xml_refusal why;
    zconf_key *root;
    std::string mismatched = declaration + root_open + dword + "1</VALUE_SZ></KEY></KEY>";
    zconf_xml_parse_document_why(mismatched.data(), static_cast<uint32_t>(mismatched.size()), &root,
                                 &why);
    EXPECT_STREQ(why.text, "an end tag that does not match the open element: </VALUE_SZ> where "
                           "</VALUE_DWORD> is due");
    // A sound document, cut or not, is accepted as before.
    std::string good = declaration + root_open + dword + "7</VALUE_DWORD></KEY></KEY>\n";
    ASSERT_EQ(write_document(good, ZCONF_XML_OPEN_WRITE, 5), 0);
    EXPECT_EQ(zconf_xml_write_outcome()->code, 0);
    EXPECT_FALSE(zconf_list_empty(&ZCONF_ROOT->subkeys));
}

TEST_F(LoadStatus, CheckingAFileNeverTouchesTheStore) {
    // This program's own start-up found no file.
    char text[256] = "untouched";
    EXPECT_EQ(ZConfQueryLoadStatus(text, sizeof text), -2);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(ZConfQueryLoadStatus(nullptr, 100), -2);

    const char *path = "/etc/zconf-check.xml";
    write_file(path, declaration + root_open +
                         "\t<KEY name=\"A\">\n\t\t<KEY name=\"B\" volatile=\"yes\">\n" +
                         "\t\t\t<VALUE_SZ name=\"gone\">x</VALUE_SZ>\n\t\t</KEY>\n" +
                         "\t\t<VALUE_SZ name=\"s\">x</VALUE_SZ>\n\t\t<VALUE_NONE name=\"n\"/>\n" +
                         "\t</KEY>\n</KEY>\n");
    EXPECT_EQ(ZConfCheckXMLFile(path, text, sizeof text), 0);
    EXPECT_STREQ(text, "1 keys, 2 values");
    EXPECT_EQ(live_nodes(), 1u);

    write_file(path, declaration + root_open +
                         "\t<KEY name=\"A\">\n\t\t<VALUE_DWORD>0x1G</VALUE_DWORD>\n");
    EXPECT_EQ(ZConfCheckXMLFile(path, text, sizeof text), -22);
    EXPECT_STREQ(text, "4:19: a byte that is not a digit in a number");
    char small[4] = {'-', '-', '-', '-'};
    EXPECT_EQ(ZConfCheckXMLFile(path, small, 3), -22);
    EXPECT_EQ(std::string(small, 4), "4:1-"); // cut as strncpy cuts, not terminated
    EXPECT_EQ(ZConfCheckXMLFile(path, nullptr, 0), -22);

    write_file(path, "\n");
    EXPECT_EQ(ZConfCheckXMLFile(path, text, sizeof text), -22);
    EXPECT_STREQ(text, "2:1: the document has no root element");
    unlink(path);
    EXPECT_EQ(ZConfCheckXMLFile(path, text, sizeof text), -2);
    EXPECT_STREQ(text, "no such file");
    EXPECT_EQ(ZConfCheckXMLFile("/tmp", text, sizeof text), -22);
    EXPECT_STREQ(text, "not a regular file");
    EXPECT_EQ(ZConfCheckXMLFile(nullptr, text, sizeof text), -22);
    EXPECT_EQ(live_nodes(), 1u);
}

} // namespace
