// The decoder: the callbacks the tokenizer makes of document text cut anywhere, the
// forms the tree builder accepts and refuses, how an accepted document is merged, and
// what a document that fails leaves behind.
#include "xml_test_support.h"
#include "zconf_test_support.h"

namespace {

using namespace std::string_literals;

const std::string root_open = "<KEY name=\"ZCONF_ROOT\">";

// A whole document: the declaration, the root element around `body`.
std::string doc(const std::string &body) {
    return std::string(xml_declaration) + root_open + body + "</KEY>\n";
}

// The saved text of a store whose root holds the lines given.
std::string saved(const std::string &lines) {
    return std::string(xml_declaration) + root_open + "\n" + lines + "</KEY>\n";
}

// The saved lines of key K holding the value lines given.
std::string key_k(const std::string &value_lines) {
    return "\t<KEY name=\"K\">\n" + value_lines + "\t</KEY>\n";
}
std::string value_line(const std::string &type, const std::string &name, const std::string &text) {
    return "\t\t<" + type + " name=\"" + name + "\">" + text + "</" + type + ">\n";
}

// ---- the callbacks, as the tokenizer makes them ----

std::vector<std::string> events;

int32_t record_start(xml_doc *, const char *name, int32_t count, xml_attr *attrs) {
    std::string e = "S "s + name;
    for (int32_t i = 0; i < count; i++)
        e += " "s + attrs[i].attrName + "=" + std::string(attrs[i].attrValue, attrs[i].attrLen);
    events.push_back(e);
    return 0;
}
int32_t record_data(xml_doc *, const char *bytes, int32_t length) {
    events.push_back("D " + std::string(bytes, static_cast<size_t>(length)));
    return 0;
}
int32_t record_end(xml_doc *, const char *name) {
    events.push_back("E "s + name);
    return 0;
}
const xml_entity_observer recorder = {record_start, record_data, record_end};

// The callbacks of one write pass, the text cut after each of `cuts`.
std::vector<std::string> callbacks(const std::string &text, std::vector<size_t> cuts = {}) {
    events.clear();
    xml_observer = &recorder;
    EXPECT_EQ(zconf_xml_open(ZCONF_XML_OPEN_WRITE), 0);
    cuts.push_back(text.size());
    uint32_t fpos = 0;
    for (size_t at = 0, i = 0; i < cuts.size(); at = cuts[i++]) {
        const uint32_t n = static_cast<uint32_t>(cuts[i] - at);
        EXPECT_EQ(zconf_xml_write(text.data() + at, n, &fpos), int32_t(n)) << at;
    }
    zconf_xml_write_done();
    xml_observer = nullptr;
    return events;
}

// The same callbacks with neighbouring data runs joined and empty runs left out.
std::vector<std::string> joined(const std::vector<std::string> &in) {
    std::vector<std::string> out;
    for (const auto &e : in) {
        if (e == "D ")
            continue;
        if (e[0] == 'D' && !out.empty() && out.back()[0] == 'D')
            out.back() += e.substr(2);
        else
            out.push_back(e);
    }
    return out;
}

const std::string example = std::string(xml_declaration) + root_open + "\n" +
                            "\t<KEY name=\"Network\">\n"
                            "\t\t<VALUE_SZ name=\"Label\">R&amp;D &lt;lab&gt;</VALUE_SZ>\n"
                            "\t\t<VALUE_DWORD name=\"Port\">0x00001F90</VALUE_DWORD>\n"
                            "\t\t<VALUE_BINARY name=\"Mac\">001A2B3C4D5E</VALUE_BINARY>\n"
                            "\t\t<KEY name=\"Dns\">\n"
                            "\t\t\t<VALUE_MULTI_SZ name=\"Servers\">a&#x00;b&#x00;&#x00;"
                            "</VALUE_MULTI_SZ>\n"
                            "\t\t</KEY>\n"
                            "\t</KEY>\n"
                            "</KEY>\n";

TEST_F(Store, TheExampleGivesItsCallbacksHoweverItIsCut) {
    const std::vector<std::string> expected = {
        "D \n",           "S KEY name=ZCONF_ROOT",
        "D \n\t",         "S KEY name=Network",
        "D \n\t\t",       "S VALUE_SZ name=Label",
        "D R&D <lab>",    "E VALUE_SZ",
        "D \n\t\t",       "S VALUE_DWORD name=Port",
        "D 0x00001F90",   "E VALUE_DWORD",
        "D \n\t\t",       "S VALUE_BINARY name=Mac",
        "D 001A2B3C4D5E", "E VALUE_BINARY",
        "D \n\t\t",       "S KEY name=Dns",
        "D \n\t\t\t",     "S VALUE_MULTI_SZ name=Servers",
        "D a\0b\0\0"s,    "E VALUE_MULTI_SZ",
        "D \n\t\t",       "E KEY",
        "D \n\t",         "E KEY",
        "D \n",           "E KEY",
        "D \n",
    };
    EXPECT_EQ(callbacks(example), expected);
    // Cut inside the first reference of the label: the text before it comes as a run of
    // its own, the rest once the reference is whole.
    const size_t cut = example.find("&amp;") + 2;
    std::vector<std::string> two_runs = expected;
    two_runs[6] = "D R";
    two_runs.insert(two_runs.begin() + 7, "D &D <lab>");
    EXPECT_EQ(callbacks(example, {cut}), two_runs);
    for (size_t at = 1; at < example.size(); at++)
        ASSERT_EQ(joined(callbacks(example, {at})), joined(expected)) << "cut at " << at;
    std::vector<size_t> every_byte;
    for (size_t at = 1; at < example.size(); at++)
        every_byte.push_back(at);
    EXPECT_EQ(joined(callbacks(example, every_byte)), joined(expected));
    EXPECT_EQ(live_nodes(), 1u) << "the observed document builds nothing";
}

TEST_F(Store, EmptyElementsEndAtOnceAndOnlyAfterAGoodStart) {
    EXPECT_EQ(callbacks("<KEY name = 'a&quot;b' volatile\t=\"no\" />"),
              (std::vector<std::string>{"S KEY name=a\"b volatile=no", "E KEY"}));
    EXPECT_EQ(callbacks("</KEY\n\t >"), std::vector<std::string>{"E KEY"});
    // The builder refuses the start: no end follows and the write fails.
    ASSERT_EQ(zconf_xml_open(ZCONF_XML_OPEN_WRITE), 0);
    uint32_t fpos = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(zconf_xml_write("<VALUE_SZ/>", 11, &fpos), -22);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "__xml_proc_buff: ERROR status=-22, len=11, data[0]=0x3c <<>, data[1]=0x56 <V>\n"
              "zconf_xml_write: ERROR while parsing input data!\n");
    zconf_xml_write_done();
}

