// Named mutexes and segments over POSIX shared memory objects. A new object is built
// under a private name and then linked to its public name in one step, so another
// process either finds no object or a complete one (a mutex already initialised, a
// segment already of its size). Objects are open to their owner only (and to one group
// chosen at build time); an existing object is used only when its owner is the caller
// or root and nobody else may open it, so another user can neither read, change nor
// stop what passes through it. Handles and views live in small fixed tables.
#include "platform/zwincompat.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kMaxHandles = 64;
constexpr int kMaxViews = 64;
constexpr size_t kNameBuffer = 256;
constexpr char kShmDir[] = "/dev/shm";
constexpr int kCreateAttempts = 100;

// The group that may share the objects on purpose, or -1: only their owner may.
#ifdef ZLL_SHARED_GID
constexpr long kSharedGroup = ZLL_SHARED_GID;
#else
constexpr long kSharedGroup = -1;
#endif

enum handle_kind : uint8_t { HANDLE_FREE, HANDLE_MUTEX, HANDLE_MAPPING };

struct handle_entry {
    handle_kind kind;
    int fd;                 // the shared memory object, kept open to check its size
    uint32_t size;          // mapping: the object's size
    pthread_mutex_t *mutex; // mutex: the mapped mutex
};

struct view_entry {
    void *address;
    size_t length;
};

handle_entry handles[kMaxHandles];
view_entry views[kMaxViews];
pthread_mutex_t table_lock = PTHREAD_MUTEX_INITIALIZER;
thread_local uint32_t last_error;

uint32_t fail(int error) {
    last_error = static_cast<uint32_t>(error);
    return 0;
}

// "/" followed by the name without its leading "/"; refuses names the object
// namespace cannot hold.
bool object_name(const char *name, char *out) {
    if (name == nullptr)
        return false;
    while (*name == '/')
        name++;
    size_t length = strlen(name);
    if (length == 0 || length + 1 >= kNameBuffer - 32 || strchr(name, '/') != nullptr)
        return false;
    out[0] = '/';
    memcpy(out + 1, name, length + 1);
    return true;
}

void init_shared_mutex(pthread_mutex_t *mutex) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

// What a new object gets before it is published: its size and, for a mutex, the
// initialised mutex (owned by the caller when asked), mapped at *mutex.
struct new_object {
    uint32_t size;
    bool is_mutex;
    bool owned;
    pthread_mutex_t *mutex;
};

// The permission bits of a new object: its owner's, and its group's when a group shares
// the objects.
mode_t object_mode() { return kSharedGroup >= 0 ? 0660 : 0600; }

// Gives a new object its group and mode; false with errno when it cannot have them.
bool restrict_object(int fd) {
    if (kSharedGroup >= 0 &&
        fchown(fd, static_cast<uid_t>(-1), static_cast<gid_t>(kSharedGroup)) != 0)
        return false;
    return fchmod(fd, object_mode()) == 0;
}

// Whether an existing object may be used: a shared memory object of the caller or of
// root that nobody else can open (but the sharing group, when there is one).
bool trusted_object(const struct stat &st) {
    if (!S_ISREG(st.st_mode))
        return false;
    if (st.st_uid != geteuid() && st.st_uid != 0)
        return false;
    if (kSharedGroup >= 0 && st.st_gid == static_cast<gid_t>(kSharedGroup))
        return (st.st_mode & S_IRWXO) == 0;
    return (st.st_mode & (S_IRWXG | S_IRWXO)) == 0;
}

