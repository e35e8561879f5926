// Value types: one table row per type code (0..12) giving the element name the document
// uses for it, the data size a value of the type must have, its text form in the document
// and the byte order of its number. Every module asks this table about type codes.
#pragma once

#include <cstdint>

// The data size a value of a type must have; codes that name no value type have none.
enum zconf_size_rule : uint8_t {
    ZCONF_SIZE_NO_VALUE, // no value carries the code: setting it is refused
    ZCONF_SIZE_ZERO,
    ZCONF_SIZE_NONZERO,
    ZCONF_SIZE_4,
    ZCONF_SIZE_8,
};

// How a value's data is written between its element's tags.
enum zconf_text_form : uint8_t {
    ZCONF_TEXT_NONE,        // nothing (also the form of codes that name no value type)
    ZCONF_TEXT_BYTES,       // every byte as two hexadecimal digits
    ZCONF_TEXT_STRING,      // the escaped bytes before the first NUL
    ZCONF_TEXT_STRING_LIST, // every byte escaped, NULs included
    ZCONF_TEXT_NUMBER32,    // "0x" and 8 hexadecimal digits of the 32-bit word
    ZCONF_TEXT_NUMBER64,    // "0x" and 16 hexadecimal digits of the 64-bit word
};

// Byte order a number type's name declares. The data of the plain and the _BE types
// holds the word in processor order; the _LE types hold it with its bytes reversed.
enum zconf_byte_order : uint8_t {
    ZCONF_ORDER_NONE, // not a number
    ZCONF_ORDER_PROCESSOR,
    ZCONF_ORDER_LITTLE,
    ZCONF_ORDER_BIG,
};

struct zconf_type_row {
    const char *element; // the document's element name; "" where the code names nothing
    zconf_size_rule size;
    zconf_text_form text;
    zconf_byte_order order;
};

enum : uint32_t {
    ZCONF_TYPE_CODES = 13, // rows of the table, indexed by type code
    ZCONF_TYPE_KEY = 12,   // the code of the key element, never a value type
};

// The rows of the type codes 0..12.
extern const zconf_type_row zconf_types[ZCONF_TYPE_CODES];

// The row answered for codes past the table: a code that names nothing.
extern const zconf_type_row zconf_no_type;

// The row of a type code; codes past the table get the row of a code that names nothing.
// Inline, as the codec asks it for every element.
inline const zconf_type_row &zconf_type(uint32_t code) {
    return code < ZCONF_TYPE_CODES ? zconf_types[code] : zconf_no_type;
}

// True for the codes a value may carry (0-6 and 8-10): those with a size rule.
inline bool zconf_is_value_type(uint32_t code) {
    return zconf_type(code).size != ZCONF_SIZE_NO_VALUE;
}

// True when the two NUL-terminated texts hold the same bytes. Inline: the names of the
// document's markup are short, and a library call would cost more than comparing them.
inline bool zconf_same_text(const char *a, const char *b) {
    for (; *a == *b; a++, b++)
        if (*a == 0)
            return true;
    return false;
}

// True when `size` bytes suit a value of the code; false for codes of no value type.
bool zconf_type_size_matches(uint32_t code, uint32_t size);

// True for the types whose stored data ends in NUL (the string and the string list).
bool zconf_type_is_string(uint32_t code);

// Bytes of a number type's data (4 or 8); 0 for every other code.
uint32_t zconf_type_number_bytes(uint32_t code);

// The code whose element name is exactly `name` (letter case counts), or -1. An empty
// name matches nothing: the codes without a type (7 and 11) have no element.
int32_t zconf_type_of_element(const char *name);
