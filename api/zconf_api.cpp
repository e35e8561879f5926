// API frame and internal operations: connections, handles, the API mutex, path walks,
// and the key and value operations behind the exported entry points.
#include "api/zconf_api.h"

#include "api/zconf_journal.h"
#include "tree/zconf_index.h"
#include "tree/zconf_types.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <sys/syscall.h>
#include <unistd.h>

// Constant-initialised, so loading the library does not fill the table at run time.
constinit ZConfConnection conn_handles[ZCONF_MAX_CONNECTIONS]{};
zconf_key *ZCONF_ROOT;
uint32_t zconf_open_keys;
pthread_mutex_t zconf_api_mutex;

namespace {

bool api_running;
// Whether any connection was opened since the table was last cleared. The table is
// zero when the library is loaded; not touching it then keeps its pages unmapped
// until threads use them, which is most of the constructor's cost otherwise.
bool connection_table_used;

// The kernel thread id costs a system call, so each thread asks once and keeps it.
// A forked child clears the copy of the thread that forked (see fork_child).
__attribute__((tls_model("initial-exec"))) thread_local int32_t cached_tid;

bool valid_connection(int32_t connection) {
    return connection >= 0 && connection < ZCONF_MAX_CONNECTIONS;
}

bool connection_open(int32_t connection) { return conn_handles[connection].slots[0].mode != 0; }

bool has_write_bit(uint32_t mode) { return (mode & ZCONF_KEY_WRITE) != 0; }

void clear_connection(ZConfConnection &entry) {
    entry.thread_id.store(0, std::memory_order_relaxed);
    memset(entry.slots, 0, sizeof entry.slots);
}

void clear_connection_table() {
    if (!connection_table_used)
        return;
    for (ZConfConnection &entry : conn_handles)
        clear_connection(entry);
    connection_table_used = false;
}

// Closes every handle of an open connection, then the connection; mutex held.
void close_connection(int32_t connection) {
    ZConfConnection &entry = conn_handles[connection];
    for (int32_t slot = 1; slot < ZCONF_SLOTS; slot++)
        if (entry.slots[slot].key != nullptr)
            __ZConfCloseKey(connection, slot);
    __zconf_mark_key_closed(ZCONF_ROOT);
    entry.slots[0].mode = 0;
    entry.thread_id.store(0, std::memory_order_relaxed);
}

// Fork safety: the mutex is held across fork so the child gets the tree in a
// consistent state. In the child only the forking thread survives: its connection
// passes to the child's own thread id and the connections of the other threads close.
void fork_prepare() {
    if (api_running)
        pthread_mutex_lock(&zconf_api_mutex);
}

void fork_parent() {
    if (api_running)
        pthread_mutex_unlock(&zconf_api_mutex);
}

void fork_child() {
    int32_t parent_tid = cached_tid;
    cached_tid = 0;
    if (!api_running)
        return;
    int32_t child_tid = local_gettid();
    for (int32_t c = 0; c < ZCONF_MAX_CONNECTIONS; c++) {
        if (!connection_open(c))
            continue;
        if (parent_tid != 0 &&
            conn_handles[c].thread_id.load(std::memory_order_relaxed) == parent_tid)
            conn_handles[c].thread_id.store(child_tid, std::memory_order_relaxed);
        else
            close_connection(c);
    }
    pthread_mutex_unlock(&zconf_api_mutex);
}

void register_fork_handlers() {
    static bool registered;
    // The tree's index lock is taken under the API mutex.
    zconf_index_guard_forks();
    if (!registered && pthread_atfork(fork_prepare, fork_parent, fork_child) == 0)
        registered = true;
}

// Runs fn with the handle's key under the mutex: lock, validate, fn, unlock.
template <typename Fn> int32_t with_key(int32_t connection, int32_t hKey, Fn fn) {
    if (zconf_lock() != 0)
        return ZCONF_ERR_BUSY;
    zconf_key *key;
    int32_t rc = __ZConfGetKey(connection, hKey, &key);
    if (rc != 0)
        return rc;
    rc = fn(key, conn_handles[connection].slots[hKey].mode);
    zconf_unlock();
    return rc;
}

// Copies a stored name into a caller buffer the way strncpy does: padded with NULs
// when shorter, cut and unterminated when the buffer is too small.
void copy_name(char *out, uint32_t size, const char *name) { strncpy(out, name, size); }

uint32_t min_u32(uint32_t a, uint32_t b) { return a < b ? a : b; }

} // namespace