// ---- documents into the store ----

// A rich document: every value type, escapes, depth, volatile keys, the alias, and
// keys and values repeated so that the merge has work to do.
const std::string rich =
    std::string(xml_declaration) + root_open + "\n" +
    "<KEY name=\"Net&amp;&lt;&gt;&quot;&apos;&#9;&#xe9;\" >\n"
    " <VALUE_SZ name=\"Label\">R&amp;D &lt;lab&gt;\t&#x0A;</VALUE_SZ>\n"
    " <VALUE_DWORD name='Port'>8080</VALUE_DWORD><VALUE_DWORD_LE name=\"le\">0x01020304"
    "</VALUE_DWORD_LE><VALUE_DWORD_BE name=\"be\">0X1f90</VALUE_DWORD_BE>\r\n"
    " <VALUE_QWORD name=\"q\">18446744073709551615</VALUE_QWORD>"
    "<VALUE_QWORD_LE name=\"ql\">0x0102030405060708</VALUE_QWORD_LE>"
    "<VALUE_QWORD_BE name=\"qb\"/>\n"
    " <VALUE_BINARY name=\"Mac\">00 1a\n2B 3c</VALUE_BINARY><VALUE_NONE name=\"n\"> </VALUE_NONE>"
    " <VALUE_MULTI_SZ>a&#0;b&#x00;</VALUE_MULTI_SZ>\n"
    " <KEY name=\"Tmp\" volatile=\"yes\"><KEY name=\"In\" volatile=\"no\"/>"
    "<VALUE_SZ name=\"x\">y</VALUE_SZ></KEY>\n"
    " <KEY name=\"tarvlin\"><KEY name=\"TARVLIN\"><VALUE_SZ "
    "name=\"deep\">1</VALUE_SZ></KEY></KEY>\n"
    "</KEY>\n"
    "<KEY name=\"olvex\"><VALUE_SZ name=\"a\">first</VALUE_SZ></KEY>\n"
    "<KEY name=\"Tarvlin\"><VALUE_SZ name=\"A\">second</VALUE_SZ><VALUE_SZ name=\"b\"/></KEY>\n"
    "</KEY >\n \t\r\n";

