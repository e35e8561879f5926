// Library start-up and shutdown, run by the loader when the library is loaded and unloaded.
#pragma once

#include <cstdint>

extern int32_t InitDone;

int ZConfLoad();
void ZConfUnload();
void DoviZUZMain();
void DoviZUZExit();
