// zconf's output for scripts: names and values escaped so that one entry is one line,
// integers in decimal on request, and JSON that stays valid whatever bytes it carries.
#include "zconf_tool.h"

#include <cstdlib>

namespace zconf {

namespace {

// The length of the well-formed UTF-8 sequence at p (shortest form, no surrogates, at
// most U+10FFFF), or 0 when the bytes there are not one.
size_t utf8_length(const unsigned char *p, const unsigned char *end) {
    size_t n = p[0] >= 0xF0 ? 4 : p[0] >= 0xE0 ? 3 : 2;
    if (p[0] < 0xC2 || p[0] > 0xF4 || static_cast<size_t>(end - p) < n)
        return 0;
    for (size_t i = 1; i < n; i++)
        if ((p[i] & 0xC0) != 0x80)
            return 0;
    if ((p[0] == 0xE0 && p[1] < 0xA0) || (p[0] == 0xED && p[1] > 0x9F) ||
        (p[0] == 0xF0 && p[1] < 0x90) || (p[0] == 0xF4 && p[1] > 0x8F))
        return 0;
    return n;
}

// Whether the integer type's text is a number ("0x" and digits) rather than the
// hexadecimal pairs of data of a size the type does not have.
bool is_number(uint32_t type, const std::string &text) {
    return type >= ZCONF_VALUE_DWORD && text.compare(0, 2, "0x") == 0;
}

} // namespace

std::string escape_text(const std::string &text) {
    std::string shown;
    for (unsigned char c : text) {
        if (c == '\\')
            shown += "\\\\";
        else if (c == '\t')
            shown += "\\t";
        else if (c == '\n')
            shown += "\\n";
        else if (c == '\r')
            shown += "\\r";
        else if (c < 0x20 || c == 0x7F) {
            char hex[5];
            snprintf(hex, sizeof hex, "\\x%02X", c);
            shown += hex;
        } else
            shown.push_back(static_cast<char>(c));
    }
    return shown;
}

std::string json_string(const std::string &text) {
    std::string json = "\"";
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text.data());
    const unsigned char *end = p + text.size();
    while (p < end) {
        unsigned char c = *p;
        size_t n = c >= 0x80 ? utf8_length(p, end) : 1;
        if (c == '"' || c == '\\') {
            json.push_back('\\');
            json.push_back(static_cast<char>(c));
        } else if (c == '\n')
            json += "\\n";
        else if (c == '\t')
            json += "\\t";
        else if (c < 0x20 || n == 0) {
            char hex[7];
            snprintf(hex, sizeof hex, "\\u%04X", c);
            json += hex;
        } else
            json.append(reinterpret_cast<const char *>(p), n);
        p += n == 0 ? 1 : n;
    }
    return json + "\"";
}

std::vector<std::string> shown_items(uint32_t type, const char *data, uint32_t size, bool decimal) {
    std::vector<std::string> items = value_items(type, data, size);
    if (decimal && items.size() == 1 && is_number(type, items[0]))
        items[0] = std::to_string(strtoull(items[0].c_str(), nullptr, 16));
    return items;
}

std::string value_line(const std::string &name, uint32_t type, const std::string &data,
                       bool decimal) {
    std::string line = escape_text(name) + "\t" + type_name(type);
    for (const std::string &item :
         shown_items(type, data.data(), static_cast<uint32_t>(data.size()), decimal))
        line.append("\t").append(escape_text(item));
    return line;
}

std::string json_value(const std::string &name, uint32_t type, const std::string &data) {
    std::vector<std::string> items =
        value_items(type, data.data(), static_cast<uint32_t>(data.size()));
    std::string json =
        "{\"name\":" + json_string(name) + ",\"type\":\"" + type_name(type) + "\",\"data\":";
    if (type == ZCONF_VALUE_NONE)
        json += "null";
    else if (type == ZCONF_VALUE_MULTI_SZ) {
        json += "[";
        for (size_t i = 0; i < items.size(); i++)
            json.append(i == 0 ? "" : ",").append(json_string(items[i]));
        json += "]";
    } else if (is_number(type, items[0]))
        json += std::to_string(strtoull(items[0].c_str(), nullptr, 16));
    else
        json += json_string(items[0]);
    return json + "}";
}

} // namespace zconf
