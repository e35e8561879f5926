// XML stream channel: the read pass that walks the live tree into document text, and the
// write pass that feeds document text to the decoder.
#include "xml/zconf_proc.h"

#include "api/zconf_api.h"
#include "dovizuz.h"
#include "tree/zconf_mem.h"
#include "tree/zconf_types.h"
#include "xml/zconf_xml_enc.h"

#include <cstdio>
#include <cstring>

uint32_t zconf_xml_open_mode;
xml_read_record xml_read_buff;
xml_write_record xml_write_buff;
static xml_refusal xml_write_outcome; // how the last write pass ended

namespace {

constexpr char declaration[] = "<?xml version=\"1.0\" encoding=\"iso-8859-1\"?>\n";
constexpr uint32_t declaration_len = sizeof declaration - 1;

enum : int32_t {
    WALK_START_LINE = -1,
    WALK_END_LINE = -2,
};

bool is_volatile(const zconf_key *key) { return (key->flags & ZCONF_FLAG_VOLATILE) != 0; }

void delete_root_subkeys(zconf_key *root) {
    while (!zconf_list_empty(&root->subkeys))
        __zconf_del_tree(zconf_key_of(root->subkeys.next));
}

zconf_key *next_sibling(zconf_key *key) {
    zconf_list *next = key->sibling.next;
    return next == &key->parent->subkeys ? nullptr : zconf_key_of(next);
}

// ---- Read pass ----------------------------------------------------------------------

int32_t open_read(zconf_key *root) {
    // A store whose start ran out of memory has no root, and no document to give.
    if (root == nullptr)
        return ZCONF_ERR_NOMEM;
    memset(&xml_read_buff, 0, sizeof xml_read_buff);
    char *piece = static_cast<char *>(zconf_heap_alloc(sizeof declaration));
    if (piece == nullptr)
        return ZCONF_ERR_NOMEM;
    memcpy(piece, declaration, sizeof declaration);
    xml_read_buff.buff = piece;
    xml_read_buff.len = declaration_len;
    xml_read_buff.key = root;
    __zconf_mark_key_open(xml_read_buff.key);
    xml_read_buff.state = WALK_START_LINE;
    zconf_xml_open_mode = ZCONF_XML_OPEN_READ;
    return 0;
}

// Makes `piece` (of length n) the current piece; NULL means the heap refused it.
int32_t take_piece(char *piece, int32_t n) {
    if (piece == nullptr)
        return ZCONF_ERR_NOMEM;
    xml_read_buff.buff = piece;
    xml_read_buff.len = static_cast<uint32_t>(n);
    return 0;
}

// Starts fetching the two members of a list from `link` on (its head ends them): the walk
// reads them next, seldom from the cache, and one step's work is too short to hide a
// whole fetch.
void prefetch_two(const zconf_list *link, const zconf_list *head) {
    if (link == head)
        return;
    __builtin_prefetch(link);
    if (link->next != head)
        __builtin_prefetch(link->next);
}

// The key's value at position index (the tree steps on from the one the last step
// found), with the next two starting to come in; NULL past the last.
zconf_value *value_at(zconf_key *key, int32_t index) {
    zconf_value *value = __zconf_enum_value(key, index);
    if (value != nullptr)
        prefetch_two(value->sibling.next, &key->values);
    return value;
}

// The value part of a walk step: makes the line of the key's next value, or, when no
// value is left, moves on to the first subkey's start line or to the key's end line.
// Returns 1 when the step ends here, 0 when it goes on with the new state, or -12.
int32_t value_step() {
    xml_read_record &r = xml_read_buff;
    zconf_key *key = r.key;
    zconf_value *value = value_at(key, r.state);
    if (value != nullptr) {
        if (!zconf_is_value_type(zconf_value_type(value))) {
            r.state++; // such a value has no line
            return 1;
        }
        char *piece;
        int32_t n = __xml_encode_value(r.level, value, &piece);
        if (take_piece(piece, n) != 0)
            return ZCONF_ERR_NOMEM;
        r.state++;
        return 1;
    }
    if (!zconf_list_empty(&key->subkeys)) {
        r.key = zconf_key_of(key->subkeys.next);
        __zconf_mark_key_open(r.key);
        r.state = WALK_START_LINE;
    } else {
        r.state = WALK_END_LINE;
    }
    return 0;
}

// The start-line part of a walk step: makes the key's start line and turns to its
// values; a volatile key gets no line and turns to its end at once. Returns 0 or -12.
int32_t start_line_step() {
    xml_read_record &r = xml_read_buff;
    if (is_volatile(r.key)) {
        r.state = WALK_END_LINE;
        return 0;
    }
    // The walk reads the key's first value, its first subkey and its next sibling next.
    __builtin_prefetch(r.key->values.next);
    __builtin_prefetch(r.key->subkeys.next);
    __builtin_prefetch(r.key->sibling.next);
    char *piece;
    int32_t n = __xml_encode_key_open(r.level, r.key, &piece);
    if (take_piece(piece, n) != 0)
        return ZCONF_ERR_NOMEM;
    r.state = 0;
    r.level++;
    return 0;
}

// The end-line part of a walk step: makes the key's end line (none for a volatile key),
// gives up the key and moves to its next sibling or back to its parent. Returns 0 or -12.
int32_t end_line_step() {
    xml_read_record &r = xml_read_buff;
    zconf_key *key = r.key;
    if (!is_volatile(key)) {
        char *piece;
        int32_t n = __xml_encode_key_close(r.level - 1, key, &piece);
        if (take_piece(piece, n) != 0)
            return ZCONF_ERR_NOMEM;
        r.level--;
    }
    __zconf_mark_key_closed(key);
    zconf_key *sibling = key->parent != nullptr ? next_sibling(key) : nullptr;
    if (sibling != nullptr) {
        __zconf_mark_key_open(sibling);
        r.key = sibling;
        r.state = WALK_START_LINE;
    } else {
        r.key = key->parent;
    }
    return 0;
}

// One step of the walk through the tree: produces the next piece or moves on without
// one. A piece the heap refuses leaves the walk where it was, so the same step is taken
// again by the next read. Returns 0 or -12.
int32_t walk_step() {
    if (xml_read_buff.state >= 0) {
        int32_t rc = value_step();
        if (rc != 0)
            return rc < 0 ? rc : 0;
    }
    return xml_read_buff.state == WALK_START_LINE ? start_line_step() : end_line_step();
}

void release_piece() {
    zconf_heap_free(xml_read_buff.buff);
    xml_read_buff.buff = nullptr;
}

// Gives up the walk's references on the keys of its path, and its piece.
void end_read_pass() {
    for (zconf_key *key = xml_read_buff.key; key != nullptr; key = key->parent)
        __zconf_mark_key_closed(key);
    xml_read_buff.key = nullptr;
    release_piece();
    xml_read_buff.len = xml_read_buff.pos = 0;
}

// ---- Write pass ---------------------------------------------------------------------

int32_t open_write(uint32_t mode) {
    zconf_key *root = __ZConfGetRootKey();
    if (mode & ZCONF_XML_OPEN_CLEAR) {
        if (root->open_count != 0)
            return ZCONF_ERR_BUSY;
        delete_root_subkeys(root);
    }
    memset(&xml_write_buff, 0, sizeof xml_write_buff);
    memset(&xml_write_outcome, 0, sizeof xml_write_outcome);
    char *buffer = static_cast<char *>(zconf_heap_alloc(ZCONF_XML_BUFFER));
    if (buffer == nullptr)
        return ZCONF_ERR_NOMEM;
    xml_doc *doc = __xml_document_start();
    if (doc == nullptr) {
        zconf_heap_free(buffer);
        return ZCONF_ERR_NOMEM;
    }
    xml_write_buff.buff = xml_write_buff.unprocData = xml_write_buff.tokenEnd = buffer;
    xml_write_buff.buffLen = ZCONF_XML_BUFFER;
    xml_write_buff.doc = doc;
    zconf_xml_open_mode = ZCONF_XML_OPEN_WRITE;
    return 0;
}

bool write_failed() { return xml_write_buff.doc->state == XML_STATE_FAILED; }

// Ends the document (merging it when it is sound) and frees the input buffer. A
// document that must not be merged is marked failed first.
void end_write_pass(bool discard) {
    // A pass that failed has its outcome already; else the document's end decides it.
    if (xml_write_buff.doc != nullptr && xml_write_outcome.code == 0 && !write_failed())
        __xml_document_outcome(xml_write_buff.doc, 0, xml_write_buff.fpos, &xml_write_outcome);
    if (xml_write_buff.doc != nullptr && discard)
        xml_write_buff.doc->state = XML_STATE_FAILED;
    __xml_document_end(xml_write_buff.doc);
    xml_write_buff.doc = nullptr;
    zconf_heap_free(xml_write_buff.buff);
    xml_write_buff.buff = xml_write_buff.unprocData = xml_write_buff.tokenEnd = nullptr;
    xml_write_buff.unprocLen = 0;
}

// Closes whichever pass is open; a pass of the other kind is ended without its result.
void close_channel(uint32_t own_kind) {
    if (zconf_xml_open_mode == ZCONF_XML_OPEN_READ)
        end_read_pass();
    else if (zconf_xml_open_mode == ZCONF_XML_OPEN_WRITE)
        end_write_pass(own_kind != ZCONF_XML_OPEN_WRITE);
    zconf_xml_open_mode = 0;
}

} // namespace

