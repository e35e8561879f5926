// Name index of large sibling lists: sorted blocks of member links, and the registry that
// finds a list's index from its head.
#include "tree/zconf_index.h"

#include "tree/zconf_hash.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <pthread.h>

namespace {

constexpr uint32_t block_size = 128;
constexpr uint32_t key_bytes = 16;

// The first key_bytes bytes of a name, A-Z folded to a-z and packed big-endian, so that
// comparing (hi, lo) as unsigned integers orders names as zconf_casecmp does over those
// bytes; bytes past the name's end are 0, which sorts first as the end of a name does.
// Searches compare keys and read a member's name only when two keys are equal. Sixteen
// bytes, as siblings often share a stem longer than eight ("Interface0001", ...).
struct name_key {
    uint64_t hi, lo;
};
static_assert(key_bytes == sizeof(name_key), "a key holds key_bytes bytes, the last in lo");

struct index_block {
    uint32_t n;
    name_key key[block_size]; // the key of each link's name
    zconf_list *link[block_size];
};

} // namespace

struct zconf_index {
    bool of_values;
    uint32_t blocks, capacity;
    index_block **block;
    name_key *last; // the key of each block's last member, so block searches stay here
    // Exact finds: the first member of each name, by the hash of its folded name.
    zconf_hash_table hash;
};

