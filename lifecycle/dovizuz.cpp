// Library start-up and shutdown, the objects shared by every process that uses the
// library, and the configuration file's load and save.
#include "lifecycle/dovizuz_lifecycle.h"

#include "api/zconf_api.h"
#include "api/zconf_journal.h"
#include "lifecycle/zconf_file.h"
#include "lifecycle/zconf_load_status.h"
#include "tree/zconf_mem.h"
#include "xml/zconf_proc.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

char DovizuzFilePath[ZCONF_FILE_PATH_BUFFER];
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

// The process whose load raised the count, 0 when none did: only that process lowers
// it again, so a forked child (which may exec and never unload) leaves it as it was.
pid_t counted_by;
// Whether this process's saves have looked for new files that killed saves left.
bool stale_temps_removed;
// Stands in for the shared length word when the data segment cannot be used.
uint32_t own_length_word;
// Who the save's messages name, and the system error behind its last failure.
const char *save_caller = "SaveXMLFile";
// The file a save writes: the configuration file but for a key saved to a file of its own.
const char *save_path = DovizuzFilePath;
int save_error;

// Prints the save's message "CALLER: WHAT failed, error N" and keeps a system error.
void save_failed(const char *what, int error, bool system_error) {
    printf("%s: %s failed, error %d\n", save_caller, what, error);
    if (system_error)
        save_error = error;
}

// Whether a mapped segment still holds size bytes: another process of the same user
// may have cut it, and touching its lost pages would raise SIGBUS.
bool segment_whole(const void *view, zll_handle handle, uint32_t size) {
    return view != nullptr && zllGetFileMappingSize(handle) >= size;
}

// The shared instance count, or NULL when its segment cannot be used.
int32_t *instance_count() {
    if (!segment_whole(pDoviZUZNbInst, DoviZUZNbInstHandle, DOVIZUZ_COUNT_SEGMENT))
        return nullptr;
    return static_cast<int32_t *>(pDoviZUZNbInst);
}

// Adds change to the shared count when its segment can be used.
void count_instance(int32_t change) {
    int32_t *count = instance_count();
    if (count != nullptr)
        __atomic_add_fetch(count, change, __ATOMIC_SEQ_CST);
}

// The text buffer for one load or save, with the length word beside it.
struct text_buffer {
    char *text; // ZCONF_XML_BUFFER bytes, NULL when none could be had
    uint32_t *length;
    bool shared;
};

// The shared text buffer, held under the named mutex so that no two processes use it
// at once, or a buffer of the process's own when the shared objects are missing or
// cut short. Released with release_text_buffer.
text_buffer acquire_text_buffer() {
    if (pDoviZUZSharedMemoryData != nullptr && DoviZUZMutex != 0 &&
        zllWaitForSingleObject(DoviZUZMutex, ZLL_INFINITE) == ZLL_WAIT_OBJECT_0) {
        if (segment_whole(pDoviZUZSharedMemoryData, SharedMemoryDataHandle, DOVIZUZ_DATA_SEGMENT)) {
            auto *segment = static_cast<char *>(pDoviZUZSharedMemoryData);
            return {segment + 4, reinterpret_cast<uint32_t *>(segment), true};
        }
        zllReleaseMutex(DoviZUZMutex);
    }
    return {static_cast<char *>(malloc(ZCONF_XML_BUFFER)), &own_length_word, false};
}

void release_text_buffer(const text_buffer &buffer) {
    if (buffer.shared)
        zllReleaseMutex(DoviZUZMutex);
    else
        free(buffer.text);
}

// Feeds the file to the open write pass in pieces that fit the text buffer, so a file
// of any size is read whole and never past the buffer.
void write_file_to_channel(FILE *file, char *buffer) {
    uint32_t fpos = 0;
    size_t n;
    while ((n = fread(buffer, 1, ZCONF_XML_BUFFER, file)) > 0) {
        if (zconf_xml_write(buffer, static_cast<uint32_t>(n), &fpos) <= 0)
            break;
    }
}

