// Streaming XML decoder: first the tokenizer, which splits document text cut anywhere
// into tags and character data and hands them on as three callbacks; then the tree
// builder, which turns the callbacks into a parsed tree that is merged into the live
// tree, or discarded, when the document ends.
#include "xml/zconf_xml_dec.h"

#include "api/zconf_api.h"
#include "dovizuz.h"
#include "tree/zconf_mem.h"
#include "tree/zconf_types.h"
#include "xml/zconf_value_text.h"

#include <cassert>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const xml_entity_observer *xml_observer;

// ==== Tokenizer ========================================================================

namespace {

// Name classes of the ASCII bytes, which every locale classifies alike: letters start a
// name, letters and digits continue one, and so do the punctuation bytes listed. Bytes
// from 0x80 are asked of the process locale.
enum : uint8_t { name_first = 1, name_any = 2 };
struct name_table {
    uint8_t bits[128];
    constexpr name_table() : bits() {
        for (int c = 0; c < 128; c++) {
            bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
            bool digit = c >= '0' && c <= '9';
            bits[c] = static_cast<uint8_t>(
                (letter || c == '_' || c == ':' ? name_first : 0) |
                (letter || digit || c == '.' || c == '-' || c == '_' || c == ':' ? name_any : 0));
        }
    }
};
constexpr name_table ascii_name;

// ---- Character classes and small scanners ----------------------------------------

bool is_forbidden(uint8_t c) { return c < 0x20 && c != '\t' && c != '\n' && c != '\r'; }

// The value of a digit in the base (10 or 16), or -1 for any other byte.
int digit_in_base(char c, int base) {
    int digit = zconf_text_hex_value(static_cast<uint8_t>(c));
    return digit < base ? digit : -1;
}

// Reads the number of a character reference, `p` being just past its "&#": "x" selects
// hexadecimal, and the number is what strtoul reads there (so leading blanks, a sign and,
// in hexadecimal, a "0x" prefix are allowed). It must be followed by ";" and be below
// 256; then *position moves past the ";" and the number is returned, else -22.
int32_t decode_number(char **position, char *p) {
    int base = 10;
    if (*p == 'x') {
        base = 16;
        p++;
    }
    char *end = p;
    unsigned long value = 0;
    // Plain digits, the usual form, are read here: strtoul reads them alike. A number
    // past 255 is refused whatever its digits, so it only needs to stay past it.
    bool hex_prefix = base == 16 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X');
    if (digit_in_base(*p, base) >= 0 && !hex_prefix) {
        for (int digit; (digit = digit_in_base(*end, base)) >= 0; end++)
            if (value < 256)
                value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
    } else {
        value = strtoul(p, &end, base);
    }
    if (end == p || *end != ';' || value >= 256)
        return ZCONF_ERR_INVAL;
    *position = end + 1;
    return static_cast<int32_t>(value);
}

char *skip_ws(char *p) {
    while (__xml_is_ws(static_cast<uint8_t>(*p)))
        p++;
    return p;
}

char *skip_name(char *p) {
    while (__xml_is_name_char(static_cast<uint8_t>(*p)))
        p++;
    return p;
}

// ---- Callbacks, through the observer when a test has set one ----------------------

int32_t entity_start(xml_doc *doc, const char *name, int32_t count, xml_attr *attrs) {
    return xml_observer != nullptr ? xml_observer->start(doc, name, count, attrs)
                                   : __xml_entity_start(doc, name, count, attrs);
}

int32_t entity_data(xml_doc *doc, const char *bytes, int32_t length) {
    return xml_observer != nullptr ? xml_observer->data(doc, bytes, length)
                                   : __xml_entity_data(doc, bytes, length);
}

int32_t entity_end(xml_doc *doc, const char *name) {
    return xml_observer != nullptr ? xml_observer->end(doc, name) : __xml_entity_end(doc, name);
}

// ---- Tags -------------------------------------------------------------------------

// Reads `name = quote`, starting on the attribute name's first byte. Stores the name
// (NUL-terminated in place) and leaves *p on the first byte of the value; returns the
// quote character, or 0 when the text is not of that form.
char read_attribute_head(char **p, char **name) {
    *name = *p;
    char *at = skip_name(*p);
    char c = *at;
    *at = 0;
    if (c != '=') {
        if (!__xml_is_ws(static_cast<uint8_t>(c)))
            return 0;
        at = skip_ws(at + 1);
        if (*at != '=')
            return 0;
    }
    at = skip_ws(at + 1);
    if (*at != '"' && *at != '\'')
        return 0;
    *p = at + 1;
    return *at;
}

// Decodes a quoted attribute value in place from *p to its closing quote, which must lie
// before `end`; stores a NUL after the decoded bytes and leaves *p after the quote.
int32_t decode_attribute_value(xml_doc *doc, char **p, char quote, const char *end,
                               xml_attr *attr) {
    char *read = *p;
    attr->attrValue = *p;
    // Bytes before the first reference stay where they are.
    while (read < end && *read != quote && *read != '&')
        read++;
    char *write = read;
    while (read < end && *read != quote) {
        if (*read == '&') {
            char *at = read;
            int32_t c = __xml_decode_char(&read);
            if (c <= 0)
                return __xml_refuse(doc, XML_REFUSED_BAD_REFERENCE, at, nullptr);
            *write++ = static_cast<char>(c);
        } else {
            *write++ = *read++;
        }
    }
    if (read >= end)
        return __xml_refuse(doc, XML_REFUSED_BAD_ATTRIBUTE, attr->attrValue - 1, nullptr);
    *write = 0;
    attr->attrLen = static_cast<int32_t>(write - attr->attrValue);
    *p = read + 1;
    return 0;
}

// The value of a declaration's pseudo-attribute is taken as it stands.
bool declaration_item_valid(const char *name, const char *value, size_t len) {
    if (strcmp(name, "version") == 0)
        return len == 3 && memcmp(value, "1.0", 3) == 0;
    if (strcmp(name, "encoding") == 0)
        return len >= 10 && zconf_casecmp(value, "iso-8859-1", 10) == 0;
    return false;
}

// ---- Buffer scan ------------------------------------------------------------------

// The scan of one call works where the bytes lie: the token in progress runs from
// `start` (the buffer's start, where the bytes kept from the last call are) to `at`, the
// next byte to look at, and the call's new bytes follow right behind. Complete tags and
// runs of text are handled in place; only an unfinished token is moved back to the
// buffer's start when the call ends.
struct scan {
    xml_doc *doc;
    char *start;
    char *at;
    char *end;
    bool plain; // no "&" since the token's start: its text has no reference to decode
};

// Hands the text gathered since the token's start to the decoder.
int32_t flush(scan &s) {
    auto len = static_cast<int32_t>(s.at - s.start);
    // Text without a reference goes on as it is.
    int32_t rc = s.plain ? entity_data(s.doc, s.start, len) : __xml_proc_data(s.doc, s.start, len);
    if (rc == 0) {
        s.start = s.at;
        s.plain = true;
    }
    return rc;
}

// Bytes that only need to be taken, by state: a set bit means the byte needs a look of
// its own in that state (markup, quotes, reference ends and forbidden bytes).
enum : uint8_t {
    STOP_DATA = 1,
    STOP_TAG = 2,
    STOP_QUOTED = 4,
    STOP_REFERENCE = 8,
    STOP_ALL = 15,
};

struct stop_table {
    uint8_t bits[256];
    constexpr stop_table() : bits() {
        for (int c = 0; c < 0x20; c++)
            bits[c] = (c == '\t' || c == '\n' || c == '\r') ? 0 : STOP_ALL;
        for (uint8_t c : {'<', '>'})
            bits[c] = STOP_ALL;
        bits[uint8_t{'&'}] = STOP_DATA | STOP_TAG | STOP_REFERENCE;
        bits[uint8_t{'"'}] = bits[uint8_t{'\''}] = STOP_TAG | STOP_QUOTED;
        bits[uint8_t{';'}] = STOP_REFERENCE;
    }
};
constexpr stop_table stops;

// The stop bit of each tokenizer state (0 for the failed state, which looks at every
// byte), by state character.
struct state_mask_table {
    uint8_t mask[256];
    constexpr state_mask_table() : mask() {
        mask[XML_STATE_DATA] = STOP_DATA;
        mask[XML_STATE_TAG] = STOP_TAG;
        mask[XML_STATE_DOUBLE_QUOTED] = mask[XML_STATE_SINGLE_QUOTED] = STOP_QUOTED;
        mask[XML_STATE_REFERENCE] = STOP_REFERENCE;
    }
};
constexpr state_mask_table state_masks;

// The stop bit of the state.
uint8_t stop_mask(uint8_t state) { return state_masks.mask[state]; }

// True when the byte needs a look of its own in the state whose stop bit is mask.
bool is_stop(uint8_t mask, char c) { return (stops.bits[static_cast<uint8_t>(c)] & mask) != 0; }

// The first byte from p on (before end) that the state does not simply take; end when
// there is none. Four bytes a turn, so the loop's own test is paid once for them; inlined,
// so a state known where it is called costs no look-up.
inline __attribute__((always_inline)) char *skip_ordinary(uint8_t state, char *p, const char *end) {
    uint8_t mask = stop_mask(state);
    if (mask == 0)
        return p;
    for (; end - p >= 4; p += 4) {
        if (is_stop(mask, p[0]))
            return p;
        if (is_stop(mask, p[1]))
            return p + 1;
        if (is_stop(mask, p[2]))
            return p + 2;
        if (is_stop(mask, p[3]))
            return p + 3;
    }
    while (p < end && !is_stop(mask, *p))
        p++;
    return p;
}

// Hands the complete tag from the token's start to s.at on; prints the error line when it fails.
int32_t process_tag(scan &s) {
    char *tag = s.start;
    auto len = static_cast<int32_t>(s.at - tag);
    int32_t rc = __xml_proc_tag(s.doc, tag, len);
    if (rc == 0) {
        s.start = s.at;
        s.plain = true;
        s.doc->state = XML_STATE_DATA;
        return 0;
    }
    printf("__xml_proc_buff: ERROR status=%d, len=%d, data[0]=0x%02x <%c>, data[1]=0x%02x <%c>\n",
           rc, len, static_cast<uint8_t>(tag[0]), tag[0], static_cast<uint8_t>(tag[1]), tag[1]);
    return rc;
}

// Just after a tag's "<": runs the tag and quoted states over the tag's bytes and, when
// they reach its ">" having met nothing but quotes on the way, takes the whole tag as the
// byte-by-byte scan would and handles it. Anything else (markup, a control byte, the
// text's end) leaves the scan where it is, for the byte-by-byte scan to decide.
int32_t take_plain_tag(scan &s) {
    char *p = s.at;
    for (;;) {
        p = skip_ordinary(XML_STATE_TAG, p, s.end);
        if (p == s.end)
            return 0;
        if (*p == '>') {
            s.at = p + 1;
            return process_tag(s);
        }
        char quote = *p;
        if (quote != '"' && quote != '\'')
            return 0;
        do // the other quote character is taken inside a value; both stop at the same bytes
            p = skip_ordinary(XML_STATE_DOUBLE_QUOTED, p + 1, s.end);
        while (p != s.end && (*p == '"' || *p == '\'') && *p != quote);
        if (p == s.end || *p != quote)
            return 0;
        p++;
    }
}

// Just after a reference's "&": takes the reference to its ";" at once when nothing before
// that needs a look, as the byte-by-byte scan would; else leaves the scan where it is.
void take_plain_reference(scan &s) {
    char *p = skip_ordinary(XML_STATE_REFERENCE, s.at, s.end);
    if (p != s.end && *p == ';') {
        s.at = p + 1;
        s.doc->state = XML_STATE_DATA;
    }
}

// One byte in the state between markup.
int32_t scan_data_byte(scan &s, uint8_t c) {
    xml_doc *doc = s.doc;
    int32_t rc = 0;
    if (c == '>')
        return __xml_refuse(doc, XML_REFUSED_GT_IN_TEXT, nullptr, nullptr);
    if (c == '<') {
        if (s.at > s.start)
            rc = flush(s);
        doc->state = XML_STATE_TAG;
        s.at++;
        return rc == 0 ? take_plain_tag(s) : rc;
    }
    if (c == '&') {
        // The text before the reference is handed on now unless its ";" is in the buffer.
        if (memchr(s.at, ';', static_cast<size_t>(s.end - s.at)) == nullptr)
            rc = flush(s);
        doc->state = XML_STATE_REFERENCE;
        s.plain = false;
        s.at++;
        if (rc == 0)
            take_plain_reference(s);
        return rc;
    }
    s.at++;
    return rc;
}

// One byte that the state looks at on its own: moves the state, takes the byte and
// handles a tag it completes.
int32_t scan_byte(scan &s, uint8_t c) {
    xml_doc *doc = s.doc;
    switch (doc->state) {
    case XML_STATE_DATA:
        return scan_data_byte(s, c);
    case XML_STATE_TAG:
        if (c == '<' || c == '&')
            return __xml_refuse(doc, XML_REFUSED_MARKUP_IN_TAG, nullptr, nullptr);
        if (c == '"' || c == '\'')
            doc->state = c;
        s.at++;
        return c == '>' ? process_tag(s) : 0;
    case XML_STATE_DOUBLE_QUOTED:
    case XML_STATE_SINGLE_QUOTED:
        if (c == '<' || c == '>')
            return __xml_refuse(doc, XML_REFUSED_MARKUP_IN_ATTRIBUTE, nullptr, nullptr);
        if (c == doc->state)
            doc->state = XML_STATE_TAG;
        s.at++;
        return 0;
    case XML_STATE_REFERENCE:
        if (c == '<' || c == '>' || c == '&')
            return __xml_refuse(doc, XML_REFUSED_MARKUP_IN_REFERENCE, nullptr, nullptr);
        if (c == ';')
            doc->state = XML_STATE_DATA;
        s.at++;
        return 0;
    default: // failed: only quote characters are taken
        if (c != '"' && c != '\'')
            return ZCONF_ERR_INVAL;
        s.at++;
        return 0;
    }
}

// Scans every byte from s.at to s.end; 0, or the first error with s.at on the byte that
// failed or right after the tag that failed.
int32_t scan_bytes(scan &s) {
    while (s.at < s.end) {
        s.at = skip_ordinary(s.doc->state, s.at, s.end);
        if (s.at == s.end)
            break;
        auto c = static_cast<uint8_t>(*s.at);
        if (is_forbidden(c)) {
            char byte[8];
            snprintf(byte, sizeof byte, "0x%02X", c);
            return __xml_refuse(s.doc, XML_REFUSED_CONTROL_BYTE, nullptr, byte);
        }
        int32_t rc = scan_byte(s, c);
        if (rc != 0)
            return rc;
    }
    return 0;
}

} // namespace

