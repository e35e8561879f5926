// zconf's value text: type names and the text forms of values on the command line,
// the same as the configuration file shows them.
#include "zconf_tool.h"

#include <cstring>
#include <strings.h>

namespace zconf {

namespace {

// Type names as the configuration document's elements have them, less "VALUE_", by type
// code; codes 7 and 11 name no type.
const char *const kTypeNames[] = {"NONE",     "BINARY", "SZ",    "MULTI_SZ", "DWORD",   "DWORD_LE",
                                  "DWORD_BE", nullptr,  "QWORD", "QWORD_LE", "QWORD_BE"};
constexpr uint32_t kTypeCount = sizeof kTypeNames / sizeof kTypeNames[0];

bool is_dword(uint32_t type) { return type >= ZCONF_VALUE_DWORD && type <= ZCONF_VALUE_DWORD_BE; }

bool is_qword(uint32_t type) { return type >= ZCONF_VALUE_QWORD && type <= ZCONF_VALUE_QWORD_BE; }

// The value of a hexadecimal digit in either case, or -1.
int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A number as the document writes integers: "0x" and hexadecimal digits, or decimal
// digits; at most 10 characters for 32 bits and 20 for 64, and the number must fit.
bool parse_number(const char *text, int bits, uint64_t *result) {
    size_t n = strlen(text);
    uint64_t max = bits == 32 ? 0xFFFFFFFFull : ~0ull;
    uint64_t value = 0;
    if (n == 0 || n > (bits == 32 ? 10u : 20u))
        return false;
    if (n >= 3 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        for (size_t i = 2; i < n; i++) {
            int digit = hex_digit(text[i]);
            if (digit < 0 || (value >> (bits - 4)) != 0)
                return false;
            value = value * 16 + static_cast<uint64_t>(digit);
        }
    } else {
        for (size_t i = 0; i < n; i++) {
            if (text[i] < '0' || text[i] > '9')
                return false;
            uint64_t digit = static_cast<uint64_t>(text[i] - '0');
            if (value > (max - digit) / 10)
                return false;
            value = value * 10 + digit;
        }
    }
    *result = value;
    return true;
}

// Hexadecimal pairs in either case; blanks between them are ignored, as in the document.
bool parse_binary(const std::vector<const char *> &items, std::string *data) {
    int high = -1;
    for (const char *item : items) {
        for (const char *p = item; *p != 0; p++) {
            if (*p == ' ' || *p == '\t')
                continue;
            int digit = hex_digit(*p);
            if (digit < 0)
                return false;
            if (high < 0) {
                high = digit;
            } else {
                data->push_back(static_cast<char>(high * 16 + digit));
                high = -1;
            }
        }
    }
    return high < 0 && !data->empty();
}

// The items of a string list: the last NUL ends the list and the others end items (a
// last item without its NUL counts too).
std::vector<std::string> list_items(const char *data, uint32_t size) {
    std::vector<std::string> items;
    if (size > 0 && data[size - 1] == 0)
        size--;
    for (uint32_t at = 0; at < size;) {
        const char *end = static_cast<const char *>(memchr(data + at, 0, size - at));
        uint32_t len = end != nullptr ? static_cast<uint32_t>(end - data) - at : size - at;
        items.emplace_back(data + at, len);
        at += len + 1;
    }
    return items;
}

// "0x" and the number in `digits` capital hexadecimal digits at least.
std::string hex_number(uint64_t number, int digits) {
    char text[24];
    snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(number));
    return text;
}

} // namespace

// The type code of a name such as "dword_be" or "VALUE_DWORD_BE" (any case), or -1.
int32_t parse_type(const char *text) {
    if (strncasecmp(text, "VALUE_", 6) == 0)
        text += 6;
    for (uint32_t t = 0; t < kTypeCount; t++)
        if (kTypeNames[t] != nullptr && strcasecmp(text, kTypeNames[t]) == 0)
            return static_cast<int32_t>(t);
    return -1;
}

std::string type_name(uint32_t type) {
    if (type < kTypeCount && kTypeNames[type] != nullptr)
        return kTypeNames[type];
    return "TYPE_" + std::to_string(type);
}

// Values given for a type: none for NONE, one for SZ and the integers, at least one
// for BINARY, any number for MULTI_SZ.
bool value_count_fits(uint32_t type, size_t count) {
    if (type == ZCONF_VALUE_NONE)
        return count == 0;
    if (type == ZCONF_VALUE_BINARY)
        return count >= 1;
    if (type == ZCONF_VALUE_MULTI_SZ)
        return true;
    return count == 1;
}

// The value's data as the store takes it. An integer is stored in host byte order, the
// _LE types with the bytes reversed: the document's rule, so that the text given here
// is the text the saved file shows.
bool encode_value(uint32_t type, const std::vector<const char *> &items, std::string *data) {
    uint64_t number;
    switch (type) {
    case ZCONF_VALUE_NONE:
        return true;
    case ZCONF_VALUE_BINARY:
        return parse_binary(items, data);
    case ZCONF_VALUE_SZ:
        data->assign(items[0]);
        data->push_back('\0');
        return true;
    case ZCONF_VALUE_MULTI_SZ: // each item ends in NUL, and one more NUL ends the list
        for (const char *item : items)
            data->append(item).push_back('\0');
        data->push_back('\0');
        return true;
    default:
        break;
    }
    if (!parse_number(items[0], is_dword(type) ? 32 : 64, &number))
        return false;
    if (is_dword(type)) {
        auto word = static_cast<uint32_t>(number);
        if (type == ZCONF_VALUE_DWORD_LE)
            word = __builtin_bswap32(word);
        data->assign(reinterpret_cast<const char *>(&word), sizeof word);
    } else {
        if (type == ZCONF_VALUE_QWORD_LE)
            number = __builtin_bswap64(number);
        data->assign(reinterpret_cast<const char *>(&number), sizeof number);
    }
    return true;
}

// The value's text as the document writes it; a string list gives one text per item.
std::vector<std::string> value_items(uint32_t type, const char *data, uint32_t size) {
    if (type == ZCONF_VALUE_NONE)
        return {};
    if (type == ZCONF_VALUE_SZ)
        return {std::string(data, strnlen(data, size))};
    if (type == ZCONF_VALUE_MULTI_SZ)
        return list_items(data, size);
    if (is_dword(type) && size == 4) {
        uint32_t word;
        memcpy(&word, data, sizeof word);
        return {hex_number(type == ZCONF_VALUE_DWORD_LE ? __builtin_bswap32(word) : word, 8)};
    }
    if (is_qword(type) && size == 8) {
        uint64_t word;
        memcpy(&word, data, sizeof word);
        return {hex_number(type == ZCONF_VALUE_QWORD_LE ? __builtin_bswap64(word) : word, 16)};
    }
    std::string hex;
    for (uint32_t i = 0; i < size; i++)
        hex += hex_number(static_cast<uint8_t>(data[i]), 2).substr(2);
    return {hex};
}

} // namespace zconf