// Keeps how the load went for ZConfQueryLoadStatus: the channel's outcome of the pass,
// or the code of a channel that did not open.
void note_load(FILE *file, int32_t opened) {
    xml_refusal outcome = *zconf_xml_write_outcome();
    if (opened != 0) {
        memset(&outcome, 0, sizeof outcome);
        outcome.code = opened;
        outcome.reason = XML_REFUSED_NO_MEMORY;
        snprintf(outcome.text, sizeof outcome.text, "the document channel did not open");
    }
    zconf_load_status_loaded(file, &outcome);
}

// Where the read pass's document goes: a new file (fd), or memory for a save in place.
struct document_sink {
    int fd;
    char *data;
    size_t length; // bytes put so far, into the file or the memory
    size_t capacity;
};

// Appends text to the sink; false with errno.
bool sink_put(document_sink &sink, const char *text, size_t n) {
    if (sink.fd >= 0) {
        if (!zconf_file_write_at(sink.fd, text, n, static_cast<off_t>(sink.length)))
            return false;
        sink.length += n;
        return true;
    }
    if (sink.length + n > sink.capacity) {
        size_t capacity = (sink.length + n) * 2;
        char *grown = static_cast<char *>(realloc(sink.data, capacity));
        if (grown == nullptr)
            return false;
        sink.data = grown;
        sink.capacity = capacity;
    }
    memcpy(sink.data + sink.length, text, n);
    sink.length += n;
    return true;
}

enum copy_result : int32_t { COPY_WRITE_FAILED = 1 };

// Reads the whole document of the open read pass in pieces through the text buffer
// into the sink. Returns 0, the channel's negative error, or COPY_WRITE_FAILED with
// the system error in *write_error.
int32_t copy_document(document_sink &sink, int *write_error) {
    text_buffer buffer = acquire_text_buffer();
    if (buffer.text == nullptr)
        return ZCONF_ERR_NOMEM;
    uint32_t fpos = 0;
    int32_t result = 0;
    // A short read is not yet the end: only a read that returns 0 is.
    for (;;) {
        int32_t n = zconf_xml_read(buffer.text, ZCONF_XML_BUFFER, &fpos);
        if (n <= 0) {
            result = n;
            break;
        }
        if (!sink_put(sink, buffer.text, static_cast<size_t>(n))) {
            *write_error = errno;
            result = COPY_WRITE_FAILED;
            break;
        }
    }
    release_text_buffer(buffer);
    return result;
}

// Writes the document over the file at its path, in place. 0, or 2 after the message.
int32_t save_in_place(const char *text, size_t length) {
    bool opened;
    int error = zconf_file_write_in_place(save_path, text, length, &opened);
    if (error == 0)
        return 0;
    save_failed(opened ? "write" : "fopen()", error, true);
    return 2;
}

// Puts the new file in place of target; where the rename cannot serve (a file mounted
// over the path, another file system), writes its text in place instead. 0, or 2.
int32_t save_by_rename(int fd, const char *temp, const char *target) {
    if (zconf_file_commit_temp(fd, temp, target) == 0) {
        // Litter of saves killed earlier: looked for once per process, since a scan of
        // the directory costs about as much as the save (a key saved to a file of its
        // own leaves the configuration file's directory to the next save of the store).
        if (save_path == DovizuzFilePath) {
            if (!stale_temps_removed)
                zconf_file_remove_stale_temps(target);
            stale_temps_removed = true;
        }
        return 0;
    }
    size_t length = 0;
    char *text = zconf_file_read_all(fd, &length);
    int error = errno;
    zconf_file_discard_temp(fd, temp);
    if (text == nullptr) {
        save_failed("write", error, true);
        return 2;
    }
    int32_t result = save_in_place(text, length);
    free(text);
    return result;
}

void discard_sink(document_sink &sink, const char *temp) {
    if (sink.fd >= 0)
        zconf_file_discard_temp(sink.fd, temp);
    free(sink.data);
}