const std::string rich_saved =
    saved("\t<KEY name=\"Net&amp;&lt;&gt;&quot;'&#x09;\xe9\">\n"
          "\t\t<VALUE_SZ name=\"Label\">R&amp;D &lt;lab&gt;&#x09;&#x0A;</VALUE_SZ>\n"
          "\t\t<VALUE_DWORD name=\"Port\">0x00001F90</VALUE_DWORD>\n"
          "\t\t<VALUE_DWORD_LE name=\"le\">0x01020304</VALUE_DWORD_LE>\n"
          "\t\t<VALUE_DWORD_BE name=\"be\">0x00001F90</VALUE_DWORD_BE>\n"
          "\t\t<VALUE_QWORD name=\"q\">0xFFFFFFFFFFFFFFFF</VALUE_QWORD>\n"
          "\t\t<VALUE_QWORD_LE name=\"ql\">0x0102030405060708</VALUE_QWORD_LE>\n"
          "\t\t<VALUE_QWORD_BE name=\"qb\">0x0000000000000000</VALUE_QWORD_BE>\n"
          "\t\t<VALUE_BINARY name=\"Mac\">001A2B3C</VALUE_BINARY>\n"
          "\t\t<VALUE_NONE name=\"n\"></VALUE_NONE>\n"
          "\t\t<VALUE_MULTI_SZ name=\"\">a&#x00;b&#x00;</VALUE_MULTI_SZ>\n"
          "\t\t<KEY name=\"Olvex\">\n"
          "\t\t\t<KEY name=\"Olvex\">\n"
          "\t\t\t\t<VALUE_SZ name=\"deep\">1</VALUE_SZ>\n"
          "\t\t\t</KEY>\n"
          "\t\t</KEY>\n"
          "\t</KEY>\n"
          "\t<KEY name=\"olvex\">\n"
          "\t\t<VALUE_SZ name=\"A\">second</VALUE_SZ>\n"
          "\t\t<VALUE_SZ name=\"b\"></VALUE_SZ>\n"
          "\t</KEY>\n");

TEST_F(Store, ADocumentCutAnywhereBuildsTheSameTree) {
    ASSERT_EQ(write_document(rich), 0);
    ASSERT_EQ(read_document(), rich_saved);
    const uint32_t clear = ZCONF_XML_OPEN_WRITE | ZCONF_XML_OPEN_CLEAR;
    for (size_t piece : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{64}})
        EXPECT_EQ(write_document(rich, clear, piece), 0) << piece;
    EXPECT_EQ(read_document(), rich_saved);
    for (size_t at = 1; at < rich.size(); at++) {
        ASSERT_EQ(zconf_xml_open(clear), 0);
        uint32_t fpos = 0;
        EXPECT_EQ(zconf_xml_write(rich.data(), uint32_t(at), &fpos), int32_t(at));
        EXPECT_EQ(zconf_xml_write(rich.data() + at, uint32_t(rich.size() - at), &fpos),
                  int32_t(rich.size() - at));
        zconf_xml_write_done();
        ASSERT_EQ(read_document(), rich_saved) << "cut at " << at;
    }
}

TEST_F(Store, IntegersAreStoredInTheirByteOrder) {
    ASSERT_EQ(write_document(doc("<KEY name=\"K\">"
                                 "<VALUE_DWORD name=\"d\">0x01020304</VALUE_DWORD>"
                                 "<VALUE_DWORD_BE name=\"b\">16909060</VALUE_DWORD_BE>"
                                 "<VALUE_DWORD_LE name=\"l\">0x01020304</VALUE_DWORD_LE>"
                                 "<VALUE_QWORD_LE name=\"q\">0x0102030405060708</VALUE_QWORD_LE>"
                                 "</KEY>")),
              0);
    zconf_key *k = __zconf_find_subkey(ZCONF_ROOT, "K");
    ASSERT_NE(k, nullptr);
    const auto bytes = [&](const char *name) {
        const zconf_value *v = __zconf_find_value(k, name);
        return v ? std::string(reinterpret_cast<const char *>(zconf_value_data(v)),
                               zconf_value_len(v))
                 : "missing"s;
    };
    EXPECT_EQ(bytes("d"), "\4\3\2\1");
    EXPECT_EQ(bytes("b"), "\4\3\2\1");
    EXPECT_EQ(bytes("l"), "\1\2\3\4");
    EXPECT_EQ(bytes("q"), "\1\2\3\4\5\6\7\x08");
}

