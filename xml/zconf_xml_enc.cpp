// XML encoder: the text of one line of the document (a key's start or end line, or a
// value's line) in a heap block of exactly its length plus a NUL.
#include "xml/zconf_xml_enc.h"

#include "tree/zconf_mem.h"
#include "tree/zconf_types.h"
#include "xml/zconf_value_text.h"

#include <cassert>
#include <cstring>

namespace {

// The fixed texts of a line: "<" NAME " name=\"" ... "\">" TEXT "</" NAME ">\n". A key's
// start line ends after "\">" with a line feed; its end line is "</" NAME ">\n".
constexpr char open_start[] = "<";
constexpr char name_attribute[] = " name=\"";
constexpr char open_end[] = "\">";
constexpr char line_feed[] = "\n";
constexpr char close_start[] = "</";
constexpr char close_end[] = ">\n";

// Characters of a literal, without its NUL.
template <size_t N> constexpr size_t literal_len(const char (&)[N]) { return N - 1; }

// Fixed characters of each kind of line, with the block's terminating NUL.
constexpr size_t value_line_fixed = literal_len(open_start) + literal_len(name_attribute) +
                                    literal_len(open_end) + literal_len(close_start) +
                                    literal_len(close_end) + 1;
constexpr size_t key_open_fixed = literal_len(open_start) + literal_len(name_attribute) +
                                  literal_len(open_end) + literal_len(line_feed) + 1;
constexpr size_t key_close_fixed = literal_len(close_start) + literal_len(close_end) + 1;

// Characters of each byte's escaped form: control bytes and the double quote take 6
// ("&#x09;", "&quot;"), the ampersand 5, less-than and greater-than 4, all others 1.
struct escape_table {
    uint8_t len[256];
    constexpr escape_table() : len() {
        for (int c = 0; c < 256; c++)
            len[c] = 1;
        for (int c = 0; c < 0x20; c++)
            len[c] = 6;
        len[uint8_t{'"'}] = 6;
        len[uint8_t{'&'}] = 5;
        len[uint8_t{'<'}] = len[uint8_t{'>'}] = 4;
    }
};
constexpr escape_table escaped_len;

char *put(char *dst, const char *text, size_t n) {
    memcpy(dst, text, n);
    return dst + n;
}

// Writes a literal without its NUL; returns the position after it.
template <size_t N> char *put(char *dst, const char (&text)[N]) { return put(dst, text, N - 1); }

char *put_tabs(char *dst, int32_t level) {
    for (int32_t i = 0; i < level; i++)
        *dst++ = '\t';
    return dst;
}

// The escaped form of one byte; returns the position after it.
char *put_escaped(char *dst, uint8_t c) {
    switch (escaped_len.len[c]) {
    case 1:
        *dst = static_cast<char>(c);
        return dst + 1;
    case 5:
        return put(dst, "&amp;");
    case 4:
        return c == '<' ? put(dst, "&lt;") : put(dst, "&gt;");
    default:
        if (c == '"')
            return put(dst, "&quot;");
        dst = zconf_text_put_pair(put(dst, "&#x"), c);
        *dst++ = ';';
        return dst;
    }
}

// Bytes of text to be written escaped (a name, or a string's data), with the characters
// of their escaped form. Measured once: a text that needs no escape is then copied whole.
struct escaped_text {
    const uint8_t *bytes;
    uint32_t n;
    uint32_t len;
};

// The n bytes with the characters of their escaped form.
escaped_text measure_text(const void *bytes, uint32_t n) {
    const auto *p = static_cast<const uint8_t *>(bytes);
    return {p, n, static_cast<uint32_t>(__xml_multistring_len(p, n))};
}

// Writes the escaped text; returns the position after it.
char *put_text(char *dst, const escaped_text &text) {
    if (text.len == text.n)
        return put(dst, reinterpret_cast<const char *>(text.bytes), text.n);
    return dst + __xml_encode_multi_string(text.bytes, text.n, dst);
}

// The text of a string's data: its bytes before the first NUL, or all of a string list's.
escaped_text measure_string_data(uint32_t type, const uint8_t *data, uint32_t n) {
    if (zconf_type(type).text == ZCONF_TEXT_STRING)
        n = static_cast<uint32_t>(strnlen(reinterpret_cast<const char *>(data), n));
    return measure_text(data, n);
}

// Characters of the text of a value's data; a string's is in `text`.
int32_t data_text_len(uint32_t type, uint32_t n, const escaped_text &text) {
    switch (zconf_type(type).text) {
    case ZCONF_TEXT_NONE:
        return 0;
    case ZCONF_TEXT_BYTES:
        return static_cast<int32_t>(2 * n);
    case ZCONF_TEXT_STRING:
    case ZCONF_TEXT_STRING_LIST:
        return static_cast<int32_t>(text.len);
    case ZCONF_TEXT_NUMBER32:
    case ZCONF_TEXT_NUMBER64:
        return static_cast<int32_t>(zconf_text_number_len(type));
    }
    return 0;
}

// Writes the text of a value's data (a string's measured in `text`); returns the
// position after it.
char *put_data_text(char *dst, uint32_t type, const uint8_t *data, uint32_t n,
                    const escaped_text &text) {
    switch (zconf_type(type).text) {
    case ZCONF_TEXT_NONE:
        return dst;
    case ZCONF_TEXT_BYTES:
        return dst + __xml_encode_binary_data(data, n, dst);
    case ZCONF_TEXT_STRING:
    case ZCONF_TEXT_STRING_LIST:
        return put_text(dst, text);
    case ZCONF_TEXT_NUMBER32:
    case ZCONF_TEXT_NUMBER64:
        return zconf_text_write_number(dst, type, data);
    }
    return dst;
}

// Characters of each type code's element name, measured once.
struct element_lengths {
    uint8_t len[ZCONF_TYPE_CODES];
};

// The lengths of all element names, from the table of types.
element_lengths measure_elements() {
    element_lengths lengths{};
    for (uint32_t code = 0; code < ZCONF_TYPE_CODES; code++)
        lengths.len[code] = static_cast<uint8_t>(strlen(zconf_types[code].element));
    return lengths;
}

// Characters of the element name of a type code (0..12).
size_t element_len(uint32_t code) {
    static const element_lengths lengths = measure_elements();
    return lengths.len[code];
}

// A block of `size` bytes for a line, or NULL stored through piece.
char *new_piece(size_t size, char **piece) {
    *piece = static_cast<char *>(zconf_heap_alloc(size));
    return *piece;
}

// Writes level TABs, "<", the element and ` name="` and the escaped name, then "\">".
char *put_start_tag(char *dst, int32_t level, const char *element, size_t e,
                    const escaped_text &name) {
    dst = put(put(put_tabs(dst, level), open_start), element, e);
    dst = put(dst, name_attribute);
    dst = put_text(dst, name);
    return put(dst, open_end);
}

// Writes "</", the element, ">\n" and the block's terminating NUL.
void put_end_tag(char *dst, const char *element, size_t e) {
    put(put(put(dst, close_start), element, e), close_end, sizeof close_end);
}

} // namespace