bool prepare_object(int fd, new_object &object) {
    if (!restrict_object(fd) || ftruncate(fd, object.size) != 0)
        return false;
    if (!object.is_mutex)
        return true;
    void *address = mmap(nullptr, object.size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (address == MAP_FAILED)
        return false;
    object.mutex = static_cast<pthread_mutex_t *>(address);
    init_shared_mutex(object.mutex);
    if (object.owned)
        pthread_mutex_lock(object.mutex);
    return true;
}

void discard_object(new_object &object) {
    if (object.mutex == nullptr)
        return;
    if (object.owned)
        pthread_mutex_unlock(object.mutex);
    pthread_mutex_destroy(object.mutex);
    munmap(object.mutex, object.size);
    object.mutex = nullptr;
}

// Builds the object under a private name and links it to its public name. Returns the
// descriptor, or -1 with errno (EEXIST when another process published it first).
int create_published(const char *name, new_object &object) {
    char temp[kNameBuffer];
    snprintf(temp, sizeof temp, "%s.new.%d.%d", name, static_cast<int>(getpid()),
             static_cast<int>(gettid()));
    int fd = shm_open(temp, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    char temp_path[kNameBuffer + sizeof kShmDir], public_path[kNameBuffer + sizeof kShmDir];
    snprintf(temp_path, sizeof temp_path, "%s%s", kShmDir, temp);
    snprintf(public_path, sizeof public_path, "%s%s", kShmDir, name);
    bool published = prepare_object(fd, object) && link(temp_path, public_path) == 0;
    int error = errno;
    shm_unlink(temp);
    if (published)
        return fd;
    discard_object(object);
    close(fd);
    errno = error;
    return -1;
}

// Opens an existing object that may be used; -1 with errno (ENOENT when there is none,
// EACCES when it belongs to another user or others may open it).
int open_trusted(const char *name) {
    int fd = shm_open(name, O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !trusted_object(st)) {
        close(fd);
        errno = EACCES;
        return -1;
    }
    return fd;
}

// Opens the named object, or creates it when there is none; *created tells which.
int open_or_create(const char *name, new_object &object, bool *created) {
    for (int attempt = 0; attempt < kCreateAttempts; attempt++) {
        int fd = open_trusted(name);
        if (fd >= 0) {
            *created = false;
            return fd;
        }
        if (errno != ENOENT)
            return -1;
        fd = create_published(name, object);
        if (fd >= 0) {
            *created = true;
            return fd;
        }
        if (errno != EEXIST)
            return -1;
    }
    errno = EAGAIN;
    return -1;
}

// The size of an opened object, grown to at least size bytes.
bool ensure_size(int fd, uint32_t size, uint32_t *actual) {
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
    if (static_cast<uint64_t>(st.st_size) < size) {
        if (ftruncate(fd, size) != 0)
            return false;
        st.st_size = size;
    }
    if (static_cast<uint64_t>(st.st_size) > UINT32_MAX) {
        errno = EFBIG;
        return false;
    }
    *actual = static_cast<uint32_t>(st.st_size);
    return true;
}

zll_handle add_handle(const handle_entry &entry) {
    pthread_mutex_lock(&table_lock);
    zll_handle result = 0;
    for (int i = 0; i < kMaxHandles; i++) {
        if (handles[i].kind == HANDLE_FREE) {
            handles[i] = entry;
            result = static_cast<zll_handle>(i + 1);
            break;
        }
    }
    pthread_mutex_unlock(&table_lock);
    return result;
}

// A copy of the handle's entry, or an entry of kind HANDLE_FREE.
handle_entry find_handle(zll_handle handle) {
    handle_entry entry{};
    pthread_mutex_lock(&table_lock);
    if (handle >= 1 && handle <= kMaxHandles)
        entry = handles[handle - 1];
    pthread_mutex_unlock(&table_lock);
    return entry;
}

// Whether the object behind fd still holds at least size bytes: touching a mapped page
// that lies past the end of a shrunk object would raise SIGBUS.
bool object_holds(int fd, uint64_t size) {
    struct stat st;
    return fstat(fd, &st) == 0 && static_cast<uint64_t>(st.st_size) >= size;
}

// The handle's mutex while its object is still whole; NULL with last_error otherwise.
pthread_mutex_t *find_mutex(zll_handle handle) {
    handle_entry entry = find_handle(handle);
    if (entry.kind != HANDLE_MUTEX) {
        last_error = EBADF;
        return nullptr;
    }
    if (!object_holds(entry.fd, sizeof(pthread_mutex_t))) {
        last_error = EIO;
        return nullptr;
    }
    return entry.mutex;
}

// Maps the mutex of an existing object; NULL with errno when the object is too small.
pthread_mutex_t *map_existing_mutex(int fd) {
    if (!object_holds(fd, sizeof(pthread_mutex_t))) {
        errno = EINVAL;
        return nullptr;
    }
    void *address =
        mmap(nullptr, sizeof(pthread_mutex_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return address == MAP_FAILED ? nullptr : static_cast<pthread_mutex_t *>(address);
}

bool add_view(void *address, size_t length) {
    pthread_mutex_lock(&table_lock);
    bool added = false;
    for (auto &view : views) {
        if (view.address == nullptr) {
            view = {address, length};
            added = true;
            break;
        }
    }
    pthread_mutex_unlock(&table_lock);
    return added;
}

// Removes the view from the table; its length, or 0 when it is not a view.
size_t take_view(const void *address) {
    size_t length = 0;
    pthread_mutex_lock(&table_lock);
    for (auto &view : views) {
        if (address != nullptr && view.address == address) {
            length = view.length;
            view = {};
            break;
        }
    }
    pthread_mutex_unlock(&table_lock);
    return length;
}

timespec deadline_after(uint32_t milliseconds) {
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec++;
        deadline.tv_nsec -= 1000000000L;
    }
    return deadline;
}

} // namespace

extern "C" {

zll_handle zllCreateMutex(int32_t initialOwner, const char *name) {
    char object_path[kNameBuffer];
    if (!object_name(name, object_path))
        return fail(EINVAL);
    new_object object{sizeof(pthread_mutex_t), true, initialOwner != 0, nullptr};
    bool created;
    int fd = open_or_create(object_path, object, &created);
    if (fd < 0)
        return fail(errno);
    pthread_mutex_t *mutex = object.mutex;
    if (!created) {
        mutex = map_existing_mutex(fd);
        if (mutex == nullptr) {
            int error = errno;
            close(fd);
            return fail(error);
        }
    }
    zll_handle handle = add_handle({HANDLE_MUTEX, fd, 0, mutex});
    if (handle == 0) {
        if (created && initialOwner != 0)
            pthread_mutex_unlock(mutex);
        munmap(mutex, sizeof(pthread_mutex_t));
        close(fd);
        return fail(EMFILE);
    }
    last_error = created ? 0 : ZLL_ERROR_ALREADY_EXISTS;
    return handle;
}

uint32_t zllWaitForSingleObject(zll_handle handle, uint32_t timeout) {
    pthread_mutex_t *mutex = find_mutex(handle);
    if (mutex == nullptr)
        return ZLL_WAIT_FAILED;
    int rc;
    if (timeout == ZLL_INFINITE) {
        rc = pthread_mutex_lock(mutex);
    } else {
        timespec deadline = deadline_after(timeout);
        rc = pthread_mutex_timedlock(mutex, &deadline);
    }
    // The owner died holding it: whatever it guarded is rewritten by its next user.
    if (rc == EOWNERDEAD)
        rc = pthread_mutex_consistent(mutex);
    if (rc == ETIMEDOUT) {
        last_error = ETIMEDOUT;
        return ZLL_WAIT_TIMEOUT;
    }
    if (rc != 0) {
        last_error = static_cast<uint32_t>(rc);
        return ZLL_WAIT_FAILED;
    }
    last_error = 0;
    return ZLL_WAIT_OBJECT_0;
}

int32_t zllReleaseMutex(zll_handle handle) {
    pthread_mutex_t *mutex = find_mutex(handle);
    if (mutex == nullptr)
        return 0;
    int rc = pthread_mutex_unlock(mutex);
    if (rc != 0)
        return static_cast<int32_t>(fail(rc));
    last_error = 0;
    return 1;
}

int32_t zllCloseHandle(zll_handle handle) {
    pthread_mutex_lock(&table_lock);
    handle_entry entry{};
    if (handle >= 1 && handle <= kMaxHandles) {
        entry = handles[handle - 1];
        handles[handle - 1] = {};
    }
    pthread_mutex_unlock(&table_lock);
    if (entry.kind == HANDLE_FREE)
        return static_cast<int32_t>(fail(EBADF));
    if (entry.kind == HANDLE_MUTEX)
        munmap(entry.mutex, sizeof(pthread_mutex_t));
    close(entry.fd);
    last_error = 0;
    return 1;
}

zll_handle zllCreateFileMapping(int32_t file, uint32_t /*protection*/, uint32_t size,
                                const char *name) {
    char object_path[kNameBuffer];
    if (file != ZLL_INVALID_FILE || size == 0 || !object_name(name, object_path))
        return fail(EINVAL);
    new_object object{size, false, false, nullptr};
    bool created;
    int fd = open_or_create(object_path, object, &created);
    if (fd < 0)
        return fail(errno);
    uint32_t actual;
    if (!ensure_size(fd, size, &actual)) {
        int error = errno;
        close(fd);
        return fail(error);
    }
    zll_handle handle = add_handle({HANDLE_MAPPING, fd, actual, nullptr});
    if (handle == 0) {
        close(fd);
        return fail(EMFILE);
    }
    last_error = created ? 0 : ZLL_ERROR_ALREADY_EXISTS;
    return handle;
}

void *zllMapViewOfFile(zll_handle mapping, uint32_t /*access*/, uint32_t offset, uint32_t size) {
    handle_entry entry = find_handle(mapping);
    if (entry.kind != HANDLE_MAPPING) {
        last_error = EBADF;
        return nullptr;
    }
    if (size == 0 && offset < entry.size)
        size = entry.size - offset;
    if (size == 0 || offset % static_cast<uint32_t>(sysconf(_SC_PAGESIZE)) != 0 ||
        static_cast<uint64_t>(offset) + size > entry.size) {
        last_error = EINVAL;
        return nullptr;
    }
    void *address = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, entry.fd, offset);
    if (address == MAP_FAILED) {
        last_error = static_cast<uint32_t>(errno);
        return nullptr;
    }
    if (!add_view(address, size)) {
        munmap(address, size);
        last_error = ENOMEM;
        return nullptr;
    }
    last_error = 0;
    return address;
}

int32_t zllUnmapViewOfFile(const void *view) {
    size_t length = take_view(view);
    if (length == 0)
        return static_cast<int32_t>(fail(EINVAL));
    munmap(const_cast<void *>(view), length);
    last_error = 0;
    return 1;
}

uint32_t zllGetFileMappingSize(zll_handle mapping) {
    handle_entry entry = find_handle(mapping);
    struct stat st;
    if (entry.kind != HANDLE_MAPPING)
        return fail(EBADF);
    if (fstat(entry.fd, &st) != 0)
        return fail(errno);
    last_error = 0;
    return static_cast<uint64_t>(st.st_size) > UINT32_MAX ? UINT32_MAX
                                                          : static_cast<uint32_t>(st.st_size);
}

uint32_t zllGetLastError(void) { return last_error; }

} // extern "C"
