// Value text: numbers, hexadecimal digits and digit pairs, and the _LE byte reversal.
#include "xml/zconf_value_text.h"

#include <cassert>
#include <cstring>

namespace {

constexpr char number_prefix[] = "0x";
constexpr uint32_t number_prefix_len = sizeof number_prefix - 1;

bool has_hex_prefix(const char *t, size_t n) {
    return n > number_prefix_len && t[0] == '0' && (t[1] == 'x' || t[1] == 'X');
}

// Hexadecimal digits after the prefix, most significant first; a digit that would push
// bits out of the number refuses it.
bool parse_hex(const char *t, size_t n, uint32_t bits, uint64_t *value) {
    uint64_t v = 0;
    for (size_t i = number_prefix_len; i < n; i++) {
        int digit = zconf_text_hex_value(static_cast<uint8_t>(t[i]));
        if (digit < 0 || (v >> (bits - 4)) != 0)
            return false;
        v = v * 16 + static_cast<uint64_t>(digit);
    }
    *value = v;
    return true;
}

bool parse_decimal(const char *t, size_t n, uint32_t bits, uint64_t *value) {
    const uint64_t max = bits == 64 ? ~0ull : (1ull << bits) - 1;
    uint64_t v = 0;
    for (size_t i = 0; i < n; i++) {
        if (t[i] < '0' || t[i] > '9')
            return false;
        auto digit = static_cast<uint64_t>(t[i] - '0');
        if (v > (max - digit) / 10)
            return false;
        v = v * 10 + digit;
    }
    *value = v;
    return true;
}

// The number a type's data holds as the word its bytes form in processor order, or that
// word as the number: the _LE types reverse the bytes, the others leave them.
uint64_t order_word(uint32_t code, uint64_t word) {
    if (zconf_type(code).order != ZCONF_ORDER_LITTLE)
        return word;
    if (zconf_type_number_bytes(code) == sizeof(uint32_t))
        return __xml_swap_dword_endian(static_cast<uint32_t>(word));
    return __xml_swap_qword_endian(word);
}

constexpr zconf_hex_pairs make_hex_pairs() {
    constexpr char digits[] = "0123456789ABCDEF";
    zconf_hex_pairs pairs{};
    for (int b = 0; b < 256; b++) {
        pairs.text[2 * b] = digits[b >> 4];
        pairs.text[2 * b + 1] = digits[b & 0xF];
    }
    return pairs;
}

constexpr zconf_hex_table make_hex_table() {
    zconf_hex_table table{};
    for (int c = 0; c < 256; c++)
        table.value[c] = c >= '0' && c <= '9'   ? static_cast<int8_t>(c - '0')
                         : c >= 'A' && c <= 'F' ? static_cast<int8_t>(c - 'A' + 10)
                         : c >= 'a' && c <= 'f' ? static_cast<int8_t>(c - 'a' + 10)
                                                : int8_t{-1};
    return table;
}

} // namespace

const zconf_hex_pairs zconf_text_hex_pairs = make_hex_pairs();
const zconf_hex_table zconf_text_hex_values = make_hex_table();

uint32_t zconf_text_number_max(uint32_t bytes) {
    return bytes == sizeof(uint32_t) ? ZCONF_TEXT_NUMBER32_MAX : ZCONF_TEXT_NUMBER64_MAX;
}

bool zconf_text_parse_number(const char *t, size_t n, uint32_t bytes, uint64_t *value) {
    assert(bytes == sizeof(uint32_t) || bytes == sizeof(uint64_t));
    uint32_t bits = 8 * bytes;
    return has_hex_prefix(t, n) ? parse_hex(t, n, bits, value) : parse_decimal(t, n, bits, value);
}

bool zconf_text_read_number(const char *t, size_t n, uint32_t code, uint8_t *data) {
    uint32_t bytes = zconf_type_number_bytes(code);
    uint64_t number;
    if (!zconf_text_parse_number(t, n, bytes, &number))
        return false;
    number = order_word(code, number);
    if (bytes == sizeof(uint32_t)) {
        auto word = static_cast<uint32_t>(number);
        memcpy(data, &word, sizeof word);
    } else {
        memcpy(data, &number, sizeof number);
    }
    return true;
}

uint32_t zconf_text_number_len(uint32_t code) {
    return number_prefix_len + 2 * zconf_type_number_bytes(code);
}

char *zconf_text_write_number(char *dst, uint32_t code, const uint8_t *data) {
    uint32_t bytes = zconf_type_number_bytes(code);
    assert(bytes == sizeof(uint32_t) || bytes == sizeof(uint64_t));
    uint64_t word;
    if (bytes == sizeof(uint32_t)) {
        uint32_t dword;
        memcpy(&dword, data, sizeof dword);
        word = dword;
    } else {
        memcpy(&word, data, sizeof word);
    }
    word = order_word(code, word);
    memcpy(dst, number_prefix, number_prefix_len);
    dst += number_prefix_len;
    for (int shift = 8 * static_cast<int>(bytes) - 8; shift >= 0; shift -= 8)
        dst = zconf_text_put_pair(dst, static_cast<uint8_t>(word >> shift));
    return dst;
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
