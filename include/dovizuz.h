/*
 * dovizuz.h - public interface of libdovizuz, the per-process configuration store.
 *
 * Every call returns 0 on success or a negative Linux errno number. Key handles are
 * small numbers valid only in the thread that obtained them; handle 0 is the root key.
 * Usable from C and C++.
 */
#ifndef DOVIZUZ_H
#define DOVIZUZ_H

#include <stdint.h>

#if defined(__GNUC__)
#define ZCONF_EXPORT __attribute__((visibility("default")))
#else
#define ZCONF_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t ZConfKeyHandle;

/* The root key of the calling thread. */
#define ZCONF_HKEY_ROOT 0

/* Open modes: only the write bit is enforced. */
#define ZCONF_KEY_READ 1u
#define ZCONF_KEY_WRITE 2u
#define ZCONF_KEY_ALL 3u

/* Value types. */
#define ZCONF_VALUE_NONE 0u
#define ZCONF_VALUE_BINARY 1u
#define ZCONF_VALUE_SZ 2u
#define ZCONF_VALUE_MULTI_SZ 3u
#define ZCONF_VALUE_DWORD 4u
#define ZCONF_VALUE_DWORD_LE 5u
#define ZCONF_VALUE_DWORD_BE 6u
#define ZCONF_VALUE_QWORD 8u
#define ZCONF_VALUE_QWORD_LE 9u
#define ZCONF_VALUE_QWORD_BE 10u

/* Result codes. */
#define ZCONF_OK 0
#define ZCONF_ERR_NOENT (-2)
#define ZCONF_ERR_BADF (-9)
#define ZCONF_ERR_NOMEM (-12)
#define ZCONF_ERR_ACCES (-13)
#define ZCONF_ERR_FAULT (-14)
#define ZCONF_ERR_BUSY (-16)
#define ZCONF_ERR_INVAL (-22)
#define ZCONF_ERR_NOTEMPTY (-39)
#define ZCONF_ERR_IDRM (-43)
#define ZCONF_ERR_OVERFLOW (-75)

/* Limits. */
#define ZCONF_MAX_PATH 259
#define ZCONF_MAX_NAME 255
#define ZCONF_MAX_HANDLES 127
#define ZCONF_MAX_CONNECTIONS 64

ZCONF_EXPORT int32_t ZConfOpenKeyEx(ZConfKeyHandle hKey, const char *path, uint32_t mode,
                                    ZConfKeyHandle *result);
ZCONF_EXPORT int32_t ZConfCloseKey(ZConfKeyHandle hKey);

ZCONF_EXPORT int32_t ZConfCreateKey(ZConfKeyHandle hKey, const char *path, ZConfKeyHandle *result);
ZCONF_EXPORT int32_t ZConfCreateKeyEx(ZConfKeyHandle hKey, const char *path, uint32_t isVolatile,
                                      uint32_t *disposition, ZConfKeyHandle *result);
ZCONF_EXPORT int32_t ZConfDeleteKey(ZConfKeyHandle hKey, const char *keyName);
ZCONF_EXPORT int32_t ZConfEnumKey(ZConfKeyHandle hKey, uint32_t index, char *name, uint32_t size);
ZCONF_EXPORT int32_t ZConfQueryInfoKey(ZConfKeyHandle hKey, uint32_t *subkeys,
                                       uint32_t *maxSubkeyName, uint32_t *values,
                                       uint32_t *maxValueName, uint32_t *maxValueData);

ZCONF_EXPORT int32_t ZConfSetValueEx(ZConfKeyHandle hKey, const char *name, uint32_t type,
                                     const void *data, uint32_t size);
ZCONF_EXPORT int32_t ZConfDeleteValue(ZConfKeyHandle hKey, const char *name);
ZCONF_EXPORT int32_t ZConfEnumValue(ZConfKeyHandle hKey, uint32_t index, char *name,
                                    uint32_t *nameSize, uint32_t *type, void *data,
                                    uint32_t *dataSize);
ZCONF_EXPORT int32_t ZConfQueryValueEx(ZConfKeyHandle hKey, const char *name, uint32_t *type,
                                       void *data, uint32_t *dataSize);

/* Writes the whole store (less its volatile keys) to the configuration file. The new
 * document replaces the file in one step, so the file is always either the old one or
 * the new one, whole. 0 on success; a negative error number when the document cannot be
 * produced; 2 when the file cannot be written (the file is then unchanged). */
ZCONF_EXPORT int32_t SaveXMLFile(void);

#ifdef __cplusplus
}
#endif

#endif /* DOVIZUZ_H */