// ---- start and stop ----

int32_t ZConfInitAPI() {
    pthread_mutex_init(&zconf_api_mutex, nullptr);
    clear_connection_table();
    zconf_key *root = __zconf_create_root();
    if (root == nullptr)
        return ZCONF_ERR_NOMEM;
    ZCONF_ROOT = root;
    register_fork_handlers();
    api_running = true;
    return 0;
}

int32_t ZConfStopAPI() {
    if (zconf_lock() != 0)
        return ZCONF_ERR_BUSY;
    clear_connection_table();
    if (ZCONF_ROOT != nullptr)
        __zconf_del_tree(ZCONF_ROOT);
    ZCONF_ROOT = nullptr;
    zconf_journal_clear();
    api_running = false;
    zconf_unlock();
    pthread_mutex_destroy(&zconf_api_mutex);
    return 0;
}

// ---- locks and statistics ----

int32_t zconf_lock() { return pthread_mutex_lock(&zconf_api_mutex); }

void zconf_unlock() { pthread_mutex_unlock(&zconf_api_mutex); }

zconf_key *__ZConfGetRootKey() { return ZCONF_ROOT; }

int32_t __ZConfLockInterruptible() { return 0; }

void __ZConfLock() {}

void __ZConfUnLock() {}

int32_t __ZConfApiStat(char *buffer, char ** /*start*/, int32_t offset, int32_t count) {
    if (offset > 0)
        return 0;
    return snprintf(buffer, count > 0 ? count : 0, "%2u open keys\n", zconf_open_keys);
}

// ---- connections ----

int32_t local_gettid() {
    if (cached_tid == 0)
        cached_tid = static_cast<int32_t>(syscall(SYS_gettid));
    return cached_tid;
}

int32_t FindhConn() {
    int32_t tid = local_gettid();
    for (int32_t c = 0; c < ZCONF_MAX_CONNECTIONS; c++)
        if (conn_handles[c].thread_id.load(std::memory_order_relaxed) == tid)
            return c;
    return DoviZUZOpen(ZCONF_KEY_ALL);
}

int32_t DoviZUZOpen(uint32_t mode) {
    if (mode < ZCONF_KEY_READ || mode > ZCONF_KEY_ALL)
        return ZCONF_ERR_ACCES;
    if (zconf_lock() != 0)
        return ZCONF_ERR_BUSY;
    int32_t result = ZCONF_ERR_NOMEM;
    for (int32_t c = 0; c < ZCONF_MAX_CONNECTIONS; c++) {
        ZConfConnection &entry = conn_handles[c];
        if (entry.slots[0].mode != 0)
            continue;
        clear_connection(entry);
        connection_table_used = true;
        entry.thread_id.store(local_gettid(), std::memory_order_relaxed);
        entry.slots[0] = {mode, ZCONF_ROOT};
        __zconf_mark_key_open(ZCONF_ROOT);
        result = c;
        break;
    }
    zconf_unlock();
    return result;
}

int32_t DoviZUZClose(int32_t connection) {
    if (zconf_lock() != 0)
        return ZCONF_ERR_BUSY;
    if (!valid_connection(connection) || !connection_open(connection)) {
        zconf_unlock();
        return ZCONF_ERR_BADF;
    }
    close_connection(connection);
    zconf_unlock();
    return 0;
}

// ---- handles and paths ----

int32_t __ZConfGetKey(int32_t connection, int32_t hKey, zconf_key **key) {
    if (!valid_connection(connection) || !connection_open(connection)) {
        zconf_unlock();
        return ZCONF_ERR_BADF;
    }
    if (hKey < 0 || hKey >= ZCONF_SLOTS || conn_handles[connection].slots[hKey].key == nullptr) {
        zconf_unlock();
        return ZCONF_ERR_INVAL;
    }
    *key = hKey == 0 ? ZCONF_ROOT : conn_handles[connection].slots[hKey].key;
    return 0;
}

bool zconf_is_separator(char c) { return c == '\\' || c == '/'; }

char *zconf_skip_separators(char *p) {
    while (zconf_is_separator(*p))
        p++;
    return p;
}

char *zconf_component_end(char *p) {
    while (*p != 0 && !zconf_is_separator(*p))
        p++;
    return p;
}

const char *zconf_component_name(const char *component) {
    return zconf_casecmp(component, "Tarvlin", sizeof "Tarvlin") == 0 ? "Olvex" : component;
}

