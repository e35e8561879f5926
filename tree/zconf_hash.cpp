// Open-addressing hash tables: growing, putting and forgetting slots.
#include "tree/zconf_hash.h"

#include <cstdlib>

bool zconf_hash_reserve(zconf_hash_table *table) {
    if (2 * (table->used + 1) <= table->size)
        return true;
    uint32_t size = table->size == 0 ? 64 : 2 * table->size;
    auto *fresh = static_cast<zconf_hash_slot *>(calloc(size, sizeof(zconf_hash_slot)));
    if (fresh == nullptr)
        return false;
    // Items never match each other here, so each takes the first free slot of its run.
    for (uint32_t i = 0; i < table->size; i++) {
        if (table->slots[i].item == nullptr)
            continue;
        uint32_t at = table->slots[i].hash & (size - 1);
        while (fresh[at].item != nullptr)
            at = (at + 1) & (size - 1);
        fresh[at] = table->slots[i];
    }
    free(table->slots);
    table->slots = fresh;
    table->size = size;
    return true;
}

void zconf_hash_put(zconf_hash_table *table, uint32_t i, void *item, uint32_t h) {
    table->slots[i] = {item, h};
    table->used++;
}

void zconf_hash_forget(zconf_hash_table *table, uint32_t hole) {
    uint32_t mask = table->size - 1;
    table->slots[hole] = {nullptr, 0};
    table->used--;
    for (uint32_t i = (hole + 1) & mask; table->slots[i].item != nullptr; i = (i + 1) & mask) {
        uint32_t home = table->slots[i].hash & mask;
        bool stays = hole <= i ? (hole < home && home <= i) : (hole < home || home <= i);
        if (!stays) {
            table->slots[hole] = table->slots[i];
            table->slots[i] = {nullptr, 0};
            hole = i;
        }
    }
}

void zconf_hash_free(zconf_hash_table *table) {
    free(table->slots);
    *table = {nullptr, 0, 0};
}
