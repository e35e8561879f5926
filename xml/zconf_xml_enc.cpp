#include "xml/zconf_xml_enc.h"

#include "dovizuz.h"
#include "tree/zconf_mem.h"

#include <cstring>

const char *const zconf_xml_value_type[ZCONF_XML_TYPE_NAMES] = {
    "VALUE_NONE",  "VALUE_BINARY",   "VALUE_SZ",       "VALUE_MULTI_SZ",
    "VALUE_DWORD", "VALUE_DWORD_LE", "VALUE_DWORD_BE", "",
    "VALUE_QWORD", "VALUE_QWORD_LE", "VALUE_QWORD_BE", "",
    "KEY",
};

namespace {

constexpr char hex_digits[] = "0123456789ABCDEF";

// Characters of each byte's escaped form: control bytes and the double quote take 6
// ("&#x09;", "&quot;"), the ampersand 5, less-than and greater-than 4, all others 1.
struct escape_table {
    uint8_t len[256];
    constexpr escape_table() : len() {
        for (int c = 0; c < 256; c++)
            len[c] = 1;
        for (int c = 0; c < 0x20; c++)
            len[c] = 6;
        len[uint8_t{'"'}] = 6;
        len[uint8_t{'&'}] = 5;
        len[uint8_t{'<'}] = len[uint8_t{'>'}] = 4;
    }
};
constexpr escape_table escaped_len;

bool is_dword_type(uint32_t type) { return type >= 4 && type <= 6; }

char *put(char *dst, const char *text, size_t n) {
    memcpy(dst, text, n);
    return dst + n;
}

char *put_tabs(char *dst, int32_t level) {
    for (int32_t i = 0; i < level; i++)
        *dst++ = '\t';
    return dst;
}

// "0x" and the word in `digits` uppercase hexadecimal digits, most significant first.
char *put_hex_word(char *dst, uint64_t word, int digits) {
    *dst++ = '0';
    *dst++ = 'x';
    for (int i = digits - 1; i >= 0; i--)
        *dst++ = hex_digits[(word >> (4 * i)) & 0xF];
    return dst;
}

// The escaped form of one byte; returns the position after it.
char *put_escaped(char *dst, uint8_t c) {
    switch (escaped_len.len[c]) {
    case 1:
        *dst = static_cast<char>(c);
        return dst + 1;
    case 5:
        return put(dst, "&amp;", 5);
    case 4:
        return put(dst, c == '<' ? "&lt;" : "&gt;", 4);
    default:
        if (c == '"')
            return put(dst, "&quot;", 6);
        dst = put(dst, "&#x", 3);
        *dst++ = hex_digits[c >> 4];
        *dst++ = hex_digits[c & 0xF];
        *dst++ = ';';
        return dst;
    }
}

int32_t data_text_len(uint32_t type, const uint8_t *data, uint32_t n) {
    switch (type) {
    case ZCONF_VALUE_NONE:
        return 0;
    case ZCONF_VALUE_BINARY:
        return static_cast<int32_t>(2 * n);
    case ZCONF_VALUE_SZ:
        return __xml_string_len(reinterpret_cast<const char *>(data));
    case ZCONF_VALUE_MULTI_SZ:
        return __xml_multistring_len(data, n);
    default:
        return is_dword_type(type) ? 10 : 18;
    }
}

char *put_data_text(char *dst, uint32_t type, const uint8_t *data, uint32_t n) {
    uint32_t dword;
    uint64_t qword;
    switch (type) {
    case ZCONF_VALUE_NONE:
        return dst;
    case ZCONF_VALUE_BINARY:
        return dst + __xml_encode_binary_data(data, n, dst);
    case ZCONF_VALUE_SZ:
        return dst + __xml_encode_string(reinterpret_cast<const char *>(data), dst);
    case ZCONF_VALUE_MULTI_SZ:
        return dst + __xml_encode_multi_string(data, n, dst);
    default:
        break;
    }
    if (is_dword_type(type)) {
        memcpy(&dword, data, sizeof dword);
        return put_hex_word(
            dst, type == ZCONF_VALUE_DWORD_LE ? __xml_swap_dword_endian(dword) : dword, 8);
    }
    memcpy(&qword, data, sizeof qword);
    return put_hex_word(dst, type == ZCONF_VALUE_QWORD_LE ? __xml_swap_qword_endian(qword) : qword,
                        16);
}

// A block of `size` bytes for a line, or NULL stored through piece.
char *new_piece(size_t size, char **piece) {
    *piece = static_cast<char *>(zconf_heap_alloc(size));
    return *piece;
}

} // namespace

