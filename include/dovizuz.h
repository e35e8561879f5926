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
#define ZCONF_ERR_AGAIN (-11)
#define ZCONF_ERR_NOMEM (-12)
#define ZCONF_ERR_ACCES (-13)
#define ZCONF_ERR_FAULT (-14)
#define ZCONF_ERR_BUSY (-16)
#define ZCONF_ERR_INVAL (-22)
#define ZCONF_ERR_NOTEMPTY (-39)
#define ZCONF_ERR_IDRM (-43)
#define ZCONF_ERR_BADMSG (-74)
#define ZCONF_ERR_OVERFLOW (-75)

/* Limits. */
#define ZCONF_MAX_PATH 259
#define ZCONF_MAX_NAME 255
#define ZCONF_MAX_HANDLES 127
#define ZCONF_MAX_CONNECTIONS 64

/*
 * What every call below shares:
 * - The calling thread gets a connection on its first call; while 64 other threads hold
 *   one, every call of a thread without one returns -22 (ZConfCloseKey: -9).
 * - hKey is 0 (the root) or a handle 1..127 that this thread obtained and has not
 *   closed; any other hKey returns -22 (ZConfCloseKey: -9).
 * - A path or name is cut to its first 259 bytes. Path names are separated by '\' or
 *   '/', a run of separators counting as one; names are compared without regard to case.
 * - A NULL path, name or result-handle pointer returns -22 and changes nothing.
 * - -16 means the store's lock could not be taken; nothing was done.
 * - A failed call changes nothing, except where said below.
 */

/* Opens the key at path below hKey ("HZCONF_ROOT" at the start of a path from the root
 * names the root; leading separators are skipped). mode is 1..3 (ZCONF_KEY_*), else -13;
 * only the write bit is enforced, by the calls that change the store. 0 with the new
 * handle (the lowest free of 1..127) in *result; on failure the negative result is also
 * stored in *result: -2 for an empty path or a missing key, -12 when all 127 handles are
 * open (tested before the path). A NULL result returns -22 and stores nothing. */
ZCONF_EXPORT int32_t ZConfOpenKeyEx(ZConfKeyHandle hKey, const char *path, uint32_t mode,
                                    ZConfKeyHandle *result);

/* Closes hKey (1..127) and then every other handle of the calling thread, and frees its
 * connection; a deleted key that no other handle holds goes at this close. 0 on success;
 * -9 for handle 0, a handle outside 1..127 or one not open, and then no handle is
 * closed. */
ZCONF_EXPORT int32_t ZConfCloseKey(ZConfKeyHandle hKey);

/* ZConfCreateKeyEx(hKey, path, 0, NULL, result). */
ZCONF_EXPORT int32_t ZConfCreateKey(ZConfKeyHandle hKey, const char *path, ZConfKeyHandle *result);

/* Opens the key at path below hKey, making the missing keys of the path; an empty path
 * opens the key of hKey. A path that begins with a separator begins with a key named ""
 * (leading separators are not skipped). The new keys are volatile (never saved) when
 * isVolatile is non-zero or their parent is volatile; existing keys stay as they are. 0
 * with a new handle (mode ZCONF_KEY_ALL) in *result; *disposition (when not NULL) is 1
 * when a key was made, else 0. On failure the negative result is stored in *result: -13
 * for a handle without the write bit, -12 when all 127 handles are open or a key cannot
 * be made (a name of 256 bytes or more, no memory; the keys made before it stay, with
 * *disposition 0), -43 at or below a key whose deletion is pending. A NULL result
 * returns -22 and stores nothing. */
ZCONF_EXPORT int32_t ZConfCreateKeyEx(ZConfKeyHandle hKey, const char *path, uint32_t isVolatile,
                                      uint32_t *disposition, ZConfKeyHandle *result);

/* Deletes the key at keyName below hKey (leading separators are not skipped; an empty
 * keyName names the key of hKey) with its values. A key still open in any thread stays
 * until its last handle is closed, and can still be opened meanwhile. 0 when deleted or
 * marked; -2 when the key does not exist; -39 when it has subkeys; -13 for a handle
 * without the write bit. Prints a trace line on standard output when hKey is valid, and
 * a second one when it also has the write bit. */
