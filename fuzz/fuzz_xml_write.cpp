// libFuzzer target for the write side of the XML stream channel.
//
// An input is a 4-byte header followed by the document:
//   byte 0   bit 0 set: the store holds a small base tree (with volatile keys) before
//            the document is written; clear: the store holds only the root.
//   byte 1   the largest piece, in bytes, that one write or read call is given; 0 writes
//            the document in one call and reads with a large buffer.
//   byte 2-3 seed of the piece lengths (1..byte 1), little-endian.
//
// For every input the target checks that
//   - a document refused by any write leaves the live tree's text exactly as it was,
//     and every further write of that pass is refused at once;
//   - an accepted document gives a tree whose text, written into an empty store in one
//     call, reads back byte for byte;
//   - the same document written in one call is refused or accepted alike and gives the
//     same text as when it is written in pieces;
//   - reads deliver the same text in pieces of any size, short only at the end;
//   - every pass releases what it holds: no key stays open, no node outlives the store.
// Any broken rule aborts with a message on standard error. The store is emptied after
// every input, so inputs do not depend on each other.
#include "api/zconf_api.h"
#include "dovizuz.h"
#include "tests/document_text.h"
#include "tree/zconf_mem.h"
#include "xml/zconf_proc.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

constexpr size_t header_len = 4;
constexpr uint32_t large_read = 65536;

constexpr char base_document[] = ZCONF_TEST_DECLARATION
    "<KEY name=\"ZCONF_ROOT\">\n"
    "\t<KEY name=\"Network\">\n"
    "\t\t<VALUE_SZ name=\"Label\">R&amp;D &lt;lab&gt;</VALUE_SZ>\n"
    "\t\t<VALUE_DWORD name=\"Port\">0x00001F90</VALUE_DWORD>\n"
    "\t\t<VALUE_BINARY name=\"Mac\">001A2B3C4D5E</VALUE_BINARY>\n"
    "\t\t<KEY name=\"Dns\">\n"
    "\t\t\t<VALUE_MULTI_SZ name=\"Servers\">a&#x00;b&#x00;&#x00;</VALUE_MULTI_SZ>\n"
    "\t\t</KEY>\n"
    "\t</KEY>\n"
    "\t<KEY name=\"Olvex\">\n"
    "\t\t<VALUE_QWORD_LE name=\"Serial\">0x0123456789ABCDEF</VALUE_QWORD_LE>\n"
    "\t\t<VALUE_NONE name=\"Flag\"></VALUE_NONE>\n"
    "\t</KEY>\n"
    "</KEY>\n";

[[noreturn]] void fail(const char *what) {
    fprintf(stderr, "fuzz_xml_write: %s\n", what);
    abort();
}

void fail_if(bool broken, const char *what) {
    if (broken)
        fail(what);
}

// Prints a text as a C string literal, so that a finding can be pasted into a test.
void dump(const char *label, std::string_view text) {
    fprintf(stderr, "%s (%zu bytes): \"", label, text.size());
    for (unsigned char c : text) {
        if (c == '"' || c == '\\')
            fprintf(stderr, "\\%c", c);
        else if (c == '\n')
            fputs("\\n", stderr);
        else if (c == '\t')
            fputs("\\t", stderr);
        else if (c < 0x20 || c >= 0x7F)
            fprintf(stderr, "\\%03o", c);
        else
            fputc(c, stderr);
    }
    fputs("\"\n", stderr);
}

void fail_unequal(const char *what, std::string_view expected, std::string_view got) {
    dump("expected", expected);
    dump("got", got);
    fail(what);
}

// Piece lengths 1..max from a seed; max 0 means one piece for all that is left.
struct piece_lengths {
    uint32_t max;
    uint32_t state;

    uint32_t next(size_t left) {
        if (max == 0)
            return static_cast<uint32_t>(left);
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        uint32_t n = 1 + state % max;
        return left < n ? static_cast<uint32_t>(left) : n;
    }
};

piece_lengths lengths_from(const uint8_t *header) {
    uint32_t seed = header[2] | static_cast<uint32_t>(header[3]) << 8;
    // xorshift must not start from 0.
    return {header[1], seed * 2654435761u | 1u};
}

void check_channel_closed() {
    fail_if(zconf_xml_open_mode != 0, "a done operation left the channel open");
    fail_if(__ZConfGetRootKey()->open_count != 0, "a pass left a key open");
}