int32_t __xml_char_len(uint8_t c) { return escaped_len.len[c]; }

int32_t __xml_string_len(const char *s) {
    int32_t n = 0;
    for (; *s != 0; s++)
        n += __xml_char_len(static_cast<uint8_t>(*s));
    return n;
}

int32_t __xml_multistring_len(const uint8_t *p, uint32_t n) {
    int32_t len = 0;
    for (uint32_t i = 0; i < n; i++)
        len += __xml_char_len(p[i]);
    return len;
}

int32_t __xml_encode_string(const char *s, char *dst) {
    char *out = dst;
    for (;;) { // runs of bytes written as themselves are copied whole
        const char *run = s;
        while (escaped_len.len[static_cast<uint8_t>(*s)] == 1)
            s++;
        out = put(out, run, static_cast<size_t>(s - run));
        if (*s == 0)
            break;
        out = put_escaped(out, static_cast<uint8_t>(*s++));
    }
    return static_cast<int32_t>(out - dst);
}

int32_t __xml_encode_multi_string(const uint8_t *p, uint32_t n, char *dst) {
    char *out = dst;
    for (uint32_t i = 0; i < n;) {
        uint32_t run = i;
        while (i < n && escaped_len.len[p[i]] == 1)
            i++;
        out = put(out, reinterpret_cast<const char *>(p + run), i - run);
        if (i < n)
            out = put_escaped(out, p[i++]);
    }
    return static_cast<int32_t>(out - dst);
}

int32_t __xml_encode_binary_data(const uint8_t *p, uint32_t n, char *dst) {
    for (uint32_t i = 0; i < n; i++)
        dst = zconf_text_put_pair(dst, p[i]);
    return static_cast<int32_t>(2 * n);
}

int32_t __xml_encode_value(int32_t level, const zconf_value *value, char **piece) {
    uint32_t type = zconf_value_type(value);
    uint32_t n = zconf_value_len(value);
    *piece = nullptr;
    if (!zconf_is_value_type(type))
        return 0;
    const char *element = zconf_type(type).element;
    size_t e = element_len(type);
    const uint8_t *data = zconf_value_data(value);
    // A string's text is measured and written up to a NUL, which its data must end in.
    assert(!zconf_type_is_string(type) || (n >= 1 && data[n - 1] == 0));
    escaped_text name = measure_text(value->name, value->name_len);
    escaped_text text =
        zconf_type_is_string(type) ? measure_string_data(type, data, n) : escaped_text{data, 0, 0};
    size_t size = level + 2 * e + name.len + data_text_len(type, n, text) + value_line_fixed;
    char *out = new_piece(size, piece);
    if (out == nullptr)
        return 0;
    out = put_start_tag(out, level, element, e, name);
    out = put_data_text(out, type, data, n, text);
    put_end_tag(out, element, e);
    return static_cast<int32_t>(size - 1);
}

int32_t __xml_encode_key_open(int32_t level, const zconf_key *key, char **piece) {
    const char *element = zconf_type(ZCONF_TYPE_KEY).element;
    size_t e = element_len(ZCONF_TYPE_KEY);
    escaped_text name = measure_text(key->name, key->name_len);
    size_t size = level + e + name.len + key_open_fixed;
    char *out = new_piece(size, piece);
    if (out == nullptr)
        return 0;
    out = put_start_tag(out, level, element, e, name);
    put(out, line_feed, sizeof line_feed);
    return static_cast<int32_t>(size - 1);
}

int32_t __xml_encode_key_close(int32_t level, const zconf_key * /*key*/, char **piece) {
    const char *element = zconf_type(ZCONF_TYPE_KEY).element;
    size_t e = element_len(ZCONF_TYPE_KEY);
    size_t size = level + e + key_close_fixed;
    char *out = new_piece(size, piece);
    if (out == nullptr)
        return 0;
    put_end_tag(put_tabs(out, level), element, e);
    return static_cast<int32_t>(size - 1);
}