namespace {

// ---- names ----

struct name_ref {
    const char *name;
    uint32_t len;
};

// The name of the key or value whose sibling link this is.
name_ref name_of(const zconf_index *index, const zconf_list *link) {
    auto *l = const_cast<zconf_list *>(link);
    if (index->of_values) {
        const zconf_value *v = zconf_value_of(l);
        return {v->name, v->name_len};
    }
    const zconf_key *k = zconf_key_of(l);
    return {k->name, k->name_len};
}

// <0, 0 or >0 as the member's name sorts before, with or after name.
int compare(const zconf_index *index, const zconf_list *link, const char *name) {
    name_ref r = name_of(index, link);
    return zconf_casecmp(r.name, name, r.len + 1u);
}

// The key of a name of len bytes.
name_key key_of(const char *name, uint32_t len) {
    uint64_t word[2] = {0, 0};
    const auto *p = reinterpret_cast<const unsigned char *>(name);
    for (uint32_t i = 0; i < len && i < key_bytes; i++)
        word[i / 8] |= static_cast<uint64_t>(zconf_fold(p[i])) << (56 - 8 * (i % 8));
    return {word[0], word[1]};
}

// The key of a member's name.
name_key member_key(const zconf_index *index, const zconf_list *link) {
    name_ref r = name_of(index, link);
    return key_of(r.name, r.len);
}

// A name searched for, with its key.
struct probe {
    const char *name;
    name_key key;
};

// The probe of a name.
probe probe_of(const char *name) { return {name, key_of(name, strnlen(name, key_bytes))}; }

// <0, 0 or >0 as the member of key k sorts before, with or after the probe; member()
// gives its link, whose name is read only when the keys are equal and do not hold the
// whole of both names.
template <typename Member>
int order(const zconf_index *index, const name_key &k, const probe &p, Member member) {
    if (k.hi != p.key.hi)
        return k.hi < p.key.hi ? -1 : 1;
    if (k.lo != p.key.lo)
        return k.lo < p.key.lo ? -1 : 1;
    if ((k.lo & 0xFF) == 0) // both names end within the key, at the same place
        return 0;
    name_ref r = name_of(index, member()); // both names run past the key
    return zconf_casecmp(r.name + key_bytes, p.name + key_bytes, r.len + 1u - key_bytes);
}

// ---- the hash of first members ----

// The slot holding the first member named name (of hash h), or the free slot where it
// would go.
uint32_t hash_slot(const zconf_index *index, const char *name, uint32_t h) {
    return zconf_hash_find(&index->hash, h, [&](void *link) {
        return compare(index, static_cast<zconf_list *>(link), name) == 0;
    });
}

// The first member of that name in the hash's slot i, or NULL.
zconf_list *hash_member(const zconf_index *index, uint32_t i) {
    return static_cast<zconf_list *>(index->hash.slots[i].item);
}

// Records the link, its name of hash h, as the first of its name when no member of that
// name is recorded.
bool hash_add(zconf_index *index, zconf_list *link, uint32_t h) {
    if (!zconf_hash_reserve(&index->hash))
        return false;
    uint32_t i = hash_slot(index, name_of(index, link).name, h);
    if (hash_member(index, i) == nullptr)
        zconf_hash_put(&index->hash, i, link, h);
    return true;
}

// ---- positions ----

struct position {
    uint32_t b, i;
};

// The first position whose member sorts after the probe (strictly when `after`, else at
// or after it); {blocks, 0} past the end.
position search(const zconf_index *index, const probe &p, bool after) {
    auto beyond = [&](int c) { return after ? c > 0 : c >= 0; };
    uint32_t lo = 0, hi = index->blocks;
    while (lo < hi) { // the first block whose last member is beyond
        uint32_t mid = (lo + hi) / 2;
        auto last = [&] {
            const index_block *b = index->block[mid];
            return b->link[b->n - 1];
        };
        if (beyond(order(index, index->last[mid], p, last)))
            hi = mid;
        else
            lo = mid + 1;
    }
    if (lo == index->blocks)
        return {lo, 0};
    const index_block *b = index->block[lo];
    uint32_t l = 0, h = b->n;
    while (l < h) {
        uint32_t mid = (l + h) / 2;
        if (beyond(order(index, b->key[mid], p, [&] { return b->link[mid]; })))
            h = mid;
        else
            l = mid + 1;
    }
    return {lo, l};
}

// The member at a position, or NULL past the end.
zconf_list *member_at(const zconf_index *index, position p) {
    return p.b < index->blocks ? index->block[p.b]->link[p.i] : nullptr;
}

// The position of an indexed member, p the probe of its name.
position locate(const zconf_index *index, zconf_list *link, const probe &p) {
    position at = search(index, p, false);
    while (at.b < index->blocks && index->block[at.b]->link[at.i] != link)
        if (++at.i == index->block[at.b]->n)
            at = {at.b + 1, 0};
    return at;
}

// Room for one more block pointer and last key; false when the heap refuses it.
bool grow_blocks(zconf_index *index) {
    if (index->blocks < index->capacity)
        return true;
    uint32_t capacity = index->capacity == 0 ? 8 : 2 * index->capacity;
    auto *grown = static_cast<index_block **>(realloc(index->block, capacity * sizeof(void *)));
    if (grown == nullptr)
        return false;
    index->block = grown; // larger than the capacity says until both arrays have grown
    auto *lasts = static_cast<name_key *>(realloc(index->last, capacity * sizeof(name_key)));
    if (lasts == nullptr)
        return false;
    index->last = lasts;
    index->capacity = capacity;
    return true;
}

// Makes room for a block at position b, the blocks from b on moving up one.
bool open_block(zconf_index *index, uint32_t b) {
    if (!grow_blocks(index))
        return false;
    auto *fresh = static_cast<index_block *>(malloc(sizeof(index_block)));
    if (fresh == nullptr)
        return false;
    fresh->n = 0;
    memmove(index->block + b + 1, index->block + b, (index->blocks - b) * sizeof(void *));
    memmove(index->last + b + 1, index->last + b, (index->blocks - b) * sizeof(name_key));
    index->block[b] = fresh;
    index->blocks++;
    return true;
}

// Puts the link, of key k, at position p (p.i may equal the block's count).
bool insert_at(zconf_index *index, position p, zconf_list *link, const name_key &k) {
    if (index->blocks == 0) {
        if (!open_block(index, 0))
            return false;
        p = {0, 0};
    } else if (p.b == index->blocks) {
        p = {p.b - 1, index->block[p.b - 1]->n};
    }
    index_block *b = index->block[p.b];
    if (b->n == block_size) { // split: the upper half moves to a new block behind
        if (!open_block(index, p.b + 1))
            return false;
        index_block *upper = index->block[p.b + 1];
        upper->n = block_size / 2;
        memcpy(upper->key, b->key + block_size / 2, upper->n * sizeof(name_key));
        memcpy(upper->link, b->link + block_size / 2, upper->n * sizeof(void *));
        b->n = block_size / 2;
        index->last[p.b] = b->key[b->n - 1];
        index->last[p.b + 1] = upper->key[upper->n - 1];
        if (p.i > b->n) {
            p = {p.b + 1, p.i - b->n};
            b = upper;
        }
    }
    memmove(b->key + p.i + 1, b->key + p.i, (b->n - p.i) * sizeof(name_key));
    memmove(b->link + p.i + 1, b->link + p.i, (b->n - p.i) * sizeof(void *));
    b->key[p.i] = k;
    b->link[p.i] = link;
    if (p.i == b->n++)
        index->last[p.b] = k;
    return true;
}

// Frees the index's hash, blocks and record.
void free_index(zconf_index *index) {
    zconf_hash_free(&index->hash);
    for (uint32_t b = 0; b < index->blocks; b++)
        free(index->block[b]);
    free(index->block);
    free(index->last);
    free(index);
}

// ---- the registry: list heads to their indexes, open addressing ----

struct slot {
    const zconf_list *head;
    zconf_index *index;
};

pthread_mutex_t registry_lock = PTHREAD_MUTEX_INITIALIZER;

// Takes and lets go of the registry's lock.
void lock_registry() { pthread_mutex_lock(&registry_lock); }
void unlock_registry() { pthread_mutex_unlock(&registry_lock); }

slot *slots;
uint32_t slot_count, slot_used; // slot_count a power of two

// The slot where a head's search starts.
uint32_t home(const zconf_list *head) { return zconf_address_hash(head) & (slot_count - 1); }

// The slot of a registered head, or NULL.
slot *find_slot(const zconf_list *head) {
    if (slot_count == 0)
        return nullptr;
    for (uint32_t i = home(head);; i = (i + 1) & (slot_count - 1)) {
        if (slots[i].head == head)
            return &slots[i];
        if (slots[i].head == nullptr)
            return nullptr;
    }
}

// Puts an entry in the first free slot from its home on (one is always free).
void place(slot s) {
    uint32_t i = home(s.head);
    while (slots[i].head != nullptr)
        i = (i + 1) & (slot_count - 1);
    slots[i] = s;
}

// Registers the head's index, growing the table first when it would be over half full;
// false when the heap refuses the growth.
bool register_index(const zconf_list *head, zconf_index *index) {
    if (2 * (slot_used + 1) > slot_count) {
        uint32_t count = slot_count == 0 ? 16 : 2 * slot_count;
        auto *fresh = static_cast<slot *>(calloc(count, sizeof(slot)));
        if (fresh == nullptr)
            return false;
        slot *old = slots;
        uint32_t old_count = slot_count;
        slots = fresh;
        slot_count = count;
        for (uint32_t i = 0; i < old_count; i++)
            if (old[i].head != nullptr)
                place(old[i]);
        free(old);
    }
    place({head, index});
    slot_used++;
    return true;
}

// Empties a slot and moves later members of its run back so every search still finds them.
void unregister(slot *s) {
    uint32_t hole = static_cast<uint32_t>(s - slots);
    slots[hole].head = nullptr;
    slot_used--;
    for (uint32_t i = (hole + 1) & (slot_count - 1); slots[i].head != nullptr;
         i = (i + 1) & (slot_count - 1)) {
        uint32_t h = home(slots[i].head);
        // The member may fill the hole unless its home lies cyclically in (hole, i].
        bool stays = hole <= i ? (hole < h && h <= i) : (hole < h || h <= i);
        if (!stays) {
            slots[hole] = slots[i];
            slots[i].head = nullptr;
            hole = i;
        }
    }
}

} // namespace

