// Streaming XML decoder: the tokenizer splits document text cut anywhere into tags and
// character data, and the tree builder turns them into a parsed tree that is merged
// into the live tree, or discarded, when the document ends.
#pragma once

#include "tree/zconf_int.h"

#include <cstdint>

enum : uint32_t {
    ZCONF_XML_BUFFER = 40960, // the channel's input buffer and the document's work area
};

// Element levels held in xml_doc.elemType besides the value type codes 0..10.
enum : int32_t {
    XML_ELEM_KEY_LEVEL = 12,
    XML_ELEM_DOCUMENT_START = 28,
    XML_ELEM_ROOT_CLOSED = 32,
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

// Tokenizer.
int32_t __xml_proc_buff(xml_write_record *record);
int32_t __xml_proc_tag(xml_doc *doc, char *tag, int32_t len);
int32_t __xml_proc_stag(xml_doc *doc, char *tag, int32_t len);
int32_t __xml_proc_etag(xml_doc *doc, char *tag, int32_t len);
int32_t __xml_proc_xmltag(xml_doc *doc, char *tag, int32_t len);
int32_t __xml_proc_data(xml_doc *doc, char *data, int32_t len);
int32_t __xml_decode_char(char **position);
int __xml_is_ws(uint8_t c);
int __xml_is_name_first_char(uint8_t c);
int __xml_is_name_char(uint8_t c);

// Tree builder.
xml_doc *__xml_document_start();
void __xml_document_end(xml_doc *doc);
int32_t __xml_entity_start(xml_doc *doc, const char *name, int32_t count, xml_attr *attrs);
int32_t __xml_entity_data(xml_doc *doc, const char *bytes, int32_t length);
int32_t __xml_entity_end(xml_doc *doc, const char *name);
