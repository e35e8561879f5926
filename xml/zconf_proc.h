// XML stream channel: the one road by which document text leaves or enters the tree.
// A read pass produces the document of the live tree in portions of any size; a write
// pass takes text in portions of any size and merges the document it builds into the
// live tree when the pass ends, or discards it when the document failed.
#pragma once

#include "xml/zconf_xml_dec.h"

#include <cstdint>

enum : uint32_t {
    ZCONF_XML_OPEN_READ = 1,
    ZCONF_XML_OPEN_WRITE = 2,
    ZCONF_XML_OPEN_CLEAR = 4, // before writing, delete every subkey of the root
};

// 0 closed, 1 open for reading, 2 open for writing.
extern uint32_t zconf_xml_open_mode;

struct xml_read_record {
    uint32_t fpos; // document position of the current piece's first byte
    uint32_t len;
    uint32_t pos; // bytes of the piece already delivered
    char *buff;
    int32_t level;
    zconf_key *key; // NULL once the root is finished
    int32_t state;  // -1 start line to come, -2 end line to come, n >= 0 next value
};

extern xml_read_record xml_read_buff;
extern xml_write_record xml_write_buff;

int32_t zconf_proc_init();
void zconf_proc_cleanup();

int32_t zconf_xml_open(uint32_t mode);
int32_t zconf_xml_read(char *buf, uint32_t count, uint32_t *fpos);
int32_t zconf_xml_write(const char *buf, uint32_t count, uint32_t *fpos);
int32_t zconf_xml_read_done();
int32_t zconf_xml_write_done();