// An empty result stands for "the store is as it was".
struct form {
    std::string text;
    int32_t rc;
    std::string after;
};

void check_forms(const char *group, const std::vector<form> &forms) {
    const std::string base = "\t<KEY name=\"A\">\n\t</KEY>\n";
    for (const auto &f : forms) {
        DoviZUZClose(FindhConn());
        ASSERT_EQ(write_document(saved(base), ZCONF_XML_OPEN_WRITE | ZCONF_XML_OPEN_CLEAR), 0);
        const uint32_t nodes = live_nodes();
        testing::internal::CaptureStdout();
        const int32_t rc = write_document(f.text);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(rc, f.rc) << group << ": " << f.text;
        EXPECT_EQ(read_document(), saved(base + f.after)) << group << ": " << f.text;
        if (f.after.empty()) {
            EXPECT_EQ(live_nodes(), nodes) << group << ": " << f.text;
        }
    }
}

// A document whose key K holds one value given as text.
std::string value_doc(const std::string &type, const std::string &content) {
    return doc("<KEY name=\"K\"><" + type + " name=\"v\">" + content + "</" + type + "></KEY>");
}
form value(const std::string &type, const std::string &content, const std::string &saved_text) {
    return {value_doc(type, content), 0, key_k(value_line(type, "v", saved_text))};
}
form refused_value(const std::string &type, const std::string &content) {
    return {value_doc(type, content), -22, ""};
}
const std::string k_empty = key_k("");

TEST_F(Store, TheDeclarationIsOptionalAndStrict) {
    const std::string body = root_open + "<KEY name=\"K\"/></KEY>";
    check_forms("declaration",
                {
                    {body, 0, k_empty},
                    {"<?xml?>" + body, 0, k_empty},
                    {"<?xml encoding='ISO-8859-15' version='1.0' ?>\n" + body, 0, k_empty},
                    {"<?xml version=\"1.0\" version=\"1.0\"?>" + body, 0, k_empty},
                    {"<?xml version=\"1.1\"?>" + body, -22, ""},
                    {"<?xml encoding=\"utf-8\"?>" + body, -22, ""},
                    {"<?xml standalone=\"yes\"?>" + body, -22, ""},
                    {"<?XML?>" + body, -22, ""},
                    {"<?xmlx?>" + body, -22, ""},
                    {"<?xml?><?xml?>" + body, -22, ""},
                    {"<?xml version=\"1.0\">" + body, -22, ""},
                    {root_open + "<?xml?></KEY>", -22, ""},
                    {"<?xml?></KEY>", -22, ""},
                    {"\xEF\xBB\xBF" + body, -22, ""},
                    {"<!-- note -->" + body, -22, ""},
                    {"<!DOCTYPE x>" + body, -22, ""},
                    {"<?other?>" + body, -22, ""},
                });
}

TEST_F(Store, AttributesAndNames) {
    const std::string name255(255, 'n');
    check_forms("attributes", {
                                  {doc("<KEY  name = 'K' \n></KEY >"), 0, k_empty},
                                  {doc("<KEY name=\"\" name=\"K\"/>"), 0, k_empty},
                                  {doc("<KEY name=\"" + name255 + "\"/>"), 0,
                                   "\t<KEY name=\"" + name255 + "\">\n\t</KEY>\n"},
                                  {doc("<KEY name=\"K\"><VALUE_SZ>x</VALUE_SZ></KEY>"), 0,
                                   key_k(value_line("VALUE_SZ", "", "x"))},
                                  {doc("<KEY name=\"" + name255 + "n\"/>"), -22, ""},
                                  {doc("<KEY name=\"K\" name=\"L\"/>"), -22, ""},
                                  {doc("<KEY name=\"K\"volatile=\"no\"/>"), -22, ""},
                                  {doc("<KEY name=\"K\" volatile=\"no\" x=\"1\"/>"), -22, ""},
                                  {doc("<KEY nom=\"K\"/>"), -22, ""},
                                  {doc("<KEY name=K/>"), -22, ""},
                                  {doc("<KEY name=\"a<b\"/>"), -22, ""},
                                  {doc("<KEY name=\"a>b\"/>"), -22, ""},
                                  {doc("<KEY name=\"a\x01\"/>"), -22, ""},
                                  {doc("<KEY name=\"a&#0;\"/>"), -22, ""},
                                  {doc("<key name=\"K\"/>"), -22, ""},
                                  {doc("<FOO name=\"K\"/>"), -22, ""},
                                  {doc("< KEY name=\"K\"/>"), -22, ""},
                              });
}

