// The decoder: the callbacks the tokenizer makes of document text cut anywhere, the
// forms the tree builder accepts and refuses, how an accepted document is merged, and
// what a document that fails leaves behind.
#include "xml_test_support.h"
#include "zconf_test_support.h"

#include <set>
#include <vector>

namespace {

using namespace std::string_literals;

const std::string root_open = "<KEY name=\"ZCONF_ROOT\">";

// ---- the callbacks, as the tokenizer makes them: "{KEY a=b}" starts, "{/KEY}" ends,
// "[text]" data runs ----

std::string events;

int32_t record_start(xml_doc *, const char *name, int32_t count, xml_attr *attrs) {
    events += "{"s + name;
    for (int32_t i = 0; i < count; i++)
        events +=
            " "s + attrs[i].attrName + "=" + std::string(attrs[i].attrValue, attrs[i].attrLen);
    events += "}";
    return 0;
}
int32_t record_data(xml_doc *, const char *bytes, int32_t length) {
    events.append("[").append(bytes, static_cast<size_t>(length)).append("]");
    return 0;
}
int32_t record_end(xml_doc *, const char *name) {
    events += "{/"s + name + "}";
    return 0;
}
const xml_entity_observer recorder = {record_start, record_data, record_end};

// The callbacks of one write pass, the text cut after each of `cuts`; with `join`,
// neighbouring data runs are joined and empty runs left out.
std::string callbacks(const std::string &text, std::vector<size_t> cuts = {}, bool join = false) {
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
    for (const char *gap : {"][", "[]"})
        for (size_t at; join && (at = events.find(gap)) != std::string::npos;)
            events.erase(at, 2);
    return events;
}

TEST_F(Store, TheExampleGivesItsCallbacksHoweverItIsCut) {
    const std::string example = ZCONF_TEST_EXAMPLE;
    const std::string expected =
        "[\n]{KEY name=ZCONF_ROOT}[\n\t]{KEY name=Network}[\n\t\t]{VALUE_SZ name=Label}"
        "[R&D <lab>]{/VALUE_SZ}[\n\t\t]{VALUE_DWORD name=Port}[0x00001F90]{/VALUE_DWORD}"
        "[\n\t\t]{VALUE_BINARY name=Mac}[001A2B3C4D5E]{/VALUE_BINARY}[\n\t\t]{KEY name=Dns}"
        "[\n\t\t\t]{VALUE_MULTI_SZ name=Servers}[a\0b\0\0]{/VALUE_MULTI_SZ}[\n\t\t]{/KEY}"
        "[\n\t]{/KEY}[\n]{/KEY}[\n]"s;
    EXPECT_EQ(callbacks(example), expected);
    // Cut inside the first reference of the label: the text before it comes as a run of
    // its own, the rest once the reference is whole.
    std::string two_runs = expected;
    two_runs.replace(two_runs.find("[R&D"), 2, "[R][");
    EXPECT_EQ(callbacks(example, {example.find("&amp;") + 2}), two_runs);
    std::vector<size_t> every_byte;
    for (size_t at = 1; at < example.size(); at++) {
        ASSERT_EQ(callbacks(example, {at}, true), expected) << "cut at " << at;
        every_byte.push_back(at);
    }
    EXPECT_EQ(callbacks(example, every_byte, true), expected);
    EXPECT_EQ(live_nodes(), 1u) << "the observed document builds nothing";
    // Empty elements end at once, and only after a start the builder took.
    EXPECT_EQ(callbacks("<KEY name = 'a&quot;b' volatile\t=\"no\" />"),
              "{KEY name=a\"b volatile=no}{/KEY}");
    EXPECT_EQ(callbacks("</KEY\n\t >"), "{/KEY}");
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

const std::string rich_saved = saved_tree(
    "Net&amp;&lt;&gt;&quot;'&#x09;\xe9{|SZ Label=R&amp;D &lt;lab&gt;&#x09;&#x0A;|"
    "DWORD Port=0x00001F90|DWORD_LE le=0x01020304|DWORD_BE be=0x00001F90|"
    "QWORD q=0xFFFFFFFFFFFFFFFF|QWORD_LE ql=0x0102030405060708|QWORD_BE qb=0x0000000000000000|"
    "BINARY Mac=001A2B3C|NONE n=|MULTI_SZ =a&#x00;b&#x00;|Olvex{|Olvex{|SZ deep=1|}|}|}|"
    "olvex{|SZ A=second|SZ b=|}");

TEST_F(Store, ADocumentCutAnywhereBuildsTheSameTree) {
    ASSERT_EQ(write_document(rich), 0);
    ASSERT_EQ(read_document(), rich_saved);
    const uint32_t clear = ZCONF_XML_OPEN_WRITE | ZCONF_XML_OPEN_CLEAR;
    EXPECT_EQ(write_document(rich, clear, 1), 0);
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

// One document written over a store holding key A: its result, and the tree it leaves
// after A ("" for a store left as it was, its node count included).
struct form {
    std::string text;
    int32_t rc;
    std::string after;
};

void check_forms(const char *group, const std::vector<form> &forms) {
    for (const auto &f : forms) {
        SCOPED_TRACE(group + ": "s + f.text);
        DoviZUZClose(FindhConn());
        ASSERT_EQ(write_document(saved_tree("A{|}"), ZCONF_XML_OPEN_WRITE | ZCONF_XML_OPEN_CLEAR),
                  0);
        const uint32_t nodes = live_nodes();
        testing::internal::CaptureStdout();
        const int32_t rc = write_document(f.text);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(rc, f.rc);
        EXPECT_EQ(read_document(), saved_tree("A{|}|" + f.after));
        if (f.after.empty()) {
            EXPECT_EQ(live_nodes(), nodes);
        }
    }
}

// Documents, split at '|', that are all refused; `wrap` makes each a whole document.
void check_refused(const char *group, const std::string &texts,
                   std::string (*wrap)(const std::string &) = doc) {
    std::vector<form> forms;
    for (const auto &t : split(texts))
        forms.push_back({wrap(t), -22, ""});
    check_forms(group, forms);
}

// A document whose key K holds one value v of the type given as text.
std::string value_doc(const std::string &type, const std::string &content) {
    return doc("<KEY name=\"K\"><VALUE_" + type + " name=\"v\">" + content + "</VALUE_" + type +
               "></KEY>");
}
// Values of one type read from their text: content and saved text in turn, split at '|'.
void check_values(const std::string &type, const std::string &pairs) {
    const std::vector<std::string> p = split(pairs);
    std::vector<form> forms;
    for (size_t i = 0; i + 1 < p.size(); i += 2)
        forms.push_back({value_doc(type, p[i]), 0, "K{|" + type + " v=" + p[i + 1] + "|}"});
    check_forms(type.c_str(), forms);
}
// Values of one type whose texts are all refused.
void check_refused_values(const std::string &type, const std::vector<std::string> &contents) {
    std::vector<form> forms;
    for (const auto &c : contents)
        forms.push_back({value_doc(type, c), -22, ""});
    check_forms(type.c_str(), forms);
}

// The text unchanged: for lists of whole documents.
std::string as_is(const std::string &text) { return text; }

TEST_F(Store, TheDeclarationIsOptionalAndStrict) {
    const std::string body = root_open + "<KEY name=\"K\"/></KEY>";
    check_forms("declaration",
                {{body, 0, "K{|}"},
                 {"<?xml?>" + body, 0, "K{|}"},
                 {"<?xml encoding='ISO-8859-15' version='1.0' ?>\n" + body, 0, "K{|}"},
                 {"<?xml version=\"1.0\" version=\"1.0\"?>" + body, 0, "K{|}"}});
    check_refused("declaration",
                  "<?xml version=\"1.1\"?>" + body + "|<?xml encoding=\"utf-8\"?>" + body +
                      "|<?xml standalone=\"yes\"?>" + body + "|<?XML?>" + body + "|<?xmlx?>" +
                      body + "|<?xml?><?xml?>" + body + "|<?xml version=\"1.0\">" + body + "|" +
                      root_open + "<?xml?></KEY>|<?xml?></KEY>|\xEF\xBB\xBF" + body +
                      "|<!-- note -->" + body + "|<!DOCTYPE x>" + body + "|<?other?>" + body,
                  as_is);
}

TEST_F(Store, AttributesAndNames) {
    const std::string name255(255, 'n');
    check_forms("attributes",
                {{doc("<KEY  name = 'K' \n></KEY >"), 0, "K{|}"},
                 {doc("<KEY name=\"\" name=\"K\"/>"), 0, "K{|}"},
                 {doc("<KEY name=\"" + name255 + "\"/>"), 0, name255 + "{|}"},
                 {doc("<KEY name=\"K\"><VALUE_SZ>x</VALUE_SZ></KEY>"), 0, "K{|SZ =x|}"},
                 {doc("<KEY name=\"K&# 65;&#x0x42;&#+67;\"/>"), 0, "KABC{|}"}});
    check_refused("attributes",
                  "<KEY name=\"" + name255 +
                      "n\"/>|<KEY name=\"K\" name=\"L\"/>|<KEY name=\"K\"volatile=\"no\"/>|"
                      "<KEY name=\"K\" volatile=\"no\" x=\"1\"/>|<KEY nom=\"K\"/>|<KEY name=K/>|"
                      "<KEY name=\"a<b\"/>|<KEY name=\"a>b\"/>|<KEY name=\"a\x01\"/>|"
                      "<KEY name=\"a&#0;\"/>|<KEY name=\"K&#-0;\"/>|<KEY name=\"K&#x 0x100;\"/>|"
                      "<key name=\"K\"/>|<FOO name=\"K\"/>|< KEY name=\"K\"/>");
}

// What a pass made of a text written in two pieces, cut at `cut`, as the channel tells
// it: the outcome, the messages and the tree left behind.
std::string pass_of(const std::string &text, size_t cut) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(zconf_xml_open(ZCONF_XML_OPEN_WRITE | ZCONF_XML_OPEN_CLEAR), 0);
    uint32_t fpos = 0;
    int32_t rc = zconf_xml_write(text.data(), uint32_t(cut), &fpos);
    if (rc >= 0)
        rc = zconf_xml_write(text.data() + cut, uint32_t(text.size() - cut), &fpos);
    zconf_xml_write_done();
    rc = rc < 0 ? rc : 0;
    const std::string printed = testing::internal::GetCapturedStdout();
    const xml_refusal *why = zconf_xml_write_outcome();
    return std::to_string(rc) + " " + std::to_string(why->reason) + "@" +
           std::to_string(why->offset) + " " + why->text + "\n" + printed + read_document();
}

// Tags and references are taken whole when nothing in them needs a look (but the quotes
// of a tag's values), else byte by byte: markup, a quote or a control byte at any place
// of one is decided alike in a whole text and in one cut right after its first byte
// (which the scan then takes a byte at a time).
TEST_F(Store, AnyByteAnywhereInATagOrReferenceIsDecidedAsByteByByte) {
    const std::string sz = "<KEY name=\"K\"><VALUE_SZ name=\"v\" >x&amp;y&#x41;</VALUE_SZ></KEY>";
    const std::string empty = "<KEY name='a\"b' volatile=\"no\"/>";
    const std::pair<std::string, std::string> cases[] = {
        {sz, "<VALUE_SZ name=\"v\" >"},
        {sz, "</VALUE_SZ>"},
        {sz, "&amp;"},
        {sz, "&#x41;"},
        {"<KEY name=\"K\">" + empty + "</KEY>", empty},
        {"<KEY name=\"K\"></KEY >", "</KEY >"}};
    std::set<std::string> outcomes;
    for (const auto &[body, token] : cases)
        for (size_t at = 1; at <= token.size(); at++)
            for (char c : {'<', '>', '&', ';', '"', '\'', '\x01', '\t', '/', 'e'}) {
                std::string text = doc(body);
                const size_t start = text.find(token);
                text.insert(start + at, 1, c);
                const std::string whole = pass_of(text, text.size());
                ASSERT_EQ(whole, pass_of(text, start + 1)) << text;
                outcomes.insert(whole.substr(0, whole.find('@')));
            }
    // Among them: accepted, markup in a tag, a value or a reference, control bytes, bad
    // tags and references.
    for (uint8_t reason :
         {XML_REFUSED_NONE, XML_REFUSED_MARKUP_IN_TAG, XML_REFUSED_MARKUP_IN_ATTRIBUTE,
          XML_REFUSED_MARKUP_IN_REFERENCE, XML_REFUSED_CONTROL_BYTE, XML_REFUSED_BAD_TAG,
          XML_REFUSED_BAD_REFERENCE})
        EXPECT_TRUE(
            outcomes.count((reason == XML_REFUSED_NONE ? "0 " : "-22 ") + std::to_string(reason)))
            << __xml_refusal_text(reason);
}

// The number of a character reference is read as strtoul reads it: leading blanks, a sign
// and, in hexadecimal, a 0x prefix pass; a minus sign negates in unsigned arithmetic, so
// only -0 stays below 256 (and, where unsigned long has 32 bits, -4294967295 wraps to 1).
TEST_F(Store, References) {
    check_values("SZ", "&lt;&gt;&amp;&quot;&apos;&#65;&#x41;&#255;&#xff;&#xFF;|"
                       "&lt;&gt;&amp;&quot;'AA\xff\xff\xff|'\"|'&quot;|&# 65;&#\t66;&#\n\r 67;|ABC|"
                       "&#+65;&# +66;|AB|&#00065;&#x0041;&#x00ff;|AA\xff|"
                       "&#x0x41;&#x0X42;&#x 0x43;|ABC|&#x+44;&#x +0X45;|DE");
    check_values("MULTI_SZ",
                 "a&#0;b&#x00;|a&#x00;b&#x00;|a&#-0;b&#x-0;&#x-0x0;|a&#x00;b&#x00;&#x00;");
    const bool long32 = sizeof(unsigned long) == 4;
    check_forms("wrap", {{value_doc("SZ", "&#-4294967295;"), long32 ? 0 : -22,
                          long32 ? "K{|SZ v=&#x01;|}" : ""}});
    check_refused_values("SZ", split("&#256;|&#X41;|&LT;|&nbsp;|&#;|&#x;|& amp;|a>b|a\x01|&#-1;|"
                                     "&#-255;|&#x-1;|&#99999999999999999999999999;|&#+-65;|"
                                     "&#+ 65;|&#65 ;|&#0x41;|&#x0x;|&#xx41;|&#x 0x 41;"));
}

TEST_F(Store, Numbers) {
    check_values("DWORD", "0x00001F90|0x00001F90|8080|0x00001F90|0X1f90|0x00001F90||0x00000000|"
                          "4294967295|0xFFFFFFFF|0000000001|0x00000001");
    check_forms("empty", {{doc("<KEY name=\"K\"><VALUE_DWORD name=\"v\"/></KEY>"), 0,
                           "K{|DWORD v=0x00000000|}"}});
    check_refused_values("DWORD", split("4294967296|9999999999|00000000001|0x123456789| 1|1 |0x|"
                                        "1f|-1|0x1x"));
    check_values("QWORD", "18446744073709551615|0xFFFFFFFFFFFFFFFF|"
                          "0x00FFFFFFFFFFFFFFFF|0xFFFFFFFFFFFFFFFF");
    check_refused_values("QWORD",
                         split("18446744073709551616|000000000000000000001|0x10000000000000000|"
                               "0x00000000000000000010"));
    check_values("DWORD_LE", "16909060|0x01020304");
    check_values("QWORD_BE", "1|0x0000000000000001");
}

TEST_F(Store, BinaryNoneAndStrings) {
    check_values("BINARY", " 00 1a\n2B\t3c\r\n|001A2B3C|0 0f f|00FF||");
    check_refused_values("BINARY", {"abc", "0g", "0x00", std::string(82000, 'a')});
    check_values("NONE", " \n\t |");
    check_refused_values("NONE", {"x", "&#32;x"});
    check_values("SZ", "|| \n lead and trail\t | &#x0A; lead and trail&#x09; ");
    check_values("MULTI_SZ", "|&#x00;");
    check_refused_values("SZ", {std::string(5000, 's'), std::string(41000, 's')});
}

// Binary digits are decoded a pair at a time: pairs cut by whitespace or by the end of a
// write after an odd count of digits, and a run that fills the work area to its last
// byte or one digit past it, with the 40960-byte pieces ending after either count.
TEST_F(Store, BinaryDigitsCutAnywhere) {
    const std::string digits = "0123456789abcdefABCDEF";
    const std::string stored = "K{|BINARY v=0123456789ABCDEFABCDEF|}";
    for (size_t at = 0; at <= digits.size(); at++)
        for (size_t piece : {size_t{1}, size_t{2}, size_t{3}, size_t{5}, SIZE_MAX}) {
            std::string content = digits;
            content.insert(at, at % 2 == 0 ? "\n" : " \t");
            ASSERT_EQ(write_document(value_doc("BINARY", content),
                                     ZCONF_XML_OPEN_WRITE | ZCONF_XML_OPEN_CLEAR, piece),
                      0)
                << content << " in pieces of " << piece;
            ASSERT_EQ(read_document(), saved_tree(stored)) << content << " in pieces of " << piece;
        }
    // The work area holds the name "v" and its NUL, then 40958 bytes of data.
    const size_t room = 2 * (ZCONF_XML_BUFFER - 2);
    for (const char *lead : {"", " "})
        for (size_t count : {room - 2, room, room + 1, room + 2}) {
            const std::string text = value_doc("BINARY", lead + std::string(count, 'f'));
            zconf_key *root = nullptr;
            xml_refusal why;
            testing::internal::CaptureStdout();
            EXPECT_EQ(zconf_xml_parse_document_why(text.data(), uint32_t(text.size()), &root, &why),
                      -12);
            testing::internal::GetCapturedStdout();
            const bool fits = count <= room;
            EXPECT_EQ(why.reason, fits ? XML_REFUSED_VALUE_TOO_LARGE : XML_REFUSED_DATA_TOO_LONG)
                << count << " digits after '" << lead << "'";
            if (!fits) {
                EXPECT_EQ(why.offset, text.find('f') + room) << count << " digits";
            }
        }
}

TEST_F(Store, VolatileKeysAndTheAlias) {
    check_forms("volatile and alias",
                {{doc("<KEY name=\"K\" volatile=\"yes\"><KEY name=\"L\"/>"
                      "<VALUE_SZ name=\"v\">x</VALUE_SZ></KEY><KEY name=\"M\"/>"),
                  0, "M{|}"},
                 {doc("<KEY name=\"K\" volatile=\"YES\"><KEY name=\"L\" volatile=\"no\">"
                      "<KEY name=\"N\"/></KEY></KEY><KEY name=\"M\" volatile=\"No\"/>"),
                  0, "M{|}"},
                 {std::string(xml_declaration) +
                      "<KEY name=\"ZCONF_ROOT\" volatile=\"yes\"><KEY name=\"M\"/></KEY>",
                  0, "M{|}"},
                 {doc("<KEY name=\"TaRvLiN\"/>"), 0, "Olvex{|}"},
                 {doc("<KEY name=\"Olvex\"><VALUE_SZ name=\"a\">1</VALUE_SZ></KEY>"
                      "<KEY name=\"tarvlin\"><VALUE_SZ name=\"b\">2</VALUE_SZ></KEY>"),
                  0, "Olvex{|SZ a=1|SZ b=2|}"},
                 {doc("<KEY name=\"Tarvlinx\"/>"), 0, "Tarvlinx{|}"}});
    check_refused("volatile",
                  "<KEY name=\"K\" volatile=\"ye\"/>|<KEY name=\"K\" volatile=\"yess\"/>|"
                  "<KEY name=\"K\" volatile=\"\"/>|<KEY volatile=\"no\" volatile=\"no\"/>|"
                  "<KEY name=\"K\"><VALUE_SZ name=\"v\" volatile=\"no\"/></KEY>");
    // An alias key merges with the "Olvex" the store holds already.
    ASSERT_EQ(write_document(saved_tree("A{|}"), ZCONF_XML_OPEN_WRITE | ZCONF_XML_OPEN_CLEAR), 0);
    ASSERT_EQ(make_key("Olvex\\Inner"), 0);
    ASSERT_EQ(write_document(doc("<KEY name=\"TARVLIN\"><KEY name=\"Tarvlin\"/></KEY>")), 0);
    EXPECT_EQ(read_document(), saved_tree("A{|}|Olvex{|Inner{|}|Olvex{|}|}"));
}

TEST_F(Store, StructureAndMerging) {
    const std::string sz1 = "<VALUE_SZ name=\"v\">1</VALUE_SZ>";
    check_forms("structure",
                {{doc("<KEY name=\"K\"><KEY name=\"x\"><VALUE_SZ name=\"a\">1</VALUE_SZ></KEY>"
                      "<KEY name=\"X\"><VALUE_SZ name=\"A\">2</VALUE_SZ></KEY></KEY>"),
                  0, "K{|x{|SZ A=2|}|}"},
                 {doc("<KEY name=\"K\"/>") + " \r\n\t", 0, "K{|}"},
                 {doc("<KEY name=\"K\">" + sz1 + "<VALUE_DWORD name=\"V\">2</VALUE_DWORD></KEY>"),
                  0, "K{|DWORD V=0x00000002|}"},
                 {doc("<KEY name=\"K\">" + sz1 +
                      "<KEY name=\"x\"/></KEY><KEY name=\"k\">"
                      "<VALUE_SZ name=\"v\">2</VALUE_SZ><VALUE_SZ name=\"w\"/><KEY name=\"y\"/>"
                      "<VALUE_SZ name=\"z\"></VALUE_SZ></KEY>"),
                  0, "K{|SZ v=2|SZ w=|SZ z=|x{|}|y{|}|}"}});
    const std::string k = doc("<KEY name=\"K\"/>");
    check_refused("structure",
                  std::string(xml_declaration) +
                      "<VALUE_SZ name=\"v\"/>|<KEY name=\"zconf_root\">"
                      "</KEY>|<KEY name=\"Other\"></KEY>|" +
                      doc(sz1) + "|" + doc("<KEY name=\"K\">text</KEY>") + "|x" + doc("") + "|" +
                      doc("<KEY name=\"K\"><VALUE_SZ name=\"v\">x</VALUE_DWORD></KEY>") + "|" +
                      doc("<KEY name=\"K\"><VALUE_SZ name=\"v\">x</KEY></KEY>") + "|" +
                      doc("<KEY name=\"K\"><VALUE_SZ name=\"v\"><KEY/></VALUE_SZ></KEY>") + "|" +
                      k + "<KEY name=\"L\"/>|" + k + "x|" + k + "</KEY>|" +
                      doc("<KEY name=\"K\"><![CDATA[x]]></KEY>"),
                  as_is);
}

TEST_F(Store, OnlyADocumentEndedBetweenTagsOutsideSubkeysIsKept) {
    const std::string start = std::string(xml_declaration) + root_open;
    std::vector<form> forms = {{start + "<KEY name=\"K\"/>\n", 0, "K{|}"}};
    for (const std::string &end : split("|<KEY name=\"K\">|<KEY name=\"K\"><VALUE_SZ name=\"v\">1|"
                                        "<KEY name=\"K\"/><KEY na|<KEY name=\"K\"/>&am|"
                                        "<KEY name=\"K\"/><KEY name=\"L\">"))
        forms.push_back({start + end, 0, ""});
    forms.push_back({"", 0, ""});
    forms.push_back({std::string(xml_declaration), 0, ""});
    check_forms("truncation", forms);
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

// A whole document parsed apart from the store: the tree it gives, and that neither the
// live tree nor the channel is touched, however the heap fails. (What it refuses, and
// why, is the load status tests' table.)
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