int32_t zconf_proc_init() { return 0; }

void zconf_proc_cleanup() {}

int32_t zconf_xml_open(uint32_t mode) {
    if ((mode & ZCONF_XML_OPEN_READ) && (mode & ZCONF_XML_OPEN_WRITE))
        return ZCONF_ERR_ACCES;
    if (__ZConfLockInterruptible() != 0)
        return ZCONF_ERR_BUSY;
    int32_t rc = ZCONF_ERR_BUSY;
    if (zconf_xml_open_mode == 0)
        rc = (mode & ZCONF_XML_OPEN_READ) ? open_read(__ZConfGetRootKey()) : open_write(mode);
    __ZConfUnLock();
    return rc;
}

int32_t zconf_xml_open_tree(zconf_key *root) {
    if (__ZConfLockInterruptible() != 0)
        return ZCONF_ERR_BUSY;
    int32_t rc = zconf_xml_open_mode == 0 ? open_read(root) : ZCONF_ERR_BUSY;
    __ZConfUnLock();
    return rc;
}

int32_t zconf_xml_read(char *buf, uint32_t count, uint32_t *fpos) {
    if (buf == nullptr)
        return ZCONF_ERR_FAULT;
    if (zconf_xml_open_mode != ZCONF_XML_OPEN_READ)
        return ZCONF_ERR_INVAL;
    xml_read_record &r = xml_read_buff;
    if (*fpos != r.fpos + r.pos)
        return 0;
    if (__ZConfLockInterruptible() != 0)
        return ZCONF_ERR_BUSY;
    uint32_t total = 0;
    while (count != 0) {
        uint32_t n = r.len - r.pos < count ? r.len - r.pos : count;
        if (n != 0)
            memcpy(buf, r.buff + r.pos, n);
        buf += n;
        r.pos += n;
        total += n;
        count -= n;
        if (r.pos < r.len)
            continue; // count is used up
        // The piece is used up: the walk takes its next step at once, so a key is let go
        // of as soon as every line of it before its end line has been delivered.
        release_piece();
        r.len = r.pos = 0;
        r.fpos = *fpos + total;
        if (r.key == nullptr)
            break; // the document is complete
        if (walk_step() != 0) {
            if (total == 0) {
                __ZConfUnLock();
                return ZCONF_ERR_NOMEM;
            }
            break;
        }
    }
    *fpos += total;
    __ZConfUnLock();
    return static_cast<int32_t>(total);
}

