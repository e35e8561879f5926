// Node allocator: serves each node from the smallest of seven power-of-two size
// classes (64 to 4096 bytes) and keeps per-class counts of live nodes and bytes asked.
#pragma once

#include <cstddef>
#include <cstdint>

struct zconf_mem_class {
    int32_t size;
    char name[32];
    uint32_t count;
    uint32_t mem_used;
};

enum : int32_t {
    ZCONF_MEM_CLASSES = 7,
    ZCONF_MEM_MAX_REQUEST = 4096,
};

// Row 0 holds the totals, rows 1..7 the classes.
extern zconf_mem_class mem_cache[ZCONF_MEM_CLASSES + 1];

// Test seam: when >= 0, that many heap allocations succeed, the next one fails and the
// seam disarms itself (back to -1). -1 leaves the heap alone.
extern int32_t zconf_mem_fail_countdown;

// A heap block other than a node (document text, buffers), under the same test seam;
// NULL when the heap (or the seam) refuses it.
void *zconf_heap_alloc(size_t bytes);
// Frees a block of zconf_heap_alloc; NULL is ignored.
void zconf_heap_free(void *block);

// Starts the allocator: nothing to do, returns 0.
int ZConfInitMem();
// Stops the allocator: nothing to do.
void ZConfClearMem();
// A node block of the smallest class that holds size bytes, its class index stored in
// its first byte (the flags) and counted; NULL above 4096 bytes or when the heap refuses.
void *zconf_mem_alloc(int32_t size);
// The size a live node was counted with, recomputed from its header.
uint32_t zconf_mem_get_size(const void *node);
// Frees a node and takes it off the counts.
void zconf_mem_free(void *node);
// Formats the per-class counts into buffer (at most capacity bytes, a negative capacity
// being 0); returns the characters formatted; only the heading past offset 0.
int32_t __ZConfMemStat(char *buffer, char **start, int32_t offset, int32_t capacity);
