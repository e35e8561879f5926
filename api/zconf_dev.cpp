// Exported entry points: each copies its path or name into a bounded writable buffer,
// finds the calling thread's connection and hands over to the internal operation.
#include "dovizuz.h"

#include "api/zconf_api.h"
#include "lifecycle/zconf_sync.h"

#include <cstring>

namespace {

struct path_buffer {
    char text[ZCONF_PATH_BUFFER];
};

// Keeps at most the first 259 bytes; the internal operations write into the copy.
char *copy_path(path_buffer &buffer, const char *path) {
    size_t len = strnlen(path, sizeof buffer.text - 1);
    memcpy(buffer.text, path, len);
    memset(buffer.text + len, 0, sizeof buffer.text - len);
    return buffer.text;
}

int32_t store_handle(ZConfKeyHandle *result, int32_t rc) {
    *result = rc;
    return rc < 0 ? rc : 0;
}

// The entry points that produce a handle refuse a NULL result pointer or path, run the
// operation on a bounded copy of the path and store what it returns.
template <typename Op> int32_t produce_handle(ZConfKeyHandle *result, const char *path, Op op) {
    if (result == nullptr)
        return ZCONF_ERR_INVAL;
    if (path == nullptr)
        return store_handle(result, ZCONF_ERR_INVAL);
    path_buffer buffer;
    return store_handle(result, op(copy_path(buffer, path)));
}

} // namespace

extern "C" {

int32_t ZConfOpenKeyEx(ZConfKeyHandle hKey, const char *path, uint32_t mode,
                       ZConfKeyHandle *result) {
    return produce_handle(
        result, path, [&](char *copy) { return DoviZUZOpenKeyEx(FindhConn(), hKey, copy, mode); });
}

int32_t ZConfCloseKey(ZConfKeyHandle hKey) {
    int32_t rc = DoviZUZCloseKey(FindhConn(), hKey);
    if (rc == 0)
        DoviZUZClose(FindhConn());
    return rc;
}

int32_t ZConfCreateKey(ZConfKeyHandle hKey, const char *path, ZConfKeyHandle *result) {
    return produce_handle(result, path,
                          [&](char *copy) { return DoviZUZCreateKey(FindhConn(), hKey, copy); });
}

int32_t ZConfCreateKeyEx(ZConfKeyHandle hKey, const char *path, uint32_t isVolatile,
                         uint32_t *disposition, ZConfKeyHandle *result) {
    return produce_handle(result, path, [&](char *copy) {
        return DoviZUZCreateKeyEx(FindhConn(), hKey, copy, isVolatile, disposition);
    });
}

int32_t ZConfDeleteKey(ZConfKeyHandle hKey, const char *keyName) {
    if (keyName == nullptr)
        return ZCONF_ERR_INVAL;
    path_buffer buffer;
    char *copy = copy_path(buffer, keyName);
    return DoviZUZDeleteKey(FindhConn(), hKey, copy);
}

int32_t ZConfEnumKey(ZConfKeyHandle hKey, uint32_t index, char *name, uint32_t size) {
    return DoviZUZEnumKey(FindhConn(), hKey, index, name, size);
}

int32_t ZConfQueryInfoKey(ZConfKeyHandle hKey, uint32_t *subkeys, uint32_t *maxSubkeyName,
                          uint32_t *values, uint32_t *maxValueName, uint32_t *maxValueData) {
    return DoviZUZQueryInfoKey(FindhConn(), hKey, subkeys, maxSubkeyName, values, maxValueName,
                               maxValueData);
}

int32_t ZConfSetValueEx(ZConfKeyHandle hKey, const char *name, uint32_t type, const void *data,
                        uint32_t size) {
    if (name == nullptr)
        return ZCONF_ERR_INVAL;
    path_buffer buffer;
    const char *copy = copy_path(buffer, name);
    return DoviZUZSetValueEx(FindhConn(), hKey, copy, type, data, size);
}

int32_t ZConfDeleteValue(ZConfKeyHandle hKey, const char *name) {
    if (name == nullptr)
        return ZCONF_ERR_INVAL;
    path_buffer buffer;
    const char *copy = copy_path(buffer, name);
    return DoviZUZDeleteValue(FindhConn(), hKey, copy);
}

int32_t ZConfEnumValue(ZConfKeyHandle hKey, uint32_t index, char *name, uint32_t *nameSize,
                       uint32_t *type, void *data, uint32_t *dataSize) {
    return DoviZUZEnumValue(FindhConn(), hKey, index, name, nameSize, type, data, dataSize);
}

int32_t ZConfQueryValueEx(ZConfKeyHandle hKey, const char *name, uint32_t *type, void *data,
                          uint32_t *dataSize) {
    if (name == nullptr)
        return ZCONF_ERR_INVAL;
    path_buffer buffer;
    const char *copy = copy_path(buffer, name);
    return DoviZUZQueryValueEx(FindhConn(), hKey, copy, type, data, dataSize);
}

int32_t ZConfFlushKey(ZConfKeyHandle hKey) { return DoviZUZFlushKey(FindhConn(), hKey); }

int32_t ZConfRefreshKey(ZConfKeyHandle hKey, uint32_t *changed) {
    return DoviZUZRefreshKey(FindhConn(), hKey, changed);
}

int32_t ZConfNotifyChangeKeyValue(int32_t *fd) { return DoviZUZNotifyChange(fd); }

} // extern "C"