// The save once the read pass is open: finds out first whether the file can be
// written at all, then writes the document to a new file beside the file the path
// names (when that can be trusted) or to memory, and puts it in place only when all of
// it was produced. Always ends the read pass.
int32_t save_open_document() {
    char target[ZCONF_FILE_PATH_BUFFER];
    char temp[ZCONF_FILE_PATH_BUFFER];
    int unwritable = zconf_file_check_writable(save_path);
    document_sink sink{-1, nullptr, 0, 0};
    if (unwritable == 0 && zconf_file_rename_target(save_path, target))
        sink.fd = zconf_file_create_temp(target, temp); // -1: the directory takes no new file
    int write_error = 0;
    int32_t copied = unwritable == 0 ? copy_document(sink, &write_error) : 0;
    int32_t done = zconf_xml_read_done();
    int32_t result = 2;
    if (done != 0) {
        save_failed("zconf_xml_read_done()", done, false);
        result = done;
    } else if (unwritable != 0) {
        save_failed("fopen()", unwritable, true);
    } else if (copied < 0) {
        save_failed("zconf_xml_read()", copied, false);
        result = copied;
    } else if (copied == COPY_WRITE_FAILED) {
        save_failed("write", write_error, true);
    } else if (sink.fd >= 0) {
        return save_by_rename(sink.fd, temp, target);
    } else {
        result = save_in_place(sink.data, sink.length);
        free(sink.data);
        return result;
    }
    discard_sink(sink, temp);
    return result;
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
    // The buffer (and with it the named mutex) first, then the file's read lock: a save or
    // flush holds the mutex while it waits for the file's write lock, so the two are
    // always taken in that order.
    text_buffer buffer = acquire_text_buffer();
    if (buffer.text == nullptr)
        return 1;
    errno = 0;
    FILE *file = zconf_file_open_for_load(DovizuzFilePath);
    if (file == nullptr) {
        zconf_load_status_no_file(DovizuzFilePath);
        release_text_buffer(buffer);
        return 1;
    }
    fseek(file, 0, SEEK_END);
    *buffer.length = static_cast<uint32_t>(ftell(file));
    fseek(file, 0, SEEK_SET);
    int32_t opened = zconf_xml_open(ZCONF_XML_OPEN_WRITE);
    if (opened == 0) {
        write_file_to_channel(file, buffer.text);
        zconf_xml_write_done();
    }
    release_text_buffer(buffer);
    note_load(file, opened);
    fclose(file);
    return 0;
}

bool zconf_shared_lock() {
    return DoviZUZMutex != 0 &&
           zllWaitForSingleObject(DoviZUZMutex, ZLL_INFINITE) == ZLL_WAIT_OBJECT_0;
}

void zconf_shared_unlock(bool taken) {
    if (taken)
        zllReleaseMutex(DoviZUZMutex);
}

int32_t zconf_save_tree(zconf_key *root, const char *caller, int *error) {
    save_caller = caller;
    save_error = 0;
    int32_t result = zconf_xml_open_tree(root);
    if (result != 0)
        printf("%s: zconf_xml_open() failed, error %d\n", caller, result);
    else
        result = save_open_document();
    *error = save_error;
    save_caller = "SaveXMLFile";
    return result;
}

int32_t zconf_save_tree_to(zconf_key *root, const char *path, const char *caller, int *error) {
    save_path = path;
    int32_t result = zconf_save_tree(root, caller, error);
    save_path = DovizuzFilePath;
    return result;
}

int32_t SaveXMLFile(void) {
    // The save walks the live tree: no API call may change it meanwhile.
    if (zconf_lock() != 0) {
        printf("SaveXMLFile: zconf_xml_open() failed, error %d\n", ZCONF_ERR_BUSY);
        return ZCONF_ERR_BUSY;
    }
    // Other processes' flushes read, merge and write the file under the named mutex: the
    // whole save stays under it too, so that neither puts an older file over the other.
    bool shared = zconf_shared_lock();
    int error;
    int32_t result = zconf_save_tree(__ZConfGetRootKey(), "SaveXMLFile", &error);
    if (result == 0)
        // The file now holds every change.
        zconf_journal_clear();
    zconf_shared_unlock(shared);
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
        counted_by = getpid();
    }
    return 0;
}

void ZConfUnload() {
    if (counted_by != 0 && counted_by == getpid())
        count_instance(-1);
    counted_by = 0;
    ZConfStopAPI();
    ZConfClearMem();
}

__attribute__((constructor)) void DoviZUZMain() {
    if (InitDone == 1)
        return;
    strncpy(DovizuzFilePath, DOVIZUZ_CONFIG_FILE, ZCONF_FILE_PATH_BUFFER);
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
