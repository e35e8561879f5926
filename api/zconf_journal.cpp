// The change journal: records of what this process changed through the API, matched
// against key paths by the tree's own name rule (letter case aside).
#include "api/zconf_journal.h"

#include "tree/zconf_hash.h"

#include <cstdlib>
#include <cstring>

zconf_list zconf_changes = {&zconf_changes, &zconf_changes};
size_t zconf_change_count;
bool zconf_journal_lost;

namespace {

// Each value change by the hash of its path and value name, so that a new change finds
// the earlier one of the same value without reading the others.
zconf_hash_table value_changes;
// Deletions of keys in the journal: a refresh asks about them for every key it passes.
size_t key_deletions;

// The number of names in the key's path from the root.
uint32_t key_depth(const zconf_key *key) {
    uint32_t depth = 0;
    for (; key->parent != nullptr; key = key->parent)
        depth++;
    return depth;
}

// The ancestor of key that lies `depth` names below the root.
const zconf_key *ancestor_at(const zconf_key *key, uint32_t depth) {
    for (uint32_t d = key_depth(key); d > depth; d--)
        key = key->parent;
    return key;
}

// Whether two names are the same by the tree's rule (letter case aside).
bool same_name(const char *stored, const char *name) {
    return zconf_casecmp(stored, name, strlen(stored) + 1) == 0;
}

// Whether the first `depth` names of the change's path name the live key at that depth
// (key is `depth` names below the root). Walks up from the key for each name, so it needs
// neither memory nor recursion; key paths are short.
bool path_names_key(const zconf_change *change, uint32_t depth, const zconf_key *key) {
    const char *p = change->path;
    for (uint32_t d = 1; d <= depth; d++) {
        const zconf_key *at = key;
        for (uint32_t up = depth; up > d; up--)
            at = at->parent;
        if (!same_name(p, at->name))
            return false;
        p += strlen(p) + 1;
    }
    return true;
}

// Whether the change is of a value (set or deleted) rather than of a key.
bool is_value_change(uint8_t kind) {
    return kind == ZCONF_CHANGE_SET_VALUE || kind == ZCONF_CHANGE_DELETE_VALUE;
}

// Whether two changes name the same key.
bool same_path(const zconf_change *a, const zconf_change *b) {
    if (a->depth != b->depth)
        return false;
    const char *p = a->path, *q = b->path;
    for (uint32_t d = 0; d < a->depth; d++) {
        if (!same_name(p, q))
            return false;
        p += strlen(p) + 1;
        q += strlen(q) + 1;
    }
    return true;
}

// The hash of a change of the value `value` of the live key: the value's name, then the
// key's names from the key up, each with its end.
uint32_t value_hash(const zconf_key *key, const char *value) {
    uint32_t h = zconf_name_hash(value);
    for (; key->parent != nullptr; key = key->parent)
        h = zconf_name_hash(key->name, h * 16777619u);
    return h;
}

// A new change record of the live key (and of its value `value` when not NULL), not yet
// in the journal; NULL when the heap refuses it.
zconf_change *new_change(uint8_t kind, const zconf_key *key, const char *value) {
    size_t path_size = 0;
    uint32_t depth = 0;
    for (const zconf_key *k = key; k->parent != nullptr; k = k->parent, depth++)
        path_size += k->name_len + 1u;
    size_t value_size = value != nullptr ? strlen(value) + 1 : 0;
    auto *change =
        static_cast<zconf_change *>(malloc(sizeof(zconf_change) + path_size + value_size));
    if (change == nullptr)
        return nullptr;
    change->kind = kind;
    change->depth = depth;
    change->path = reinterpret_cast<char *>(change + 1);
    change->value = value != nullptr ? change->path + path_size : nullptr;
    size_t end = path_size;
    for (const zconf_key *k = key; k->parent != nullptr; k = k->parent) {
        end -= k->name_len + 1u;
        memcpy(change->path + end, k->name, k->name_len + 1u);
    }
    if (value != nullptr)
        memcpy(change->value, value, value_size);
    change->hash = value != nullptr ? value_hash(key, value) : 0;
    return change;
}

// Takes a change out of the journal and frees it.
void remove_change(zconf_change *change) {
    zconf_list_unlink(&change->link);
    zconf_change_count--;
    key_deletions -= change->kind == ZCONF_CHANGE_DELETE_KEY;
    free(change);
}

// The slot of the recorded change of the value `value` of the live key, `depth` names
// below the root (h being the change's hash), or the free slot where it would go.
uint32_t value_slot_of(const zconf_key *key, uint32_t depth, const char *value, uint32_t h) {
    return zconf_hash_find(&value_changes, h, [&](void *item) {
        const auto *c = static_cast<const zconf_change *>(item);
        return c->depth == depth && same_name(c->value, value) && path_names_key(c, depth, key);
    });
}

// Takes a value change's slot out of the table.
void value_slot_drop(const zconf_change *change) {
    uint32_t hole =
        zconf_hash_find(&value_changes, change->hash, [&](void *item) { return item == change; });
    zconf_hash_forget(&value_changes, hole);
}

// Whether the newest change is the key change `change` again.
bool repeats_last(const zconf_change &change) {
    if (zconf_change_count == 0)
        return false;
    const zconf_change *last = zconf_change_of(zconf_changes.prev);
    return last->kind == change.kind && same_path(last, &change);
}

} // namespace

