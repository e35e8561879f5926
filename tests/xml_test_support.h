// Helpers for the codec tests and benchmarks: a document written into the live tree
// through the channel, and the live tree read back as text. Free of GoogleTest.
#pragma once

#include "document_text.h"
#include "xml/zconf_proc.h"

#include <algorithm>
#include <cstdint>

#include <string>
#include <string_view>
#include <vector>

// Writes a document through one write pass, in pieces of at most `piece` bytes, and
// ends the pass. Returns the first failing write's result, or 0.
inline int32_t write_document(std::string_view text, uint32_t mode = ZCONF_XML_OPEN_WRITE,
                              size_t piece = SIZE_MAX) {
    int32_t rc = zconf_xml_open(mode);
    if (rc != 0)
        return rc;
    uint32_t fpos = 0;
    int32_t result = 0;
    for (size_t at = 0; at < text.size() && result == 0;) {
        size_t n = std::min(piece, text.size() - at);
        int32_t w = zconf_xml_write(text.data() + at, static_cast<uint32_t>(n), &fpos);
        if (w < 0)
            result = w;
        else
            at += n;
    }
    zconf_xml_write_done();
    return result;
}

// Reads the whole document of the live tree through one read pass, `count` bytes per
// read. Returns the text, or stops at the first failing read (its result in *rc).
inline std::string read_document(uint32_t count = 65536, int32_t *rc = nullptr) {
    std::string out;
    if (rc != nullptr)
        *rc = 0;
    int32_t open = zconf_xml_open(ZCONF_XML_OPEN_READ);
    if (open != 0) {
        if (rc != nullptr)
            *rc = open;
        return out;
    }
    std::vector<char> buf(count);
    uint32_t fpos = 0;
    for (;;) {
        int32_t n = zconf_xml_read(buf.data(), count, &fpos);
        if (n < 0 && rc != nullptr)
            *rc = n;
        if (n <= 0)
            break;
        out.append(buf.data(), static_cast<size_t>(n));
    }
    zconf_xml_read_done();
    return out;
}

inline constexpr std::string_view xml_declaration = ZCONF_TEST_DECLARATION;

// The document of a store holding nothing but the root.
inline std::string empty_document() { return ZCONF_TEST_EMPTY_DOCUMENT; }