TEST_F(Store, References) {
    check_forms("references",
                {
                    value("VALUE_SZ", "&lt;&gt;&amp;&quot;&apos;&#65;&#x41;&#255;&#xff;&#xFF;",
                          "&lt;&gt;&amp;&quot;'AA\xff\xff\xff"),
                    value("VALUE_MULTI_SZ", "a&#0;b&#x00;", "a&#x00;b&#x00;"),
                    value("VALUE_SZ", "'\"", "'&quot;"),
                    refused_value("VALUE_SZ", "&#256;"),
                    refused_value("VALUE_SZ", "&#X41;"),
                    refused_value("VALUE_SZ", "&LT;"),
                    refused_value("VALUE_SZ", "&nbsp;"),
                    refused_value("VALUE_SZ", "&#;"),
                    refused_value("VALUE_SZ", "&#x;"),
                    refused_value("VALUE_SZ", "& amp;"),
                    refused_value("VALUE_SZ", "a>b"),
                    refused_value("VALUE_SZ", "a\x01"),
                });
}

// The number of a character reference is read as strtoul reads it: leading blanks, a sign
// and, in hexadecimal, a 0x prefix pass; a minus sign negates in unsigned arithmetic, so
// only -0 stays below 256 (and, where unsigned long has 32 bits, -4294967295 wraps to 1).
TEST_F(Store, NumericReferencesReadAsStrtoulReadsThem) {
    const std::string sz = "VALUE_SZ", multi = "VALUE_MULTI_SZ";
    const bool long32 = sizeof(unsigned long) == 4;
    const std::string one = key_k(value_line(sz, "v", "&#x01;"));
    check_forms(
        "strtoul numbers",
        {
            value(sz, "&# 65;&#\t66;&#\n\r 67;", "ABC"),
            value(sz, "&#+65;&# +66;", "AB"),
            value(sz, "&#00065;&#x0041;&#x00ff;", "AA\xff"),
            value(sz, "&#x0x41;&#x0X42;&#x 0x43;", "ABC"),
            value(sz, "&#x+44;&#x +0X45;", "DE"),
            value(multi, "a&#-0;b&#x-0;&#x-0x0;", "a&#x00;b&#x00;&#x00;"),
            {value_doc(sz, "&#-4294967295;"), long32 ? 0 : -22, long32 ? one : ""},
            refused_value(sz, "&#-1;"),
            refused_value(sz, "&#-255;"),
            refused_value(sz, "&#x-1;"),
            refused_value(sz, "&#99999999999999999999999999;"),
            refused_value(sz, "&#+-65;"),
            refused_value(sz, "&#+ 65;"),
            refused_value(sz, "&#65 ;"),
            refused_value(sz, "&#0x41;"),
            refused_value(sz, "&#x0x;"),
            refused_value(sz, "&#xx41;"),
            refused_value(sz, "&#x 0x 41;"),
            {doc("<KEY name=\"K&# 65;&#x0x42;&#+67;\"/>"), 0, "\t<KEY name=\"KABC\">\n\t</KEY>\n"},
            {doc("<KEY name=\"K&#-0;\"/>"), -22, ""},
            {doc("<KEY name=\"K&#x 0x100;\"/>"), -22, ""},
        });
}

