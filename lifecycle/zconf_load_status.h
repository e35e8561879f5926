// What the start-up load made of the configuration file, and the check of a file
// against the document format without loading it.
#pragma once

#include "xml/zconf_xml_dec.h"

#include <cstdint>
#include <cstdio>

// Records that the file could not be opened, errno telling why (ENOENT: no file).
void zconf_load_status_no_file(const char *path);
// Records how the load of the open file ended, from the channel's outcome of its write
// pass; on a refusal reads the file again from its start to place the byte in lines.
void zconf_load_status_loaded(FILE *file, const xml_refusal *outcome);
// Line and column (from 1; a column counts bytes) of the byte at offset in text.
void zconf_text_place(const char *text, uint32_t length, uint32_t offset, uint32_t *line,
                      uint32_t *column);
// Reads the rest of file into a new heap block (*text, freed by the caller with free; NULL
// or a block for an empty file) of *length bytes: 0, -12 for no memory, -5 for a read
// error, -27 for more than 4 GiB.
int32_t zconf_file_read_stream(FILE *file, char **text, uint32_t *length);
// Parses a whole document's text into a tree of its own (*root, freed by the caller with
// __zconf_del_tree; empty text gives an empty root): 0 or the decoder's code. Takes no
// lock: the caller holds the API mutex.
int32_t zconf_parse_text(const char *text, uint32_t length, zconf_key **root);
// Reads the rest of file and parses it into a tree of its own (*root, freed by the caller
// with __zconf_del_tree; an empty file gives an empty root): 0, the decoder's code, or
// the negative errno of the read. Takes no lock: the caller holds the API mutex.
int32_t zconf_parse_stream(FILE *file, zconf_key **root);