// ---- Character classes --------------------------------------------------------------

int __xml_is_ws(uint8_t c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }

int __xml_is_name_first_char(uint8_t c) {
    if (c < 0x80)
        return (ascii_name.bits[c] & name_first) != 0;
    return isalpha(c);
}

int __xml_is_name_char(uint8_t c) {
    if (c < 0x80)
        return (ascii_name.bits[c] & name_any) != 0;
    return isalnum(c);
}

// ---- Tokenizer ----------------------------------------------------------------------

int32_t __xml_proc_buff(xml_write_record *record) {
    // The kept bytes of the unfinished token lie at the buffer's start, the new ones
    // right behind them.
    if (record->tokenEnd != record->unprocData) {
        memmove(record->tokenEnd, record->unprocData, record->unprocLen);
        record->unprocData = record->tokenEnd;
    }
    // The bytes kept from the last call may hold a reference.
    scan s{record->doc, record->buff, record->unprocData, record->unprocData + record->unprocLen,
           false};
    int32_t rc = scan_bytes(s);
    if (rc == 0 && s.doc->state == XML_STATE_DATA && s.at > s.start)
        rc = flush(s);
    if (rc != 0) {
        // Everything before the failing byte counts as taken, the rest as unscanned.
        record->tokenEnd = s.at;
        record->unprocLen = static_cast<uint32_t>(s.end - s.at);
        record->unprocData = s.at;
        __xml_note_failure(record, rc);
        return rc;
    }
    auto kept = static_cast<size_t>(s.at - s.start);
    if (s.start != record->buff)
        memmove(record->buff, s.start, kept);
    record->tokenEnd = record->unprocData = record->buff + kept;
    record->unprocLen = 0;
    return 0;
}