TEST_F(Store, Numbers) {
    const std::string dw = "VALUE_DWORD", qw = "VALUE_QWORD";
    check_forms("numbers", {
                               value(dw, "0x00001F90", "0x00001F90"),
                               value(dw, "8080", "0x00001F90"),
                               value(dw, "0X1f90", "0x00001F90"),
                               value(dw, "", "0x00000000"),
                               {doc("<KEY name=\"K\"><VALUE_DWORD name=\"v\"/></KEY>"), 0,
                                key_k(value_line(dw, "v", "0x00000000"))},
                               value(dw, "4294967295", "0xFFFFFFFF"),
                               value(dw, "0000000001", "0x00000001"),
                               refused_value(dw, "4294967296"),
                               refused_value(dw, "9999999999"),
                               refused_value(dw, "00000000001"),
                               refused_value(dw, "0x123456789"),
                               refused_value(dw, " 1"),
                               refused_value(dw, "1 "),
                               refused_value(dw, "0x"),
                               refused_value(dw, "1f"),
                               refused_value(dw, "-1"),
                               refused_value(dw, "0x1x"),
                               value(qw, "18446744073709551615", "0xFFFFFFFFFFFFFFFF"),
                               value(qw, "0x00FFFFFFFFFFFFFFFF", "0xFFFFFFFFFFFFFFFF"),
                               refused_value(qw, "18446744073709551616"),
                               refused_value(qw, "0x10000000000000000"),
                               refused_value(qw, "0x0000000000000000001"s + "0"),
                               value("VALUE_DWORD_LE", "16909060", "0x01020304"),
                               value("VALUE_QWORD_BE", "1", "0x0000000000000001"),
                           });
}

TEST_F(Store, BinaryNoneAndStrings) {
    const std::string bin = "VALUE_BINARY", sz = "VALUE_SZ";
    check_forms("content", {
                               value(bin, " 00 1a\n2B\t3c\r\n", "001A2B3C"),
                               value(bin, "0 0f f", "00FF"),
                               value(bin, "", ""),
                               refused_value(bin, "abc"),
                               refused_value(bin, "0g"),
                               refused_value(bin, "0x00"),
                               value("VALUE_NONE", " \n\t ", ""),
                               refused_value("VALUE_NONE", "x"),
                               refused_value("VALUE_NONE", "&#32;x"),
                               value(sz, "", ""),
                               value(sz, " \n lead and trail\t ", " &#x0A; lead and trail&#x09; "),
                               value("VALUE_MULTI_SZ", "", "&#x00;"),
                               refused_value(sz, std::string(5000, 's')),
                               refused_value(sz, std::string(41000, 's')),
                               refused_value(bin, std::string(82000, 'a')),
                           });
}

TEST_F(Store, VolatileKeysAndTheAlias) {
    const std::string m = "\t<KEY name=\"M\">\n\t</KEY>\n";
    const std::string olvex = "\t<KEY name=\"Olvex\">\n\t</KEY>\n";
    check_forms("volatile and alias",
                {
                    {doc("<KEY name=\"K\" volatile=\"yes\"><KEY name=\"L\"/>"
                         "<VALUE_SZ name=\"v\">x</VALUE_SZ></KEY><KEY name=\"M\"/>"),
                     0, m},
                    {doc("<KEY name=\"K\" volatile=\"YES\"><KEY name=\"L\" volatile=\"no\">"
                         "<KEY name=\"N\"/></KEY></KEY><KEY name=\"M\" volatile=\"No\"/>"),
                     0, m},
                    {std::string(xml_declaration) +
                         "<KEY name=\"ZCONF_ROOT\" volatile=\"yes\"><KEY name=\"M\"/></KEY>",
                     0, m},
                    {doc("<KEY name=\"K\" volatile=\"ye\"/>"), -22, ""},
                    {doc("<KEY name=\"K\" volatile=\"yess\"/>"), -22, ""},
                    {doc("<KEY name=\"K\" volatile=\"\"/>"), -22, ""},
                    {doc("<KEY volatile=\"no\" volatile=\"no\"/>"), -22, ""},
                    {doc("<KEY name=\"K\"><VALUE_SZ name=\"v\" volatile=\"no\"/></KEY>"), -22, ""},
                    {doc("<KEY name=\"TaRvLiN\"/>"), 0, olvex},
                    {doc("<KEY name=\"Olvex\"><VALUE_SZ name=\"a\">1</VALUE_SZ></KEY>"
                         "<KEY name=\"tarvlin\"><VALUE_SZ name=\"b\">2</VALUE_SZ></KEY>"),
                     0,
                     "\t<KEY name=\"Olvex\">\n" + value_line("VALUE_SZ", "a", "1") +
                         value_line("VALUE_SZ", "b", "2") + "\t</KEY>\n"},
                    {doc("<KEY name=\"Tarvlinx\"/>"), 0, "\t<KEY name=\"Tarvlinx\">\n\t</KEY>\n"},
                });
    // An alias key merges with the "Olvex" the store holds already.
    ASSERT_EQ(write_document(saved("\t<KEY name=\"A\">\n\t</KEY>\n"),
                             ZCONF_XML_OPEN_WRITE | ZCONF_XML_OPEN_CLEAR),
              0);
    ASSERT_EQ(make_key("Olvex\\Inner"), 0);
    ASSERT_EQ(write_document(doc("<KEY name=\"TARVLIN\"><KEY name=\"Tarvlin\"/></KEY>")), 0);
    EXPECT_EQ(read_document(), saved("\t<KEY name=\"A\">\n\t</KEY>\n"
                                     "\t<KEY name=\"Olvex\">\n"
                                     "\t\t<KEY name=\"Inner\">\n\t\t</KEY>\n"
                                     "\t\t<KEY name=\"Olvex\">\n\t\t</KEY>\n"
                                     "\t</KEY>\n"));
}