void zconf_index_guard_forks() {
    static bool registered;
    if (!registered && pthread_atfork(lock_registry, unlock_registry, unlock_registry) == 0)
        registered = true;
}

zconf_index *zconf_index_get(const zconf_list *head) {
    lock_registry();
    slot *s = find_slot(head);
    zconf_index *index = s != nullptr ? s->index : nullptr;
    unlock_registry();
    return index;
}

zconf_index *zconf_index_build(zconf_list *head, bool of_values) {
    auto *index = static_cast<zconf_index *>(calloc(1, sizeof(zconf_index)));
    if (index == nullptr)
        return nullptr;
    index->of_values = of_values;
    // Blocks start three quarters full, leaving room for insertions before a split.
    constexpr uint32_t fill = block_size * 3 / 4;
    for (zconf_list *l = head->next; l != head; l = l->next) {
        if (index->blocks == 0 || index->block[index->blocks - 1]->n == fill) {
            if (!open_block(index, index->blocks)) {
                free_index(index);
                return nullptr;
            }
        }
        index_block *b = index->block[index->blocks - 1];
        b->link[b->n++] = l;
    }
    if (of_values && index->blocks > 0) { // values: sort by name, equal names kept in order
        uint32_t total = 0;
        for (uint32_t b = 0; b < index->blocks; b++)
            total += index->block[b]->n;
        auto *all = static_cast<zconf_list **>(malloc(total * sizeof(void *)));
        if (all == nullptr) {
            free_index(index);
            return nullptr;
        }
        uint32_t n = 0;
        for (zconf_list *l = head->next; l != head; l = l->next)
            all[n++] = l;
        std::stable_sort(all, all + n, [&](zconf_list *a, zconf_list *b) {
            return compare(index, a, name_of(index, b).name) < 0;
        });
        n = 0;
        for (uint32_t b = 0; b < index->blocks; b++)
            for (uint32_t i = 0; i < index->block[b]->n; i++)
                index->block[b]->link[i] = all[n++];
        free(all);
    }
    for (uint32_t b = 0; b < index->blocks; b++) {
        index_block *block = index->block[b];
        for (uint32_t i = 0; i < block->n; i++)
            block->key[i] = member_key(index, block->link[i]);
        index->last[b] = block->key[block->n - 1];
    }
    for (uint32_t b = 0; b < index->blocks; b++)
        for (uint32_t i = 0; i < index->block[b]->n; i++)
            if (!hash_add(index, index->block[b]->link[i],
                          zconf_name_hash(name_of(index, index->block[b]->link[i]).name))) {
                free_index(index);
                return nullptr;
            }
    lock_registry();
    bool registered = register_index(head, index);
    unlock_registry();
    if (!registered) {
        free_index(index);
        return nullptr;
    }
    return index;
}