int32_t __xml_proc_tag(xml_doc *doc, char *tag, int32_t len) {
    auto second = static_cast<uint8_t>(tag[1]);
    if (__xml_is_name_first_char(second))
        return __xml_proc_stag(doc, tag, len);
    if (second == '/' && __xml_is_name_first_char(static_cast<uint8_t>(tag[2])))
        return __xml_proc_etag(doc, tag, len);
    if (second == '?')
        return __xml_proc_xmltag(doc, tag, len);
    if (second == '!')
        return __xml_refuse(doc, XML_REFUSED_MARKUP_DECLARATION, tag, nullptr);
    return __xml_refuse(doc, second == '/' ? XML_REFUSED_BAD_END_TAG : XML_REFUSED_BAD_TAG, tag,
                        nullptr);
}

int32_t __xml_proc_stag(xml_doc *doc, char *tag, int32_t len) {
    const char *end = tag + len;
    char *name = tag + 1;
    char *p = skip_name(name);
    char c = *p;
    *p = 0;
    xml_attr attrs[2];
    int32_t count = 0;
    while (__xml_is_ws(static_cast<uint8_t>(c)) && count < 2) {
        p = skip_ws(p + 1);
        c = *p;
        if (!__xml_is_name_first_char(static_cast<uint8_t>(c)))
            break;
        char *at = p;
        char quote = read_attribute_head(&p, &attrs[count].attrName);
        if (quote == 0)
            return __xml_refuse(doc, XML_REFUSED_BAD_ATTRIBUTE, at, nullptr);
        int32_t rc = decode_attribute_value(doc, &p, quote, end, &attrs[count]);
        if (rc != 0)
            return rc;
        c = *p;
        count++;
    }
    while (__xml_is_ws(static_cast<uint8_t>(c)))
        c = *++p;
    if (c == '>')
        return entity_start(doc, name, count, attrs);
    if (c != '/' || p[1] != '>') {
        bool another = count == 2 && __xml_is_name_first_char(static_cast<uint8_t>(c));
        return __xml_refuse(doc, another ? XML_REFUSED_TOO_MANY_ATTRIBUTES : XML_REFUSED_BAD_TAG, p,
                            nullptr);
    }
    int32_t rc = entity_start(doc, name, count, attrs);
    return rc < 0 ? rc : entity_end(doc, name);
}

