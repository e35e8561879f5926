// Streaming XML decoder: the tokenizer splits document text cut anywhere into tags and
// character data, and the tree builder turns them into a parsed tree that is merged
// into the live tree, or discarded, when the document ends.
#pragma once

#include "tree/zconf_int.h"
#include "tree/zconf_types.h"

#include <cstdint>

enum : uint32_t {
    // The text buffers of a load or save: the channel's input buffer, the document's work
    // area and the shared text buffer that carries a document between processes.
    ZCONF_XML_BUFFER = 40960,
};

// What xml_doc.elemType holds: the type code of the open value element (0-6, 8-10), the
// key element's code ZCONF_TYPE_KEY at key level, or one of these.
enum : int32_t {
    XML_ELEM_DOCUMENT_START = 28, // nothing but whitespace read yet
    XML_ELEM_ROOT_CLOSED = 32,    // the root's end tag has been read
};

// Tokenizer states held in xml_doc.state.
enum : uint8_t {
    XML_STATE_DATA = ' ',
    XML_STATE_TAG = '<',
    XML_STATE_DOUBLE_QUOTED = '"',
    XML_STATE_SINGLE_QUOTED = '\'',
    XML_STATE_REFERENCE = '&',
    XML_STATE_FAILED = 'e',
};

// Why the decoder refused a document; the text of each is in __xml_refusal_text.
enum xml_refusal_reason : uint8_t {
    XML_REFUSED_NONE,
    XML_REFUSED_CONTROL_BYTE,
    XML_REFUSED_GT_IN_TEXT,
    XML_REFUSED_MARKUP_IN_TAG,
    XML_REFUSED_MARKUP_IN_ATTRIBUTE,
    XML_REFUSED_MARKUP_IN_REFERENCE,
    XML_REFUSED_BAD_REFERENCE,
    XML_REFUSED_MARKUP_DECLARATION,
    XML_REFUSED_PROCESSING_INSTRUCTION,
    XML_REFUSED_LATE_DECLARATION,
    XML_REFUSED_BAD_DECLARATION,
    XML_REFUSED_BAD_TAG,
    XML_REFUSED_BAD_END_TAG,
    XML_REFUSED_BAD_ATTRIBUTE,
    XML_REFUSED_TOO_MANY_ATTRIBUTES,
    XML_REFUSED_UNKNOWN_ELEMENT,
    XML_REFUSED_ELEMENT_IN_VALUE,
    XML_REFUSED_ELEMENT_AFTER_ROOT,
    XML_REFUSED_BAD_ROOT,
    XML_REFUSED_UNKNOWN_ATTRIBUTE,
    XML_REFUSED_REPEATED_ATTRIBUTE,
    XML_REFUSED_BAD_VOLATILE,
    XML_REFUSED_LONG_NAME,
    XML_REFUSED_TEXT_BEFORE_ROOT,
    XML_REFUSED_TEXT_IN_KEY,
    XML_REFUSED_TEXT_AFTER_ROOT,
    XML_REFUSED_TEXT_IN_NONE,
    XML_REFUSED_BINARY_DIGIT,
    XML_REFUSED_NUMBER_BYTE,
    XML_REFUSED_NUMBER_LONG,
    XML_REFUSED_NUMBER_NO_DIGITS,
    XML_REFUSED_NUMBER_HEX_WITHOUT_PREFIX,
    XML_REFUSED_NUMBER_RANGE,
    XML_REFUSED_ODD_BINARY,
    XML_REFUSED_MISMATCHED_END,
    XML_REFUSED_END_BEFORE_ROOT,
    XML_REFUSED_VALUE_IN_ROOT,
    XML_REFUSED_VALUE_TOO_LARGE,
    XML_REFUSED_DATA_TOO_LONG,
    XML_REFUSED_NO_MEMORY,
    XML_REFUSED_LONG_TAG,
    XML_REFUSED_NO_ROOT,
    XML_REFUSED_ENDS_IN_TAG,
    XML_REFUSED_ENDS_IN_VALUE,
    XML_REFUSED_ENDS_IN_KEY,
    XML_REFUSED_ENDS_BEFORE_ROOT_END,
    XML_REFUSED_COUNT,
};

enum : uint32_t {
    XML_REFUSAL_TEXT = 160, // room for a reason with the names it quotes
};

struct xml_doc {
    char *workBuff; // current element's name, NUL-terminated, then the value's data
    int32_t nameLen;
    int32_t elemType;
    char *data;
    int32_t dataLen;
    uint32_t workLen;
    int32_t volatileAttr; // -1 absent, 0 "no", 1 "yes"
    int32_t hexDigits;
    uint8_t state;
    zconf_key *curKey; // NULL until the root's start tag; the parsed root has no parent
    // Set only when the document is refused: why, the byte that decided it (while the
    // tokenizer still holds it), then its distance back from the end of the text given.
    uint8_t failReason;
    const char *failAt;
    uint32_t failBack;
    char failText[XML_REFUSAL_TEXT];
};

