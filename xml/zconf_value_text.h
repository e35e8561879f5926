// Value text: the forms the document gives a value's data, shared by the encoder, the
// decoder and anything else that reads or writes them: numbers ("0x" and hexadecimal
// digits, or decimal), hexadecimal digits and the digit pairs of binary data, and the
// byte reversal of the _LE number types.
#pragma once

#include "tree/zconf_types.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

enum : uint32_t {
    ZCONF_TEXT_NUMBER32_MAX = 10, // longest text of a 32-bit number: "0xFFFFFFFF", "4294967295"
    ZCONF_TEXT_NUMBER64_MAX = 20, // longest text of a 64-bit number: 20 decimal digits
};

// The hexadecimal digits: the two uppercase ones written for each byte (those of byte b
// at 2b), the value of each byte read (-1 for a byte that is no digit). Tables, so the
// codec's loops cost no call per byte.
struct zconf_hex_table {
    int8_t value[256];
};
struct zconf_hex_pairs {
    char text[512];
};
extern const zconf_hex_pairs zconf_text_hex_pairs;
extern const zconf_hex_table zconf_text_hex_values;

// The value 0..15 of a hexadecimal digit in either case, or -1 for any other byte.
inline int zconf_text_hex_value(uint8_t c) { return zconf_text_hex_values.value[c]; }

// Writes the byte as two uppercase hexadecimal digits; returns the position after them.
inline char *zconf_text_put_pair(char *dst, uint8_t byte) {
    memcpy(dst, zconf_text_hex_pairs.text + 2 * byte, 2);
    return dst + 2;
}

// Puts one digit (0..15) of binary data written as digit pairs into its byte: after an
// even count of digits it is a byte's high half, else its low half. Returns true when
// the byte is complete.
inline bool zconf_text_put_pair_digit(uint8_t *byte, uint32_t digits_before, int digit) {
    if (digits_before % 2 == 0) {
        *byte = static_cast<uint8_t>(digit * 16);
        return false;
    }
    *byte = static_cast<uint8_t>(*byte + digit);
    return true;
}

// Longest number text of a 4- or 8-byte number.
uint32_t zconf_text_number_max(uint32_t bytes);

// Reads the n bytes at t as an unsigned number of 4 or 8 bytes: "0x" or "0X" and
// hexadecimal digits when t has at least 3 bytes and begins so, else decimal digits;
// empty text is 0. False for any other byte or a number that does not fit. The text's
// length limit (zconf_text_number_max) is the caller's to check.
bool zconf_text_parse_number(const char *t, size_t n, uint32_t bytes, uint64_t *value);

// Reads number text as the data of a number type (zconf_type_number_bytes bytes stored
// at data, in the type's byte order). False when the text is not a number that fits.
bool zconf_text_read_number(const char *t, size_t n, uint32_t code, uint8_t *data);

// Characters of the text of a number type's value: "0x" and two digits a byte.
uint32_t zconf_text_number_len(uint32_t code);

// Writes the text of a number type's data (zconf_text_number_len characters, no NUL);
// returns the position after it.
char *zconf_text_write_number(char *dst, uint32_t code, const uint8_t *data);

// The word with its 4 bytes in reverse order.
uint32_t __xml_swap_dword_endian(uint32_t w);
// The word with its 8 bytes in reverse order.
uint64_t __xml_swap_qword_endian(uint64_t q);
