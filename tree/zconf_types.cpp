// The table of value types, indexed by type code, and the questions asked of it.
#include "tree/zconf_types.h"

#include <cstddef>

const zconf_type_row zconf_types[ZCONF_TYPE_CODES] = {
    {"VALUE_NONE", ZCONF_SIZE_ZERO, ZCONF_TEXT_NONE, ZCONF_ORDER_NONE},
    {"VALUE_BINARY", ZCONF_SIZE_NONZERO, ZCONF_TEXT_BYTES, ZCONF_ORDER_NONE},
    {"VALUE_SZ", ZCONF_SIZE_NONZERO, ZCONF_TEXT_STRING, ZCONF_ORDER_NONE},
    {"VALUE_MULTI_SZ", ZCONF_SIZE_NONZERO, ZCONF_TEXT_STRING_LIST, ZCONF_ORDER_NONE},
    {"VALUE_DWORD", ZCONF_SIZE_4, ZCONF_TEXT_NUMBER32, ZCONF_ORDER_PROCESSOR},
    {"VALUE_DWORD_LE", ZCONF_SIZE_4, ZCONF_TEXT_NUMBER32, ZCONF_ORDER_LITTLE},
    {"VALUE_DWORD_BE", ZCONF_SIZE_4, ZCONF_TEXT_NUMBER32, ZCONF_ORDER_BIG},
    {"", ZCONF_SIZE_NO_VALUE, ZCONF_TEXT_NONE, ZCONF_ORDER_NONE},
    {"VALUE_QWORD", ZCONF_SIZE_8, ZCONF_TEXT_NUMBER64, ZCONF_ORDER_PROCESSOR},
    {"VALUE_QWORD_LE", ZCONF_SIZE_8, ZCONF_TEXT_NUMBER64, ZCONF_ORDER_LITTLE},
    {"VALUE_QWORD_BE", ZCONF_SIZE_8, ZCONF_TEXT_NUMBER64, ZCONF_ORDER_BIG},
    {"", ZCONF_SIZE_NO_VALUE, ZCONF_TEXT_NONE, ZCONF_ORDER_NONE},
    {"KEY", ZCONF_SIZE_NO_VALUE, ZCONF_TEXT_NONE, ZCONF_ORDER_NONE},
};

const zconf_type_row zconf_no_type = {"", ZCONF_SIZE_NO_VALUE, ZCONF_TEXT_NONE, ZCONF_ORDER_NONE};

bool zconf_type_size_matches(uint32_t code, uint32_t size) {
    switch (zconf_type(code).size) {
    case ZCONF_SIZE_ZERO:
        return size == 0;
    case ZCONF_SIZE_NONZERO:
        return size != 0;
    case ZCONF_SIZE_4:
        return size == 4;
    case ZCONF_SIZE_8:
        return size == 8;
    case ZCONF_SIZE_NO_VALUE:
        return false;
    }
    return false;
}

bool zconf_type_is_string(uint32_t code) {
    zconf_text_form text = zconf_type(code).text;
    return text == ZCONF_TEXT_STRING || text == ZCONF_TEXT_STRING_LIST;
}

uint32_t zconf_type_number_bytes(uint32_t code) {
    switch (zconf_type(code).text) {
    case ZCONF_TEXT_NUMBER32:
        return 4;
    case ZCONF_TEXT_NUMBER64:
        return 8;
    case ZCONF_TEXT_NONE:
    case ZCONF_TEXT_BYTES:
    case ZCONF_TEXT_STRING:
    case ZCONF_TEXT_STRING_LIST:
        return 0;
    }
    return 0;
}

namespace {

constexpr char value_prefix[] = "VALUE_";
constexpr size_t prefix_len = sizeof value_prefix - 1;

// The value codes by the first letter of their element's type word (the letter after
// "VALUE_"), a bit for each code, so a name is compared with those few only.
struct element_index {
    uint16_t codes[128];
};

// The index of the table's value elements, built once.
element_index index_elements() {
    element_index index{};
    for (uint32_t code = 0; code < ZCONF_TYPE_CODES; code++) {
        const char *element = zconf_types[code].element;
        bool is_value = true;
        for (size_t i = 0; i < prefix_len && is_value; i++)
            is_value = element[i] == value_prefix[i];
        if (!is_value) // the key, and the codes without an element
            continue;
        auto letter = static_cast<uint8_t>(element[prefix_len]);
        if (letter < 128)
            index.codes[letter] = static_cast<uint16_t>(index.codes[letter] | (1u << code));
    }
    return index;
}

} // namespace

int32_t zconf_type_of_element(const char *name) {
    if (zconf_same_text(zconf_types[ZCONF_TYPE_KEY].element, name)) // the most frequent first
        return ZCONF_TYPE_KEY;
    // Every other element name is "VALUE_" and a type word: compare the words only.
    for (size_t i = 0; i < prefix_len; i++) // stops at a shorter name's NUL
        if (name[i] != value_prefix[i])
            return -1;
    auto letter = static_cast<uint8_t>(name[prefix_len]);
    if (letter >= 128)
        return -1;
    static const element_index index = index_elements();
    for (uint32_t codes = index.codes[letter]; codes != 0; codes &= codes - 1) {
        auto code = static_cast<uint32_t>(__builtin_ctz(codes));
        if (zconf_same_text(zconf_types[code].element + prefix_len, name + prefix_len))
            return static_cast<int32_t>(code);
    }
    return -1;
}