// The live tree's text through one read pass. A read shorter than asked must be the
// last one that delivers bytes.
std::string read_text(piece_lengths lengths) {
    fail_if(zconf_xml_open(ZCONF_XML_OPEN_READ) != 0, "open for reading failed");
    std::string text;
    static char buf[large_read];
    uint32_t fpos = 0;
    bool short_read = false;
    for (;;) {
        uint32_t want = lengths.next(large_read);
        int32_t n = zconf_xml_read(buf, want, &fpos);
        fail_if(n < 0, "a read failed");
        fail_if(static_cast<uint32_t>(n) > want, "a read delivered more than asked");
        if (n == 0)
            break;
        fail_if(short_read, "a short read was followed by more text");
        short_read = static_cast<uint32_t>(n) < want;
        text.append(buf, static_cast<size_t>(n));
        fail_if(fpos != text.size(), "a read did not advance the position by its count");
    }
    zconf_xml_read_done();
    check_channel_closed();
    return text;
}

// Writes a document through one write pass opened with `mode`, in pieces, stopping at
// the first refused write. Returns true when every write accepted all its bytes.
bool write_text(std::string_view text, uint32_t mode, piece_lengths lengths) {
    fail_if(zconf_xml_open(mode) != 0, "open for writing failed");
    uint32_t fpos = 0;
    bool accepted = true;
    for (size_t at = 0; at < text.size();) {
        uint32_t n = lengths.next(text.size() - at);
        int32_t w = zconf_xml_write(text.data() + at, n, &fpos);
        if (w < 0) {
            fail_if(w != ZCONF_ERR_INVAL && w != ZCONF_ERR_OVERFLOW,
                    "a write failed with an unexpected code");
            fail_if(fpos != at, "a refused write moved the position");
            // The pass stays refused, whatever comes next.
            size_t rest = text.size() - at;
            fail_if(zconf_xml_write(text.data() + at, static_cast<uint32_t>(rest), &fpos) !=
                        ZCONF_ERR_INVAL,
                    "a write after a refused one was not refused");
            accepted = false;
            break;
        }
        fail_if(static_cast<uint32_t>(w) != n, "a write accepted fewer bytes than given");
        at += n;
        fail_if(fpos != at, "a write did not advance the position by its count");
    }
    zconf_xml_write_done();
    check_channel_closed();
    return accepted;
}

// Deletes every key below the root; the allocator must then count the root alone.
void empty_store() {
    fail_if(zconf_xml_open(ZCONF_XML_OPEN_WRITE | ZCONF_XML_OPEN_CLEAR) != 0,
            "open for writing with deletion failed");
    zconf_xml_write_done();
    check_channel_closed();
    fail_if(mem_cache[0].count != 1, "nodes are still counted in an empty store");
}

void add_volatile_key(const char *path) {
    ZConfKeyHandle h;
    uint32_t disposition;
    fail_if(ZConfCreateKeyEx(ZCONF_HKEY_ROOT, path, 1, &disposition, &h) != ZCONF_OK,
            "creating a volatile key failed");
    uint32_t reading = 21;
    fail_if(ZConfSetValueEx(h, "Reading", ZCONF_VALUE_DWORD, &reading, sizeof reading) != ZCONF_OK,
            "setting a value in a volatile key failed");
    fail_if(ZConfCloseKey(h) != ZCONF_OK, "closing a key failed");
}

// Leaves the store empty, or holding the base tree and two volatile keys that the
// document text never shows.
void prepare_store(bool base) {
    empty_store();
    if (!base)
        return;
    piece_lengths whole = {0, 1};
    fail_if(!write_text(base_document, ZCONF_XML_OPEN_WRITE, whole), "the base tree was refused");
    add_volatile_key("Temp");
    add_volatile_key("Network\\Cache");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Whatever the library found at start-up is dropped, so every run sees the same
    // store.
    empty_store();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < header_len)
        return -1; // not kept in the corpus
    bool base = (data[0] & 1) != 0;
    piece_lengths lengths = lengths_from(data);
    piece_lengths whole = {0, 1};
    std::string_view document(reinterpret_cast<const char *>(data) + header_len, size - header_len);

    prepare_store(base);
    std::string before = read_text(lengths);
    fail_if(before != read_text(whole), "reading in pieces changed the text");

    bool accepted = write_text(document, ZCONF_XML_OPEN_WRITE, lengths);
    std::string after = read_text(lengths);
    if (!accepted) {
        if (after != before)
            fail_unequal("a refused document changed the tree", before, after);
    } else {
        fail_if(after != read_text(whole), "reading in pieces changed the text");
        fail_if(!write_text(after, ZCONF_XML_OPEN_WRITE | ZCONF_XML_OPEN_CLEAR, whole),
                "the tree's own text was refused");
        std::string again = read_text(whole);
        if (again != after)
            fail_unequal("the tree's own text did not read back", after, again);
    }

    if (lengths.max != 0) {
        prepare_store(base);
        bool accepted_whole = write_text(document, ZCONF_XML_OPEN_WRITE, whole);
        fail_if(accepted_whole != accepted, "writing in one call or in pieces decided differently");
        std::string after_whole = read_text(whole);
        if (after_whole != after)
            fail_unequal("writing in one call or in pieces gave different trees", after,
                         after_whole);
    }

    empty_store();
    return 0;
}
