// Value text: numbers, hexadecimal digits and digit pairs, and the _LE byte reversal.
#include "xml/zconf_value_text.h"

#include <cassert>
#include <cstring>

namespace {

constexpr char hex_digits[] = "0123456789ABCDEF";

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

} // namespace

int zconf_text_hex_value(uint8_t c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

char *zconf_text_put_pair(char *dst, uint8_t byte) {
    *dst++ = hex_digits[byte >> 4];
    *dst++ = hex_digits[byte & 0xF];
    return dst;
}

bool zconf_text_put_pair_digit(uint8_t *byte, uint32_t digits_before, int digit) {
    assert(digit >= 0 && digit < 16);
    if (digits_before % 2 == 0) {
        *byte = static_cast<uint8_t>(digit * 16);
        return false;
    }
    *byte = static_cast<uint8_t>(*byte + digit);
    return true;
}

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
