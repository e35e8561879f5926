// Flush, refresh and change notification: the internal operations behind the exported
// calls of the same purpose (see dovizuz.h for what they do and return).
#pragma once

#include <cstdint>

// Writes the recorded changes at or below hKey into the file as it is now.
int32_t DoviZUZFlushKey(int32_t connection, int32_t hKey);
// Brings the file's content at or below hKey into the store; *changed (when not NULL)
// tells whether anything changed.
int32_t DoviZUZRefreshKey(int32_t connection, int32_t hKey, uint32_t *changed);
// A descriptor that becomes readable when the file's directory sees a file written.
int32_t DoviZUZNotifyChange(int32_t *fd);