bool zconf_xml_is_value_type(uint32_t type) { return type <= 10 && type != 7; }

int32_t __xml_char_len(uint8_t c) { return escaped_len.len[c]; }

int32_t __xml_string_len(const char *s) {
    int32_t n = 0;
    for (; *s != 0; s++)
        n += __xml_char_len(static_cast<uint8_t>(*s));
    return n;
}

int32_t __xml_multistring_len(const uint8_t *p, uint32_t n) {
    int32_t len = 0;
    for (uint32_t i = 0; i < n; i++)
        len += __xml_char_len(p[i]);
    return len;
}

int32_t __xml_encode_string(const char *s, char *dst) {
    char *out = dst;
    for (; *s != 0; s++)
        out = put_escaped(out, static_cast<uint8_t>(*s));
    return static_cast<int32_t>(out - dst);
}

int32_t __xml_encode_multi_string(const uint8_t *p, uint32_t n, char *dst) {
    char *out = dst;
    for (uint32_t i = 0; i < n; i++)
        out = put_escaped(out, p[i]);
    return static_cast<int32_t>(out - dst);
}

int32_t __xml_encode_binary_data(const uint8_t *p, uint32_t n, char *dst) {
    for (uint32_t i = 0; i < n; i++) {
        *dst++ = hex_digits[p[i] >> 4];
        *dst++ = hex_digits[p[i] & 0xF];
    }
    return static_cast<int32_t>(2 * n);
}

int32_t __xml_encode_value(int32_t level, const zconf_value *value, char **piece) {
    uint32_t type = zconf_value_type(value);
    uint32_t n = zconf_value_len(value);
    *piece = nullptr;
    if (!zconf_xml_is_value_type(type))
        return 0;
    const char *element = zconf_xml_value_type[type];
    size_t e = strlen(element);
    const uint8_t *data = zconf_value_data(value);
    size_t size = level + 2 * e + __xml_string_len(value->name) + data_text_len(type, data, n) + 15;
    char *out = new_piece(size, piece);
    if (out == nullptr)
        return 0;
    out = put_tabs(out, level);
    *out++ = '<';
    out = put(out, element, e);
    out = put(out, " name=\"", 7);
    out += __xml_encode_string(value->name, out);
    out = put(out, "\">", 2);
    out = put_data_text(out, type, data, n);
    out = put(out, "</", 2);
    out = put(out, element, e);
    out = put(out, ">\n", 3); // with the terminating NUL
    return static_cast<int32_t>(size - 1);
}

int32_t __xml_encode_key_open(int32_t level, const zconf_key *key, char **piece) {
    size_t size = level + __xml_string_len(key->name) + 15;
    char *out = new_piece(size, piece);
    if (out == nullptr)
        return 0;
    out = put_tabs(out, level);
    out = put(out, "<KEY name=\"", 11);
    out += __xml_encode_string(key->name, out);
    put(out, "\">\n", 4);
    return static_cast<int32_t>(size - 1);
}

int32_t __xml_encode_key_close(int32_t level, const zconf_key * /*key*/, char **piece) {
    char *out = new_piece(level + 8, piece);
    if (out == nullptr)
        return 0;
    put(put_tabs(out, level), "</KEY>\n", 8);
    return level + 7;
}

uint32_t __xml_swap_dword_endian(uint32_t w) {
    uint32_t r = 0;
    for (int i = 0; i < 4; i++, w >>= 8)
        r = (r << 8) + (w & 0xFF);
    return r;
}

uint64_t __xml_swap_qword_endian(uint64_t q) {
    uint64_t r = 0;
    for (int i = 0; i < 8; i++, q >>= 8)
        r = (r << 8) + (q & 0xFF);
    return r;
}
