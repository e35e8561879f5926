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

// Starts the channel: nothing to do, returns 0.
int32_t zconf_proc_init();
// Stops the channel: nothing to do.
void zconf_proc_cleanup();

// Opens a read or a write pass (with ZCONF_XML_OPEN_CLEAR a write first deletes the
// root's subkeys): 0, -13 for both kinds at once, -16 while a pass is open or the root is
// in use, -12 for no memory. Takes no lock: callers keep API calls away during a pass.
int32_t zconf_xml_open(uint32_t mode);
// Opens a read pass over another tree than the live one (a root of its own, such as a
// parsed document): 0, -16 while a pass is open, -12 for no memory or a NULL root.
int32_t zconf_xml_open_tree(zconf_key *root);
// Copies up to count bytes of the document from *fpos on and advances *fpos: the bytes
// copied, 0 at the end or at a position that is not the pass's, -14 for a NULL buffer,
// -22 outside a read pass, -12 when nothing could be copied for lack of memory.
int32_t zconf_xml_read(char *buf, uint32_t count, uint32_t *fpos);
// Feeds count bytes of document text at *fpos to the decoder and advances *fpos: the
// bytes taken, 0 at a position that is not the pass's, -14 for a NULL buffer, -22
// outside a write pass or for text the document may not have (the pass then fails),
// -75 for a tag longer than the buffer.
int32_t zconf_xml_write(const char *buf, uint32_t count, uint32_t *fpos);
// Ends whatever pass is open (a write pass without its result); returns 0.
int32_t zconf_xml_read_done();
// Ends whatever pass is open, merging a sound document of a write pass; returns 0.
int32_t zconf_xml_write_done();

// How the last write pass's document ended (code 0: accepted, or no pass yet); kept
// until the next write pass opens.
const xml_refusal *zconf_xml_write_outcome();