ZCONF_EXPORT int32_t ZConfDeleteKey(ZConfKeyHandle hKey, const char *keyName);

/* Copies the name of the index-th (0-based) subkey of hKey, in order of name without
 * regard to case, into name as strncpy(name, subkey, size) does: a name of size bytes or
 * more is cut and not terminated, and that is not reported. 0; -2 when index is past the
 * last subkey, which ends an enumeration; -22 for a NULL name or a size of 0. */
ZCONF_EXPORT int32_t ZConfEnumKey(ZConfKeyHandle hKey, uint32_t index, char *name, uint32_t size);

/* Stores, through each pointer that is not NULL, the key's number of subkeys, the length
 * of its longest subkey name, its number of values, the length of its longest value name
 * and its largest value data (as stored: with the NUL that ends a string). Lengths are
 * in bytes without a terminating NUL; deeper keys do not count. 0. */
ZCONF_EXPORT int32_t ZConfQueryInfoKey(ZConfKeyHandle hKey, uint32_t *subkeys,
                                       uint32_t *maxSubkeyName, uint32_t *values,
                                       uint32_t *maxValueName, uint32_t *maxValueData);

/* Sets value name of hKey to size bytes of data of the given type, replacing a value of
 * that name in its place (it takes the new name's letter case, type and data) or adding
 * it at the end. size must be 0 for NONE (data may then be NULL), not 0 for BINARY, SZ
 * and MULTI_SZ, 4 for the DWORD types and 8 for the QWORD types; a NUL is added to a
 * string (SZ, MULTI_SZ) whose last byte is not NUL. Integers are stored as the bytes
 * given, in their order. 0; -22 for another type (7, above 10), a size that does not fit
 * the type or NULL data with data expected; -13 on the root key or through a handle
 * without the write bit; -12 when the name takes 256 bytes or more, the name and the
 * stored data together more than 4079, or there is no memory (an existing value stays as
 * it was). */
ZCONF_EXPORT int32_t ZConfSetValueEx(ZConfKeyHandle hKey, const char *name, uint32_t type,
                                     const void *data, uint32_t size);

/* Deletes value name of hKey. 0; -2 when there is none; -13 for a handle without the
 * write bit. */
ZCONF_EXPORT int32_t ZConfDeleteValue(ZConfKeyHandle hKey, const char *name);

/* Reads the index-th (0-based) value of hKey, in the order the values were first set.
 * *nameSize holds the size of name on entry: the value's name is copied as
 * strncpy(name, value, *nameSize) does (cut and not terminated when too long, which is
 * not reported), and *nameSize becomes the smaller of that size and the name's length.
 * type, when not NULL, receives the type. With data NULL, *dataSize (when dataSize is not
 * NULL) becomes the data's length. With data, *dataSize holds its size on entry: as much
 * of the data as fits is copied and *dataSize becomes the number of bytes copied, so
 * after -75 it holds the buffer's size, not the length (ask again with data NULL).
 * 0; -75 when the data did not fit; -2 when index is past the last value, which ends an
 * enumeration; -22 for a NULL name or nameSize, a *nameSize of 0, or data without
 * dataSize. */
ZCONF_EXPORT int32_t ZConfEnumValue(ZConfKeyHandle hKey, uint32_t index, char *name,
                                    uint32_t *nameSize, uint32_t *type, void *data,
                                    uint32_t *dataSize);

/* Reads value name of hKey. type, when not NULL, receives the type. With data NULL,
 * *dataSize (when dataSize is not NULL) becomes the data's length: the way to ask for
 * the size. With data, *dataSize holds its size on entry: as much of the data as fits
 * is copied and *dataSize becomes the data's whole length, also after -75.
 * 0; -75 when the data did not fit; -2 when there is no such value; -22 for data without
 * dataSize. */
ZCONF_EXPORT int32_t ZConfQueryValueEx(ZConfKeyHandle hKey, const char *name, uint32_t *type,
                                       void *data, uint32_t *dataSize);

