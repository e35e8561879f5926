/* Named, process-shared mutexes and memory segments behind a small handle-based
 * interface. Every name maps to a POSIX shared memory object called "/" followed by
 * the name without its leading "/", so "DoviZUZNbInst" and "/DoviZUZNbInst" are the
 * same object, /dev/shm/DoviZUZNbInst.
 *
 * Results follow the handle conventions: a handle is a non-zero number, 0 means
 * failure; operations that succeed or fail return non-zero or 0; the reason of the last
 * failure, or 17 when a create call found the named object already there, is read with
 * zllGetLastError (per thread). A mutex whose owner died while holding it passes to the
 * next waiter, which gets it as usual.
 *
 * A new object is open to the creating user only, or also to one group when the build
 * names it (ZLL_SHARED_GID). An existing object is used only when it belongs to the
 * calling user or to root and nobody else (but that group) may open it; otherwise the
 * create calls fail with last error 13 (EACCES), as they do when the system refuses to
 * open an object of another user. */
#ifndef ZWINCOMPAT_H
#define ZWINCOMPAT_H

#include <stdint.h>

#if defined(__GNUC__)
#define ZLL_EXPORT __attribute__((visibility("default")))
#else
#define ZLL_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t zll_handle;

#define ZLL_ERROR_ALREADY_EXISTS 17u
#define ZLL_INFINITE 0xFFFFFFFFu
#define ZLL_WAIT_OBJECT_0 0u
#define ZLL_WAIT_TIMEOUT 0x102u
#define ZLL_WAIT_FAILED 0xFFFFFFFFu
#define ZLL_INVALID_FILE (-1)

/* Creates the named mutex, or opens it when it exists (last error 17; initialOwner is
 * then ignored). With initialOwner non-zero a new mutex is owned by the calling thread.
 * The mutex is recursive: its owner may wait for it again and releases it as often. */
ZLL_EXPORT zll_handle zllCreateMutex(int32_t initialOwner, const char *name);
/* Waits at most timeout milliseconds (ZLL_INFINITE: no limit) for a mutex: returns
 * ZLL_WAIT_OBJECT_0 once the calling thread owns it, ZLL_WAIT_TIMEOUT or ZLL_WAIT_FAILED
 * (last error 5, EIO, when the mutex's object has been cut short meanwhile). */
ZLL_EXPORT uint32_t zllWaitForSingleObject(zll_handle handle, uint32_t timeout);
ZLL_EXPORT int32_t zllReleaseMutex(zll_handle handle);
/* Closes a mutex or mapping handle. Named objects stay in place for other processes. */
ZLL_EXPORT int32_t zllCloseHandle(zll_handle handle);

/* Creates the named segment of size bytes (zero-filled), or opens it when it exists
 * (last error 17); an existing smaller segment is grown to size. Only shared memory
 * (file -1) is supported; protection is accepted as passed (read-write). */
ZLL_EXPORT zll_handle zllCreateFileMapping(int32_t file, uint32_t protection, uint32_t size,
                                           const char *name);
/* Maps size bytes of the segment from offset (0: the whole segment) read-write; access is
 * accepted as passed. Returns the address, or NULL. */
ZLL_EXPORT void *zllMapViewOfFile(zll_handle mapping, uint32_t access, uint32_t offset,
                                  uint32_t size);
ZLL_EXPORT int32_t zllUnmapViewOfFile(const void *view);
/* The segment's size now (another process of the same user may have cut it since it was
 * mapped; a view's pages past the end must then not be touched), or 0 on failure. */
ZLL_EXPORT uint32_t zllGetFileMappingSize(zll_handle mapping);
ZLL_EXPORT uint32_t zllGetLastError(void);

#ifdef __cplusplus
}
#endif

#endif
