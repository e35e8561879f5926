// Key and value tree: creating, finding, linking, enumerating, marking, deleting and
// merging nodes.
#include "tree/zconf_int.h"

#include "tree/zconf_index.h"
#include "tree/zconf_mem.h"
#include "tree/zconf_types.h"

#include <cassert>
#include <cstring>

uint64_t zconf_list_changes;

namespace {

struct fold_table {
    unsigned char lower[256];
    constexpr fold_table() : lower() {
        for (int c = 0; c < 256; c++)
            lower[c] = zconf_fold(static_cast<unsigned char>(c));
    }
};
constexpr fold_table fold;

// A candidate matches over its own name and NUL, so equal names need equal lengths.
template <typename Node> bool name_matches(const Node *candidate, const char *name) {
    return zconf_casecmp(candidate->name, name, candidate->name_len + 1u) == 0;
}

// Length of a name below the limit, or ZCONF_NAME_LIMIT when it is too long.
size_t measure_name(const char *name) { return strnlen(name, ZCONF_NAME_LIMIT); }

// ---- name indexes of large sibling sets ----

// The index of the key's subkeys, or of its values, or NULL.
zconf_index *subkey_index(const zconf_key *key) {
    return key->flags & ZCONF_FLAG_SUBKEY_INDEX ? zconf_index_get(&key->subkeys) : nullptr;
}

zconf_index *value_index(const zconf_key *key) {
    return key->flags & ZCONF_FLAG_VALUE_INDEX ? zconf_index_get(&key->values) : nullptr;
}

// Frees the index of the key's subkeys, or of its values, if it has one.
void drop_subkey_index(zconf_key *key) {
    if (key->flags & ZCONF_FLAG_SUBKEY_INDEX) {
        zconf_index_drop(&key->subkeys);
        key->flags &= static_cast<uint8_t>(~ZCONF_FLAG_SUBKEY_INDEX);
    }
}

void drop_value_index(zconf_key *key) {
    if (key->flags & ZCONF_FLAG_VALUE_INDEX) {
        zconf_index_drop(&key->values);
        key->flags &= static_cast<uint8_t>(~ZCONF_FLAG_VALUE_INDEX);
    }
}

// Indexes the key's subkeys (or values) after a walk passed over `walked` of them, when
// that is many; without heap room the list simply goes on being walked.
void index_after_walk(zconf_key *key, bool of_values, uint32_t walked) {
    if (walked <= ZCONF_INDEX_THRESHOLD)
        return;
    if (zconf_index_build(of_values ? &key->values : &key->subkeys, of_values) != nullptr)
        key->flags |= of_values ? ZCONF_FLAG_VALUE_INDEX : ZCONF_FLAG_SUBKEY_INDEX;
}

// Unlinks a subkey from its parent's list and index.
void unlink_subkey(zconf_key *key) {
    if (key->parent != nullptr)
        if (zconf_index *index = subkey_index(key->parent))
            zconf_index_remove(index, &key->sibling);
    zconf_list_unlink(&key->sibling);
}

// Unlinks a value from its key's list and index.
void unlink_value(zconf_value *value) {
    if (zconf_index *index = value_index(value->parent))
        zconf_index_remove(index, &value->sibling);
    zconf_list_unlink(&value->sibling);
}

// The first member of that name in the list, walking it; indexes the list when the walk
// was long.
template <typename Node, Node *(*of)(zconf_list *)>
Node *list_find(zconf_key *key, zconf_list *head, const char *name) {
    uint32_t walked = 0;
    Node *found = nullptr;
    for (zconf_list *l = head->next; l != head; l = l->next, walked++)
        if (name_matches(of(l), name)) {
            found = of(l);
            break;
        }
    index_after_walk(key, head == &key->values, walked);
    return found;
}

// The member the last lookup by position found, so that the next lookup, mostly of a
// later member of the same list (a listing asks for 0, 1, 2, ...), steps on from there
// instead of counting from the list's start. It holds while no list has changed since.
struct {
    const zconf_list *head;
    int32_t index;
    zconf_list *link;
    uint64_t changes;
} last_position;

template <typename Node, Node *(*of)(zconf_list *)> Node *list_at(zconf_list *head, int32_t index) {
    if (index < 0)
        return nullptr;
    zconf_list *l = head->next;
    int32_t at = 0;
    if (last_position.head == head && last_position.changes == zconf_list_changes &&
        last_position.index <= index) {
        l = last_position.link;
        at = last_position.index;
    }
    for (; l != head && at < index; l = l->next)
        at++;
    if (l == head)
        return nullptr;
    last_position = {head, index, l, zconf_list_changes};
    return of(l);
}

void mark_ancestors(zconf_key *key, int delta) {
    for (; key != nullptr; key = key->parent)
        key->open_count = static_cast<uint16_t>(key->open_count + delta);
}

// Moves every value of a source key into the destination key: a value whose name the
// destination already has takes that value's place, any other is appended.
void merge_values(zconf_key *destination, zconf_key *source) {
    drop_value_index(source);
    while (!zconf_list_empty(&source->values)) {
        zconf_value *value = zconf_value_of(source->values.next);
        zconf_list_unlink(&value->sibling);
        __zconf_put_value(destination, value);
    }
}

} // namespace