/* Writes the whole store (less its volatile keys) to the configuration file. The new
 * document replaces the file in one step (a rename), so the file is either the old one
 * or the new one, whole; where a rename cannot serve (a file mounted over the path, a
 * file with a second link, a directory others may write) it is written over the old
 * bytes in place, and only a crash in the middle of that can leave a cut file. 0 on
 * success; 2 when the file cannot be written (it cannot be opened for writing, a write
 * fails, or another process holds a lock on it for more than 10 seconds); a negative
 * error number when the document cannot be produced (-16 the store or its document
 * channel is busy, -12 no memory). On every failure the file is unchanged and a line on
 * standard output says why. The calls above change only this process's store: they reach
 * the file only through this call or ZConfFlushKey below. A successful save also ends
 * what counts as changed for ZConfFlushKey. */
ZCONF_EXPORT int32_t SaveXMLFile(void);

/*
 * Two ways to persist. SaveXMLFile writes this process's whole store over the file, and
 * with it whatever this process last loaded of what others saved since. ZConfFlushKey
 * writes only what this process changed into the file as it is now, so that several
 * processes changing the same file keep each other's changes.
 *
 * What counts as changed: the values set and deleted and the keys created and deleted
 * through the calls above, in keys that are not volatile, since the library loaded the
 * file or since the last successful SaveXMLFile (all of them) or ZConfFlushKey (those at
 * or below its key). Loading the file changes nothing.
 */

/* Writes the changes this process made at or below hKey (0: the whole store) into the
 * configuration file as the file is now: the file is read, the changes are put into it
 * (each value, key or deletion as this process's store has it now; names compared as
 * everywhere, without regard to case) and it is written back the way SaveXMLFile writes,
 * in one step, without volatile keys. What other processes saved or flushed meanwhile
 * stays; a value both changed takes the later flush's. The read and the write are one
 * step for every process of the device: they hold the named mutex that the library's
 * processes share and a flock() lock on "/etc/zconfig.xml.lock", a file made beside it
 * that only those who may write the configuration file may open (a lock file others
 * may open is not used). A missing or empty file counts as an empty store. With no
 * change at or below hKey it returns 0 and touches nothing.
 * 0, and the changes written no longer count as changed; -74 (EBADMSG) when the file
 * does not hold a whole document the library loads (it is left as it is and a line on
 * standard output says so); -11 (EAGAIN) when another process held that lock for more
 * than 10 seconds; -22 when the path names something else than a regular file (a
 * directory, a FIFO: left alone); -12 when memory ran out, also when a change could not be
 * recorded for lack of memory (then only SaveXMLFile writes the store); the negative
 * errno of a file that cannot be read, or of a write that failed (-5 when none is
 * known), after a line on standard output; -16 when the store or the document channel is
 * busy. On every failure the file is unchanged and the changes still count. */
ZCONF_EXPORT int32_t ZConfFlushKey(ZConfKeyHandle hKey);

/* Brings the configuration file's current content at or below hKey (0: the whole store)
 * into this process's store: values and keys others added or changed appear, those they
 * removed disappear (a key still open goes as ZConfDeleteKey deletes an open key: its
 * handles stay usable and it goes at its last close). What this process changed and has
 * not written yet stays as it is, and so do volatile keys. Handles of the keys that stay
 * remain valid. *changed (when changed is not NULL) becomes 1 when anything at or below
 * the key changed, else 0. 0; -74 (EBADMSG) when the file does not hold a whole document
 * (the store is left as it is); -22 when the path names something else than a regular
 * file; -12 when memory ran out (part of the file's content may
 * be in the store); the negative errno of a file that cannot be read. A missing file
 * counts as an empty store. */
ZCONF_EXPORT int32_t ZConfRefreshKey(ZConfKeyHandle hKey, uint32_t *changed);

/* Stores in *fd a new file descriptor (close-on-exec, non-blocking; the caller closes
 * it) that becomes readable when a file is written in, or renamed into, the directory of
 * the configuration file: every save and flush, by rename or in place, by any process,
 * this one included. Reading it (until it returns -1 with EAGAIN) drains it. Other files
 * of the directory wake it too: follow a wakeup with ZConfRefreshKey, which tells
 * whether anything changed. 0; -22 for a NULL fd; the negative errno of inotify (-24 for
 * too many open files, -2 when the directory does not exist). */