TEST_F(Store, StructureAndMerging) {
    const std::string sz1 = "<VALUE_SZ name=\"v\">1</VALUE_SZ>";
    check_forms(
        "structure",
        {
            {doc("<KEY name=\"K\"><KEY name=\"x\"><VALUE_SZ name=\"a\">1</VALUE_SZ></KEY>"
                 "<KEY name=\"X\"><VALUE_SZ name=\"A\">2</VALUE_SZ></KEY></KEY>"),
             0,
             "\t<KEY name=\"K\">\n\t\t<KEY name=\"x\">\n\t" + value_line("VALUE_SZ", "A", "2") +
                 "\t\t</KEY>\n\t</KEY>\n"},
            {std::string(xml_declaration) + "<VALUE_SZ name=\"v\"/>", -22, ""},
            {"<KEY name=\"zconf_root\"></KEY>", -22, ""},
            {"<KEY name=\"Other\"></KEY>", -22, ""},
            {doc(sz1), -22, ""},
            {doc("<KEY name=\"K\">text</KEY>"), -22, ""},
            {"x" + doc(""), -22, ""},
            {doc("<KEY name=\"K\"><VALUE_SZ name=\"v\">x</VALUE_DWORD></KEY>"), -22, ""},
            {doc("<KEY name=\"K\"><VALUE_SZ name=\"v\">x</KEY></KEY>"), -22, ""},
            {doc("<KEY name=\"K\"><VALUE_SZ name=\"v\"><KEY/></VALUE_SZ></KEY>"), -22, ""},
            {doc("<KEY name=\"K\"/>") + "<KEY name=\"L\"/>", -22, ""},
            {doc("<KEY name=\"K\"/>") + "x", -22, ""},
            {doc("<KEY name=\"K\"/>") + "</KEY>", -22, ""},
            {doc("<KEY name=\"K\"/>") + " \r\n\t", 0, k_empty},
            {doc("<KEY name=\"K\"><![CDATA[x]]></KEY>"), -22, ""},
            {doc("<KEY name=\"K\"><VALUE_SZ name=\"v\">1</VALUE_SZ>"
                 "<VALUE_DWORD name=\"V\">2</VALUE_DWORD></KEY>"),
             0, key_k(value_line("VALUE_DWORD", "V", "0x00000002"))},
            {doc("<KEY name=\"K\">" + sz1 +
                 "<KEY name=\"x\"/></KEY><KEY name=\"k\">"
                 "<VALUE_SZ name=\"v\">2</VALUE_SZ><VALUE_SZ name=\"w\"/><KEY name=\"y\"/></KEY>"),
             0,
             "\t<KEY name=\"K\">\n" + value_line("VALUE_SZ", "v", "2") +
                 value_line("VALUE_SZ", "w", "") +
                 "\t\t<KEY name=\"x\">\n\t\t</KEY>\n\t\t<KEY name=\"y\">\n\t\t</KEY>\n\t</KEY>\n"},
        });
}

TEST_F(Store, OnlyADocumentEndedBetweenTagsOutsideSubkeysIsKept) {
    const std::string start = std::string(xml_declaration) + root_open;
    check_forms("truncation", {
                                  {"", 0, ""},
                                  {std::string(xml_declaration), 0, ""},
                                  {start, 0, ""},
                                  {start + "<KEY name=\"K\">", 0, ""},
                                  {start + "<KEY name=\"K\"><VALUE_SZ name=\"v\">1", 0, ""},
                                  {start + "<KEY name=\"K\"/>\n", 0, k_empty},
                                  {start + "<KEY name=\"K\"/><KEY na", 0, ""},
                                  {start + "<KEY name=\"K\"/>&am", 0, ""},
                                  {start + "<KEY name=\"K\"/><KEY name=\"L\">", 0, ""},
                              });
}

