// Library start-up and shutdown, the objects shared by every process that uses the
// library, and the configuration file's load and save.
#include "lifecycle/dovizuz_lifecycle.h"

#include "api/zconf_api.h"
#include "tree/zconf_mem.h"
#include "xml/zconf_proc.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

char DovizuzFilePath[DOVIZUZ_PATH_BUFFER];
int32_t InitDone;
zll_handle DoviZUZMutex;

void *pDoviZUZSharedMemoryData;
zll_handle SharedMemoryDataHandle = DOVIZUZ_UNSET_HANDLE;
void *pDoviZUZNbInst;
zll_handle DoviZUZNbInstHandle = DOVIZUZ_UNSET_HANDLE;
void *pDoviZUZSharedMemoryDump;
zll_handle SharedMemoryDumpHandle = DOVIZUZ_UNSET_HANDLE;
void *pDoviZUZSharedMemoryStat;
zll_handle SharedMemoryStatHandle = DOVIZUZ_UNSET_HANDLE;
void *pDoviZUZSharedMemoryMem;
zll_handle SharedMemoryMemHandle = DOVIZUZ_UNSET_HANDLE;

namespace {

constexpr int kMaxLinkHops = 40;

struct segment_slot {
    void **view;
    zll_handle *handle;
};

// The order in which shutdown releases the segments.
const segment_slot release_order[] = {
    {&pDoviZUZNbInst, &DoviZUZNbInstHandle},
    {&pDoviZUZSharedMemoryData, &SharedMemoryDataHandle},
    {&pDoviZUZSharedMemoryDump, &SharedMemoryDumpHandle},
    {&pDoviZUZSharedMemoryStat, &SharedMemoryStatHandle},
    {&pDoviZUZSharedMemoryMem, &SharedMemoryMemHandle},
};

// Only a process whose load reached its end is counted, and only it lowers the count.
bool instance_counted;
bool fork_handler_registered;
// Stands in for the shared length word when the data segment is missing.
uint32_t own_length_word;

int32_t *instance_count() { return static_cast<int32_t *>(pDoviZUZNbInst); }

void count_instance(int32_t change) {
    __atomic_add_fetch(instance_count(), change, __ATOMIC_SEQ_CST);
}

// A forked child has the library loaded too, and lowers the count when it exits.
void count_forked_child() {
    if (instance_counted)
        count_instance(1);
}

uint32_t *length_word() {
    if (pDoviZUZSharedMemoryData == nullptr)
        return &own_length_word;
    return static_cast<uint32_t *>(pDoviZUZSharedMemoryData);
}

char *shared_text_buffer() {
    if (pDoviZUZSharedMemoryData == nullptr)
        return nullptr;
    return static_cast<char *>(pDoviZUZSharedMemoryData) + 4;
}

// The text buffer for one load or save: the shared one, held under the named mutex so
// that no two processes use it at once, or a buffer of the process's own when the
// shared objects are missing. NULL when neither can be had.
char *acquire_text_buffer() {
    char *shared = shared_text_buffer();
    if (shared != nullptr && DoviZUZMutex != 0 &&
        zllWaitForSingleObject(DoviZUZMutex, ZLL_INFINITE) == ZLL_WAIT_OBJECT_0)
        return shared;
    return static_cast<char *>(malloc(DOVIZUZ_TEXT_BUFFER));
}

void release_text_buffer(char *buffer) {
    if (buffer != nullptr && buffer == shared_text_buffer())
        zllReleaseMutex(DoviZUZMutex);
    else
        free(buffer);
}

// Feeds the file to the open write pass in pieces that fit the text buffer, so a file
// of any size is read whole and never past the buffer.
void write_file_to_channel(FILE *file, char *buffer) {
    uint32_t fpos = 0;
    size_t n;
    while ((n = fread(buffer, 1, DOVIZUZ_TEXT_BUFFER, file)) > 0) {
        if (zconf_xml_write(buffer, static_cast<uint32_t>(n), &fpos) <= 0)
            break;
    }
}

bool write_all(int fd, const char *data, size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

// Follows symbolic links from path to the file they finally name (which need not
// exist), so that the new file replaces the link's target, not the link.
bool resolve_link_target(const char *path, char *target) {
    snprintf(target, DOVIZUZ_PATH_BUFFER, "%s", path);
    for (int hop = 0; hop < kMaxLinkHops; hop++) {
        char link[DOVIZUZ_PATH_BUFFER];
        ssize_t n = readlink(target, link, sizeof link - 1);
        if (n < 0)
            return true;
        link[n] = '\0';
        const char *slash = strrchr(target, '/');
        size_t keep =
            link[0] == '/' || slash == nullptr ? 0 : static_cast<size_t>(slash - target) + 1;
        if (keep + static_cast<size_t>(n) >= DOVIZUZ_PATH_BUFFER) {
            errno = ENAMETOOLONG;
            return false;
        }
        memcpy(target + keep, link, static_cast<size_t>(n) + 1);
    }
    errno = ELOOP;
    return false;
}

// A new file beside target, with target's permissions and owner when target exists.
// Returns its descriptor and name, or -1 with errno.
int create_temp_file(const char *target, char *temp) {
    if (snprintf(temp, DOVIZUZ_PATH_BUFFER, "%s.XXXXXX", target) >= int{DOVIZUZ_PATH_BUFFER}) {
        errno = ENAMETOOLONG;
        return -1;
    }
    int fd = mkstemp(temp);
    if (fd < 0)
        return -1;
    struct stat st;
    if (stat(target, &st) == 0) {
        fchmod(fd, st.st_mode & 07777);
        if (fchown(fd, st.st_uid, st.st_gid) != 0) {
            // Keeping the saving process as owner is the best that can be done.
        }
    } else {
        fchmod(fd, 0644);
    }
    return fd;
}

void fsync_directory_of(const char *target) {
    char directory[DOVIZUZ_PATH_BUFFER];
    snprintf(directory, sizeof directory, "%s", target);
    char *slash = strrchr(directory, '/');
    if (slash == nullptr)
        snprintf(directory, sizeof directory, ".");
    else
        slash[slash == directory ? 1 : 0] = '\0';
    int fd = open(directory, O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

enum copy_result : int32_t { COPY_WRITE_FAILED = 1 };

// Reads the whole document of the open read pass in pieces through the text buffer
// and writes it to fd. Returns 0, the channel's negative error, or COPY_WRITE_FAILED
// with the system error in *write_error.
int32_t copy_document(int fd, int *write_error) {
    char *buffer = acquire_text_buffer();
    if (buffer == nullptr)
        return -ENOMEM;
    uint32_t fpos = 0;
    int32_t result = 0;
    // A short read is not yet the end: only a read that returns 0 is.
    for (;;) {
        int32_t n = zconf_xml_read(buffer, DOVIZUZ_TEXT_BUFFER, &fpos);
        if (n <= 0) {
            result = n;
            break;
        }
        if (!write_all(fd, buffer, static_cast<size_t>(n))) {
            *write_error = errno;
            result = COPY_WRITE_FAILED;
            break;
        }
    }
    release_text_buffer(buffer);
    return result;
}

// Flushes the new file to disk and puts it in place of target in one step.
bool commit_temp_file(int fd, const char *temp, const char *target) {
    bool synced = fsync(fd) == 0;
    bool closed = close(fd) == 0;
    if (!synced || !closed || rename(temp, target) != 0)
        return false;
    fsync_directory_of(target);
    return true;
}

void discard_temp_file(int fd, const char *temp) {
    if (fd >= 0)
        close(fd);
    unlink(temp);
}

// The save once the read pass is open: writes the document to a new file and, when
// all of it is written, puts the new file in place. Always ends the read pass.
int32_t save_open_document() {
    char target[DOVIZUZ_PATH_BUFFER];
    char temp[DOVIZUZ_PATH_BUFFER];
    int fd = resolve_link_target(DovizuzFilePath, target) ? create_temp_file(target, temp) : -1;
    int file_error = fd < 0 ? errno : 0;
    int32_t copied = fd < 0 ? 0 : copy_document(fd, &file_error);
    int32_t done = zconf_xml_read_done();
    if (done != 0) {
        printf("SaveXMLFile: zconf_xml_read_done() failed, error %d\n", done);
        if (fd >= 0)
            discard_temp_file(fd, temp);
        return done;
    }
    if (fd < 0) {
        printf("SaveXMLFile: fopen() failed, error %d\n", file_error);
        return 2;
    }
    if (copied < 0) {
        printf("SaveXMLFile: zconf_xml_read() failed, error %d\n", copied);
        discard_temp_file(fd, temp);
        return copied;
    }
    if (copied == COPY_WRITE_FAILED) {
        printf("SaveXMLFile: write failed, error %d\n", file_error);
        discard_temp_file(fd, temp);
        return 2;
    }
    if (!commit_temp_file(fd, temp, target)) {
        printf("SaveXMLFile: write failed, error %d\n", errno);
        unlink(temp);
        return 2;
    }
    return 0;
}

} // namespace

void *AllocSharedMemory(const char *name, uint32_t size, zll_handle *handle, int32_t *created) {
    *handle = DOVIZUZ_UNSET_HANDLE;
    zll_handle mapping = zllCreateFileMapping(ZLL_INVALID_FILE, 2, size, name);
    if (mapping == 0) {
        printf("AllocSharedMemory: Error %d creating file mapping (%s)\r\n",
               static_cast<int>(zllGetLastError()), name);
        return nullptr;
    }
    uint32_t error = zllGetLastError();
    if (error != 0 && error != ZLL_ERROR_ALREADY_EXISTS) {
        printf("AllocSharedMemory: Error %d creating file mapping (%s)\r\n",
               static_cast<int>(error), name);
        zllCloseHandle(mapping);
        return nullptr;
    }
    *created = error == 0 ? 1 : 0;
    void *view = zllMapViewOfFile(mapping, 7, 0, size);
    if (view == nullptr) {
        printf("AllocSharedMemory: Error %d mapping view of file (%s)\r\n",
               static_cast<int>(zllGetLastError()), name);
        zllCloseHandle(mapping);
        return nullptr;
    }
    *handle = mapping;
    return view;
}

void FreeSharedMemory(void *view, zll_handle *handle) {
    if (view == nullptr) {
        printf("FreeSharedMemory : invalid adress %Xh\r\n",
               static_cast<unsigned>(reinterpret_cast<uintptr_t>(view)));
        return;
    }
    zllUnmapViewOfFile(view);
    if (*handle == DOVIZUZ_UNSET_HANDLE) {
        printf("FreeSharedMemory : invalid handle %Xh\r\n", *handle);
        return;
    }
    zll_handle former = *handle;
    *handle = DOVIZUZ_UNSET_HANDLE;
    zllCloseHandle(former);
}

int32_t init_shared_mem_type(void **slot, uint32_t size, const char *name, zll_handle *handle) {
    if (zllWaitForSingleObject(DoviZUZMutex, ZLL_INFINITE) != ZLL_WAIT_OBJECT_0) {
        printf("init_shared_mem_type: mem<%s>, error: %d waiting Mutex (%s)\r\n", name,
               static_cast<int>(zllGetLastError()), DOVIZUZ_MUTEX_NAME);
        return 1;
    }
    int32_t created = 0;
    *slot = AllocSharedMemory(name, size, handle, &created);
    if (*slot == nullptr) {
        zllReleaseMutex(DoviZUZMutex);
        return 1;
    }
    if (created)
        memset(*slot, 0, size);
    zllReleaseMutex(DoviZUZMutex);
    return 0;
}

int32_t init_dovizuz_lib() {
    DoviZUZMutex = zllCreateMutex(1, DOVIZUZ_MUTEX_NAME);
    if (DoviZUZMutex == 0) {
        printf("init_dovizuz_lib: Error: %d creating Mutex (%s)\r\n",
               static_cast<int>(zllGetLastError()), DOVIZUZ_MUTEX_NAME);
        term_dovizuz_lib();
        return 1;
    }
    // A new mutex is owned by its creator.
    if (zllGetLastError() != ZLL_ERROR_ALREADY_EXISTS)
        zllReleaseMutex(DoviZUZMutex);
    if (init_shared_mem_type(&pDoviZUZSharedMemoryData, DOVIZUZ_DATA_SEGMENT, DOVIZUZ_DATA_NAME,
                             &SharedMemoryDataHandle) != 0) {
        puts("init_dovizuz_lib: init_shared_mem_type() failed: shared mem data, dump, stat, mem");
        term_dovizuz_lib();
        return 1;
    }
    if (init_shared_mem_type(&pDoviZUZNbInst, DOVIZUZ_COUNT_SEGMENT, DOVIZUZ_COUNT_NAME,
                             &DoviZUZNbInstHandle) != 0) {
        puts("init_dovizuz_lib: init_shared_mem_type() failed: NbDoviZUZInst");
        term_dovizuz_lib();
        return 1;
    }
    return 0;
}

void term_dovizuz_lib() {
    for (const segment_slot &slot : release_order) {
        if (*slot.view == nullptr)
            continue;
        void *view = *slot.view;
        *slot.view = nullptr;
        FreeSharedMemory(view, slot.handle);
    }
    if (DoviZUZMutex != 0) {
        zll_handle mutex = DoviZUZMutex;
        DoviZUZMutex = 0;
        zllCloseHandle(mutex);
    }
}

int32_t LoadXMLFile() {
    FILE *file = fopen(DovizuzFilePath, "r");
    if (file == nullptr)
        return 1;
    char *buffer = acquire_text_buffer();
    if (buffer == nullptr) {
        fclose(file);
        return 1;
    }
    fseek(file, 0, SEEK_END);
    *length_word() = static_cast<uint32_t>(ftell(file));
    fseek(file, 0, SEEK_SET);
    if (zconf_xml_open(ZCONF_XML_OPEN_WRITE) == 0) {
        write_file_to_channel(file, buffer);
        zconf_xml_write_done();
    }
    release_text_buffer(buffer);
    fclose(file);
    return 0;
}

int32_t SaveXMLFile(void) {
    // The save walks the live tree: no API call may change it meanwhile.
    if (zconf_lock() != 0) {
        printf("SaveXMLFile: zconf_xml_open() failed, error %d\n", -EBUSY);
        return -EBUSY;
    }
    int32_t result = zconf_xml_open(ZCONF_XML_OPEN_READ);
    if (result != 0)
        printf("SaveXMLFile: zconf_xml_open() failed, error %d\n", result);
    else
        result = save_open_document();
    zconf_unlock();
    return result;
}

int ZConfLoad() {
    int rc = ZConfInitMem();
    if (rc != 0)
        return rc;
    rc = ZConfInitAPI();
    if (rc != 0)
        return rc;
    rc = LoadXMLFile();
    if (rc != 0)
        return rc;
    if (instance_count() != nullptr) {
        count_instance(1);
        instance_counted = true;
        if (!fork_handler_registered)
            fork_handler_registered = pthread_atfork(nullptr, nullptr, count_forked_child) == 0;
    }
    return 0;
}

void ZConfUnload() {
    if (instance_counted) {
        count_instance(-1);
        instance_counted = false;
    }
    ZConfStopAPI();
    ZConfClearMem();
}

__attribute__((constructor)) void DoviZUZMain() {
    if (InitDone == 1)
        return;
    strncpy(DovizuzFilePath, DOVIZUZ_CONFIG_FILE, DOVIZUZ_PATH_BUFFER);
    if (init_dovizuz_lib() != 0) {
        DoviZUZMutex = 0;
        for (const segment_slot &slot : release_order)
            *slot.view = nullptr;
    }
    ZConfLoad();
    InitDone = 1;
}

__attribute__((destructor)) void DoviZUZExit() {
    if (InitDone == 0)
        return;
    ZConfUnload();
    term_dovizuz_lib();
    InitDone = 0;
}
