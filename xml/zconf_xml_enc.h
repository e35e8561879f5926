// XML encoder: turns one key or value of the tree into the text of one line of the
// configuration document, in a heap block of exactly its length plus a NUL.
#pragma once

#include "tree/zconf_int.h"
#include "xml/zconf_value_text.h"

#include <cstdint>

// Characters of the byte's escaped form: 6, 5, 4 or 1.
int32_t __xml_char_len(uint8_t c);
// Characters of the escaped form of the bytes before the NUL.
int32_t __xml_string_len(const char *s);
// Characters of the escaped form of all n bytes, NULs included.
int32_t __xml_multistring_len(const uint8_t *p, uint32_t n);
// Writes the bytes before the NUL escaped (no NUL); returns the characters written.
int32_t __xml_encode_string(const char *s, char *dst);
// Writes all n bytes escaped, each NUL as "&#x00;"; returns the characters written.
int32_t __xml_encode_multi_string(const uint8_t *p, uint32_t n, char *dst);
// Writes each byte as two uppercase hexadecimal digits; returns 2n.
int32_t __xml_encode_binary_data(const uint8_t *p, uint32_t n, char *dst);

// Each stores a new block (freed with zconf_heap_free) through piece and returns its
// length, or stores NULL and returns 0 when the heap refuses the block. A value whose
// code names no value type gets no line: NULL and 0, without asking the heap.
int32_t __xml_encode_value(int32_t level, const zconf_value *value, char **piece);
int32_t __xml_encode_key_open(int32_t level, const zconf_key *key, char **piece);
int32_t __xml_encode_key_close(int32_t level, const zconf_key *key, char **piece);