uint32_t zconf_name_hash(const char *name, uint32_t h) {
    for (const auto *p = reinterpret_cast<const unsigned char *>(name); *p != 0; p++)
        h = (h ^ fold.lower[*p]) * 16777619u;
    return h;
}

int zconf_casecmp(const char *a, const char *b, size_t n) {
    const auto *x = reinterpret_cast<const unsigned char *>(a);
    const auto *y = reinterpret_cast<const unsigned char *>(b);
    for (size_t i = 0; i < n; i++) {
        if (x[i] == y[i]) { // the common case: equal bytes need no folding
            if (x[i] == 0)
                return 0;
            continue;
        }
        int d = fold.lower[x[i]] - fold.lower[y[i]];
        if (d != 0)
            return d;
    }
    return 0;
}

zconf_key *__zconf_create_key(const char *name, int isVolatile) {
    size_t len = measure_name(name);
    if (len >= ZCONF_NAME_LIMIT)
        return nullptr;
    auto *key = static_cast<zconf_key *>(
        zconf_mem_alloc(static_cast<int32_t>(len + ZCONF_KEY_REQUEST_BASE)));
    if (key == nullptr)
        return nullptr;
    key->flags |= ZCONF_FLAG_KEY | (isVolatile ? ZCONF_FLAG_VOLATILE : 0);
    key->name_len = static_cast<uint8_t>(len);
    memcpy(key->name, name, len + 1);
    key->open_count = 0;
    zconf_list_init(&key->subkeys);
    zconf_list_init(&key->values);
    return key;
}

zconf_key *__zconf_create_root() {
    zconf_key *root = __zconf_create_key(ZCONF_ROOT_NAME, 0);
    if (root == nullptr)
        return nullptr;
    root->parent = nullptr;
    zconf_list_init(&root->sibling);
    return root;
}

zconf_key *__zconf_find_subkey(zconf_key *key, const char *name) {
    if (zconf_list_empty(&key->subkeys))
        return nullptr;
    // The list is in name order: a name past the last one is in no place of it.
    const zconf_key *last = zconf_key_of(key->subkeys.prev);
    if (zconf_casecmp(last->name, name, last->name_len + 1u) < 0)
        return nullptr;
    if (zconf_index *index = subkey_index(key)) {
        zconf_list *found = zconf_index_find(index, name);
        return found != nullptr ? zconf_key_of(found) : nullptr;
    }
    return list_find<zconf_key, zconf_key_of>(key, &key->subkeys, name);
}

void __zconf_add_subkey(zconf_key *parent, zconf_key *key) {
    key->parent = parent;
    if (zconf_index *index = subkey_index(parent)) {
        // The index places the key and names the subkey it goes before.
        zconf_list *next = nullptr;
        bool kept = zconf_index_insert(index, &key->sibling, &next);
        zconf_list_link_before(next != nullptr ? next : &parent->subkeys, &key->sibling);
        if (!kept)
            drop_subkey_index(parent);
        return;
    }
    // Keys mostly arrive in name order (a document is written sorted), so try the end first.
    zconf_list *at = parent->subkeys.next;
    uint32_t walked = 0;
    if (!zconf_list_empty(&parent->subkeys)) {
        const zconf_key *last = zconf_key_of(parent->subkeys.prev);
        if (zconf_casecmp(last->name, key->name, last->name_len + 1u) <= 0)
            at = &parent->subkeys;
    }
    while (at != &parent->subkeys) {
        const zconf_key *existing = zconf_key_of(at);
        if (zconf_casecmp(existing->name, key->name, existing->name_len + 1u) > 0)
            break;
        at = at->next;
        walked++;
    }
    zconf_list_link_before(at, &key->sibling);
    index_after_walk(parent, false, walked);
}

void __zconf_del_subkey(zconf_key *key) {
    drop_subkey_index(key);
    drop_value_index(key);
    zconf_list *l = key->values.next;
    while (l != &key->values) {
        zconf_list *next = l->next;
        zconf_mem_free(zconf_value_of(l));
        l = next;
    }
    unlink_subkey(key);
    zconf_mem_free(key);
}

zconf_key *__zconf_enum_subkey(zconf_key *key, int32_t index) {
    return list_at<zconf_key, zconf_key_of>(&key->subkeys, index);
}