zconf_key *__ZConfFindKey(zconf_key *start, char **path) {
    static const char prefix[] = "H" ZCONF_ROOT_NAME;
    const size_t prefix_len = sizeof prefix - 1;
    char *p = *path;
    if (start == ZCONF_ROOT && zconf_casecmp(p, prefix, prefix_len) == 0) {
        if (p[prefix_len] == 0) {
            *path = p + prefix_len;
            return start;
        }
        if (zconf_is_separator(p[prefix_len]))
            p = zconf_skip_separators(p + prefix_len);
    }
    zconf_key *key = start;
    while (*p != 0) {
        char *end = zconf_component_end(p);
        char ender = *end;
        *end = 0;
        zconf_key *sub = __zconf_find_subkey(key, zconf_component_name(p));
        *end = ender;
        if (sub == nullptr)
            break;
        key = sub;
        p = zconf_skip_separators(end);
    }
    *path = p;
    return key;
}

int32_t __ZConfFreeSlot(int32_t connection) {
    const ZConfHandleSlot *slots = conn_handles[connection].slots;
    for (int32_t slot = 1; slot < ZCONF_SLOTS; slot++)
        if (slots[slot].key == nullptr)
            return slot;
    return ZCONF_ERR_NOMEM;
}

int32_t __ZConfOpenSlot(int32_t connection, int32_t slot, uint32_t mode, zconf_key *key) {
    conn_handles[connection].slots[slot] = {mode, key};
    __zconf_mark_key_open(key);
    zconf_open_keys++;
    return slot;
}

void __ZConfCloseKey(int32_t connection, int32_t hKey) {
    ZConfHandleSlot &slot = conn_handles[connection].slots[hKey];
    zconf_key *key = slot.key;
    slot = {0, nullptr};
    __zconf_mark_key_closed(key);
    zconf_open_keys--;
    if (!(key->flags & ZCONF_FLAG_DELETE_PENDING) || key->open_count != 0)
        return;
    // A refresh may mark a key whose subkeys are marked too: it goes with the last of them.
    zconf_key *parent = key->parent;
    __zconf_del_subkey(key);
    while (parent != nullptr && parent->parent != nullptr &&
           (parent->flags & ZCONF_FLAG_DELETE_PENDING) && parent->open_count == 0 &&
           zconf_list_empty(&parent->subkeys)) {
        zconf_key *next = parent->parent;
        __zconf_del_subkey(parent);
        parent = next;
    }
}

int32_t DoviZUZOpenKeyEx(int32_t connection, int32_t hKey, char *path, uint32_t mode) {
    if (path == nullptr || !valid_connection(connection))
        return ZCONF_ERR_INVAL;
    if (mode < ZCONF_KEY_READ || mode > ZCONF_KEY_ALL)
        return ZCONF_ERR_ACCES;
    path = zconf_skip_separators(path);
    if (*path == 0)
        return ZCONF_ERR_NOENT;
    return with_key(connection, hKey, [&](zconf_key *key, uint32_t) -> int32_t {
        if ((conn_handles[connection].slots[0].mode & mode) != mode)
            return ZCONF_ERR_ACCES;
        int32_t slot = __ZConfFreeSlot(connection);
        if (slot < 0)
            return slot;
        zconf_key *found = __ZConfFindKey(key, &path);
        if (*path != 0)
            return ZCONF_ERR_NOENT;
        return __ZConfOpenSlot(connection, slot, mode, found);
    });
}

int32_t DoviZUZCloseKey(int32_t connection, int32_t hKey) {
    if (zconf_lock() != 0)
        return ZCONF_ERR_BUSY;
    if (!valid_connection(connection) || !connection_open(connection) || hKey < 1 ||
        hKey >= ZCONF_SLOTS || conn_handles[connection].slots[hKey].key == nullptr) {
        zconf_unlock();
        return ZCONF_ERR_BADF;
    }
    __ZConfCloseKey(connection, hKey);
    zconf_unlock();
    return 0;
}

// ---- key operations ----

int32_t DoviZUZCreateKey(int32_t connection, int32_t hKey, char *path) {
    return DoviZUZCreateKeyEx(connection, hKey, path, 0, nullptr);
}