// How a document ended: accepted (code 0), or refused with the decoder's code, the
// offset of the byte that decided it and the reason in words.
struct xml_refusal {
    int32_t code;
    uint8_t reason;
    uint32_t offset;
    char text[XML_REFUSAL_TEXT];
};

struct xml_attr {
    char *attrName;
    char *attrValue;
    int32_t attrLen;
};

// The channel's write record; the tokenizer works on buff and unprocData..doc.
struct xml_write_record {
    uint32_t fpos;
    char *buff;
    uint32_t buffLen;
    char *unprocData;
    uint32_t unprocLen;
    char *tokenEnd;
    xml_doc *doc;
};

// Test seam: when set, the tokenizer hands its units to these instead of the tree
// builder, so tests can see every callback the text produces.
struct xml_entity_observer {
    int32_t (*start)(xml_doc *doc, const char *name, int32_t count, xml_attr *attrs);
    int32_t (*data)(xml_doc *doc, const char *bytes, int32_t length);
    int32_t (*end)(xml_doc *doc, const char *name);
};
extern const xml_entity_observer *xml_observer;

// Tokenizer. Every failure is -22; the tree builder's codes pass through unchanged.

// Scans the record's unscanned bytes, keeping an unfinished tag or reference at the start
// of the buffer for the next piece; 0 when all were taken, else the first error.
int32_t __xml_proc_buff(xml_write_record *record);
// One whole tag, "<" to ">": dispatches to the start, end or declaration handler.
int32_t __xml_proc_tag(xml_doc *doc, char *tag, int32_t len);
// A start or empty-element tag: decodes its attributes in place (the tag is changed).
int32_t __xml_proc_stag(xml_doc *doc, char *tag, int32_t len);
// An end tag, with optional whitespace before its ">".
int32_t __xml_proc_etag(xml_doc *doc, char *tag, int32_t len);
// The declaration: allowed only before anything else; moves the document to key level.
int32_t __xml_proc_xmltag(xml_doc *doc, char *tag, int32_t len);
// One run of character data: decodes its references in place and hands it on.
int32_t __xml_proc_data(xml_doc *doc, char *data, int32_t len);
// The byte 0..255 of the reference at *position (an "&"), moving *position past its ";";
// -22 for a reference that is not one (*position is then left somewhere inside it).
int32_t __xml_decode_char(char **position);
// 1 for TAB, LF, CR and space, else 0.
int __xml_is_ws(uint8_t c);
// 1 for a letter (isalpha), "_" or ":", else 0.
int __xml_is_name_first_char(uint8_t c);
// 1 for a letter or digit (isalnum), ".", "-", "_" or ":", else 0.
int __xml_is_name_char(uint8_t c);

// Refusals.

// Records why the document is refused and the byte that decided it (in the tokenizer's
// buffer, or NULL for the byte being scanned), the reason's text quoting detail (may be
// NULL); only the first refusal counts. Returns the code: -12 for the reasons of size
// and memory, else -22.
int32_t __xml_refuse(xml_doc *doc, uint8_t reason, const char *at, const char *detail);
// After a failure of the record's text: turns the refused byte into its distance from
// the end of the text given so far, recording a reason for a failure that has none.
void __xml_note_failure(xml_write_record *record, int32_t rc);
// Fills *out with how the document stands after `length` bytes of text: refused with rc
// when rc is not 0, else accepted, or refused for ending before it is whole (an empty
// text among them).
void __xml_document_outcome(const xml_doc *doc, int32_t rc, uint32_t length, xml_refusal *out);
// The reason in words, without the names a refusal quotes.
const char *__xml_refusal_text(uint8_t reason);

// Tree builder.

// A new document at its start, or NULL (nothing allocated) when the heap refuses it.
xml_doc *__xml_document_start();
// Frees the document and merges its parsed tree into the live one when it ended between
// tags, without error and with no key below the root open; else frees the parsed tree.
// Takes no lock: the caller serialises it with the live tree's users. NULL is ignored.
void __xml_document_end(xml_doc *doc);
// An element starts: 0, -22 for a form the document may not have, -12 for no memory.
int32_t __xml_entity_start(xml_doc *doc, const char *name, int32_t count, xml_attr *attrs);
// Character data of the open element (any number of runs): 0, -22 or -12.
int32_t __xml_entity_data(xml_doc *doc, const char *bytes, int32_t length);
// An element ends (its value is made here): 0, -22 or -12.
int32_t __xml_entity_end(xml_doc *doc, const char *name);

// Whole documents outside the live tree.

// Parses a whole document of length bytes into a tree of its own, touching neither the
// live tree nor the channel: 0 with the new root in *root (the caller frees it with
// __zconf_del_tree); -22 for text the document may not have or a document that stops
// before its root's end tag (an empty text among them), -75 for a tag longer than the
// buffer, -12 for no memory; on failure *root is NULL. Volatile keys are dropped as a
// load drops them.
int32_t zconf_xml_parse_document(const char *text, uint32_t length, zconf_key **root);
// zconf_xml_parse_document that also tells why a document is refused: *why (unless NULL)
// gets the outcome, whose code is the result.
int32_t zconf_xml_parse_document_why(const char *text, uint32_t length, zconf_key **root,
                                     xml_refusal *why);