TEST_F(Store, ADocumentWithoutMemoryChangesNothing) {
    ASSERT_EQ(make_key("A\\B"), 0);
    const std::string before = read_document();
    const uint32_t nodes = live_nodes();
    int32_t rc = 0;
    auto write = [&](int32_t) { rc = write_document(rich); };
    auto check = [&](int32_t n, bool fired) {
        if (!fired)
            return;
        EXPECT_EQ(read_document(), before) << "allocation " << n << " failed, rc " << rc;
        EXPECT_EQ(live_nodes(), nodes) << n;
        EXPECT_EQ(zconf_xml_open_mode, 0u);
    };
    int32_t failed = fail_each_allocation_in_turn([] {}, write, check, 200);
    EXPECT_GT(failed, 20) << "every key and value of the document is an allocation";
    EXPECT_NE(read_document(), before);
}

// A whole document parsed apart from the store: the tree it gives, what it refuses, and
// that neither the live tree nor the channel is touched, however the heap fails.
TEST_F(Store, ADocumentParsedApartLeavesTheStoreAlone) {
    ASSERT_EQ(make_key("Live"), 0);
    const std::string before = read_document();
    const uint32_t nodes = live_nodes();
    const std::string text = doc("<KEY name=\"net\"><VALUE_DWORD name=\"ip\">1</VALUE_DWORD>"
                                 "</KEY><KEY name=\"NET\"><VALUE_SZ name=\"h\">x</VALUE_SZ></KEY>"
                                 "<KEY name=\"V\" volatile=\"yes\"></KEY>");
    zconf_key *root = nullptr;
    ASSERT_EQ(zconf_xml_parse_document(text.data(), static_cast<uint32_t>(text.size()), &root), 0);
    ASSERT_NE(root, nullptr);
    zconf_key *net = __zconf_find_subkey(root, "Net");
    ASSERT_NE(net, nullptr);
    EXPECT_EQ(__zconf_enum_subkey(root, 1), nullptr) << "same-named keys are one, volatile gone";
    EXPECT_NE(__zconf_find_value(net, "IP"), nullptr);
    EXPECT_NE(__zconf_find_value(net, "h"), nullptr);
    __zconf_del_tree(root);
    EXPECT_EQ(read_document(), before);
    EXPECT_EQ(live_nodes(), nodes);
    const std::string cut = text.substr(0, text.size() - 7); // stops before the root's end
    for (const std::string &bad :
         {std::string(), cut, doc("<VALUE_SZ name=\"a\">x</VALUE_SZ>"), doc("</KEY>"),
          std::string("garbage"), std::string(xml_declaration)}) {
        EXPECT_EQ(zconf_xml_parse_document(bad.data(), static_cast<uint32_t>(bad.size()), &root),
                  ZCONF_ERR_INVAL)
            << bad;
        EXPECT_EQ(root, nullptr);
        EXPECT_EQ(live_nodes(), nodes) << bad;
    }
    const std::string huge_tag = doc("<KEY name=\"" + std::string(50000, 'a') + "\"></KEY>");
    EXPECT_EQ(
        zconf_xml_parse_document(huge_tag.data(), static_cast<uint32_t>(huge_tag.size()), &root),
        ZCONF_ERR_OVERFLOW);
    int32_t rc = 0;
    auto parse = [&](int32_t) {
        rc = zconf_xml_parse_document(rich.data(), static_cast<uint32_t>(rich.size()), &root);
    };
    auto check = [&](int32_t n, bool fired) {
        if (fired)
            EXPECT_TRUE(rc == ZCONF_ERR_NOMEM && root == nullptr) << n << " " << rc;
        else if (rc == 0)
            __zconf_del_tree(root);
        EXPECT_EQ(live_nodes(), nodes) << n;
        EXPECT_EQ(zconf_xml_open_mode, 0u);
    };
    EXPECT_GT(fail_each_allocation_in_turn([] {}, parse, check, 200), 20);
    EXPECT_EQ(read_document(), before);
}

} // namespace
