// zconf's value text: type names and the text forms of values on the command line,
// the same as the configuration file shows them.
#include "zconf_tool.h"

#include "tree/zconf_types.h"
#include "xml/zconf_value_text.h"

#include <cstring>
#include <strings.h>

namespace zconf {

namespace {

// The prefix of the document's element names that the tool's type names may leave out.
constexpr char kTypePrefix[] = "VALUE_";
constexpr size_t kTypePrefixLen = sizeof kTypePrefix - 1;

// The type's element name without "VALUE_"; the value types' elements all have it.
const char *short_type_name(uint32_t type) { return zconf_type(type).element + kTypePrefixLen; }

// A number type's data from its text (decimal, or "0x" and hexadecimal digits), stored
// in the type's byte order; false for other types, the empty text, a text longer than
// the longest number and a number that does not fit.
bool parse_number(const char *text, uint32_t type, std::string *data) {
    size_t n = strlen(text);
    uint32_t bytes = zconf_type_number_bytes(type);
    uint8_t number[sizeof(uint64_t)];
    if (bytes == 0 || n == 0 || n > zconf_text_number_max(bytes) ||
        !zconf_text_read_number(text, n, type, number))
        return false;
    data->assign(reinterpret_cast<const char *>(number), bytes);
    return true;
}

// Hexadecimal pairs in either case; blanks between them are ignored, as in the document.
bool parse_binary(const std::vector<const char *> &items, std::string *data) {
    uint32_t digits = 0;
    uint8_t byte = 0;
    for (const char *item : items) {
        for (const char *p = item; *p != 0; p++) {
            if (*p == ' ' || *p == '\t')
                continue;
            int digit = zconf_text_hex_value(static_cast<uint8_t>(*p));
            if (digit < 0)
                return false;
            if (zconf_text_put_pair_digit(&byte, digits++, digit))
                data->push_back(static_cast<char>(byte));
        }
    }
    return digits % 2 == 0 && !data->empty();
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

// A number type's text, when the data has the type's size: "0x" and two digits a byte.
bool number_text(uint32_t type, const char *data, uint32_t size, std::string *text) {
    uint32_t bytes = zconf_type_number_bytes(type);
    if (bytes == 0 || size != bytes)
        return false;
    text->resize(zconf_text_number_len(type));
    zconf_text_write_number(&(*text)[0], type, reinterpret_cast<const uint8_t *>(data));
    return true;
}

// Every byte of the data as two capital hexadecimal digits.
std::string pairs_text(const char *data, uint32_t size) {
    std::string text(2 * size, '\0');
    for (uint32_t i = 0; i < size; i++)
        zconf_text_put_pair(&text[2 * i], static_cast<uint8_t>(data[i]));
    return text;
}

// Whether the text has a number's form: decimal digits, or "0x" and hexadecimal ones.
bool number_form(const char *text) {
    bool hex = (text[0] == '0' && (text[1] == 'x' || text[1] == 'X') && text[2] != 0);
    const char *p = hex ? text + 2 : text;
    if (*p == 0)
        return false;
    for (; *p != 0; p++)
        if (hex ? zconf_text_hex_value(static_cast<uint8_t>(*p)) < 0 : (*p < '0' || *p > '9'))
            return false;
    return true;
}

// Why a number type's text was refused: its form, its range or its length.
std::string number_refusal(uint32_t type, const char *text) {
    uint32_t bytes = zconf_type_number_bytes(type);
    uint64_t max = bytes == 4 ? 0xFFFFFFFFu : ~uint64_t{0}, number;
    std::string name = type_name(type), range = "0 to " + std::to_string(max);
    if (!number_form(text))
        return "bad " + name + " value text '" + text + "': expected a number from " + range +
               ", in decimal or as \"0x\" and hexadecimal digits";
    if (!zconf_text_parse_number(text, strlen(text), 8, &number) || number > max)
        return name + " value '" + text + "' out of range: expected " + range;
    return name + " value text '" + text + "' too long: at most " +
           std::to_string(zconf_text_number_max(bytes)) + " characters";
}

} // namespace

std::string value_refusal(uint32_t type, const std::vector<const char *> &items) {
    if (type != ZCONF_VALUE_BINARY)
        return number_refusal(type, items.empty() ? "" : items[0]);
    std::string digits;
    for (const char *item : items)
        for (const char *p = item; *p != 0; p++) {
            if (*p == ' ' || *p == '\t')
                continue;
            if (zconf_text_hex_value(static_cast<uint8_t>(*p)) < 0)
                return std::string("bad BINARY value text '") + item +
                       "': expected hexadecimal pairs such as 001A2B (blanks between them "
                       "allowed)";
            digits.push_back(*p);
        }
    if (digits.empty())
        return "empty BINARY value: expected at least one hexadecimal pair such as 1A";
    return "BINARY value has an odd number of hexadecimal digits (" +
           std::to_string(digits.size()) + "): expected whole pairs such as 001A2B";
}

// The type code of a name such as "dword_be" or "VALUE_DWORD_BE" (any case), or -1.
int32_t parse_type(const char *text) {
    if (strncasecmp(text, kTypePrefix, kTypePrefixLen) == 0)
        text += kTypePrefixLen;
    for (uint32_t t = 0; t < ZCONF_TYPE_CODES; t++)
        if (zconf_is_value_type(t) && strcasecmp(text, short_type_name(t)) == 0)
            return static_cast<int32_t>(t);
    return -1;
}

std::string type_name(uint32_t type) {
    if (zconf_is_value_type(type))
        return short_type_name(type);
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
        return parse_number(items[0], type, data);
    }
}

// The value's text as the document writes it; a string list gives one text per item.
std::vector<std::string> value_items(uint32_t type, const char *data, uint32_t size) {
    if (type == ZCONF_VALUE_NONE)
        return {};
    if (type == ZCONF_VALUE_SZ)
        return {std::string(data, strnlen(data, size))};
    if (type == ZCONF_VALUE_MULTI_SZ)
        return list_items(data, size);
    std::string text;
    if (number_text(type, data, size, &text))
        return {text};
    return {pairs_text(data, size)};
}

} // namespace zconf
