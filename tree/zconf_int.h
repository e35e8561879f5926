// Key and value tree: node records, the intrusive list that chains them, and the
// primitives every other module uses to build, search, change and free the tree.
// The primitives take no lock. Besides the tree they touch state every tree shares (the
// node statistics, the count of list changes, the last position found), so callers hold
// the API mutex, as every part of the library does, or are the process's only thread.
#pragma once

#include "dovizuz.h"
#include "tree/zconf_mem.h"

#include <cstddef>
#include <cstdint>

// The name of a root key: the live root and the root of every document.
#define ZCONF_ROOT_NAME "ZCONF_ROOT"

struct zconf_list {
    zconf_list *next;
    zconf_list *prev;
};

struct zconf_key {
    uint8_t flags;
    uint8_t name_len;
    uint16_t open_count; // open references on this key and all its descendants
    zconf_key *parent;
    zconf_list sibling;
    zconf_list subkeys; // ascending name order, case-insensitive
    zconf_list values;  // insertion order
    char name[];        // name_len bytes and a NUL
};

struct zconf_value {
    uint8_t flags;
    uint8_t name_len;
    uint16_t type_len; // type code in bits 12-15, data length in bits 0-11
    zconf_key *parent;
    zconf_list sibling;
    char name[]; // name_len bytes, a NUL, then the data bytes unaligned
};

enum : uint8_t {
    ZCONF_FLAG_CLASS_MASK = 0x07,
    ZCONF_FLAG_SUBKEY_INDEX = 0x08, // the key's subkeys have a name index (tree/zconf_index.h)
    ZCONF_FLAG_DELETE_PENDING = 0x10,
    ZCONF_FLAG_VOLATILE = 0x20,
    ZCONF_FLAG_VALUE_INDEX = 0x40, // the key's values have a name index
    ZCONF_FLAG_KEY = 0x80,
    // Bookkeeping of the tree alone, never shown with a key's flags.
    ZCONF_FLAG_INDEXES = ZCONF_FLAG_SUBKEY_INDEX | ZCONF_FLAG_VALUE_INDEX,
};

enum : uint32_t {
    ZCONF_VALUE_TYPE_SHIFT = 12,
    ZCONF_VALUE_LEN_MASK = 0xFFF,
    ZCONF_NAME_LIMIT = ZCONF_MAX_NAME + 1, // names of this length or longer are refused
};

// Sizes counted for a node, as the 32-bit target lays it out (4-byte pointers): a key
// counts name_len + 33 bytes, a value name_len + data length + 17. They choose the size
// class and feed the statistics on every build, so figures and limits are the same on
// every host; the allocator adds room for wider pointers to each block.
enum : uint32_t {
    ZCONF_KEY_REQUEST_BASE = 33,
    ZCONF_VALUE_REQUEST_BASE = 17,
    // Most bytes a value's name and data take together (4079): the largest node counted.
    ZCONF_VALUE_BYTES_MAX = ZCONF_MEM_MAX_REQUEST - ZCONF_VALUE_REQUEST_BASE,
};

// The value's type code.
inline uint32_t zconf_value_type(const zconf_value *v) {
    return v->type_len >> ZCONF_VALUE_TYPE_SHIFT;
}
// The value's data length in bytes.
inline uint32_t zconf_value_len(const zconf_value *v) { return v->type_len & ZCONF_VALUE_LEN_MASK; }
// The value's data, right behind its name's NUL and not aligned.
inline uint8_t *zconf_value_data(zconf_value *v) {
    return reinterpret_cast<uint8_t *>(v->name) + v->name_len + 1;
}
inline const uint8_t *zconf_value_data(const zconf_value *v) {
    return reinterpret_cast<const uint8_t *>(v->name) + v->name_len + 1;
}

// The key, or value, whose sibling link this is.
inline zconf_key *zconf_key_of(zconf_list *link) {
    return reinterpret_cast<zconf_key *>(reinterpret_cast<char *>(link) -
                                         offsetof(zconf_key, sibling));
}
inline zconf_value *zconf_value_of(zconf_list *link) {
    return reinterpret_cast<zconf_value *>(reinterpret_cast<char *>(link) -
                                           offsetof(zconf_value, sibling));
}