int32_t __xml_proc_etag(xml_doc *doc, char *tag, int32_t /*len*/) {
    char *name = tag + 2;
    char *p = skip_name(name);
    char c = *p;
    *p = 0;
    if (__xml_is_ws(static_cast<uint8_t>(c))) {
        p = skip_ws(p + 1);
        c = *p;
    }
    if (c != '>')
        return __xml_refuse(doc, XML_REFUSED_BAD_END_TAG, p, nullptr);
    return entity_end(doc, name);
}

int32_t __xml_proc_xmltag(xml_doc *doc, char *tag, int32_t len) {
    const char *end = tag + len;
    char *target = tag + 2;
    char *p = skip_name(target);
    char c = *p;
    *p = 0;
    bool is_xml = strcmp(target, "xml") == 0;
    *p = c; // the target may end right at the closing "?>"
    if (!is_xml)
        return __xml_refuse(doc, XML_REFUSED_PROCESSING_INSTRUCTION, tag, nullptr);
    if (doc->elemType != XML_ELEM_DOCUMENT_START) // only before anything else
        return __xml_refuse(doc, XML_REFUSED_LATE_DECLARATION, tag, nullptr);
    while (__xml_is_ws(static_cast<uint8_t>(c))) {
        p = skip_ws(p + 1);
        c = *p;
        if (!__xml_is_name_first_char(static_cast<uint8_t>(c)))
            break;
        char *item;
        char quote = read_attribute_head(&p, &item);
        if (quote == 0)
            return __xml_refuse(doc, XML_REFUSED_BAD_DECLARATION, item, nullptr);
        const char *value = p;
        while (p < end && *p != quote)
            p++;
        if (p >= end || !declaration_item_valid(item, value, static_cast<size_t>(p - value)))
            return __xml_refuse(doc, XML_REFUSED_BAD_DECLARATION, item, nullptr);
        c = *++p;
    }
    p = skip_ws(p);
    if (p[0] != '?' || p[1] != '>')
        return __xml_refuse(doc, XML_REFUSED_BAD_DECLARATION, p, nullptr);
    doc->elemType = ZCONF_TYPE_KEY;
    return 0;
}

int32_t __xml_proc_data(xml_doc *doc, char *data, int32_t len) {
    const char *end = data + len;
    // Text before the first reference stays where it is.
    auto *read = static_cast<char *>(memchr(data, '&', static_cast<size_t>(len)));
    if (read == nullptr)
        return entity_data(doc, data, len);
    char *write = read;
    const char *first_reference = nullptr;
    while (read < end) {
        if (*read == '&') {
            char *at = read;
            if (first_reference == nullptr)
                first_reference = at;
            int32_t c = __xml_decode_char(&read);
            if (c < 0)
                return __xml_refuse(doc, XML_REFUSED_BAD_REFERENCE, at, nullptr);
            *write++ = static_cast<char>(c);
        } else {
            *write++ = *read++;
        }
    }
    int32_t rc = entity_data(doc, data, static_cast<int32_t>(write - data));
    // A refused byte behind a decoded reference no longer stands where the document has
    // it: the run's first reference is named instead.
    if (rc != 0 && first_reference != nullptr && doc->failAt >= first_reference &&
        doc->failAt < write)
        doc->failAt = first_reference;
    return rc;
}

