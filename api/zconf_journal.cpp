// The change journal: records of what this process changed through the API, matched
// against key paths by the tree's own name rule (letter case aside).
#include "api/zconf_journal.h"

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

// The names of the change's path below its first `depth` ones.
const char *names_below(const zconf_change *change, uint32_t depth) {
    const char *names = change->path;
    for (uint32_t d = 0; d < depth; d++)
        names += strlen(names) + 1;
    return names;
}

// The name that ends the change's path (of a key change, depth 1 or more).
const char *last_name(const zconf_change *change) { return names_below(change, change->depth - 1); }

// Whether the change lies at or below the live key `depth` names below the root.
bool change_at_or_below(const zconf_change *change, uint32_t depth, const zconf_key *key) {
    return change->depth >= depth && path_names_key(change, depth, key);
}

// ---- A view's set of touched keys ----

// The slot of the key in the set, or the free slot where it would go; the set has slots.
uint32_t touched_slot(const zconf_hash_table *set, const zconf_key *key) {
    return zconf_hash_find(set, zconf_address_hash(key), [&](void *item) { return item == key; });
}

// Puts the key into the set unless it is there; false when the heap refuses it.
bool touched_put(zconf_hash_table *set, zconf_key *key) {
    if (!zconf_hash_reserve(set))
        return false;
    uint32_t slot = touched_slot(set, key);
    if (set->slots[slot].item == nullptr)
        zconf_hash_put(set, slot, key, zconf_address_hash(key));
    return true;
}

// Puts into the set every live key below `key` that the `count` names from `names` on
// lead to (a parent's subkeys have names unlike each other, letter case aside). False
// when the heap refuses the set.
bool touched_put_path(zconf_hash_table *set, zconf_key *key, const char *names, uint32_t count) {
    for (; count > 0; count--) {
        key = __zconf_find_subkey(key, names);
        if (key == nullptr)
            return true;
        if (!touched_put(set, key))
            return false;
        names += strlen(names) + 1;
    }
    return true;
}

// Fills the view's touched keys from the changes at or below its top; false when the
// heap refuses the set.
bool touched_build(zconf_journal_view *view) {
    uint32_t depth = key_depth(view->top);
    for (zconf_list *link = zconf_changes.next; link != &zconf_changes; link = link->next) {
        const zconf_change *change = zconf_change_of(link);
        if (!change_at_or_below(change, depth, view->top))
            continue;
        if (!touched_put(&view->touched, view->top) ||
            !touched_put_path(&view->touched, view->top, names_below(change, depth),
                              change->depth - depth))
            return false;
    }
    return true;
}

// ---- A view's set of deleted paths ----

// The share of a path's hash that the name at that depth gives; a path's hash is the sum
// of its names' shares, so it can be taken from the root down or from a key up.
uint32_t name_share(const char *name, uint32_t depth) {
    return zconf_name_hash(name, 2166136261u ^ (depth * 0x9E3779B9u));
}

// The hash of the change's path.
uint32_t change_path_hash(const zconf_change *change) {
    uint32_t h = 0;
    const char *name = change->path;
    for (uint32_t d = 1; d <= change->depth; d++, name += strlen(name) + 1)
        h += name_share(name, d);
    return h;
}

// The hash of the path of the live key `depth` names below the root.
uint32_t key_path_hash(const zconf_key *key, uint32_t depth) {
    uint32_t h = 0;
    for (; key->parent != nullptr; key = key->parent, depth--)
        h += name_share(key->name, depth);
    return h;
}

// Fills the view's deleted paths from the key deletions below its top; false when the
// heap refuses the set.
bool deleted_build(zconf_journal_view *view) {
    uint32_t depth = key_depth(view->top);
    for (zconf_list *link = zconf_changes.next; link != &zconf_changes; link = link->next) {
        zconf_change *change = zconf_change_of(link);
        if (change->kind != ZCONF_CHANGE_DELETE_KEY ||
            !change_at_or_below(change, depth, view->top))
            continue;
        if (!zconf_hash_reserve(&view->deleted))
            return false;
        uint32_t h = change_path_hash(change);
        uint32_t slot = zconf_hash_find(&view->deleted, h, [](void *) { return false; });
        zconf_hash_put(&view->deleted, slot, change, h);
    }
    return true;
}

// Builds the set of the given state on first use; whether it can answer.
template <typename Build> bool view_ready(uint8_t *state, zconf_journal_view *view, Build build) {
    if (*state == ZCONF_VIEW_UNBUILT)
        *state = build(view) ? ZCONF_VIEW_BUILT : ZCONF_VIEW_REFUSED;
    return *state == ZCONF_VIEW_BUILT;
}

} // namespace

bool zconf_view_touches(zconf_journal_view *view, const zconf_key *key) {
    if (!view_ready(&view->touched_state, view, touched_build))
        return zconf_journal_touches(key);
    return view->touched.used != 0 && view->touched.slots[touched_slot(&view->touched, key)].item;
}

bool zconf_view_deleted(zconf_journal_view *view, const zconf_key *key, const char *child) {
    if (key_deletions == 0)
        return false;
    if (!view_ready(&view->deleted_state, view, deleted_build))
        return zconf_journal_key_deleted(key, child);
    if (view->deleted.used == 0)
        return false;
    uint32_t depth = key_depth(key);
    uint32_t h = key_path_hash(key, depth);
    uint32_t at = depth;
    if (child != nullptr)
        h += name_share(child, ++at);
    uint32_t slot = zconf_hash_find(&view->deleted, h, [&](void *item) {
        const auto *c = static_cast<const zconf_change *>(item);
        return c->depth == at && path_names_key(c, depth, key) &&
               (child == nullptr || same_name(last_name(c), child));
    });
    return view->deleted.slots[slot].item != nullptr;
}

void zconf_journal_view_free(zconf_journal_view *view) {
    zconf_hash_free(&view->touched);
    zconf_hash_free(&view->deleted);
}

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
    return change_at_or_below(change, key_depth(key), key);
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
        if (child != nullptr && c.depth == depth + 1 && path_names_key(&c, depth, key) &&
            same_name(last_name(&c), child))
            return true;
    }
    return false;
}
