// Helpers of the programs that run as real processes around the library: the process
// tests, their probe and the start-up benchmark.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

inline constexpr char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"iso-8859-1\"?>\n";

inline std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

// A saved document as a whole file has it: the declaration first, the root's end last.
inline bool whole_document(const std::string &text) {
    return text.starts_with(kDeclaration) && text.ends_with("</KEY>\n");
}

// Never touches the machine's own file and shared objects: outside a private mount
// namespace, runs the program again inside one (through the script at `isolated`) and
// does not return; returns true when already inside one, false when that fails.
inline bool run_in_private_namespace(const char *isolated, int argc, char **argv) {
    if (getenv("DOVIZUZ_ISOLATED") != nullptr)
        return true;
    std::vector<char *> args{const_cast<char *>(isolated)};
    for (int i = 0; i < argc; i++)
        args.push_back(argv[i]);
    args.push_back(nullptr);
    execv(isolated, args.data());
    perror(isolated);
    return false;
}