int32_t __xml_decode_char(char **position) {
    char *p = *position + 1;
    if (*p == '#')
        return decode_number(position, p + 1);
    if (!__xml_is_name_first_char(static_cast<uint8_t>(*p)))
        return ZCONF_ERR_INVAL;
    char *name = p;
    p = skip_name(p);
    if (*p != ';')
        return ZCONF_ERR_INVAL;
    *p = 0;
    static const struct {
        const char *name;
        char byte;
    } entities[] = {{"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}, {"apos", '\''}};
    for (const auto &entity : entities) {
        if (zconf_same_text(name, entity.name)) {
            *position = p + 1;
            return static_cast<uint8_t>(entity.byte);
        }
    }
    return ZCONF_ERR_INVAL;
}

// ==== Refusals ========================================================================

namespace {

// The reasons in words, by xml_refusal_reason; "%s" takes the names a refusal quotes.
const char *const refusal_texts[XML_REFUSED_COUNT] = {
    "accepted",
    "a control byte (%s), which the document may not hold",
    "'>' outside a tag",
    "'<' or '&' inside a tag",
    "'<' or '>' inside an attribute value",
    "a reference that does not end with ';'",
    "a reference other than &lt; &gt; &amp; &quot; &apos; or a character number below 256",
    "a comment, CDATA section or document type declaration, which the format does not take",
    "a processing instruction, which the format does not take",
    "a declaration that is not at the very start of the document",
    "a declaration other than version=\"1.0\" encoding=\"iso-8859-1\"",
    "a tag that is not <NAME attributes> or <NAME attributes/>",
    "an end tag that is not </NAME>",
    "an attribute that is not NAME=\"VALUE\"",
    "more than two attributes",
    "unknown element <%s>",
    "an element inside the value element <%s>",
    "an element after the root's end tag",
    "the first element is not <KEY name=\"ZCONF_ROOT\">",
    "an attribute other than name, and volatile on a KEY: '%s'",
    "the attribute '%s' given twice",
    "a volatile attribute other than \"yes\" or \"no\"",
    "a name longer than 255 bytes",
    "text before the first element (a byte-order mark is text too)",
    "text directly inside a key",
    "text after the root's end tag",
    "text inside VALUE_NONE",
    "a byte that is not a hexadecimal digit in binary data",
    "a byte that is not a digit in a number",
    "a number text longer than 10 bytes (DWORD) or 20 bytes (QWORD)",
    "'0x' without digits",
    "hexadecimal digits without '0x'",
    "a number too large for %s",
    "an odd count of hexadecimal digits in binary data",
    "an end tag that does not match the open element: %s",
    "an end tag before the root element",
    "a value directly inside the root key",
    "a value whose name and data take more than 4079 bytes",
    "value data longer than the 40960-byte work area",
    "out of memory",
    "a tag longer than 40960 bytes",
    "the document has no root element",
    "the document ends inside a tag or a reference",
    "the document ends inside the value element <%s>",
    "the document ends inside the key '%s'",
    "the document ends before the root's end tag",
};

// True for the reasons of size and memory, which a load reports as -12.
bool refusal_is_size(uint8_t reason) {
    return reason == XML_REFUSED_VALUE_TOO_LARGE || reason == XML_REFUSED_DATA_TOO_LONG ||
           reason == XML_REFUSED_NO_MEMORY;
}

// Writes the reason's text, quoting detail where it has a place for it, into text.
void put_refusal_text(char *text, uint8_t reason, const char *detail) {
    // The format is one of the table's, each with at most one "%s".
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    snprintf(text, XML_REFUSAL_TEXT, __xml_refusal_text(reason), detail != nullptr ? detail : "");
#pragma GCC diagnostic pop
}

} // namespace

const char *__xml_refusal_text(uint8_t reason) {
    return reason < XML_REFUSED_COUNT ? refusal_texts[reason] : "refused";
}

int32_t __xml_refuse(xml_doc *doc, uint8_t reason, const char *at, const char *detail) {
    if (doc->failReason == XML_REFUSED_NONE) {
        doc->failReason = reason;
        doc->failAt = at;
        put_refusal_text(doc->failText, reason, detail);
    }
    return refusal_is_size(reason) ? ZCONF_ERR_NOMEM : ZCONF_ERR_INVAL;
}

void __xml_note_failure(xml_write_record *record, int32_t rc) {
    xml_doc *doc = record->doc;
    if (doc->failReason == XML_REFUSED_NONE) // a failure of an observer or of memory
        __xml_refuse(doc, rc == ZCONF_ERR_NOMEM ? XML_REFUSED_NO_MEMORY : XML_REFUSED_BAD_TAG,
                     nullptr, nullptr);
    // The kept token's bytes come right before the first unscanned byte.
    const char *at = doc->failAt;
    if (at != nullptr && at >= record->buff && at < record->tokenEnd)
        doc->failBack = record->unprocLen + static_cast<uint32_t>(record->tokenEnd - at);
    else
        doc->failBack = record->unprocLen;
    doc->failAt = nullptr;
}

void __xml_document_outcome(const xml_doc *doc, int32_t rc, uint32_t length, xml_refusal *out) {
    memset(out, 0, sizeof *out);
    if (rc != 0) {
        out->code = rc;
        out->reason = doc->failReason;
        out->offset = doc->failBack <= length ? length - doc->failBack : 0;
        memcpy(out->text, doc->failText, sizeof out->text);
        return;
    }
    const zconf_key *key = doc->curKey;
    uint8_t reason = XML_REFUSED_NONE;
    const char *detail = nullptr;
    if (doc->state != XML_STATE_DATA)
        reason = XML_REFUSED_ENDS_IN_TAG;
    else if (key == nullptr)
        reason = XML_REFUSED_NO_ROOT;
    else if (zconf_is_value_type(static_cast<uint32_t>(doc->elemType))) {
        reason = XML_REFUSED_ENDS_IN_VALUE;
        detail = zconf_type(static_cast<uint32_t>(doc->elemType)).element;
    } else if (key->parent != nullptr) {
        reason = XML_REFUSED_ENDS_IN_KEY;
        detail = key->name;
    } else if (doc->elemType != XML_ELEM_ROOT_CLOSED)
        reason = XML_REFUSED_ENDS_BEFORE_ROOT_END;
    if (reason == XML_REFUSED_NONE)
        return;
    out->code = ZCONF_ERR_INVAL;
    out->reason = reason;
    out->offset = length;
    put_refusal_text(out->text, reason, detail);
}

// ==== Tree builder =====================================================================

namespace {

const char *work_end(const xml_doc *doc) { return doc->workBuff + doc->workLen; }

bool all_whitespace(const uint8_t *bytes, int32_t n) {
    for (int32_t i = 0; i < n; i++)
        if (!__xml_is_ws(bytes[i]))
            return false;
    return true;
}

int32_t take_name_attribute(xml_doc *doc, const xml_attr &attr) {
    if (doc->nameLen != 0)
        return __xml_refuse(doc, XML_REFUSED_REPEATED_ATTRIBUTE, attr.attrName, "name");
    if (attr.attrLen > ZCONF_MAX_NAME)
        return __xml_refuse(doc, XML_REFUSED_LONG_NAME, attr.attrValue, nullptr);
    memcpy(doc->workBuff, attr.attrValue, attr.attrLen + 1u);
    doc->nameLen = attr.attrLen;
    doc->data = doc->workBuff + doc->nameLen + 1;
    return 0;
}

int32_t take_volatile_attribute(xml_doc *doc, const xml_attr &attr) {
    if (doc->elemType != ZCONF_TYPE_KEY || strcmp(attr.attrName, "volatile") != 0)
        return __xml_refuse(doc, XML_REFUSED_UNKNOWN_ATTRIBUTE, attr.attrName, attr.attrName);
    if (doc->volatileAttr != -1)
        return __xml_refuse(doc, XML_REFUSED_REPEATED_ATTRIBUTE, attr.attrName, "volatile");
    if (attr.attrLen == 3 && zconf_casecmp(attr.attrValue, "yes", 3) == 0)
        doc->volatileAttr = 1;
    else if (attr.attrLen == 2 && zconf_casecmp(attr.attrValue, "no", 2) == 0)
        doc->volatileAttr = 0;
    else
        return __xml_refuse(doc, XML_REFUSED_BAD_VOLATILE, attr.attrValue, nullptr);
    return 0;
}

int32_t start_root(xml_doc *doc, const char *element) {
    if (doc->elemType != ZCONF_TYPE_KEY || strcmp(doc->workBuff, ZCONF_ROOT_NAME) != 0)
        return __xml_refuse(doc, XML_REFUSED_BAD_ROOT, element, nullptr);
    zconf_key *root = __zconf_create_root();
    if (root == nullptr)
        return __xml_refuse(doc, XML_REFUSED_NO_MEMORY, element, nullptr);
    doc->curKey = root;
    return 0;
}

int32_t start_key(xml_doc *doc, const char *element) {
    bool inherited = (doc->curKey->flags & ZCONF_FLAG_VOLATILE) != 0;
    zconf_key *key = __zconf_create_key(zconf_component_name(doc->workBuff),
                                        doc->volatileAttr == 1 || inherited);
    if (key == nullptr)
        return __xml_refuse(doc, XML_REFUSED_NO_MEMORY, element, nullptr);
    __zconf_add_subkey(doc->curKey, key);
    doc->curKey = key;
    return 0;
}

// Decodes whole pairs of hexadecimal digits, at most `pairs` of them, into out; stops at
// the first pair holding a byte that is no digit. Returns the pairs decoded.
int32_t decode_hex_pairs(const uint8_t *bytes, int32_t pairs, uint8_t *out) {
    const int8_t *value = zconf_text_hex_values.value;
    int32_t k = 0;
    for (; k < pairs; k++) {
        int high = value[bytes[2 * k]], low = value[bytes[2 * k + 1]];
        if ((high | low) < 0) // a byte that is no digit has the value -1
            break;
        out[k] = static_cast<uint8_t>(high * 16 + low);
    }
    return k;
}

int32_t gather_binary(xml_doc *doc, const uint8_t *bytes, int32_t n) {
    auto *out = reinterpret_cast<uint8_t *>(doc->data) + doc->dataLen;
    const char *limit = work_end(doc);
    auto digits = static_cast<uint32_t>(doc->hexDigits);
    int32_t rc = 0;
    for (int32_t i = 0; i < n; i++) {
        // Most bytes come as whole pairs of digits: as many as the bytes and the room allow.
        if (digits % 2 == 0) {
            int32_t room = static_cast<int32_t>(limit - reinterpret_cast<char *>(out));
            int32_t pairs =
                decode_hex_pairs(bytes + i, (n - i) / 2 < room ? (n - i) / 2 : room, out);
            out += pairs;
            digits += 2u * static_cast<uint32_t>(pairs);
            i += 2 * pairs;
            if (i == n)
                break;
        }
        int digit = zconf_text_hex_value(bytes[i]);
        if (digit < 0) {
            if (__xml_is_ws(bytes[i]))
                continue;
            rc = __xml_refuse(doc, XML_REFUSED_BINARY_DIGIT,
                              reinterpret_cast<const char *>(bytes + i), nullptr);
            break;
        }
        if (digits % 2 == 0 && reinterpret_cast<char *>(out) + 1 > limit) {
            rc = __xml_refuse(doc, XML_REFUSED_DATA_TOO_LONG,
                              reinterpret_cast<const char *>(bytes + i), nullptr);
            break;
        }
        if (zconf_text_put_pair_digit(out, digits++, digit))
            out++;
    }
    doc->hexDigits = static_cast<int32_t>(digits);
    doc->dataLen = static_cast<int32_t>(reinterpret_cast<char *>(out) - doc->data);
    return rc;
}

int32_t gather_string(xml_doc *doc, const char *bytes, int32_t n) {
    if (doc->data + doc->dataLen + n >= work_end(doc))
        return __xml_refuse(doc, XML_REFUSED_DATA_TOO_LONG, bytes, nullptr);
    memcpy(doc->data + doc->dataLen, bytes, n);
    doc->dataLen += n;
    return 0;
}

// Number text: hexadecimal digits, an "x" right after a single leading "0", nothing else,
// and no more than the longest number text of the type.
int32_t gather_number(xml_doc *doc, const uint8_t *bytes, int32_t n) {
    uint32_t limit = zconf_text_number_max(zconf_type_number_bytes(doc->elemType));
    char *text = doc->data;
    auto len = static_cast<uint32_t>(doc->dataLen);
    int32_t rc = 0;
    for (int32_t i = 0; i < n; i++) {
        const char *here = reinterpret_cast<const char *>(bytes + i);
        bool prefix = (bytes[i] == 'x' || bytes[i] == 'X') && len == 1 && text[0] == '0';
        if (zconf_text_hex_value(bytes[i]) < 0 && !prefix) {
            rc = __xml_refuse(doc, XML_REFUSED_NUMBER_BYTE, here, nullptr);
            break;
        }
        if (len >= limit) {
            rc = __xml_refuse(doc, XML_REFUSED_NUMBER_LONG, here, nullptr);
            break;
        }
        text[len++] = static_cast<char>(bytes[i]);
    }
    doc->dataLen = static_cast<int32_t>(len);
    return rc;
}

// Why a number text that its bytes let through is no number of its type.
uint8_t number_refusal(const xml_doc *doc) {
    const char *t = doc->data;
    bool prefix = doc->dataLen >= 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X');
    if (prefix)
        return doc->dataLen == 2 ? XML_REFUSED_NUMBER_NO_DIGITS : XML_REFUSED_NUMBER_RANGE;
    for (int32_t i = 0; i < doc->dataLen; i++)
        if (t[i] < '0' || t[i] > '9')
            return XML_REFUSED_NUMBER_HEX_WITHOUT_PREFIX;
    return XML_REFUSED_NUMBER_RANGE;
}

// Turns the gathered data of the open value element into what the value stores; the
// end tag's name is where a refusal points.
int32_t finish_value_data(xml_doc *doc, const char *element) {
    switch (zconf_type(doc->elemType).text) {
    case ZCONF_TEXT_NONE:
        return doc->dataLen == 0 ? 0 : ZCONF_ERR_INVAL;
    case ZCONF_TEXT_BYTES:
        return doc->hexDigits % 2 == 0
                   ? 0
                   : __xml_refuse(doc, XML_REFUSED_ODD_BINARY, element, nullptr);
    case ZCONF_TEXT_STRING:
    case ZCONF_TEXT_STRING_LIST:
        if (doc->dataLen == 0) {
            doc->data[0] = 0;
            doc->dataLen = 1;
        }
        return 0;
    case ZCONF_TEXT_NUMBER32:
    case ZCONF_TEXT_NUMBER64:
        if (!zconf_text_read_number(doc->data, doc->dataLen, doc->elemType,
                                    reinterpret_cast<uint8_t *>(doc->data)))
            return __xml_refuse(doc, number_refusal(doc), element,
                                zconf_type(doc->elemType).element);
        doc->dataLen = static_cast<int32_t>(zconf_type_number_bytes(doc->elemType));
        return 0;
    }
    return ZCONF_ERR_INVAL;
}

int32_t end_value(xml_doc *doc, const char *element) {
    if (doc->curKey->parent == nullptr) // values directly inside the root are refused
        return __xml_refuse(doc, XML_REFUSED_VALUE_IN_ROOT, element, nullptr);
    if (finish_value_data(doc, element) != 0)
        return __xml_refuse(doc, XML_REFUSED_TEXT_IN_NONE, element, nullptr);
    // The tree reads a string's last byte: one is always there.
    assert(!zconf_type_is_string(static_cast<uint32_t>(doc->elemType)) || doc->dataLen >= 1);
    zconf_value *value = __zconf_create_value(doc->workBuff, static_cast<uint32_t>(doc->elemType),
                                              doc->data, static_cast<uint32_t>(doc->dataLen));
    if (value == nullptr) {
        bool large = static_cast<uint32_t>(doc->nameLen + doc->dataLen) > ZCONF_VALUE_BYTES_MAX;
        return __xml_refuse(doc, large ? XML_REFUSED_VALUE_TOO_LARGE : XML_REFUSED_NO_MEMORY,
                            element, nullptr);
    }
    // A name given twice in one key keeps the later value, in the earlier one's place.
    __zconf_put_value(doc->curKey, value);
    doc->elemType = ZCONF_TYPE_KEY;
    return 0;
}

int32_t end_key(xml_doc *doc, const char *element) {
    zconf_key *key = doc->curKey;
    if (key == nullptr)
        return __xml_refuse(doc, XML_REFUSED_END_BEFORE_ROOT, element, nullptr);
    if (key->parent == nullptr) {
        doc->elemType = XML_ELEM_ROOT_CLOSED;
        return 0;
    }
    zconf_key *parent = key->parent;
    doc->curKey = parent;
    if (key->flags & ZCONF_FLAG_VOLATILE) {
        // Its subkeys, all volatile, went at their own end tags.
        __zconf_del_subkey(key);
        return 0;
    }
    // A key given twice under one parent is one key: the later merges into the earlier.
    // Keys of the same name sit side by side, the later one behind.
    if (key->sibling.prev != &parent->subkeys) {
        zconf_key *earlier = zconf_key_of(key->sibling.prev);
        if (zconf_casecmp(earlier->name, key->name, key->name_len + 1u) == 0)
            __zconf_merge_subkey(earlier, key);
    }
    return 0;
}

// The first byte of the run that is not whitespace (the run's first when all are).
const char *first_non_whitespace(const char *bytes, int32_t n) {
    int32_t i = 0;
    while (i < n && __xml_is_ws(static_cast<uint8_t>(bytes[i])))
        i++;
    return bytes + (i < n ? i : 0);
}

// An end tag that closes no open element: what it closes and what was due, quoted.
int32_t refuse_end_tag(xml_doc *doc, const char *name) {
    if (doc->elemType == XML_ELEM_DOCUMENT_START)
        return __xml_refuse(doc, XML_REFUSED_END_BEFORE_ROOT, name, nullptr);
    if (doc->elemType == XML_ELEM_ROOT_CLOSED)
        return __xml_refuse(doc, XML_REFUSED_ELEMENT_AFTER_ROOT, name, nullptr);
    char detail[96];
    snprintf(detail, sizeof detail, "</%.40s> where </%s> is due", name,
             zconf_type(doc->elemType).element);
    return __xml_refuse(doc, XML_REFUSED_MISMATCHED_END, name, detail);
}

zconf_key *parsed_root(zconf_key *key) {
    while (key->parent != nullptr)
        key = key->parent;
    return key;
}

} // namespace

xml_doc *__xml_document_start() {
    auto *doc = static_cast<xml_doc *>(zconf_heap_alloc(sizeof(xml_doc)));
    if (doc == nullptr)
        return nullptr;
    memset(doc, 0, sizeof *doc);
    doc->workBuff = static_cast<char *>(zconf_heap_alloc(ZCONF_XML_BUFFER));
    if (doc->workBuff == nullptr) {
        zconf_heap_free(doc);
        return nullptr;
    }
    doc->workBuff[0] = 0;
    doc->data = doc->workBuff;
    doc->workLen = ZCONF_XML_BUFFER;
    doc->elemType = XML_ELEM_DOCUMENT_START;
    doc->state = XML_STATE_DATA;
    return doc;
}

void __xml_document_end(xml_doc *doc) {
    if (doc == nullptr)
        return;
    zconf_key *key = doc->curKey;
    uint8_t state = doc->state;
    zconf_heap_free(doc->workBuff);
    zconf_heap_free(doc);
    if (key == nullptr)
        return;
    if (state == XML_STATE_DATA && key->parent == nullptr)
        __zconf_merge_trees(__ZConfGetRootKey(), key);
    else
        __zconf_del_tree(parsed_root(key));
}

int32_t __xml_entity_start(xml_doc *doc, const char *name, int32_t count, xml_attr *attrs) {
    // Of the element types, only key level and the document's start have these bits.
    if ((doc->elemType & ZCONF_TYPE_KEY) != ZCONF_TYPE_KEY) {
        bool after = doc->elemType == XML_ELEM_ROOT_CLOSED;
        return __xml_refuse(doc,
                            after ? XML_REFUSED_ELEMENT_AFTER_ROOT : XML_REFUSED_ELEMENT_IN_VALUE,
                            name, after ? nullptr : zconf_type(doc->elemType).element);
    }
    int32_t type = zconf_type_of_element(name);
    if (type < 0)
        return __xml_refuse(doc, XML_REFUSED_UNKNOWN_ELEMENT, name, name);
    assert(zconf_is_value_type(type) || type == ZCONF_TYPE_KEY);
    doc->elemType = type;
    doc->workBuff[0] = 0;
    doc->nameLen = 0;
    doc->data = doc->workBuff + 1;
    doc->dataLen = 0;
    doc->volatileAttr = -1;
    doc->hexDigits = 0;
    for (int32_t i = 0; i < count; i++) {
        bool is_name = zconf_same_text(attrs[i].attrName, "name");
        int32_t rc =
            is_name ? take_name_attribute(doc, attrs[i]) : take_volatile_attribute(doc, attrs[i]);
        if (rc != 0)
            return rc;
    }
    if (doc->curKey == nullptr)
        return start_root(doc, name);
    if (zconf_is_value_type(type))
        return 0;
    return start_key(doc, name);
}

int32_t __xml_entity_data(xml_doc *doc, const char *bytes, int32_t length) {
    const auto *b = reinterpret_cast<const uint8_t *>(bytes);
    int32_t type = doc->elemType;
    if (!zconf_is_value_type(type)) {
        // Between elements only whitespace may stand; no other element type exists.
        bool between = type == ZCONF_TYPE_KEY || type == XML_ELEM_DOCUMENT_START ||
                       type == XML_ELEM_ROOT_CLOSED;
        if (between && all_whitespace(b, length))
            return 0;
        uint8_t reason = type == XML_ELEM_DOCUMENT_START ? XML_REFUSED_TEXT_BEFORE_ROOT
                         : type == XML_ELEM_ROOT_CLOSED  ? XML_REFUSED_TEXT_AFTER_ROOT
                                                         : XML_REFUSED_TEXT_IN_KEY;
        return __xml_refuse(doc, reason, first_non_whitespace(bytes, length), nullptr);
    }
    switch (zconf_type(type).text) {
    case ZCONF_TEXT_NONE:
        if (all_whitespace(b, length))
            return 0;
        return __xml_refuse(doc, XML_REFUSED_TEXT_IN_NONE, first_non_whitespace(bytes, length),
                            nullptr);
    case ZCONF_TEXT_BYTES:
        return gather_binary(doc, b, length);
    case ZCONF_TEXT_STRING:
    case ZCONF_TEXT_STRING_LIST:
        return gather_string(doc, bytes, length);
    case ZCONF_TEXT_NUMBER32:
    case ZCONF_TEXT_NUMBER64:
        return gather_number(doc, b, length);
    }
    return ZCONF_ERR_INVAL;
}

int32_t __xml_entity_end(xml_doc *doc, const char *name) {
    // An end tag mostly closes the open element: its name is tried first.
    const char *open = zconf_type(static_cast<uint32_t>(doc->elemType)).element;
    int32_t type =
        open[0] != 0 && zconf_same_text(open, name) ? doc->elemType : zconf_type_of_element(name);
    if (type < 0 || type != doc->elemType)
        return refuse_end_tag(doc, name);
    return zconf_is_value_type(type) ? end_value(doc, name) : end_key(doc, name);
}

int32_t zconf_xml_parse_document(const char *text, uint32_t length, zconf_key **root) {
    return zconf_xml_parse_document_why(text, length, root, nullptr);
}

int32_t zconf_xml_parse_document_why(const char *text, uint32_t length, zconf_key **root,
                                     xml_refusal *why) {
    *root = nullptr;
    uint32_t given = 0;
    xml_write_record record{};
    record.buff = static_cast<char *>(zconf_heap_alloc(ZCONF_XML_BUFFER));
    record.doc = record.buff != nullptr ? __xml_document_start() : nullptr;
    if (record.doc == nullptr) {
        zconf_heap_free(record.buff);
        if (why != nullptr) {
            memset(why, 0, sizeof *why);
            why->code = ZCONF_ERR_NOMEM;
            why->reason = XML_REFUSED_NO_MEMORY;
            put_refusal_text(why->text, XML_REFUSED_NO_MEMORY, nullptr);
        }
        return ZCONF_ERR_NOMEM;
    }
    record.unprocData = record.tokenEnd = record.buff;
    record.buffLen = ZCONF_XML_BUFFER;
    int32_t rc = 0;
    // The same pieces as the channel's write pass: what is left of an unfinished tag
    // stays at the buffer's start, and the rest of the buffer takes new text.
    while (length != 0 && rc == 0) {
        auto used = static_cast<uint32_t>(record.unprocData - record.buff);
        uint32_t space = record.buffLen - record.unprocLen - used;
        uint32_t n = space < length ? space : length;
        if (n == 0) {
            rc = ZCONF_ERR_OVERFLOW;
            __xml_refuse(record.doc, XML_REFUSED_LONG_TAG, record.buff, nullptr);
            __xml_note_failure(&record, rc);
            break;
        }
        memcpy(record.unprocData + record.unprocLen, text, n);
        record.unprocLen += n;
        text += n;
        length -= n;
        given += n;
        rc = __xml_proc_buff(&record);
    }
    xml_doc *doc = record.doc;
    xml_refusal outcome;
    __xml_document_outcome(doc, rc, given, &outcome);
    if (why != nullptr)
        *why = outcome;
    zconf_key *parsed = doc->curKey;
    bool whole = rc == 0 && doc->state == XML_STATE_DATA && doc->elemType == XML_ELEM_ROOT_CLOSED;
    zconf_heap_free(doc->workBuff);
    zconf_heap_free(doc);
    zconf_heap_free(record.buff);
    if (!whole) {
        if (parsed != nullptr)
            __zconf_del_tree(parsed_root(parsed));
        return rc == ZCONF_ERR_OVERFLOW || rc == ZCONF_ERR_NOMEM ? rc : ZCONF_ERR_INVAL;
    }
    *root = parsed;
    return 0;
}
