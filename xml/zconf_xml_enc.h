// XML encoder: turns one key or value of the tree into the text of one line of the
// configuration document, in a heap block of exactly its length plus a NUL.
#pragma once

#include "tree/zconf_int.h"

#include <cstdint>

enum : uint32_t {
    ZCONF_XML_TYPE_NAMES = 13,
    ZCONF_XML_KEY_ELEMENT = 12, // index of "KEY" in zconf_xml_value_type
};

// Element name of each type code; the codes 7 and 11 have none (empty string).
extern const char *const zconf_xml_value_type[ZCONF_XML_TYPE_NAMES];

// True for the type codes a value may carry: 0-6 and 8-10.
bool zconf_xml_is_value_type(uint32_t type);

int32_t __xml_char_len(uint8_t c);
int32_t __xml_string_len(const char *s);
int32_t __xml_multistring_len(const uint8_t *p, uint32_t n);
int32_t __xml_encode_string(const char *s, char *dst);
int32_t __xml_encode_multi_string(const uint8_t *p, uint32_t n, char *dst);
int32_t __xml_encode_binary_data(const uint8_t *p, uint32_t n, char *dst);

// Each stores a new block (freed with zconf_heap_free) through piece and returns its
// length, or stores NULL and returns 0 when the heap refuses the block.
int32_t __xml_encode_value(int32_t level, const zconf_value *value, char **piece);
int32_t __xml_encode_key_open(int32_t level, const zconf_key *key, char **piece);
int32_t __xml_encode_key_close(int32_t level, const zconf_key *key, char **piece);

uint32_t __xml_swap_dword_endian(uint32_t w);
uint64_t __xml_swap_qword_endian(uint64_t q);
