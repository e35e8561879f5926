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
