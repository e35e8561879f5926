// Node allocator: size classes, the per-class counts and the heap's test seam.
#include "tree/zconf_mem.h"

#include "tree/zconf_int.h"

#include <cstdio>
#include <cstdlib>

zconf_mem_class mem_cache[ZCONF_MEM_CLASSES + 1] = {
    {0, "TOTAL", 0, 0},         {64, "ZConf-64", 0, 0},     {128, "ZConf-128", 0, 0},
    {256, "ZConf-256", 0, 0},   {512, "ZConf-512", 0, 0},   {1024, "ZConf-1024", 0, 0},
    {2048, "ZConf-2048", 0, 0}, {4096, "ZConf-4096", 0, 0},
};

int32_t zconf_mem_fail_countdown = -1;

namespace {

// Headers with wider pointers than the target's need this much more room than the
// counted request; on the 32-bit target it is 0 and a block is exactly its class size.
constexpr size_t key_slack = offsetof(zconf_key, name) - (ZCONF_KEY_REQUEST_BASE - 1);
constexpr size_t value_slack = offsetof(zconf_value, name) - (ZCONF_VALUE_REQUEST_BASE - 1);
constexpr size_t layout_slack = key_slack > value_slack ? key_slack : value_slack;
static_assert(sizeof(void *) != 4 || layout_slack == 0,
              "the 32-bit layout must match the counted node sizes");

void count_node(int cls, int32_t sign, uint32_t size) {
    mem_cache[cls].count += sign;
    mem_cache[0].count += sign;
    mem_cache[cls].mem_used += sign * size;
    mem_cache[0].mem_used += sign * size;
}

} // namespace

void *zconf_heap_alloc(size_t bytes) {
    if (zconf_mem_fail_countdown >= 0 && zconf_mem_fail_countdown-- == 0)
        return nullptr;
    return malloc(bytes);
}

void zconf_heap_free(void *block) { free(block); }

int ZConfInitMem() { return 0; }

void ZConfClearMem() {}

void *zconf_mem_alloc(int32_t size) {
    int cls = 1;
    while (cls <= ZCONF_MEM_CLASSES && mem_cache[cls].size < size)
        cls++;
    if (cls > ZCONF_MEM_CLASSES)
        return nullptr;
    auto *block = static_cast<uint8_t *>(zconf_heap_alloc(mem_cache[cls].size + layout_slack));
    if (block == nullptr)
        return nullptr;
    block[0] = static_cast<uint8_t>(cls);
    count_node(cls, 1, static_cast<uint32_t>(size));
    return block;
}

uint32_t zconf_mem_get_size(const void *node) {
    const auto *key = static_cast<const zconf_key *>(node);
    if (key->flags & ZCONF_FLAG_KEY)
        return key->name_len + ZCONF_KEY_REQUEST_BASE;
    const auto *value = static_cast<const zconf_value *>(node);
    return value->name_len + zconf_value_len(value) + ZCONF_VALUE_REQUEST_BASE;
}

void zconf_mem_free(void *node) {
    int cls = *static_cast<uint8_t *>(node) & ZCONF_FLAG_CLASS_MASK;
    uint32_t size = zconf_mem_get_size(node);
    free(node);
    count_node(cls, -1, size);
}

int32_t __ZConfMemStat(char *buffer, char ** /*start*/, int32_t offset, int32_t capacity) {
    if (capacity < 0)
        capacity = 0; // a negative size would reach snprintf as a huge one
    int32_t n = snprintf(buffer, capacity, "%5s %5s %9s\n", "size", "count", "mem_used");
    if (offset != 0)
        return n;
    for (int cls = 1; cls <= ZCONF_MEM_CLASSES && n < capacity; cls++)
        n += snprintf(buffer + n, capacity - n, "%5u %5u %9u %%\n",
                      static_cast<unsigned>(mem_cache[cls].size), mem_cache[cls].count,
                      mem_cache[cls].mem_used);
    if (n < capacity)
        n += snprintf(buffer + n, capacity - n, "%5s %5u %9u %%\n", "total", mem_cache[0].count,
                      mem_cache[0].mem_used);
    return n;
}
