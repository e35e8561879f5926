// The document text of the tree: the value types' element names, the lines of keys and
// values, the escaping of names and strings, the integer byte orders, and text that reads
// back into the same text.
#include "tree/zconf_types.h"
#include "xml/zconf_value_text.h"
#include "xml/zconf_xml_enc.h"
#include "xml_test_support.h"
#include "zconf_test_support.h"

#include <cctype>
#include <cstring>

namespace {

using namespace std::string_literals;

// The text of the line encode(&piece) makes; checks that the block ends with a NUL right
// after the returned length, then frees it.
template <typename Encode> std::string take(Encode encode) {
    char *piece = nullptr;
    const int32_t len = encode(&piece);
    EXPECT_NE(piece, nullptr);
    if (piece == nullptr)
        return "";
    EXPECT_EQ(strlen(piece), static_cast<size_t>(len));
    std::string text(piece, static_cast<size_t>(len));
    zconf_heap_free(piece);
    return text;
}

// The line of a value made of the given name, type and data, at the given level.
std::string value_line(int32_t level, uint32_t type, const std::string &name,
                       const std::string &data) {
    zconf_value *v = __zconf_create_value(name.c_str(), type, data.data(), data.size());
    std::string line = take([&](char **piece) { return __xml_encode_value(level, v, piece); });
    zconf_mem_free(v);
    return line;
}

TEST(ValueTypes, EachElementNameReadsBackAsItsCodeAndOnlyInItsOwnCase) {
    std::vector<uint32_t> unnamed;
    for (uint32_t code = 0; code < ZCONF_TYPE_CODES; code++) {
        std::string element = zconf_type(code).element;
        if (element.empty())
            unnamed.push_back(code);
        EXPECT_EQ(zconf_is_value_type(code), !element.empty() && code != ZCONF_TYPE_KEY) << code;
        EXPECT_EQ(zconf_type_of_element(element.c_str()), element.empty() ? -1 : int32_t(code));
        for (char &c : element)
            c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        EXPECT_EQ(zconf_type_of_element(element.c_str()), -1) << element;
    }
    EXPECT_EQ(unnamed, (std::vector<uint32_t>{7, 11}));
    for (const char *name : {"VALUE_", "VALUE_DWORD_", "KEYS"})
        EXPECT_EQ(zconf_type_of_element(name), -1) << name;
    std::string digits;
    for (int c = 0; c < 256; c++)
        if (zconf_text_hex_value(static_cast<uint8_t>(c)) >= 0)
            digits += static_cast<char>(c);
    EXPECT_EQ(digits, "0123456789ABCDEFabcdef");
    EXPECT_EQ(zconf_text_hex_value('f'), 15);
}

// Codes 7 and 11 name no type: no value is set with them, none is written, and no
// element of a document can stand for them, since their element names are empty.
TEST_F(Store, CodesWithoutATypeAreNeitherSetNorWrittenNorRead) {
    ZConfKeyHandle k;
    ASSERT_EQ(ZConfCreateKey(ZCONF_HKEY_ROOT, "K", &k), 0);
    const uint64_t q = 0;
    for (uint32_t code : {7u, 11u}) {
        for (uint32_t size : {0u, 1u, 4u, 8u})
            EXPECT_EQ(ZConfSetValueEx(k, "v", code, &q, size), -22) << code << " " << size;
        ASSERT_EQ(zconf_lock(), 0);
        zconf_key *key = __zconf_find_subkey(ZCONF_ROOT, "K");
        __zconf_add_value(key, __zconf_create_value("hidden", code, &q, 4));
        zconf_unlock();
    }
    ASSERT_EQ(set_dword(k, "shown", 1), 0);
    EXPECT_EQ(read_document(), saved_tree("K{|DWORD shown=0x00000001|}"));
    ZConfCloseKey(k);
    xml_doc *doc = __xml_document_start();
    ASSERT_NE(doc, nullptr);
    xml_attr root_name = {const_cast<char *>("name"), const_cast<char *>("ZCONF_ROOT"), 10};
    ASSERT_EQ(__xml_entity_start(doc, "KEY", 1, &root_name), 0);
    EXPECT_EQ(__xml_entity_start(doc, "", 0, nullptr), -22);
    EXPECT_EQ(__xml_entity_end(doc, ""), -22);
    doc->state = XML_STATE_FAILED;
    __xml_document_end(doc);
}

TEST_F(Store, ValueLinesCarryTabsAndTheEscapedText) {
    // Every byte in strings and string lists: the markup characters and the control bytes
    // are escaped, a string stops at its first NUL.
    std::string bytes, all;
    for (int c = 1; c < 256; c++) {
        bytes += static_cast<char>(c);
        all += c < 0x20   ? "&#x"s + "0123456789ABCDEF"[c / 16] + "0123456789ABCDEF"[c % 16] + ";"
               : c == '"' ? "&quot;"
               : c == '&' ? "&amp;"
               : c == '<' ? "&lt;"
               : c == '>' ? "&gt;"
                          : std::string(1, static_cast<char>(c));
    }
    EXPECT_EQ(value_line(0, ZCONF_VALUE_MULTI_SZ, "", "\0"s + bytes + '\0'),
              "<VALUE_MULTI_SZ name=\"\">&#x00;" + all + "&#x00;</VALUE_MULTI_SZ>\n");
    EXPECT_EQ(value_line(0, ZCONF_VALUE_SZ, "", bytes + '\0' + "hidden" + '\0'),
              "<VALUE_SZ name=\"\">" + all + "</VALUE_SZ>\n");
    std::string nuls;
    for (int i = 0; i < 4000; i++)
        nuls += "&#x00;";
    // The line each value makes at its level, written compactly as "TYPE name=text".
    const struct {
        int32_t level;
        uint32_t type;
        std::string data, layout;
    } values[] = {
        {1, ZCONF_VALUE_NONE, "", "NONE a="},
        {0, ZCONF_VALUE_BINARY, "\x7F\0\xC8\x1A"s, "BINARY =7F00C81A"},
        {0, ZCONF_VALUE_SZ, "ab\0<d\0"s, "SZ s=ab"},
        {2, ZCONF_VALUE_SZ, "\t\n'\0"s, "SZ t=&#x09;&#x0A;'"},
        {0, ZCONF_VALUE_MULTI_SZ, std::string(4000, '\0'), "MULTI_SZ m=" + nuls},
        {0, ZCONF_VALUE_MULTI_SZ, std::string(4079, '\0'),
         "MULTI_SZ =" + nuls + nuls.substr(0, 474)},
        {0, ZCONF_VALUE_DWORD_LE, "\1\2\3\4", "DWORD_LE =0x01020304"},
        {0, ZCONF_VALUE_DWORD, "\1\2\3\4", "DWORD d=0x04030201"},
        {0, ZCONF_VALUE_QWORD_LE, "\1\2\3\4\5\6\7\x08", "QWORD_LE q=0x0102030405060708"},
        {0, ZCONF_VALUE_QWORD, "\1\2\3\4\5\6\7\x08", "QWORD qqq=0x0807060504030201"},
        {1, ZCONF_VALUE_QWORD_BE, "\1\2\3\4\5\6\7\x08", "QWORD_BE =0x0807060504030201"},
    };
    for (const auto &c : values) {
        const size_t sp = c.layout.find(' '), eq = c.layout.find('=');
        EXPECT_EQ(value_line(c.level, c.type, c.layout.substr(sp + 1, eq - sp - 1), c.data),
                  std::string(c.level, '\t') + tree_lines(c.layout).substr(1))
            << c.layout.substr(0, 40);
    }
}

TEST_F(Store, NoLineWithoutATypeNameOrWithoutMemory) {
    zconf_key *k = __zconf_create_key("k", 0);
    for (uint32_t type : {7u, 11u, 12u, 15u, ZCONF_VALUE_SZ}) {
        zconf_value *v = __zconf_create_value("v", type, "\1\2\3\0", 4);
        char dummy, *piece = &dummy;
        zconf_mem_fail_countdown = 0; // an unnamed type asks for no block, leaving the seam
        EXPECT_EQ(__xml_encode_value(0, v, &piece), 0) << type;
        EXPECT_EQ(piece, nullptr);
        EXPECT_EQ(zconf_mem_fail_countdown, type == ZCONF_VALUE_SZ ? -1 : 0) << type;
        piece = &dummy, zconf_mem_fail_countdown = 0;
        EXPECT_EQ(__xml_encode_key_open(0, k, &piece), 0);
        EXPECT_EQ(piece, nullptr);
        piece = &dummy, zconf_mem_fail_countdown = 0;
        EXPECT_EQ(__xml_encode_key_close(2, k, &piece), 0);
        EXPECT_EQ(piece, nullptr);
        zconf_mem_fail_countdown = -1;
        zconf_mem_free(v);
    }
    zconf_mem_free(k);
}

// Adds a new subkey to the parent; returns it.
zconf_key *add_key(zconf_key *parent, const std::string &name, int volatileKey = 0) {
    zconf_key *k = __zconf_create_key(name.c_str(), volatileKey);
    __zconf_add_subkey(parent, k);
    return k;
}

// Adds a new value to the key.
void add_value(zconf_key *key, const std::string &name, uint32_t type, const std::string &data) {
    zconf_value *v = __zconf_create_value(name.c_str(), type, data.data(), data.size());
    ASSERT_NE(v, nullptr) << name.size() << " + " << data.size();
    __zconf_add_value(key, v);
}

TEST_F(Store, TextReadBackIsWrittenAgainUnchanged) {
    std::string marked; // every byte that is escaped, or that is easy to get wrong
    for (int c = 1; c < 0x100; c++)
        if (c < 0x20 || c >= 0x7F || strchr("\"&<>'", c) != nullptr)
            marked += static_cast<char>(c);
    const std::string long_name = (marked + marked).substr(0, 255);
    std::string cycle, text; // every byte value, NULs included, ending in NUL; no NULs
    for (int i = 0; i < 3823; i++)
        cycle += static_cast<char>(i % 256);
    for (int i = 0; i < 4077; i++)
        text += static_cast<char>(1 + i % 255);
    cycle += '\0';
    zconf_key *k = add_key(ZCONF_ROOT, "Types");
    add_value(k, "none", ZCONF_VALUE_NONE, "");
    add_value(k, "bin", ZCONF_VALUE_BINARY, "\0\x1A\xFF\x80"s);
    add_value(k, "sz", ZCONF_VALUE_SZ, " \t lead and trail\r\n \0"s);
    add_value(k, "cut", ZCONF_VALUE_SZ, "kept\0gone\0"s);
    add_value(k, "multi", ZCONF_VALUE_MULTI_SZ, "a\0b\0\0"s);
    for (uint32_t t : {ZCONF_VALUE_DWORD, ZCONF_VALUE_DWORD_LE, ZCONF_VALUE_DWORD_BE})
        add_value(k, std::string("d") += std::to_string(t), t, "\xFE\xDC\x00\x98"s);
    for (uint32_t t : {ZCONF_VALUE_QWORD, ZCONF_VALUE_QWORD_LE, ZCONF_VALUE_QWORD_BE})
        add_value(k, std::string("q") += std::to_string(t), t, "\x01\x00\xFF\x7F\x80\x02\x03\xFE"s);
    zconf_key *m = add_key(ZCONF_ROOT, marked);
    add_value(m, marked, ZCONF_VALUE_SZ, marked + '\0');
    add_value(m, "", ZCONF_VALUE_MULTI_SZ, marked + '\0' + marked + '\0');
    zconf_key *l = add_key(m, long_name);
    add_value(l, long_name, ZCONF_VALUE_MULTI_SZ, cycle); // 255 + 3824 = 4079
    add_value(l, "", ZCONF_VALUE_BINARY, cycle + cycle.substr(0, 255));
    add_value(l, "s", ZCONF_VALUE_SZ, text + '\0');
    add_key(add_key(ZCONF_ROOT, ""), "");
    add_key(add_key(ZCONF_ROOT, "Volatile", 1), "Below");
    const std::string first = read_document();
    ASSERT_GT(first.size(), 20000u);
    EXPECT_EQ(first.find("Volatile"), std::string::npos);
    // Back in through a clearing write pass, whole and cut into small and odd pieces.
    for (size_t piece : {SIZE_MAX, size_t{1}, size_t{4093}}) {
        EXPECT_EQ(write_document(first, ZCONF_XML_OPEN_WRITE | ZCONF_XML_OPEN_CLEAR, piece), 0);
        EXPECT_EQ(read_document(), first) << "pieces of " << piece;
    }
}

} // namespace