int32_t DoviZUZCreateKeyEx(int32_t connection, int32_t hKey, char *path, uint32_t isVolatile,
                           uint32_t *disposition) {
    if (path == nullptr || !valid_connection(connection))
        return ZCONF_ERR_INVAL;
    if (disposition != nullptr)
        *disposition = 0;
    return with_key(connection, hKey, [&](zconf_key *key, uint32_t mode) -> int32_t {
        if (!has_write_bit(mode))
            return ZCONF_ERR_ACCES;
        int32_t slot = __ZConfFreeSlot(connection);
        if (slot < 0)
            return slot;
        zconf_key *parent = __ZConfFindKey(key, &path);
        if (parent->flags & ZCONF_FLAG_DELETE_PENDING)
            return ZCONF_ERR_IDRM;
        bool made = false;
        while (*path != 0) {
            char *end = zconf_component_end(path);
            char ender = *end;
            *end = 0;
            bool vol = isVolatile != 0 || (parent->flags & ZCONF_FLAG_VOLATILE);
            zconf_key *child = __zconf_create_key(zconf_component_name(path), vol);
            *end = ender;
            if (child == nullptr) {
                if (disposition != nullptr)
                    *disposition = 0;
                if (made)
                    zconf_journal_record(ZCONF_CHANGE_CREATE_KEY, parent, nullptr);
                return ZCONF_ERR_NOMEM;
            }
            __zconf_add_subkey(parent, child);
            parent = child;
            made = true;
            if (disposition != nullptr)
                *disposition = 1;
            path = zconf_skip_separators(end);
        }
        if (made)
            zconf_journal_record(ZCONF_CHANGE_CREATE_KEY, parent, nullptr);
        return __ZConfOpenSlot(connection, slot, ZCONF_KEY_ALL, parent);
    });
}

int32_t DoviZUZDeleteKey(int32_t connection, int32_t hKey, char *keyName) {
    if (keyName == nullptr || !valid_connection(connection))
        return ZCONF_ERR_INVAL;
    return with_key(connection, hKey, [&](zconf_key *key, uint32_t mode) -> int32_t {
        printf("DoviZUZDeleteKey: trc0, keyName=<%s>\n", keyName);
        if (!has_write_bit(mode))
            return ZCONF_ERR_ACCES;
        char *rest = keyName;
        zconf_key *found = __ZConfFindKey(key, &rest);
        printf("DoviZUZDeleteKey: trc1 hKey=%d, key=0x%08" PRIxPTR ", flags=0x%02x, keyName=<%s>\n",
               hKey, reinterpret_cast<uintptr_t>(found), found->flags & ~ZCONF_FLAG_INDEXES, rest);
        if (*rest != 0)
            return ZCONF_ERR_NOENT;
        if (!zconf_list_empty(&found->subkeys))
            return ZCONF_ERR_NOTEMPTY;
        zconf_journal_record(ZCONF_CHANGE_DELETE_KEY, found, nullptr);
        if (found->open_count != 0)
            found->flags |= ZCONF_FLAG_DELETE_PENDING;
        else
            __zconf_del_subkey(found);
        return 0;
    });
}

int32_t DoviZUZEnumKey(int32_t connection, int32_t hKey, uint32_t index, char *name,
                       uint32_t size) {
    if (name == nullptr || size == 0 || !valid_connection(connection))
        return ZCONF_ERR_INVAL;
    return with_key(connection, hKey, [&](zconf_key *key, uint32_t) -> int32_t {
        zconf_key *sub = __zconf_enum_subkey(key, static_cast<int32_t>(index));
        if (sub == nullptr)
            return ZCONF_ERR_NOENT;
        copy_name(name, size, sub->name);
        return 0;
    });
}

int32_t DoviZUZQueryInfoKey(int32_t connection, int32_t hKey, uint32_t *subkeys,
                            uint32_t *maxSubkeyName, uint32_t *values, uint32_t *maxValueName,
                            uint32_t *maxValueData) {
    if (!valid_connection(connection))
        return ZCONF_ERR_INVAL;
    return with_key(connection, hKey, [&](zconf_key *key, uint32_t) -> int32_t {
        uint32_t nsub = 0, maxsub = 0, nval = 0, maxname = 0, maxdata = 0;
        for (zconf_list *l = key->subkeys.next; l != &key->subkeys; l = l->next) {
            nsub++;
            maxsub = std::max<uint32_t>(maxsub, zconf_key_of(l)->name_len);
        }
        for (zconf_list *l = key->values.next; l != &key->values; l = l->next) {
            const zconf_value *v = zconf_value_of(l);
            nval++;
            maxname = std::max<uint32_t>(maxname, v->name_len);
            maxdata = std::max<uint32_t>(maxdata, zconf_value_len(v));
        }
        uint32_t *outs[] = {subkeys, maxSubkeyName, values, maxValueName, maxValueData};
        const uint32_t figures[] = {nsub, maxsub, nval, maxname, maxdata};
        for (int i = 0; i < 5; i++)
            if (outs[i] != nullptr)
                *outs[i] = figures[i];
        return 0;
    });
}