zconf_value *__zconf_create_value(const char *name, uint32_t type, const void *data,
                                  uint32_t length) {
    size_t len = measure_name(name);
    if (len >= ZCONF_NAME_LIMIT || length > ZCONF_VALUE_BYTES_MAX - len)
        return nullptr;
    const auto *bytes = static_cast<const uint8_t *>(data);
    bool is_string = zconf_type_is_string(type);
    // A string's last byte is read below.
    assert(!is_string || length >= 1);
    bool add_nul = is_string && bytes[length - 1] != 0;
    uint32_t stored = length + (add_nul ? 1 : 0);
    auto *value = static_cast<zconf_value *>(
        zconf_mem_alloc(static_cast<int32_t>(len + stored + ZCONF_VALUE_REQUEST_BASE)));
    if (value == nullptr)
        return nullptr;
    value->name_len = static_cast<uint8_t>(len);
    memcpy(value->name, name, len + 1);
    value->type_len = static_cast<uint16_t>((type << ZCONF_VALUE_TYPE_SHIFT) | stored);
    uint8_t *out = zconf_value_data(value);
    if (is_string) {
        memcpy(out, bytes, stored - 1);
        out[stored - 1] = 0;
    } else if (length > 0) {
        memcpy(out, bytes, length);
    }
    return value;
}

zconf_value *__zconf_find_value(zconf_key *key, const char *name) {
    if (zconf_index *index = value_index(key)) {
        zconf_list *found = zconf_index_find(index, name);
        return found != nullptr ? zconf_value_of(found) : nullptr;
    }
    return list_find<zconf_value, zconf_value_of>(key, &key->values, name);
}

void __zconf_add_value(zconf_key *key, zconf_value *value) {
    zconf_list_link_before(&key->values, &value->sibling);
    value->parent = key;
    if (zconf_index *index = value_index(key))
        if (!zconf_index_insert(index, &value->sibling, nullptr))
            drop_value_index(key);
}

void __zconf_ins_value(zconf_value *existing, zconf_value *value) {
    zconf_key *key = existing->parent;
    zconf_list_link_before(existing->sibling.next, &value->sibling);
    value->parent = key;
    zconf_index *index = value_index(key);
    if (index == nullptr)
        return;
    // Behind a value of its own name its place among equal names is known; elsewhere it
    // is not, and the index goes (a later walk builds it again).
    if (zconf_casecmp(existing->name, value->name, existing->name_len + 1u) != 0 ||
        !zconf_index_insert_behind(index, &existing->sibling, &value->sibling))
        drop_value_index(key);
}

void __zconf_put_value(zconf_key *key, zconf_value *value) {
    zconf_value *old = __zconf_find_value(key, value->name);
    if (old == nullptr) {
        __zconf_add_value(key, value);
        return;
    }
    zconf_list_link_before(old->sibling.next, &value->sibling);
    value->parent = key;
    if (zconf_index *index = value_index(key))
        zconf_index_replace(index, &old->sibling, &value->sibling);
    zconf_list_unlink(&old->sibling);
    zconf_mem_free(old);
}

void __zconf_del_value(zconf_value *value) {
    unlink_value(value);
    zconf_mem_free(value);
}

zconf_value *__zconf_enum_value(zconf_key *key, int32_t index) {
    return list_at<zconf_value, zconf_value_of>(&key->values, index);
}

void __zconf_mark_key_open(zconf_key *key) { mark_ancestors(key, 1); }

void __zconf_mark_key_closed(zconf_key *key) { mark_ancestors(key, -1); }

void __zconf_del_tree(zconf_key *key) {
    if (key->parent != nullptr) {
        unlink_subkey(key);
        zconf_list_init(&key->sibling);
    }
    key->parent = nullptr;
    zconf_key *current = key;
    while (current != nullptr) {
        zconf_key *next = current->parent;
        while (!zconf_list_empty(&current->subkeys)) {
            // All of its subkeys go.
            drop_subkey_index(current);
            next = current;
            current = zconf_key_of(current->subkeys.next);
        }
        __zconf_del_subkey(current);
        current = next;
    }
}

void __zconf_merge_trees(zconf_key *destination, zconf_key *source) {
    while (source != nullptr) {
        // The source is only taken from the front, never searched.
        drop_subkey_index(source);
        if (!zconf_list_empty(&source->subkeys)) {
            zconf_key *sub = zconf_key_of(source->subkeys.next);
            zconf_key *match = __zconf_find_subkey(destination, sub->name);
            if (match == nullptr) {
                zconf_list_unlink(&sub->sibling);
                __zconf_add_subkey(destination, sub);
            } else {
                source = sub;
                destination = match;
            }
            continue;
        }
        merge_values(destination, source);
        zconf_key *emptied = source;
        source = source->parent;
        destination = destination->parent;
        __zconf_del_subkey(emptied);
    }
}

void __zconf_merge_subkey(zconf_key *destination, zconf_key *key) {
    unlink_subkey(key);
    zconf_list_init(&key->sibling);
    key->parent = nullptr;
    __zconf_merge_trees(destination, key);
}
