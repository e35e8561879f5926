#include "lifecycle/dovizuz_lifecycle.h"

#include "api/zconf_api.h"
#include "tree/zconf_mem.h"

int32_t InitDone;

int ZConfLoad() {
    int rc = ZConfInitMem();
    if (rc != 0)
        return rc;
    return ZConfInitAPI();
}

void ZConfUnload() {
    ZConfStopAPI();
    ZConfClearMem();
}

__attribute__((constructor)) void DoviZUZMain() {
    if (InitDone == 1)
        return;
    ZConfLoad();
    InitDone = 1;
}

__attribute__((destructor)) void DoviZUZExit() {
    if (InitDone == 0)
        return;
    ZConfUnload();
    InitDone = 0;
}