void zconf_journal_record(uint8_t kind, const zconf_key *key, const char *value) {
    if (key->parent == nullptr || (key->flags & ZCONF_FLAG_VOLATILE))
        return;
    bool of_value = is_value_change(kind);
    zconf_change *change = new_change(kind, key, value);
    if (change == nullptr || (of_value && !zconf_hash_reserve(&value_changes))) {
        free(change);
        zconf_journal_lost = true;
        return;
    }
    if (!of_value && repeats_last(*change)) {
        free(change);
        return;
    }
    if (of_value) {
        // A change of a value already recorded replaces that record: the later change,
        // at the journal's end, decides what the value is.
        uint32_t slot = value_slot_of(key, change->depth, value, change->hash);
        auto *earlier = static_cast<zconf_change *>(value_changes.slots[slot].item);
        if (earlier != nullptr) {
            remove_change(earlier);
            value_changes.slots[slot].item = change;
        } else {
            zconf_hash_put(&value_changes, slot, change, change->hash);
        }
    }
    zconf_list_link_before(&zconf_changes, &change->link);
    zconf_change_count++;
    key_deletions += kind == ZCONF_CHANGE_DELETE_KEY;
}

void zconf_journal_clear() {
    while (!zconf_list_empty(&zconf_changes))
        remove_change(zconf_change_of(zconf_changes.next));
    zconf_hash_free(&value_changes);
    zconf_journal_lost = false;
}

void zconf_journal_drop_under(const zconf_key *key) {
    for (zconf_list *link = zconf_changes.next, *next; link != &zconf_changes; link = next) {
        next = link->next;
        zconf_change *change = zconf_change_of(link);
        if (!zconf_change_under(change, key))
            continue;
        if (is_value_change(change->kind))
            value_slot_drop(change);
        remove_change(change);
    }
}

bool zconf_change_under(const zconf_change *change, const zconf_key *key) {
    uint32_t depth = key_depth(key);
    return change->depth >= depth && path_names_key(change, depth, key);
}

bool zconf_journal_touches(const zconf_key *key) {
    for (zconf_list *link = zconf_changes.next; link != &zconf_changes; link = link->next)
        if (zconf_change_under(zconf_change_of(link), key))
            return true;
    return false;
}

bool zconf_journal_has_value(const zconf_key *key, const char *value) {
    return value_changes.used != 0 &&
           value_changes.slots[value_slot_of(key, key_depth(key), value, value_hash(key, value))]
                   .item != nullptr;
}

bool zconf_journal_key_deleted(const zconf_key *key, const char *child) {
    if (key_deletions == 0)
        return false;
    uint32_t depth = key_depth(key);
    for (zconf_list *link = zconf_changes.next; link != &zconf_changes; link = link->next) {
        const zconf_change &c = *zconf_change_of(link);
        if (c.kind != ZCONF_CHANGE_DELETE_KEY)
            continue;
        if (c.depth <= depth && path_names_key(&c, c.depth, ancestor_at(key, c.depth)))
            return true;
        if (child != nullptr && c.depth == depth + 1 && path_names_key(&c, depth, key)) {
            const char *last = c.path;
            for (uint32_t d = 0; d < depth; d++)
                last += strlen(last) + 1;
            if (same_name(last, child))
                return true;
        }
    }
    return false;
}
