// zconf: reads and changes the configuration store from the command line.
//
// The library writes its own diagnostics on standard output, even while it loads (its
// constructor reads the configuration file). So that they never mix with what the tool
// prints, the tool is not linked with it: main keeps a copy of the standard output for
// its own use, points descriptor 1 at the standard error, and only then loads the
// library with dlopen and takes its entry points with dlsym.
//
// Each run has a store of its own, loaded from the file when the library loads; a
// command that changes it writes its own changes into the file as the file is then, with
// ZConfFlushKey(), when it succeeds, so that runs at once (and programs that flush) keep
// each other's changes.
#include "zconf_tool.h"

#include <cerrno>
#include <cstring>
#include <dlfcn.h>

namespace zconf {

library_api api;

namespace {

// Puts the library's entry point `name` in slot; false when it has none.
bool resolve(void *library, const char *name, void *slot) {
    void *symbol = dlsym(library, name);
    if (symbol == nullptr)
        return false;
    memcpy(slot, &symbol, sizeof symbol);
    return true;
}

// Loads the library and runs the command, flushing its changes when it changed the store.
int run_loaded(const command &c, const invocation &call, bool save) {
    if (!load_library())
        return fail(kFailed, "cannot load %s: %s", kLibrary, dlerror());
    int status = check_load_status();
    if (status != kOk)
        return status;
    status = c.run(call);
    if (status != kOk || !save)
        return status;
    int32_t rc = api.flush(ZCONF_HKEY_ROOT);
    if (rc == ZCONF_ERR_BADMSG)
        return fail(kFailed, "%s did not load (see the messages above); not saving over it",
                    kConfigFile);
    if (rc == ZCONF_ERR_INVAL)
        return fail(kFailed, "%s is not a regular file", kConfigFile);
    if (rc == ZCONF_ERR_AGAIN)
        return fail(kFailed, "%s is locked by another process (gave up after 10 s)", kConfigFile);
    if (rc != 0)
        return fail(kFailed, "saving %s failed: %s (error %d)", kConfigFile, api.error_text(rc),
                    rc);
    return kOk;
}

// Runs the command: at once when it does not use the store, with the library loaded
// otherwise.
int run_command(const command &c, const invocation &call) {
    if (c.store == kNoStore)
        return c.run(call);
    bool save = c.store == kChangesStore && (call.options & kOptionNoSave) == 0;
    return run_loaded(c, call, save);
}

// Splits the arguments, finds the command's row and runs it; the exit status.
int zconf_main(int argc, char **argv) {
    invocation call;
    std::vector<const char *> words;
    if (parse_arguments(argc, argv, &call, &words) != kOk)
        return kUsage;
    bool help = (call.options & kOptionHelp) != 0;
    if ((call.options & kOptionVersion) != 0) {
        if (!words.empty() || help)
            return fail(kUsage, "--version takes no command and no other option");
        // The tool is built with the library and installed beside it: one version.
        fprintf(out, "zconf %s (libdovizuz %s)\n", DOVIZUZ_VERSION, DOVIZUZ_VERSION);
        return kOk;
    }
    if (words.empty()) {
        if (help) {
            print_tool_help();
            return kOk;
        }
        return fail(kUsage, "no command given (see zconf --help)");
    }
    const command *c = find_command(words[0]);
    if (c == nullptr)
        return fail(kUsage, "unknown command '%s' (see zconf --help)", words[0]);
    call.args.assign(words.begin() + 1, words.end());
    if (help) {
        print_command_help(*c);
        return kOk;
    }
    int status = check_arguments(*c, &call);
    if (status != kOk)
        return status;
    return run_command(*c, call);
}

} // namespace

bool load_library() {
    void *library = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr)
        return false;
    return resolve(library, "ZConfOpenKeyEx", &api.open_key) &&
           resolve(library, "ZConfCloseKey", &api.close_key) &&
           resolve(library, "ZConfCreateKeyEx", &api.create_key) &&
           resolve(library, "ZConfDeleteKey", &api.delete_key) &&
           resolve(library, "ZConfEnumKey", &api.enum_key) &&
           resolve(library, "ZConfQueryInfoKey", &api.query_info) &&
           resolve(library, "ZConfSetValueEx", &api.set_value) &&
           resolve(library, "ZConfDeleteValue", &api.delete_value) &&
           resolve(library, "ZConfEnumValue", &api.enum_value) &&
           resolve(library, "ZConfQueryValueEx", &api.query_value) &&
           resolve(library, "ZConfFlushKey", &api.flush) &&
           resolve(library, "ZConfRefreshKey", &api.refresh) &&
           resolve(library, "ZConfNotifyChangeKeyValue", &api.notify) &&
           resolve(library, "ZConfQueryLoadStatus", &api.load_status) &&
           resolve(library, "ZConfCheckXMLFile", &api.check_file) &&
           resolve(library, "ZConfSaveKey", &api.save_key) &&
           resolve(library, "ZConfRestoreKey", &api.restore_key) &&
           resolve(library, "ZConfErrorText", &api.error_text);
}

} // namespace zconf

// Runs zconf_main with the outputs kept apart; a failed write of the output fails the run.
int main(int argc, char **argv) {
    using namespace zconf;
    if (!separate_outputs()) {
        fprintf(stderr, "zconf: no standard output: %s\n", strerror(errno));
        return kFailed;
    }
    int status = zconf_main(argc, argv);
    if (fflush(out) != 0 || ferror(out)) {
        fprintf(stderr, "zconf: writing the output failed: %s\n", strerror(errno));
        return kFailed;
    }
    return status;
}