void zconf_index_drop(const zconf_list *head) {
    zconf_index *index = nullptr;
    lock_registry();
    slot *s = find_slot(head);
    if (s != nullptr) {
        index = s->index;
        unregister(s);
    }
    unlock_registry();
    if (index != nullptr)
        free_index(index);
}

zconf_list *zconf_index_find(const zconf_index *index, const char *name) {
    return index->hash.size == 0
               ? nullptr
               : hash_member(index, hash_slot(index, name, zconf_name_hash(name)));
}

bool zconf_index_insert(zconf_index *index, zconf_list *link, zconf_list **next) {
    probe p = probe_of(name_of(index, link).name);
    position at = {index->blocks, 0};
    if (index->blocks > 0) { // members mostly come in name order: try the end first
        const index_block *last = index->block[index->blocks - 1];
        if (order(index, index->last[index->blocks - 1], p,
                  [&] { return last->link[last->n - 1]; }) > 0)
            at = search(index, p, true);
    }
    if (next != nullptr)
        *next = member_at(index, at);
    return hash_add(index, link, zconf_name_hash(p.name)) && insert_at(index, at, link, p.key);
}

bool zconf_index_insert_behind(zconf_index *index, zconf_list *existing, zconf_list *link) {
    probe p = probe_of(name_of(index, link).name);
    if (!hash_add(index, link, zconf_name_hash(p.name)))
        return false;
    position at = locate(index, existing, p);
    return insert_at(index, {at.b, at.i + 1}, link, p.key);
}

void zconf_index_replace(zconf_index *index, zconf_list *old, zconf_list *link) {
    const char *name = name_of(index, link).name;
    position at = locate(index, old, probe_of(name));
    if (at.b < index->blocks)
        index->block[at.b]->link[at.i] = link;
    zconf_hash_slot &e = index->hash.slots[hash_slot(index, name, zconf_name_hash(name))];
    if (e.item == old)
        e.item = link;
}

void zconf_index_remove(zconf_index *index, zconf_list *link) {
    probe p = probe_of(name_of(index, link).name);
    position at = locate(index, link, p);
    if (at.b == index->blocks)
        return;
    index_block *b = index->block[at.b];
    uint32_t slot = hash_slot(index, p.name, zconf_name_hash(p.name));
    if (hash_member(index, slot) == link) { // the next member takes over when of the same name
        position q = at.i + 1 < b->n ? position{at.b, at.i + 1} : position{at.b + 1, 0};
        zconf_list *next = member_at(index, q);
        if (next != nullptr &&
            order(index, index->block[q.b]->key[q.i], p, [&] { return next; }) == 0)
            index->hash.slots[slot].item = next;
        else
            zconf_hash_forget(&index->hash, slot);
    }
    memmove(b->key + at.i, b->key + at.i + 1, (b->n - at.i - 1) * sizeof(name_key));
    memmove(b->link + at.i, b->link + at.i + 1, (b->n - at.i - 1) * sizeof(void *));
    if (--b->n == 0) {
        free(b);
        memmove(index->block + at.b, index->block + at.b + 1,
                (index->blocks - at.b - 1) * sizeof(void *));
        memmove(index->last + at.b, index->last + at.b + 1,
                (index->blocks - at.b - 1) * sizeof(name_key));
        index->blocks--;
    } else if (at.i == b->n) {
        index->last[at.b] = b->key[b->n - 1];
    }
}
