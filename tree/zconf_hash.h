// Open-addressing hash tables of items by a 32-bit hash, on the plain heap: linear
// probing, at most half full, a power of two in size. Each slot keeps its item's hash, so
// probing reads an item only when the hashes are equal and growing reads none; what an
// item is, and when two match, is the user's.
#pragma once

#include <cstdint>

struct zconf_hash_slot {
    void *item; // NULL: a free slot
    uint32_t hash;
};

struct zconf_hash_table {
    zconf_hash_slot *slots; // NULL until the first reserve
    uint32_t size, used;
};

// Room for one more item, the table growing (every item re-placed) when it would be more
// than half full; false when the heap refuses it, the table being as it was.
bool zconf_hash_reserve(zconf_hash_table *table);
// Puts item (of hash h) into the free slot i that zconf_hash_find gave.
void zconf_hash_put(zconf_hash_table *table, uint32_t i, void *item, uint32_t h);
// Empties slot hole, moving later slots of its run back so each stays reachable.
void zconf_hash_forget(zconf_hash_table *table, uint32_t hole);
// Frees the slots: the table is empty, as a zeroed one is.
void zconf_hash_free(zconf_hash_table *table);
// A 32-bit hash of an address, for tables of nodes or lists by where they lie.
inline uint32_t zconf_address_hash(const void *address) {
    uint64_t bits = reinterpret_cast<uintptr_t>(address);
    return static_cast<uint32_t>((bits * 0x9E3779B97F4A7C15ull) >> 32);
}

// The slot of the first item of hash h for which matches(item) holds, or the free slot
// where such an item would go. The table must have slots.
template <typename Match>
uint32_t zconf_hash_find(const zconf_hash_table *table, uint32_t h, Match matches) {
    uint32_t mask = table->size - 1;
    uint32_t i = h & mask;
    while (table->slots[i].item != nullptr &&
           (table->slots[i].hash != h || !matches(table->slots[i].item)))
        i = (i + 1) & mask;
    return i;
}