ZCONF_EXPORT int32_t ZConfNotifyChangeKeyValue(int32_t *fd);

/*
 * When the file is refused. The load at start-up takes the configuration file whole or
 * not at all: a file the document format does not allow leaves the store with its root
 * key alone (a document cut after a subkey's end tag keeps the keys before the cut, as
 * loads always have, and counts as refused all the same). These calls tell what happened
 * and where. They copy their text into text as strncpy(text, reason, size) does, as
 * ZConfEnumKey copies a name: a text of size bytes or more is cut and not terminated;
 * with text NULL or size 0 nothing is copied. A refusal's text is "LINE:COLUMN: reason":
 * the line (from 1) and column (from 1, in bytes) of the byte that decided it (the end of
 * the file for a document that ends too early) and the reason in words.
 */

/* How the start-up load of the configuration file went: 0 when it loaded (an empty file
 * loads an empty store; text gets ""); -2 when there was no file (text gets ""); the
 * decoder's code when the file was refused: -22 for text the format does not allow or a
 * document that ends too early, -75 for a tag longer than 40960 bytes, -12 for a value
 * too large for a node or no memory, with "LINE:COLUMN: reason" in text; the negative
 * errno of a file that could not be opened (-22 for one that is not a regular file),
 * with the system's words in text. */
ZCONF_EXPORT int32_t ZConfQueryLoadStatus(char *text, uint32_t size);

/* Decodes the file at path as the load would, into a tree of its own, never touching the
 * store, and answers as ZConfQueryLoadStatus: 0 with "N keys, M values" in text (keys
 * below the root, values of all keys, volatile keys left out; an empty file holds none);
 * the decoder's code with "LINE:COLUMN: reason" for a refused file (also for a document
 * that stops before its root's end tag); the negative errno of a file that cannot be
 * opened or read, with the system's words ("no such file" for -2); -22 for a NULL path. */
ZCONF_EXPORT int32_t ZConfCheckXMLFile(const char *path, char *text, uint32_t size);

/* Writes the key of hKey with its values and subkeys (volatile keys left out) to the file
 * at path as a document of the configuration file's format: its root element holds the
 * key itself (for the root key, the root's subkeys: the whole store as SaveXMLFile writes
 * it). The file is replaced as SaveXMLFile replaces the configuration file: whole, by a
 * rename where it can. 0; -22 for a NULL or empty path or a handle that names no key;
 * -9 for a thread without a connection; -12 for no memory; the negative errno of a file
 * that cannot be written (a line on standard output says why); -16 when busy. */
ZCONF_EXPORT int32_t ZConfSaveKey(ZConfKeyHandle hKey, const char *path);

/* Merges the document in the file at path under the key of hKey, as the load merges the
 * configuration file into the store: the root element's keys become subkeys of hKey's
 * key (merged with keys of the same name, values replacing values of the same name), so
 * that a document written by ZConfSaveKey of a key K restored under a key P gives P the
 * subkey K as it was. An empty file changes nothing. The keys and values brought count as
 * this process's changes for ZConfFlushKey. A file that does not hold a whole document
 * changes nothing. 0; the decoder's code (-22, -75, -12) for a refused document (see
 * ZConfCheckXMLFile for where and why); the negative errno of a file that cannot be read,
 * -22 for a path that names no regular file (a FIFO is never waited on); -13 for a
 * handle without the write bit; -43 for a key whose deletion is pending; -22 for a NULL
 * path or a handle that names no key. */
ZCONF_EXPORT int32_t ZConfRestoreKey(ZConfKeyHandle hKey, const char *path);

/* A short text in English for a result of any call above: 0, SaveXMLFile's 2, each
 * ZCONF_ERR_* code, and the system's words for any other negative errno ("unknown
 * result" for a value no call returns). The text is static: never freed or changed, the
 * same in every thread and locale. Never NULL. */
ZCONF_EXPORT const char *ZConfErrorText(int32_t rc);

#ifdef __cplusplus
}
#endif

#endif /* DOVIZUZ_H */
