// The change journal: records of what this process changed through the API, matched
// against key paths by the tree's own name rule (letter case aside).
#include "api/zconf_journal.h"

#include <cstdlib>
#include <cstring>

zconf_change *zconf_changes;
size_t zconf_change_count;
bool zconf_journal_lost;

namespace {

size_t change_capacity; // records the journal's block has room for

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

// Frees what a change holds.
void free_change(zconf_change *change) {
    free(change->path);
    free(change->value);
}

// Takes the i-th change out of the journal.
void remove_at(size_t i) {
    free_change(&zconf_changes[i]);
    memmove(&zconf_changes[i], &zconf_changes[i + 1],
            (zconf_change_count - i - 1) * sizeof *zconf_changes);
    zconf_change_count--;
}

// The key's path as names one after the other; NULL when the heap refuses it.
char *path_of(const zconf_key *key, uint32_t depth) {
    size_t total = 0;
    for (const zconf_key *k = key; k->parent != nullptr; k = k->parent)
        total += k->name_len + 1u;
    char *path = static_cast<char *>(malloc(total > 0 ? total : 1));
    if (path == nullptr)
        return nullptr;
    size_t end = total;
    for (uint32_t d = 0; d < depth; d++, key = key->parent) {
        end -= key->name_len + 1u;
        memcpy(path + end, key->name, key->name_len + 1u);
    }
    return path;
}

} // namespace

void zconf_journal_record(uint8_t kind, const zconf_key *key, const char *value) {
    if (key->parent == nullptr || (key->flags & ZCONF_FLAG_VOLATILE))
        return;
    zconf_change change{kind, key_depth(key), nullptr, nullptr};
    change.path = path_of(key, change.depth);
    if (value != nullptr)
        change.value = strdup(value);
    if (change.path == nullptr || (value != nullptr && change.value == nullptr)) {
        free_change(&change);
        zconf_journal_lost = true;
        return;
    }
    for (size_t i = zconf_change_count; i-- > 0;) {
        zconf_change &earlier = zconf_changes[i];
        bool same_value = is_value_change(kind) && is_value_change(earlier.kind) &&
                          same_name(earlier.value, value) && same_path(&earlier, &change);
        if (same_value) {
            // The later change decides what the value is.
            remove_at(i);
            break;
        }
        if (i + 1 == zconf_change_count && earlier.kind == kind && !is_value_change(kind) &&
            same_path(&earlier, &change)) {
            // The same key change again.
            free_change(&change);
            return;
        }
    }
    if (zconf_change_count == change_capacity) {
        size_t capacity = change_capacity == 0 ? 16 : change_capacity * 2;
        auto *grown =
            static_cast<zconf_change *>(realloc(zconf_changes, capacity * sizeof *zconf_changes));
        if (grown == nullptr) {
            free_change(&change);
            zconf_journal_lost = true;
            return;
        }
        zconf_changes = grown;
        change_capacity = capacity;
    }
    zconf_changes[zconf_change_count++] = change;
}

void zconf_journal_clear() {
    for (size_t i = 0; i < zconf_change_count; i++)
        free_change(&zconf_changes[i]);
    free(zconf_changes);
    zconf_changes = nullptr;
    zconf_change_count = change_capacity = 0;
    zconf_journal_lost = false;
}

void zconf_journal_drop_under(const zconf_key *key) {
    for (size_t i = zconf_change_count; i-- > 0;)
        if (zconf_change_under(&zconf_changes[i], key))
            remove_at(i);
}

bool zconf_change_under(const zconf_change *change, const zconf_key *key) {
    uint32_t depth = key_depth(key);
    return change->depth >= depth && path_names_key(change, depth, key);
}

bool zconf_journal_touches(const zconf_key *key) {
    for (size_t i = 0; i < zconf_change_count; i++)
        if (zconf_change_under(&zconf_changes[i], key))
            return true;
    return false;
}

bool zconf_journal_has_value(const zconf_key *key, const char *value) {
    uint32_t depth = key_depth(key);
    for (size_t i = 0; i < zconf_change_count; i++) {
        const zconf_change &c = zconf_changes[i];
        if (is_value_change(c.kind) && c.depth == depth && same_name(c.value, value) &&
            path_names_key(&c, depth, key))
            return true;
    }
    return false;
}

bool zconf_journal_key_deleted(const zconf_key *key, const char *child) {
    uint32_t depth = key_depth(key);
    for (size_t i = 0; i < zconf_change_count; i++) {
        const zconf_change &c = zconf_changes[i];
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