// ---- value operations ----

int32_t DoviZUZSetValueEx(int32_t connection, int32_t hKey, const char *name, uint32_t type,
                          const void *data, uint32_t size) {
    if (name == nullptr || (data == nullptr && type != ZCONF_VALUE_NONE) ||
        !valid_connection(connection))
        return ZCONF_ERR_INVAL;
    if (!zconf_type_size_matches(type, size))
        return ZCONF_ERR_INVAL;
    return with_key(connection, hKey, [&](zconf_key *key, uint32_t mode) -> int32_t {
        if (key == ZCONF_ROOT || !has_write_bit(mode))
            return ZCONF_ERR_ACCES;
        zconf_value *value = __zconf_create_value(name, type, data, size);
        if (value == nullptr)
            return ZCONF_ERR_NOMEM;
        __zconf_put_value(key, value);
        zconf_journal_record(ZCONF_CHANGE_SET_VALUE, key, name);
        return 0;
    });
}

int32_t DoviZUZDeleteValue(int32_t connection, int32_t hKey, const char *name) {
    if (name == nullptr || !valid_connection(connection))
        return ZCONF_ERR_INVAL;
    return with_key(connection, hKey, [&](zconf_key *key, uint32_t mode) -> int32_t {
        if (!has_write_bit(mode))
            return ZCONF_ERR_ACCES;
        zconf_value *value = __zconf_find_value(key, name);
        if (value == nullptr)
            return ZCONF_ERR_NOENT;
        zconf_journal_record(ZCONF_CHANGE_DELETE_VALUE, key, name);
        __zconf_del_value(value);
        return 0;
    });
}

int32_t DoviZUZEnumValue(int32_t connection, int32_t hKey, uint32_t index, char *name,
                         uint32_t *nameSize, uint32_t *type, void *data, uint32_t *dataSize) {
    if (name == nullptr || nameSize == nullptr || *nameSize == 0 || !valid_connection(connection))
        return ZCONF_ERR_INVAL;
    if (data != nullptr && dataSize == nullptr)
        return ZCONF_ERR_INVAL;
    return with_key(connection, hKey, [&](zconf_key *key, uint32_t) -> int32_t {
        zconf_value *value = __zconf_enum_value(key, static_cast<int32_t>(index));
        if (value == nullptr)
            return ZCONF_ERR_NOENT;
        copy_name(name, *nameSize, value->name);
        *nameSize = min_u32(*nameSize, value->name_len);
        if (type != nullptr)
            *type = zconf_value_type(value);
        uint32_t len = zconf_value_len(value);
        if (data == nullptr) {
            if (dataSize != nullptr)
                *dataSize = len;
            return 0;
        }
        uint32_t copied = min_u32(len, *dataSize);
        memcpy(data, zconf_value_data(value), copied);
        *dataSize = copied;
        return copied < len ? ZCONF_ERR_OVERFLOW : 0;
    });
}

int32_t DoviZUZQueryValueEx(int32_t connection, int32_t hKey, const char *name, uint32_t *type,
                            void *data, uint32_t *dataSize) {
    if (name == nullptr || (data != nullptr && dataSize == nullptr) ||
        !valid_connection(connection))
        return ZCONF_ERR_INVAL;
    return with_key(connection, hKey, [&](zconf_key *key, uint32_t) -> int32_t {
        zconf_value *value = __zconf_find_value(key, name);
        if (value == nullptr)
            return ZCONF_ERR_NOENT;
        if (type != nullptr)
            *type = zconf_value_type(value);
        uint32_t len = zconf_value_len(value);
        if (data == nullptr) {
            if (dataSize != nullptr)
                *dataSize = len;
            return 0;
        }
        uint32_t room = *dataSize;
        memcpy(data, zconf_value_data(value), min_u32(len, room));
        *dataSize = len;
        return room < len ? ZCONF_ERR_OVERFLOW : 0;
    });
}
