// libFuzzer target for the write side of the XML stream channel.
//
// An input is a 4-byte header followed by the document:
//   byte 0   bit 0 set: the store holds a small base tree before the document is
//            written; clear: the store holds only the root.
//   byte 1   the length of the pieces the document is written in; 0 writes it in one call.
//   byte 2-3 unused.
//
// For every input the target checks that
//   - a document refused by any write leaves the live tree's text exactly as it was,
//     and every further write of that pass is refused at once;
//   - an accepted document gives a tree whose text, written into an empty store in one
//     call, reads back byte for byte;
//   - the same document written in one call is refused or accepted alike and gives the
//     same text as when it is written in pieces;
//   - every pass releases what it holds: no key stays open, no node outlives the store.
// Any broken rule aborts with a message on standard error. The store is emptied after
// every input, so inputs do not depend on each other.
#include "api/zconf_api.h"
#include "tests/document_text.h"
#include "tree/zconf_mem.h"
#include "xml/zconf_proc.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

// Aborts with the message when the rule is broken.
void fail_if(bool broken, const char *what) {
    if (broken) {
        fprintf(stderr, "fuzz_xml_write: %s\n", what);
        abort();
    }
}

// Checks that the finished pass left the channel closed and no key open.
void check_channel_closed() {
    fail_if(zconf_xml_open_mode != 0, "a done operation left the channel open");
    fail_if(__ZConfGetRootKey()->open_count != 0, "a pass left a key open");
}

// The live tree's text through one read pass.
std::string read_text() {
    fail_if(zconf_xml_open(ZCONF_XML_OPEN_READ) != 0, "open for reading failed");
    std::string text;
    static char buf[65536];
    uint32_t fpos = 0;
    for (int32_t n; (n = zconf_xml_read(buf, sizeof buf, &fpos)) != 0; text.append(buf, n))
        fail_if(n < 0, "a read failed");
    zconf_xml_read_done();
    check_channel_closed();
    return text;
}

// Writes a document through one pass opened with `mode`, in pieces of `piece` bytes (0:
// one call), stopping at the first refused write. Returns true when every write
// accepted all its bytes.
bool write_text(std::string_view text, uint32_t mode, size_t piece) {
    fail_if(zconf_xml_open(mode) != 0, "open for writing failed");
    uint32_t fpos = 0;
    int32_t w = 0;
    for (size_t at = 0; w >= 0 && at < text.size(); at += static_cast<size_t>(w)) {
        const size_t n = piece == 0 || piece > text.size() - at ? text.size() - at : piece;
        w = zconf_xml_write(text.data() + at, static_cast<uint32_t>(n), &fpos);
        fail_if(w >= 0 && static_cast<size_t>(w) != n, "a write took other than all it was given");
        fail_if(w < 0 && w != ZCONF_ERR_INVAL && w != ZCONF_ERR_OVERFLOW, "a write failed oddly");
        fail_if(fpos != at + (w < 0 ? 0 : n), "a write moved the position by other than its count");
        fail_if(w < 0 && zconf_xml_write(text.data() + at, 1, &fpos) != ZCONF_ERR_INVAL,
                "a write after a refused one was not refused");
    }
    zconf_xml_write_done();
    check_channel_closed();
    return w >= 0;
}

// Empties the store, then with `base` writes the example into it.
void prepare_store(bool base) {
    fail_if(!write_text("", ZCONF_XML_OPEN_WRITE | ZCONF_XML_OPEN_CLEAR, 0), "clearing failed");
    fail_if(mem_cache[0].count != 1, "nodes are still counted in an empty store");
    fail_if(base && !write_text(ZCONF_TEST_EXAMPLE, ZCONF_XML_OPEN_WRITE, 0),
            "the base was refused");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    prepare_store(false); // whatever the library found at start-up is dropped
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 4)
        return -1; // not kept in the corpus
    const bool base = (data[0] & 1) != 0;
    std::string_view document(reinterpret_cast<const char *>(data) + 4, size - 4);
    prepare_store(base);
    const std::string before = read_text();
    const bool accepted = write_text(document, ZCONF_XML_OPEN_WRITE, data[1]);
    const std::string after = read_text();
    fail_if(!accepted && after != before, "a refused document changed the tree");
    if (accepted) {
        fail_if(!write_text(after, ZCONF_XML_OPEN_WRITE | ZCONF_XML_OPEN_CLEAR, 0),
                "the tree's own text was refused");
        fail_if(read_text() != after, "the tree's own text did not read back");
    }
    if (data[1] != 0) {
        prepare_store(base);
        fail_if(write_text(document, ZCONF_XML_OPEN_WRITE, 0) != accepted,
                "writing in one call or in pieces decided differently");
        fail_if(read_text() != after, "writing in one call or in pieces gave other trees");
    }
    prepare_store(false);
    return 0;
}
