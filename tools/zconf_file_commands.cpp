// zconf's commands on whole files: check, which tells whether and why a file would be
// refused, export and import of a key's subtree, and the refusal of every other command
// when the configuration file was refused.
#include "zconf_tool.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <unistd.h>

namespace zconf {

namespace {

enum : size_t {
    kReasonBuffer = 512, // a place and a reason, with the names it quotes
};

// Copies the library's text into a terminated string (the library may fill the buffer).
std::string reason_text(const char *buffer) {
    return std::string(buffer, strnlen(buffer, kReasonBuffer));
}

// A directory of this run's own for a document on its way to or from a stream; removed
// with its file by remove_scratch.
struct scratch {
    char directory[32] = "/tmp/zconf.XXXXXX";
    std::string file;
};

bool make_scratch(scratch *s) {
    if (mkdtemp(s->directory) == nullptr)
        return false;
    s->file = std::string(s->directory) + "/document.xml";
    return true;
}

void remove_scratch(const scratch &s) {
    unlink(s.file.c_str());
    rmdir(s.directory);
}

// Copies one open stream into another; false when reading or writing failed.
bool copy_stream(FILE *from, FILE *to) {
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, from)) > 0)
        if (fwrite(buffer, 1, n, to) != n)
            return false;
    return !ferror(from);
}

// The message of a document the library refused: where and why, as check tells it.
int fail_document(int32_t rc, const char *shown, const char *path) {
    char buffer[kReasonBuffer];
    if (api.check_file(path, buffer, sizeof buffer) != 0) {
        std::string reason = reason_text(buffer);
        if (!reason.empty() && isdigit(static_cast<unsigned char>(reason[0])))
            return fail(kFailed, "%s:%s (nothing imported)", shown, reason.c_str());
        return fail(kFailed, "%s: %s", shown, reason.c_str());
    }
    return fail_call(rc, shown);
}

// export --json: the key's subtree as tree --json writes it. The store of a run of the
// tool is its own, loaded from the file, so it holds no volatile key to leave out.
int export_json(const key_path &path, const char *file) {
    ZConfKeyHandle handle;
    int32_t rc = open_key(path, path.size(), &handle);
    release(handle);
    if (rc != 0)
        return fail_key(rc, path);
    bool to_output = strcmp(file, "-") == 0;
    FILE *to = to_output ? out : fopen(file, "w");
    if (to == nullptr)
        return fail(kFailed, "cannot write %s: %s", file, strerror(errno));
    bool empty;
    int status = print_json_tree(path, key_text(path), to, &empty);
    if ((to_output ? fflush(to) : fclose(to)) != 0 && status == kOk)
        status = fail(kFailed, "writing %s failed: %s", file, strerror(errno));
    return status;
}

} // namespace

int check_file_arguments(const command &, invocation *) { return kOk; }

int check_load_status() {
    char buffer[kReasonBuffer];
    int32_t rc = api.load_status(buffer, sizeof buffer);
    if (rc == 0 || rc == -2)
        return kOk;
    std::string reason = reason_text(buffer);
    // A refusal's text begins with its line; a file that did not open has the system's words.
    if (!reason.empty() && isdigit(static_cast<unsigned char>(reason[0])))
        return fail(kFailed, "%s:%s (the file was refused; nothing done)", kConfigFile,
                    reason.c_str());
    return fail(kFailed, "%s: %s (the file did not load; nothing done)", kConfigFile,
                reason.c_str());
}

int run_check(const invocation &call) {
    const char *path = call.args.empty() || call.args[0][0] == 0 ? kConfigFile : call.args[0];
    if (!load_library())
        return fail(kFailed, "cannot load %s: %s", kLibrary, dlerror());
    char buffer[kReasonBuffer];
    int32_t rc = api.check_file(path, buffer, sizeof buffer);
    std::string text = reason_text(buffer);
    if (rc == 0) {
        fprintf(out, "%s: ok, %s\n", path, text.c_str());
        return kOk;
    }
    if (!text.empty() && isdigit(static_cast<unsigned char>(text[0]))) {
        fprintf(out, "%s:%s\n", path, text.c_str());
        return kFailed;
    }
    return fail(kFailed, "%s: %s", path, text.c_str());
}

int run_export(const invocation &call) {
    key_path path = parse_key(call.args.empty() ? "" : call.args[0]);
    const char *file = call.args.size() > 1 ? call.args[1] : "-";
    if ((call.options & kOptionJson) != 0)
        return export_json(path, file);
    ZConfKeyHandle handle;
    int32_t rc = open_key(path, path.size(), &handle);
    if (rc != 0)
        return fail_key(rc, path);
    bool to_output = strcmp(file, "-") == 0;
    scratch s;
    if (to_output && !make_scratch(&s)) {
        release(handle);
        return fail(kFailed, "cannot make a directory in /tmp: %s", strerror(errno));
    }
    rc = api.save_key(handle, to_output ? s.file.c_str() : file);
    release(handle);
    if (rc != 0) {
        if (to_output)
            remove_scratch(s);
        return fail(kFailed, "cannot write %s: %s (error %d)", to_output ? "the document" : file,
                    api.error_text(rc), rc);
    }
    if (!to_output)
        return kOk;
    FILE *document = fopen(s.file.c_str(), "rb");
    bool copied = document != nullptr && copy_stream(document, out);
    if (document != nullptr)
        fclose(document);
    remove_scratch(s);
    return copied ? kOk : fail(kFailed, "writing the document failed: %s", strerror(errno));
}

int run_import(const invocation &call) {
    key_path path = parse_key(call.args.size() > 1 ? call.args[0] : "");
    const char *file = call.args.back();
    bool from_input = strcmp(file, "-") == 0;
    scratch s;
    if (from_input) {
        if (!make_scratch(&s))
            return fail(kFailed, "cannot make a directory in /tmp: %s", strerror(errno));
        FILE *document = fopen(s.file.c_str(), "wb");
        bool copied = document != nullptr && copy_stream(stdin, document);
        if (document != nullptr && fclose(document) != 0)
            copied = false;
        if (!copied) {
            remove_scratch(s);
            return fail(kFailed, "reading the standard input failed: %s", strerror(errno));
        }
    }
    const char *source = from_input ? s.file.c_str() : file;
    const char *shown = from_input ? "(standard input)" : file;
    ZConfKeyHandle handle;
    size_t created = path.size();
    int32_t rc = create_key(path, false, &handle, &created);
    if (rc == 0) {
        rc = api.restore_key(handle, source);
        release(handle);
    }
    int status = kOk;
    if (rc != 0) {
        // A failed import leaves no key it made on its way.
        if (created < path.size())
            remove_tree(key_path(path.begin(), path.begin() + static_cast<long>(created) + 1));
        status = rc == -2 || rc == -13 || rc == -43 || rc == -9 ? fail_key(rc, path)
                                                                : fail_document(rc, shown, source);
    }
    if (from_input)
        remove_scratch(s);
    return status;
}

} // namespace zconf