int32_t zconf_xml_write(const char *buf, uint32_t count, uint32_t *fpos) {
    if (buf == nullptr)
        return ZCONF_ERR_FAULT;
    if (zconf_xml_open_mode != ZCONF_XML_OPEN_WRITE)
        return ZCONF_ERR_INVAL;
    if (__ZConfLockInterruptible() != 0)
        return ZCONF_ERR_BUSY;
    xml_write_record &w = xml_write_buff;
    if (write_failed()) {
        __ZConfUnLock();
        return ZCONF_ERR_INVAL;
    }
    if (*fpos != w.fpos) {
        printf("zconf_xml_write: ERROR: invalid *fpos value, expected %lu, requested %llu\n",
               static_cast<unsigned long>(w.fpos), static_cast<unsigned long long>(*fpos));
        __ZConfUnLock();
        return 0;
    }
    uint32_t total = 0;
    while (count != 0) {
        auto used = static_cast<uint32_t>(w.unprocData - w.buff);
        uint32_t space = w.buffLen - w.unprocLen - used;
        uint32_t n = space < count ? space : count;
        if (n == 0) {
            printf("zconf_xml_write: ERROR: write buffer overflow: xml_write_buff.unprocLen=%u\n",
                   w.unprocLen);
            __xml_refuse(w.doc, XML_REFUSED_LONG_TAG, w.buff, nullptr);
            __xml_note_failure(&w, ZCONF_ERR_OVERFLOW);
            __xml_document_outcome(w.doc, ZCONF_ERR_OVERFLOW, w.fpos + total, &xml_write_outcome);
            w.doc->state = XML_STATE_FAILED;
            __ZConfUnLock();
            return ZCONF_ERR_OVERFLOW;
        }
        memcpy(w.unprocData + w.unprocLen, buf, n);
        w.unprocLen += n;
        total += n;
        buf += n;
        count -= n;
        int32_t rc = __xml_proc_buff(&w);
        if (rc != 0) {
            __xml_document_outcome(w.doc, rc, w.fpos + total, &xml_write_outcome);
            puts("zconf_xml_write: ERROR while parsing input data!");
            w.doc->state = XML_STATE_FAILED;
            __ZConfUnLock();
            return ZCONF_ERR_INVAL;
        }
    }
    *fpos += total;
    w.fpos = *fpos;
    __ZConfUnLock();
    return static_cast<int32_t>(total);
}

int32_t zconf_xml_read_done() {
    __ZConfLock();
    close_channel(ZCONF_XML_OPEN_READ);
    __ZConfUnLock();
    return 0;
}

int32_t zconf_xml_write_done() {
    __ZConfLock();
    close_channel(ZCONF_XML_OPEN_WRITE);
    __ZConfUnLock();
    return 0;
}

const xml_refusal *zconf_xml_write_outcome() { return &xml_write_outcome; }
