// The configuration file as the load and the save meet it: opening it to read without
// blocking on anything but a regular file, deciding how a save may replace it, and the
// two ways of writing it (a new file renamed over it, or in place), neither of which
// ever leaves a cut or mixed file behind a failure.
#pragma once

#include <cstddef>
#include <cstdio>
#include <sys/types.h>

// The longest path the module handles, with its NUL.
enum : size_t { ZCONF_FILE_PATH_BUFFER = 4096 };

// How long a load or an in-place save waits for another process's write on the same
// file to end before it gives up waiting.
enum : int { ZCONF_FILE_LOCK_WAIT_MS = 10000 };

// Opens the file for reading when it is a regular file, never blocking on a FIFO or a
// device, and waits (within the limit) for an in-place save of another process to end.
// The stream (the caller closes it), or NULL when the file cannot be read.
FILE *zconf_file_open_for_load(const char *path);

// 0 when fopen(path, "wb") would open the file for writing, else the errno it would
// fail with; creates, truncates and blocks on nothing.
int zconf_file_check_writable(const char *path);

// Whether a save may replace the file by renaming a new file over it: true, with the
// file the links at path finally name in target, when every link on the way and every
// directory passed through belong to root or the caller and nobody else may change
// them, and the file is missing or a regular file with one link. False: write in place.
bool zconf_file_rename_target(const char *path, char *target);

// A new, empty file beside target, created as fopen creates files (mode 0666 less the
// umask) or with target's mode and owner when target exists, and locked so that no
// other save takes it for litter. Its descriptor, its name in temp; -1 with errno.
int zconf_file_create_temp(const char *target, char *temp);

// Flushes the new file and renames it over target, then flushes the directory: 0 with
// the descriptor closed, or the errno of the failing step with the descriptor and the
// new file left to the caller.
int zconf_file_commit_temp(int fd, const char *temp, const char *target);

// Writes all of data at offset, going on after interruptions; false with errno.
bool zconf_file_write_at(int fd, const char *data, size_t length, off_t offset);

// Closes and removes a new file that is not to be used.
void zconf_file_discard_temp(int fd, const char *temp);

// The whole file behind fd, from its start, in a heap block (the caller frees it);
// NULL with errno.
char *zconf_file_read_all(int fd, size_t *length);

// Removes new files that saves killed before their end left beside target; never one
// that a live save still holds.
void zconf_file_remove_stale_temps(const char *target);

// Writes text over the file at path in place, under a lock on the file. Follows only
// links of root or of the caller; where another user may change a directory on the
// way, writes only a file of root or of the caller that has no other link. The old bytes
// are overwritten first and the file cut to the new length only once all is written;
// when a write fails the old content is put back. 0 once the text is on disk, else
// the errno; *opened tells whether the file could be opened at all.
int zconf_file_write_in_place(const char *path, const char *text, size_t length, bool *opened);
