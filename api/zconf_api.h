// API frame: per-thread connections with their key-handle slots, the API mutex, the
// root key, path walking, and the internal operations behind the exported entry points.
#pragma once

#include "dovizuz.h"
#include "tree/zconf_int.h"

#include <atomic>
#include <cstdint>
#include <pthread.h>

enum : int32_t {
    ZCONF_SLOTS = ZCONF_MAX_HANDLES + 1,    // slot 0 is the root, 1..127 the handles
    ZCONF_PATH_BUFFER = ZCONF_MAX_PATH + 1, // a copied path or name and its NUL
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

extern ZConfConnection conn_handles[ZCONF_MAX_CONNECTIONS];
extern zconf_key *ZCONF_ROOT;
extern uint32_t zconf_open_keys;
extern pthread_mutex_t zconf_api_mutex;

// Starts the API: the mutex, an empty connection table and the root key; 0 or -12.
int32_t ZConfInitAPI();
// Stops the API: drops every connection and frees the whole tree; 0 or -16.
int32_t ZConfStopAPI();

// Takes the API mutex; 0, or the error number of a failed lock.
int32_t zconf_lock();
// Releases the API mutex.
void zconf_unlock();
// The live root key; NULL while the API is stopped or could not start.
zconf_key *__ZConfGetRootKey();
// The stream channel's lock hooks: they take no lock and always succeed, so a load or
// save is not serialised against the API's calls.
int32_t __ZConfLockInterruptible();
void __ZConfLock();
void __ZConfUnLock();
// Formats the open-key count into buffer (at most count bytes); 0 past offset 0.
int32_t __ZConfApiStat(char *buffer, char **start, int32_t offset, int32_t count);

// The calling thread's kernel id, asked for once per thread.
int32_t local_gettid();
// The calling thread's connection, opened with all modes on its first call; the
// connection number, or -12 when all are taken, or -16.
int32_t FindhConn();
// Opens a connection for the calling thread; its number, -13 for a bad mode, -12 when
// all are taken, or -16.
int32_t DoviZUZOpen(uint32_t mode);
// Closes the connection with all its handles; 0, -9 when it is not open, or -16.
int32_t DoviZUZClose(int32_t connection);

// Called with the API mutex held: stores the handle's key and returns 0 with the mutex
// still held, or UNLOCKS the mutex and returns -9 (bad connection) or -22 (bad handle).
int32_t __ZConfGetKey(int32_t connection, int32_t hKey, zconf_key **key);
// Walks the path from start as far as keys exist ("HZCONF_ROOT" on the root names the
// root); returns the last key found and leaves *path on the first component not found.
zconf_key *__ZConfFindKey(zconf_key *start, char **path);
// The connection's first free handle slot (1..127), or -12 when none is free.
int32_t __ZConfFreeSlot(int32_t connection);
// Puts the key in the slot with that mode and marks it open; returns the slot.
int32_t __ZConfOpenSlot(int32_t connection, int32_t slot, uint32_t mode, zconf_key *key);
// Empties the slot and marks its key closed, deleting a delete-pending key that is no
// longer open.
void __ZConfCloseKey(int32_t connection, int32_t hKey);

// The internal operations behind the exported calls of the same names: each takes the
// API mutex for its whole run and returns what the exported call returns (a handle for
// those that open or create a key). They may write into path and keyName.
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

// True for the two separators, "\\" and "/".
bool zconf_is_separator(char c);
// The first byte after a run of separators.
char *zconf_skip_separators(char *p);
// The separator or NUL that ends the component at p.
char *zconf_component_end(char *p);
// The name a key component stands for: "Olvex" for "Tarvlin" in any letter case, else
// the component itself. Key names in paths and in documents both go through it.
const char *zconf_component_name(const char *component);
