// Library start-up and shutdown, run by the loader when the library is loaded and
// unloaded, the objects shared by every process that uses the library, and the load and
// save of the configuration file.
#pragma once

#include "dovizuz.h"
#include "lifecycle/zconf_file.h"
#include "platform/zwincompat.h"
#include "xml/zconf_xml_dec.h"

#include <cstdint>

enum : uint32_t {
    DOVIZUZ_DATA_SEGMENT = 4 + ZCONF_XML_BUFFER, // length word, then the text buffer
    DOVIZUZ_COUNT_SEGMENT = 4,
    DOVIZUZ_UNSET_HANDLE = 0xFFFFFFFFu,
};

#define DOVIZUZ_CONFIG_FILE "/etc/zconfig.xml"
#define DOVIZUZ_MUTEX_NAME "DoviZUZ_Mutex"
#define DOVIZUZ_DATA_NAME "/DoviZUZ_ShMem_Data"
#define DOVIZUZ_COUNT_NAME "DoviZUZNbInst"

extern char DovizuzFilePath[ZCONF_FILE_PATH_BUFFER];
extern int32_t InitDone;
extern zll_handle DoviZUZMutex;

extern void *pDoviZUZSharedMemoryData;
extern zll_handle SharedMemoryDataHandle;
extern void *pDoviZUZNbInst;
extern zll_handle DoviZUZNbInstHandle;
extern void *pDoviZUZSharedMemoryDump;
extern zll_handle SharedMemoryDumpHandle;
extern void *pDoviZUZSharedMemoryStat;
extern zll_handle SharedMemoryStatHandle;
extern void *pDoviZUZSharedMemoryMem;
extern zll_handle SharedMemoryMemHandle;

void *AllocSharedMemory(const char *name, uint32_t size, zll_handle *handle, int32_t *created);
void FreeSharedMemory(void *view, zll_handle *handle);
int32_t init_shared_mem_type(void **slot, uint32_t size, const char *name, zll_handle *handle);
int32_t init_dovizuz_lib();
void term_dovizuz_lib();

int32_t LoadXMLFile();
// SaveXMLFile is exported: see dovizuz.h.

// Takes the named mutex when this process has it; whether it was taken.
bool zconf_shared_lock();
// Releases the named mutex when `taken`.
void zconf_shared_unlock(bool taken);
// Writes the document of the tree at root to the configuration file as SaveXMLFile
// writes the live tree's (by rename or in place), its messages naming caller; the API
// mutex is held. SaveXMLFile's results; *error is the system error behind a result of 2
// (0 when none is known).
int32_t zconf_save_tree(zconf_key *root, const char *caller, int *error);
// zconf_save_tree to the file at path instead of the configuration file, as crash-safely.
int32_t zconf_save_tree_to(zconf_key *root, const char *path, const char *caller, int *error);

int ZConfLoad();
void ZConfUnload();
void DoviZUZMain();
void DoviZUZExit();