// Makes an empty list head (or a link that is a list of its own).
inline void zconf_list_init(zconf_list *head) { head->next = head->prev = head; }
// True when the list has no member.
inline bool zconf_list_empty(const zconf_list *head) { return head->next == head; }
// How many links were made or undone in all lists: a member found by its position in a
// list stays at that position while this count stays the same. Counted under the API
// mutex, like every change of a tree.
extern uint64_t zconf_list_changes;

// Links link into a list in front of at (at the head: at the list's end).
inline void zconf_list_link_before(zconf_list *at, zconf_list *link) {
    zconf_list_changes++;
    link->next = at;
    link->prev = at->prev;
    at->prev->next = link;
    at->prev = link;
}
// Takes link out of its list.
inline void zconf_list_unlink(zconf_list *link) {
    zconf_list_changes++;
    link->prev->next = link->next;
    link->next->prev = link->prev;
}

// A byte as names compare it: A-Z as a-z, every other byte as itself.
constexpr unsigned char zconf_fold(unsigned char c) {
    return static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
}

// Case-insensitive comparison of n bytes (A-Z equal a-z, other bytes unsigned),
// stopping after a NUL common to both; returns <0, 0 or >0 like strncasecmp.
int zconf_casecmp(const char *a, const char *b, size_t n);
// FNV-1a of a name with A-Z folded to a-z, continuing from h (names equal by
// zconf_casecmp hash alike); chains over several names by passing one's hash to the next.
uint32_t zconf_name_hash(const char *name, uint32_t h = 2166136261u);

// A new unlinked key (volatile when isVolatile is non-zero), or NULL for a name of 256
// bytes or more or when the allocator refuses the node.
zconf_key *__zconf_create_key(const char *name, int isVolatile);
// A new root key named ZCONF_ROOT_NAME (no parent, its sibling link a list of its own), or
// NULL when the allocator refuses it.
zconf_key *__zconf_create_root();
// The first subkey of that name (letter case aside), or NULL.
zconf_key *__zconf_find_subkey(zconf_key *key, const char *name);
// Links the key into the parent's subkeys in name order, behind keys of an equal name.
void __zconf_add_subkey(zconf_key *parent, zconf_key *key);
// Frees the key's values, unlinks the key and frees it; the key must have no subkeys.
void __zconf_del_subkey(zconf_key *key);
// The subkey at that position in name order, or NULL past the end or for a negative index.
zconf_key *__zconf_enum_subkey(zconf_key *key, int32_t index);

// A new unlinked value, or NULL for a name of 256 bytes or more, a name and data of more
// than ZCONF_VALUE_BYTES_MAX bytes together, or a node the allocator refuses. String
// types (zconf_type_is_string) need length >= 1 and get a final NUL when their last byte
// is not one.
zconf_value *__zconf_create_value(const char *name, uint32_t type, const void *data,
                                  uint32_t length);
// The first value of that name (letter case aside), or NULL.
zconf_value *__zconf_find_value(zconf_key *key, const char *name);
// Appends the value to the key's values.
void __zconf_add_value(zconf_key *key, zconf_value *value);
// Links the value directly behind an existing one, in the same key.
void __zconf_ins_value(zconf_value *existing, zconf_value *value);
// Puts a value in place of the key's value of the same name, or appends it.
void __zconf_put_value(zconf_key *key, zconf_value *value);
// Unlinks the value and frees it.
void __zconf_del_value(zconf_value *value);
// The value at that position in insertion order, or NULL past the end or for a negative
// index.
zconf_value *__zconf_enum_value(zconf_key *key, int32_t index);

// Adds 1 to the open count of the key and of each of its ancestors.
void __zconf_mark_key_open(zconf_key *key);
// Subtracts 1 from the open count of the key and of each of its ancestors.
void __zconf_mark_key_closed(zconf_key *key);

// Frees the key and its whole subtree (unlinking the key from its parent), without
// recursion.
void __zconf_del_tree(zconf_key *key);
// Merges the source tree into the destination (keys matched by name, values replaced in
// place or appended) and frees what is left of the source, its root included.
void __zconf_merge_trees(zconf_key *destination, zconf_key *source);
// Takes a key out of its parent and merges it, with its subtree, into another key.
void __zconf_merge_subkey(zconf_key *destination, zconf_key *key);
