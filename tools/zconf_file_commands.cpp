// zconf's commands on whole files: check, which tells whether and why a file would be
// refused, and the refusal of every other command when the configuration file was.
#include "zconf_tool.h"

#include <cctype>
#include <cstring>
#include <dlfcn.h>

namespace zconf {

namespace {

enum : size_t {
    kReasonBuffer = 512, // a place and a reason, with the names it quotes
};

// Copies the library's text into a terminated string (the library may fill the buffer).
std::string reason_text(const char *buffer) {
    return std::string(buffer, strnlen(buffer, kReasonBuffer));
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

} // namespace zconf
