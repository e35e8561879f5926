// The change journal: what this process changed in its store through the API since it
// loaded the file, or since its last flush or save, recorded as key paths and value names
// so that a flush can replay the changes on the file as it is now and a refresh can leave
// them alone. Kept on the C heap, apart from the node allocator and its statistics.
#pragma once

#include "tree/zconf_hash.h"
#include "tree/zconf_int.h"

#include <cstddef>
#include <cstdint>

enum : uint8_t {
    ZCONF_CHANGE_SET_VALUE = 1,
    ZCONF_CHANGE_DELETE_VALUE = 2,
    ZCONF_CHANGE_CREATE_KEY = 3,
    ZCONF_CHANGE_DELETE_KEY = 4,
};

// One change: the key's names from the root down (depth names, each with its NUL, one
// after the other) and, for a value change, the value's name; both lie in the change's
// own heap block, behind the record.
struct zconf_change {
    zconf_list link; // in the journal, oldest change first
    uint8_t kind;
    uint32_t depth;
    uint32_t hash; // of a value change's path and value name, 0 for a key change
    char *path;
    char *value; // NULL for a key change
};

inline zconf_change *zconf_change_of(zconf_list *link) {
    return reinterpret_cast<zconf_change *>(reinterpret_cast<char *>(link) -
                                            offsetof(zconf_change, link));
}

// The journal, oldest change first, and its length; all of it is used under the API
// mutex.
extern zconf_list zconf_changes;
extern size_t zconf_change_count;
// Whether a change could not be recorded for lack of memory since the last save.
extern bool zconf_journal_lost;

// Records a change of the live key (and of its value `value`, NULL for a key change).
// Changes in volatile keys, and of the root key itself, are not recorded. An earlier
// change of the same value gives way to the new one.
void zconf_journal_record(uint8_t kind, const zconf_key *key, const char *value);
// Forgets every change (and a lost one).
void zconf_journal_clear();
// Forgets the changes of key and of everything below it.
void zconf_journal_drop_under(const zconf_key *key);

// Whether the change lies at or below the live key.
bool zconf_change_under(const zconf_change *change, const zconf_key *key);
// Whether any change lies at or below the live key.
bool zconf_journal_touches(const zconf_key *key);
// What the journal holds about the live keys at or below one key, for a walk there that
// asks about many of them: looked up in sets built at the first question instead of read
// through for each. Set up zeroed with its top key; used under the API mutex, and right
// while no key it holds leaves the tree. Freed with zconf_journal_view_free.
struct zconf_journal_view {
    zconf_key *top;
    uint8_t touched_state; // zconf_view_state of each set
    uint8_t deleted_state;
    zconf_hash_table touched; // the live keys at or above a change, by address
    zconf_hash_table deleted; // the deletions of keys below top, by their paths
};

enum zconf_view_state : uint8_t {
    ZCONF_VIEW_UNBUILT = 0,
    ZCONF_VIEW_BUILT = 1,
    ZCONF_VIEW_REFUSED = 2, // the heap refused the set: questions go to the journal
};

// Whether any change lies at or below the live key, which lies at or below view->top.
bool zconf_view_touches(zconf_journal_view *view, const zconf_key *key);
// Whether a deletion is recorded exactly at the live key's path (with `child` one name
// further down when not NULL); the key lies at or below view->top. Where no deletion at
// or above the key is recorded, this is what zconf_journal_key_deleted answers.
bool zconf_view_deleted(zconf_journal_view *view, const zconf_key *key, const char *child);
// Frees the view's sets.
void zconf_journal_view_free(zconf_journal_view *view);
// Whether a change of the value of that name of the live key is recorded.
bool zconf_journal_has_value(const zconf_key *key, const char *value);
// Whether a deletion of the key at the live key's path (with `child` one name further
// down when not NULL), or of a key above it, is recorded.
bool zconf_journal_key_deleted(const zconf_key *key, const char *child);
