// The value types as every layer sees them: element names that read back as their codes,
// the codes that name no type (7 and 11), and the value text of numbers and binary data
// that the document and other programs share.
#include "tree/zconf_types.h"
#include "xml/zconf_value_text.h"
#include "xml/zconf_xml_dec.h"
#include "xml_test_support.h"
#include "zconf_test_support.h"

#include <cctype>
#include <cstring>

namespace {

using namespace std::string_literals;

TEST(ValueTypes, EachElementNameReadsBackAsItsCodeAndOnlyInItsOwnCase) {
    std::vector<uint32_t> unnamed;
    for (uint32_t code = 0; code < ZCONF_TYPE_CODES; code++) {
        std::string element = zconf_type(code).element;
        if (element.empty()) {
            unnamed.push_back(code);
            EXPECT_FALSE(zconf_is_value_type(code)) << code;
            continue;
        }
        EXPECT_EQ(zconf_type_of_element(element.c_str()), static_cast<int32_t>(code));
        for (char &c : element)
            c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        EXPECT_EQ(zconf_type_of_element(element.c_str()), -1) << element;
    }
    EXPECT_EQ(unnamed, (std::vector<uint32_t>{7, 11}));
    EXPECT_FALSE(zconf_is_value_type(ZCONF_TYPE_KEY));
    for (const char *name : {"", "VALUE_", "VALUE_DWORD_", "KEYS"})
        EXPECT_EQ(zconf_type_of_element(name), -1) << name;
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
    EXPECT_EQ(read_document(), std::string(xml_declaration) +
                                   "<KEY name=\"ZCONF_ROOT\">\n\t<KEY name=\"K\">\n"
                                   "\t\t<VALUE_DWORD name=\"shown\">0x00000001</VALUE_DWORD>\n"
                                   "\t</KEY>\n</KEY>\n");
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

TEST(ValueText, NumbersReadUpToTheirLimitsAndNoFurther) {
    struct {
        std::string text;
        uint32_t bytes;
        bool ok;
        uint64_t value;
    } cases[] = {
        {"", 4, true, 0},
        {"0", 4, true, 0},
        {"0x1f", 4, true, 0x1F},
        {"0XFFFFFFFF", 4, true, 0xFFFFFFFFu},
        {"0x100000000", 4, false, 0},
        {"0x000000001", 4, true, 1},
        {"4294967295", 4, true, 0xFFFFFFFFu},
        {"4294967296", 4, false, 0},
        {"0x", 4, false, 0},
        {"1f", 4, false, 0},
        {"0xg", 4, false, 0},
        {" 1", 4, false, 0},
        {"18446744073709551615", 8, true, ~0ull},
        {"18446744073709551616", 8, false, 0},
        {"0xFFFFFFFFFFFFFFFF", 8, true, ~0ull},
        {"0x10000000000000000", 8, false, 0},
        {"0x00001000000000000000", 8, true, 1ull << 60},
    };
    for (const auto &c : cases) {
        uint64_t value = 12345;
        EXPECT_EQ(zconf_text_parse_number(c.text.data(), c.text.size(), c.bytes, &value), c.ok)
            << c.text;
        if (c.ok) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
    EXPECT_EQ(zconf_text_number_max(4), 10u);
    EXPECT_EQ(zconf_text_number_max(8), 20u);
}

// Every number type's data written as text reads back to the same bytes, and the _LE
// types show their bytes in storage order.
TEST(ValueText, NumberTypesWriteAndReadTheSameBytes) {
    const uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const std::pair<uint32_t, std::string> texts[] = {
        {ZCONF_VALUE_DWORD, "0x04030201"},
        {ZCONF_VALUE_DWORD_LE, "0x01020304"},
        {ZCONF_VALUE_DWORD_BE, "0x04030201"},
        {ZCONF_VALUE_QWORD, "0x0807060504030201"},
        {ZCONF_VALUE_QWORD_LE, "0x0102030405060708"},
        {ZCONF_VALUE_QWORD_BE, "0x0807060504030201"},
    };
    for (const auto &[code, text] : texts) {
        char out[32] = {};
        char *end = zconf_text_write_number(out, code, data);
        EXPECT_EQ(std::string(out, end), text) << code;
        EXPECT_EQ(zconf_text_number_len(code), text.size()) << code;
        uint8_t back[8] = {};
        ASSERT_TRUE(zconf_text_read_number(text.data(), text.size(), code, back)) << code;
        EXPECT_EQ(memcmp(back, data, zconf_type_number_bytes(code)), 0) << code;
    }
}

TEST(ValueText, HexadecimalDigitsAndPairs) {
    std::string digits;
    for (int c = 0; c < 256; c++)
        if (zconf_text_hex_value(static_cast<uint8_t>(c)) >= 0)
            digits += static_cast<char>(c);
    EXPECT_EQ(digits, "0123456789ABCDEFabcdef");
    EXPECT_EQ(zconf_text_hex_value('f'), 15);
    char pair[2];
    EXPECT_EQ(zconf_text_put_pair(pair, 0xA7), pair + 2);
    EXPECT_EQ(std::string(pair, 2), "A7");
    uint8_t byte = 0;
    EXPECT_FALSE(zconf_text_put_pair_digit(&byte, 0, 0xC));
    EXPECT_TRUE(zconf_text_put_pair_digit(&byte, 1, 0x3));
    EXPECT_EQ(byte, 0xC3);
}

} // namespace
