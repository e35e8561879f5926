// The document text of the tree: the lines of keys and values, the escaping of names and
// strings, the integer byte orders, and text that reads back into the same text.
#include "xml/zconf_xml_enc.h"
#include "xml_test_support.h"
#include "zconf_test_support.h"

#include <cstring>

namespace {

using namespace std::string_literals;

// The text of an encoded line; checks that the block ends with a NUL right after the
// returned length, then frees it.
std::string take(int32_t len, char *piece) {
    EXPECT_NE(piece, nullptr);
    if (piece == nullptr)
        return "";
    EXPECT_EQ(strlen(piece), static_cast<size_t>(len));
    std::string text(piece, static_cast<size_t>(len));
    zconf_heap_free(piece);
    return text;
}

std::string value_line(int32_t level, uint32_t type, const std::string &name,
                       const std::string &data) {
    zconf_value *v = __zconf_create_value(name.c_str(), type, data.data(), data.size());
    char *piece = nullptr;
    int32_t len = __xml_encode_value(level, v, &piece);
    zconf_mem_free(v);
    return take(len, piece);
}

// The escaped form of one byte, as the document writes it in names and strings.
std::string escaped(uint8_t c) {
    char hex[8];
    snprintf(hex, sizeof hex, "&#x%02X;", c);
    switch (c) {
    case '"':
        return "&quot;";
    case '&':
        return "&amp;";
    case '<':
        return "&lt;";
    case '>':
        return "&gt;";
    default:
        return c < 0x20 ? hex : std::string(1, static_cast<char>(c));
    }
}

TEST_F(Store, WorkedExampleIsWrittenLineByLine) {
    ZConfKeyHandle net, dns, temp, inner;
    uint32_t disposition;
    ASSERT_EQ(ZConfCreateKey(ZCONF_HKEY_ROOT, "Network", &net), 0);
    ASSERT_EQ(ZConfCreateKeyEx(ZCONF_HKEY_ROOT, "Temp", 1, &disposition, &temp), 0);
    ASSERT_EQ(ZConfCreateKey(temp, "Inner", &inner), 0);
    ASSERT_EQ(set_dword(temp, "Hidden", 1), 0);
    ASSERT_EQ(ZConfSetValueEx(net, "Label", ZCONF_VALUE_SZ, "R&D <lab>", 10), 0);
    ASSERT_EQ(ZConfSetValueEx(net, "Port", ZCONF_VALUE_DWORD, "\x90\x1F\0\0", 4), 0);
    ASSERT_EQ(ZConfSetValueEx(net, "Mac", ZCONF_VALUE_BINARY, "\0\x1A\x2B\x3C\x4D\x5E", 6), 0);
    ASSERT_EQ(ZConfCreateKey(net, "Dns", &dns), 0);
    ASSERT_EQ(ZConfSetValueEx(dns, "Servers", ZCONF_VALUE_MULTI_SZ, "a\0b\0\0", 5), 0);
    auto document = [](const char *port) {
        return ZCONF_TEST_DECLARATION
               "<KEY name=\"ZCONF_ROOT\">\n"
               "\t<KEY name=\"Network\">\n"
               "\t\t<VALUE_SZ name=\"Label\">R&amp;D &lt;lab&gt;</VALUE_SZ>\n"s +
               port +
               "\t\t<VALUE_BINARY name=\"Mac\">001A2B3C4D5E</VALUE_BINARY>\n"
               "\t\t<KEY name=\"Dns\">\n"
               "\t\t\t<VALUE_MULTI_SZ name=\"Servers\">a&#x00;b&#x00;&#x00;</VALUE_MULTI_SZ>\n"
               "\t\t</KEY>\n"
               "\t</KEY>\n"
               "</KEY>\n";
    };
    EXPECT_EQ(read_document(),
              document("\t\t<VALUE_DWORD name=\"Port\">0x00001F90</VALUE_DWORD>\n"));
    ASSERT_EQ(ZConfSetValueEx(net, "Port", ZCONF_VALUE_DWORD_LE, "\x90\x1F\0\0", 4), 0);
    EXPECT_EQ(read_document(),
              document("\t\t<VALUE_DWORD_LE name=\"Port\">0x901F0000</VALUE_DWORD_LE>\n"));
    ASSERT_EQ(ZConfSetValueEx(net, "Port", ZCONF_VALUE_DWORD_BE, "\x90\x1F\0\0", 4), 0);
    EXPECT_EQ(read_document(),
              document("\t\t<VALUE_DWORD_BE name=\"Port\">0x00001F90</VALUE_DWORD_BE>\n"));
    EXPECT_EQ(ZConfCloseKey(net), 0);
}

TEST_F(Store, KeyLinesCarryTabsAndTheEscapedName) {
    struct {
        const char *name;
        int volatileKey;
        int32_t level;
        std::string open;
    } cases[] = {
        {"ZCONF_ROOT", 0, 0, "<KEY name=\"ZCONF_ROOT\">\n"},
        {"\"&\n", 0, 2, "\t\t<KEY name=\"&quot;&amp;&#x0A;\">\n"},
        {"", 0, 1, "\t<KEY name=\"\">\n"},
        {"it's \xE9", 1, 0, "<KEY name=\"it's \xE9\">\n"},
    };
    for (const auto &c : cases) {
        zconf_key *key = __zconf_create_key(c.name, c.volatileKey);
        char *piece = nullptr;
        int32_t len = __xml_encode_key_open(c.level, key, &piece);
        EXPECT_EQ(take(len, piece), c.open);
        len = __xml_encode_key_close(3, key, &piece);
        EXPECT_EQ(take(len, piece), "\t\t\t</KEY>\n");
        zconf_mem_free(key);
    }
    zconf_key *root = __zconf_create_key("ZCONF_ROOT", 0);
    char *piece = nullptr;
    EXPECT_EQ(__xml_encode_key_open(0, root, &piece), 24);
    zconf_heap_free(piece);
    EXPECT_EQ(__xml_encode_key_close(3, root, &piece), 10);
    zconf_heap_free(piece);
    zconf_mem_free(root);
}

TEST(Escaping, EveryByteMeasuresAsItIsWritten) {
    std::string all, all_but_nul;
    for (int c = 0; c < 256; c++) {
        const auto byte = static_cast<uint8_t>(c);
        const std::string want = escaped(byte);
        char dst[8] = {};
        EXPECT_EQ(__xml_char_len(byte), static_cast<int32_t>(want.size())) << c;
        EXPECT_EQ(__xml_encode_multi_string(&byte, 1, dst), static_cast<int32_t>(want.size()));
        EXPECT_EQ(std::string(dst, want.size()), want) << c;
        all += want;
        if (c != 0)
            all_but_nul += want;
    }
    std::string bytes(256, '\0');
    for (int c = 0; c < 256; c++)
        bytes[c] = static_cast<char>(c);
    const auto *raw = reinterpret_cast<const uint8_t *>(bytes.data());
    std::string out(all.size() + 1, '\0');
    EXPECT_EQ(__xml_multistring_len(raw, 256), static_cast<int32_t>(all.size()));
    EXPECT_EQ(__xml_encode_multi_string(raw, 256, out.data()), static_cast<int32_t>(all.size()));
    EXPECT_EQ(out.substr(0, all.size()), all);
    // A string stops at its first NUL: bytes 1..255, then a NUL, then more that never show.
    std::string s = bytes.substr(1) + '\0' + "hidden";
    out.assign(all.size() + 1, '\0');
    EXPECT_EQ(__xml_string_len(s.c_str()), static_cast<int32_t>(all_but_nul.size()));
    EXPECT_EQ(__xml_encode_string(s.c_str(), out.data()), static_cast<int32_t>(all_but_nul.size()));
    EXPECT_EQ(out.substr(0, all_but_nul.size()), all_but_nul);
    EXPECT_EQ(__xml_string_len("\"&\n"), 17);
    char hex[16] = {};
    EXPECT_EQ(__xml_encode_binary_data(reinterpret_cast<const uint8_t *>("\0\x1A\xFF\xab"), 4, hex),
              8);
    EXPECT_EQ(std::string(hex, 8), "001AFFAB");
}

TEST_F(Store, ValueLinesOfEveryType) {
    const std::string nuls(4000, '\0'), escaped_nuls = [&] {
        std::string s;
        for (size_t i = 0; i < nuls.size(); i++)
            s += "&#x00;";
        return s;
    }();
    struct {
        int32_t level;
        uint32_t type;
        std::string name, data, line;
    } cases[] = {
        {1, ZCONF_VALUE_NONE, "a", "", "\t<VALUE_NONE name=\"a\"></VALUE_NONE>\n"},
        {0, ZCONF_VALUE_BINARY, "", "\x7F\0\xC8"s,
         "<VALUE_BINARY name=\"\">7F00C8</VALUE_BINARY>\n"},
        {0, ZCONF_VALUE_SZ, "s", "ab\0<d\0"s, "<VALUE_SZ name=\"s\">ab</VALUE_SZ>\n"},
        {2, ZCONF_VALUE_SZ, "t", "\t\n'\0"s, "\t\t<VALUE_SZ name=\"t\">&#x09;&#x0A;'</VALUE_SZ>\n"},
        {0, ZCONF_VALUE_MULTI_SZ, "m", nuls,
         "<VALUE_MULTI_SZ name=\"m\">" + escaped_nuls + "</VALUE_MULTI_SZ>\n"},
        {0, ZCONF_VALUE_MULTI_SZ, "", std::string(4079, '\0'),
         "<VALUE_MULTI_SZ name=\"\">" + escaped_nuls + escaped_nuls.substr(0, 79 * 6) +
             "</VALUE_MULTI_SZ>\n"},
        {0, ZCONF_VALUE_DWORD_LE, "", "\1\2\3\4",
         "<VALUE_DWORD_LE name=\"\">0x01020304</VALUE_DWORD_LE>\n"},
        {0, ZCONF_VALUE_DWORD, "d", "\1\2\3\4",
         "<VALUE_DWORD name=\"d\">0x04030201</VALUE_DWORD>\n"},
        {0, ZCONF_VALUE_DWORD_BE, "dd", "\1\2\3\4",
         "<VALUE_DWORD_BE name=\"dd\">0x04030201</VALUE_DWORD_BE>\n"},
        {0, ZCONF_VALUE_DWORD, "z", "\0\0\0\0"s,
         "<VALUE_DWORD name=\"z\">0x00000000</VALUE_DWORD>\n"},
        {0, ZCONF_VALUE_QWORD_LE, "q", "\1\2\3\4\5\6\7\x08",
         "<VALUE_QWORD_LE name=\"q\">0x0102030405060708</VALUE_QWORD_LE>\n"},
        {0, ZCONF_VALUE_QWORD, "qqq", "\1\2\3\4\5\6\7\x08",
         "<VALUE_QWORD name=\"qqq\">0x0807060504030201</VALUE_QWORD>\n"},
        {1, ZCONF_VALUE_QWORD_BE, "", "\1\2\3\4\5\6\7\x08",
         "\t<VALUE_QWORD_BE name=\"\">0x0807060504030201</VALUE_QWORD_BE>\n"},
        {0, ZCONF_VALUE_QWORD, "f", std::string(8, '\xFF'),
         "<VALUE_QWORD name=\"f\">0xFFFFFFFFFFFFFFFF</VALUE_QWORD>\n"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(value_line(c.level, c.type, c.name, c.data), c.line) << c.type << " " << c.name;
}

TEST_F(Store, NoLineWithoutATypeNameOrWithoutMemory) {
    for (uint32_t type : {7u, 11u, 12u, 15u}) {
        zconf_value *v = __zconf_create_value("v", type, "\1\2\3\4", 4);
        char *piece = nullptr;
        zconf_mem_fail_countdown = 0; // an allocation attempt would use up the seam
        EXPECT_EQ(__xml_encode_value(0, v, &piece), 0) << type;
        EXPECT_EQ(zconf_mem_fail_countdown, 0) << "no block is even asked for";
        EXPECT_EQ(piece, nullptr);
        zconf_mem_fail_countdown = -1;
        zconf_mem_free(v);
    }
    zconf_value *v = __zconf_create_value("v", ZCONF_VALUE_SZ, "x", 2);
    zconf_key *k = __zconf_create_key("k", 0);
    char dummy, *piece = &dummy;
    zconf_mem_fail_countdown = 0;
    EXPECT_EQ(__xml_encode_value(0, v, &piece), 0);
    EXPECT_EQ(piece, nullptr);
    piece = &dummy, zconf_mem_fail_countdown = 0;
    EXPECT_EQ(__xml_encode_key_open(0, k, &piece), 0);
    EXPECT_EQ(piece, nullptr);
    piece = &dummy, zconf_mem_fail_countdown = 0;
    EXPECT_EQ(__xml_encode_key_close(2, k, &piece), 0);
    EXPECT_EQ(piece, nullptr);
    zconf_mem_free(v);
    zconf_mem_free(k);
}

TEST(Swaps, ReverseTheBytes) {
    const std::pair<uint32_t, uint32_t> dwords[] = {
        {0x01020304u, 0x04030201u}, {0u, 0u}, {0xFF000000u, 0xFFu}, {0x80u, 0x80000000u}};
    for (auto [in, out] : dwords)
        EXPECT_EQ(__xml_swap_dword_endian(in), out);
    const std::pair<uint64_t, uint64_t> qwords[] = {{0x0102030405060708ull, 0x0807060504030201ull},
                                                    {0xFFull, 0xFF00000000000000ull},
                                                    {0x8000000000000001ull, 0x0100000000000080ull}};
    for (auto [in, out] : qwords)
        EXPECT_EQ(__xml_swap_qword_endian(in), out);
}

zconf_key *add_key(zconf_key *parent, const std::string &name, int volatileKey = 0) {
    zconf_key *k = __zconf_create_key(name.c_str(), volatileKey);
    __zconf_add_subkey(parent, k);
    return k;
}

void add_value(zconf_key *key, const std::string &name, uint32_t type, const std::string &data) {
    zconf_value *v = __zconf_create_value(name.c_str(), type, data.data(), data.size());
    ASSERT_NE(v, nullptr) << name.size() << " + " << data.size();
    __zconf_add_value(key, v);
}

TEST_F(Store, TextReadBackIsWrittenAgainUnchanged) {
    std::string marked; // every byte that is escaped, or that is easy to get wrong
    for (int c = 1; c < 0x20; c++)
        marked += static_cast<char>(c);
    marked += "\"&<>'\x7F";
    for (int c = 0x80; c < 0x100; c++)
        marked += static_cast<char>(c);
    const std::string long_name = (marked + marked).substr(0, 255);
    std::string cycle; // 3824 bytes of every value, NULs included, ending in NUL
    for (int i = 0; i < 3823; i++)
        cycle += static_cast<char>(i % 256);
    cycle += '\0';
    std::string text(4077, 'x');
    for (size_t i = 0; i < text.size(); i++)
        text[i] = static_cast<char>(1 + i % 255);

    zconf_key *k = add_key(ZCONF_ROOT, "Types");
    add_value(k, "none", ZCONF_VALUE_NONE, "");
    add_value(k, "bin", ZCONF_VALUE_BINARY, "\0\x1A\xFF\x80"s);
    add_value(k, "sz", ZCONF_VALUE_SZ, " \t lead and trail\r\n \0"s);
    add_value(k, "cut", ZCONF_VALUE_SZ, "kept\0gone\0"s);
    add_value(k, "multi", ZCONF_VALUE_MULTI_SZ, "a\0b\0\0"s);
    for (uint32_t t : {ZCONF_VALUE_DWORD, ZCONF_VALUE_DWORD_LE, ZCONF_VALUE_DWORD_BE})
        add_value(k, std::string("d").append(std::to_string(t)), t, "\xFE\xDC\x00\x98"s);
    for (uint32_t t : {ZCONF_VALUE_QWORD, ZCONF_VALUE_QWORD_LE, ZCONF_VALUE_QWORD_BE})
        add_value(k, std::string("q").append(std::to_string(t)), t,
                  "\x01\x00\xFF\x7F\x80\x02\x03\xFE"s);
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
    while (!zconf_list_empty(&ZCONF_ROOT->subkeys))
        __zconf_del_tree(zconf_key_of(ZCONF_ROOT->subkeys.next));
    EXPECT_EQ(write_document(first), 0);
    EXPECT_EQ(read_document(), first);
}

} // namespace
