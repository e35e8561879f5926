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
    for (size_t at = 0; rc == 0 && at < text.size(); at += std::min(piece, text.size() - at)) {
        size_t n = std::min(piece, text.size() - at);
        int32_t w = zconf_xml_write(text.data() + at, static_cast<uint32_t>(n), &fpos);
        rc = w < 0 ? w : 0;
    }
    zconf_xml_write_done();
    return rc;
}

// The whole document of the live tree through one read pass; "" when it cannot open.
inline std::string read_document() {
    std::string out;
    if (zconf_xml_open(ZCONF_XML_OPEN_READ) != 0)
        return out;
    std::string buf(65536, '\0');
    uint32_t fpos = 0;
    for (int32_t n; (n = zconf_xml_read(buf.data(), 65536, &fpos)) > 0;)
        out.append(buf, 0, static_cast<size_t>(n));
    zconf_xml_read_done();
    return out;
}

inline constexpr std::string_view xml_declaration = ZCONF_TEST_DECLARATION;

// The document of a store holding nothing but the root.
inline std::string empty_document() { return ZCONF_TEST_EMPTY_DOCUMENT; }

// A whole document: the declaration and the root element around `body`.
inline std::string doc(const std::string &body) {
    return ZCONF_TEST_DECLARATION "<KEY name=\"ZCONF_ROOT\">" + body + "</KEY>\n";
}

// The saved text of a store whose root holds the lines given.
inline std::string saved(const std::string &lines) {
    return ZCONF_TEST_DECLARATION "<KEY name=\"ZCONF_ROOT\">\n" + lines + "</KEY>\n";
}

// The pieces of a text split at each '|'.
inline std::vector<std::string> split(std::string_view text) {
    std::vector<std::string> out;
    for (size_t at = 0, end; at <= text.size(); at = end + 1) {
        end = std::min(text.find('|', at), text.size());
        out.emplace_back(text.substr(at, end - at));
    }
    return out;
}

// The saved lines below the root of a tree written compactly as items split at '|':
// "Name{" starts a key, "}" ends it, "TYPE name=text" is a value of element VALUE_TYPE.
inline std::string tree_lines(std::string_view layout) {
    std::string out;
    size_t level = 1;
    for (const std::string &item : split(layout)) {
        const size_t sp = item.find(' '), eq = item.find('=', sp);
        const std::string tabs(item == "}" ? --level : level, '\t'), type = item.substr(0, sp);
        if (item == "}")
            out += tabs + "</KEY>\n";
        else if (!item.empty() && item.back() == '{')
            out += tabs + "<KEY name=\"" + item.substr(0, item.size() - 1) + "\">\n", level++;
        else if (!item.empty())
            out += tabs + "<VALUE_" + type + " name=\"" + item.substr(sp + 1, eq - sp - 1) + "\">" +
                   item.substr(eq + 1) + "</VALUE_" + type + ">\n";
    }
    return out;
}

// The saved document of such a tree.
inline std::string saved_tree(std::string_view layout) { return saved(tree_lines(layout)); }
