// API frame: per-thread connections with their key-handle slots, the API mutex, the
// root key, path walking, and the internal operations behind the exported entry points.
#pragma once

#include "tree/zconf_int.h"

#include <atomic>
#include <cstdint>
#include <pthread.h>

enum : int32_t {
    ZCONF_CONNECTIONS = 64,
    ZCONF_SLOTS = 128,
    ZCONF_PATH_BUFFER = 260, // a copied path or name keeps at most 259 bytes
};

enum : uint32_t {
    ZCONF_MODE_READ = 1,
    ZCONF_MODE_WRITE = 2,
    ZCONF_MODE_ALL = 3,
};

struct ZConfHandleSlot {
    uint32_t mode;
    zconf_key *key;
};

struct ZConfConnection {
    // Read by FindhConn without the mutex, so every access to it is atomic.
    std::atomic<int32_t> thread_id;
    ZConfHandleSlot slots[ZCONF_SLOTS];
};

extern ZConfConnection conn_handles[ZCONF_CONNECTIONS];
extern zconf_key *ZCONF_ROOT;
extern uint32_t zconf_open_keys;
extern pthread_mutex_t zconf_api_mutex;

int32_t ZConfInitAPI();
int32_t ZConfStopAPI();

int32_t zconf_lock();
void zconf_unlock();
zconf_key *__ZConfGetRootKey();
int32_t __ZConfLockInterruptible();
void __ZConfLock();
void __ZConfUnLock();
int32_t __ZConfApiStat(char *buffer, char **start, int32_t offset, int32_t count);

int32_t local_gettid();
int32_t FindhConn();
int32_t DoviZUZOpen(uint32_t mode);
int32_t DoviZUZClose(int32_t connection);

int32_t __ZConfGetKey(int32_t connection, int32_t hKey, zconf_key **key);
zconf_key *__ZConfFindKey(zconf_key *start, char **path);
int32_t __ZConfFreeSlot(int32_t connection);
int32_t __ZConfOpenSlot(int32_t connection, int32_t slot, uint32_t mode, zconf_key *key);
void __ZConfCloseKey(int32_t connection, int32_t hKey);

int32_t DoviZUZOpenKeyEx(int32_t connection, int32_t hKey, char *path, uint32_t mode);
int32_t DoviZUZCloseKey(int32_t connection, int32_t hKey);

int32_t DoviZUZCreateKey(int32_t connection, int32_t hKey, char *path);
int32_t DoviZUZCreateKeyEx(int32_t connection, int32_t hKey, char *path, uint32_t isVolatile,
                           uint32_t *disposition);
int32_t DoviZUZDeleteKey(int32_t connection, int32_t hKey, char *keyName);
int32_t DoviZUZEnumKey(int32_t connection, int32_t hKey, uint32_t index, char *name, uint32_t size);
int32_t DoviZUZQueryInfoKey(int32_t connection, int32_t hKey, uint32_t *subkeys,
                            uint32_t *maxSubkeyName, uint32_t *values, uint32_t *maxValueName,
                            uint32_t *maxValueData);

int32_t DoviZUZSetValueEx(int32_t connection, int32_t hKey, const char *name, uint32_t type,
                          const void *data, uint32_t size);
int32_t DoviZUZDeleteValue(int32_t connection, int32_t hKey, const char *name);
int32_t DoviZUZEnumValue(int32_t connection, int32_t hKey, uint32_t index, char *name,
                         uint32_t *nameSize, uint32_t *type, void *data, uint32_t *dataSize);
int32_t DoviZUZQueryValueEx(int32_t connection, int32_t hKey, const char *name, uint32_t *type,
                            void *data, uint32_t *dataSize);

// Path helpers shared by the key operations.
bool zconf_is_separator(char c);
char *zconf_skip_separators(char *p);
char *zconf_component_end(char *p);
const char *zconf_component_name(const char *component);
