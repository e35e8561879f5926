// zconf: reads and changes the configuration store from the command line.
//
// The library writes its own diagnostics on standard output, even while it loads (its
// constructor reads the configuration file). So that they never mix with what the tool
// prints, the tool is not linked with it: main keeps a copy of the standard output for
// its own use, points descriptor 1 at the standard error, and only then loads the
// library with dlopen and takes its entry points with dlsym.
//
// Each run has a store of its own, loaded from the file when the library loads; a
// command that changes it writes the file back with SaveXMLFile() when it succeeds.
// Runs that change the store hold a lock on the configuration file from before the load
// until they exit, so that two of them at once cannot each save their own change over
// the other's.
#include "dovizuz.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const char kLibrary[] = "libdovizuz.so.1";
const char kConfigFile[] = "/etc/zconfig.xml";
// How long a run waits for another run's lock, and the pause between two tries.
constexpr long kLockWaitMs = 5000;
constexpr long kLockRetryMs = 25;

enum : int {
    kOk = 0,
    kNotFound = 1,
    kUsage = 2,
    kFailed = 3,
};

// Largest name and value data the store holds; a value's name plus data takes at most
// kMaxValueBytes bytes.
constexpr size_t kNameBuffer = ZCONF_MAX_NAME + 1;
constexpr size_t kMaxValueBytes = 4079;

// ---- The library's entry points -----------------------------------------------------

struct library_api {
    decltype(&ZConfOpenKeyEx) open_key;
    decltype(&ZConfCloseKey) close_key;
    decltype(&ZConfCreateKeyEx) create_key;
    decltype(&ZConfDeleteKey) delete_key;
    decltype(&ZConfEnumKey) enum_key;
    decltype(&ZConfQueryInfoKey) query_info;
    decltype(&ZConfSetValueEx) set_value;
    decltype(&ZConfDeleteValue) delete_value;
    decltype(&ZConfEnumValue) enum_value;
    decltype(&ZConfQueryValueEx) query_value;
    decltype(&SaveXMLFile) save;
};

library_api api;
FILE *out; // the tool's own output: the standard output the tool was started with

bool resolve(void *library, const char *name, void *slot) {
    void *symbol = dlsym(library, name);
    if (symbol == nullptr)
        return false;
    memcpy(slot, &symbol, sizeof symbol);
    return true;
}

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
           resolve(library, "SaveXMLFile", &api.save);
}

// Keeps the standard output for the tool and sends descriptor 1, where the library
// prints, to the standard error (or nowhere when there is none).
bool separate_outputs() {
    int kept = dup(STDOUT_FILENO);
    if (kept < 0)
        return false;
    if (dup2(STDERR_FILENO, STDOUT_FILENO) < 0)
        freopen("/dev/null", "w", stdout);
    setvbuf(stdout, nullptr, _IOLBF, 0); // library lines appear as they are printed
    out = fdopen(kept, "w");
    return out != nullptr;
}

// ---- Messages ---------------------------------------------------------------------

__attribute__((format(printf, 2, 3))) int fail(int status, const char *format, ...) {
    fflush(stdout);
    va_list args;
    va_start(args, format);
    fputs("zconf: ", stderr);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
    return status;
}

// What a failed library call means: the exit status and the words after the name.
struct call_failure {
    int32_t rc;
    int status;
    const char *meaning;
};

constexpr call_failure kCallFailures[] = {
    {ZCONF_ERR_NOENT, kNotFound, "not found"},
    {ZCONF_ERR_ACCES, kFailed, "access refused"},
    {ZCONF_ERR_NOMEM, kFailed, "store full (no room or no free key handle)"},
    {ZCONF_ERR_NOTEMPTY, kFailed, "key not empty: it has subkeys (rmkey -r removes them too)"},
    {ZCONF_ERR_IDRM, kFailed, "key is being removed"},
    {ZCONF_ERR_BUSY, kFailed, "store busy"},
    {ZCONF_ERR_INVAL, kFailed, "refused by the store as invalid"},
};

// One line naming `what` and what the failed call means.
int fail_call(int32_t rc, const std::string &what) {
    for (const call_failure &f : kCallFailures)
        if (f.rc == rc)
            return fail(f.status, "%s: %s", what.c_str(), f.meaning);
    return fail(kFailed, "%s: failed, error %d", what.c_str(), rc);
}

// ---- Key paths ----------------------------------------------------------------------

// A key path as its names from the root down; empty for the root.
typedef std::vector<std::string> key_path;

bool is_separator(char c) { return c == '\\' || c == '/'; }

// Splits KEY at "\" and "/" (runs of them count as one). A leading "HZCONF_ROOT" names
// the root, as the library reads it.
key_path parse_key(const char *text) {
    static const char root[] = "HZCONF_ROOT";
    size_t n = sizeof root - 1;
    if (strncasecmp(text, root, n) == 0 && (text[n] == 0 || is_separator(text[n])))
        text += n;
    key_path path;
    std::string name;
    for (const char *p = text;; p++) {
        if (*p != 0 && !is_separator(*p)) {
            name += *p;
            continue;
        }
        if (!name.empty())
            path.push_back(name);
        name.clear();
        if (*p == 0)
            return path;
    }
}

std::string key_text(const key_path &path, size_t depth) {
    if (depth == 0)
        return "\\";
    std::string text;
    for (size_t i = 0; i < depth; i++)
        text += (i == 0 ? "" : "\\") + path[i];
    return text;
}

std::string key_text(const key_path &path) { return key_text(path, path.size()); }

std::string value_text(const key_path &path, const char *name) {
    return key_text(path) + ": value '" + name + "'";
}

key_path child_path(const key_path &path, const std::string &name) {
    key_path child = path;
    child.push_back(name);
    return child;
}

// The name of the i-th key of path as the library is to read it. At the top a name equal
// to the root's alias would name the root itself, so it goes behind the alias.
std::string api_name(const key_path &path, size_t i) {
    if (i == 0 && strcasecmp(path[0].c_str(), "HZCONF_ROOT") == 0)
        return "HZCONF_ROOT\\" + path[0];
    return path[i];
}

// Keys whose name is empty or holds a separator cannot be opened by their name.
bool openable(const std::string &name) {
    return !name.empty() && name.find_first_of("\\/") == std::string::npos;
}

// A successful close ends every handle of the calling thread, so one close releases all
// the handles of a walk; the root's handle 0 is never closed.
void release(ZConfKeyHandle handle) {
    if (handle > 0)
        api.close_key(handle);
}

// Opens the key of the first `depth` names of path, one name at a time from the root, so
// that the whole path may be longer than the library's path limit; with `create`, makes
// the missing keys on the way, and *created is the depth of the first key made
// (path.size() when none was). The handles opened on the way stay open until release().
int32_t walk_key(const key_path &path, size_t depth, ZConfKeyHandle *handle, bool create = false,
                 bool is_volatile = false, size_t *created = nullptr) {
    size_t first_made = path.size();
    int32_t rc = 0;
    *handle = ZCONF_HKEY_ROOT;
    for (size_t i = 0; i < depth && rc == 0; i++) {
        ZConfKeyHandle next;
        std::string name = api_name(path, i);
        rc = ZCONF_ERR_NOENT;
        if (first_made == path.size()) // below a key just made there is nothing to open
            rc = api.open_key(*handle, name.c_str(), ZCONF_KEY_ALL, &next);
        if (rc == ZCONF_ERR_NOENT && create) {
            uint32_t disposition;
            rc = api.create_key(*handle, name.c_str(), is_volatile, &disposition, &next);
            if (rc == 0 && first_made == path.size())
                first_made = i;
        }
        if (rc == 0)
            *handle = next;
    }
    if (created != nullptr)
        *created = first_made;
    if (rc != 0) {
        release(*handle);
        *handle = ZCONF_HKEY_ROOT;
    }
    return rc;
}

int32_t open_key(const key_path &path, size_t depth, ZConfKeyHandle *handle) {
    return walk_key(path, depth, handle);
}

int32_t create_key(const key_path &path, bool is_volatile, ZConfKeyHandle *handle,
                   size_t *created) {
    return walk_key(path, path.size(), handle, true, is_volatile, created);
}

// The names of a key's subkeys, in the store's order.
int32_t subkey_names(ZConfKeyHandle handle, std::vector<std::string> *names) {
    char name[kNameBuffer];
    for (uint32_t i = 0;; i++) {
        int32_t rc = api.enum_key(handle, i, name, sizeof name);
        if (rc == ZCONF_ERR_NOENT)
            return 0;
        if (rc != 0)
            return rc;
        names->push_back(name);
    }
}

// The names of the subkeys of the key at path.
int32_t subkeys_at(const key_path &path, std::vector<std::string> *names) {
    ZConfKeyHandle handle;
    int32_t rc = open_key(path, path.size(), &handle);
    if (rc == 0)
        rc = subkey_names(handle, names);
    release(handle);
    return rc;
}

// Removes the key at path (not the root) with its values and, deepest first, its
// subkeys. The store is this process's own: it reaches the file only through the save
// after a successful command, so a removal that stops halfway leaves the file whole.
int32_t remove_tree(const key_path &path) {
    for (;;) {
        std::vector<std::string> names;
        int32_t rc = subkeys_at(path, &names);
        if (rc != 0)
            return rc;
        if (names.empty())
            break;
        rc = remove_tree(child_path(path, names[0]));
        if (rc != 0)
            return rc;
    }
    ZConfKeyHandle parent;
    int32_t rc = open_key(path, path.size() - 1, &parent);
    if (rc == 0)
        rc = api.delete_key(parent, api_name(path, path.size() - 1).c_str());
    release(parent);
    return rc;
}

// Every key below path can be opened by its name (a name holding a separator cannot):
// checked before a recursive removal begins, so that it does not stop halfway.
int32_t check_reachable(const key_path &path, std::string *unreachable) {
    std::vector<std::string> names;
    int32_t rc = subkeys_at(path, &names);
    if (rc != 0) {
        *unreachable = key_text(path);
        return rc;
    }
    for (const std::string &name : names) {
        if (!openable(name)) {
            *unreachable = key_text(path) + "\\" + name;
            return ZCONF_ERR_NOENT;
        }
        rc = check_reachable(child_path(path, name), unreachable);
        if (rc != 0)
            return rc;
    }
    return 0;
}

// ---- Types and value text -------------------------------------------------------------

// Type names as the configuration document's elements have them, less "VALUE_", by type
// code; codes 7 and 11 name no type.
const char *const kTypeNames[] = {"NONE",     "BINARY", "SZ",    "MULTI_SZ", "DWORD",   "DWORD_LE",
                                  "DWORD_BE", nullptr,  "QWORD", "QWORD_LE", "QWORD_BE"};
constexpr uint32_t kTypeCount = sizeof kTypeNames / sizeof kTypeNames[0];

// The type code of a name such as "dword_be" or "VALUE_DWORD_BE" (any case), or -1.
int32_t parse_type(const char *text) {
    if (strncasecmp(text, "VALUE_", 6) == 0)
        text += 6;
    for (uint32_t t = 0; t < kTypeCount; t++)
        if (kTypeNames[t] != nullptr && strcasecmp(text, kTypeNames[t]) == 0)
            return static_cast<int32_t>(t);
    return -1;
}

std::string type_name(uint32_t type) {
    if (type < kTypeCount && kTypeNames[type] != nullptr)
        return kTypeNames[type];
    return "TYPE_" + std::to_string(type);
}

bool is_dword(uint32_t type) { return type >= ZCONF_VALUE_DWORD && type <= ZCONF_VALUE_DWORD_BE; }

bool is_qword(uint32_t type) { return type >= ZCONF_VALUE_QWORD && type <= ZCONF_VALUE_QWORD_BE; }

int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A number as the document writes integers: "0x" and hexadecimal digits, or decimal
// digits; at most 10 characters for 32 bits and 20 for 64, and the number must fit.
bool parse_number(const char *text, int bits, uint64_t *result) {
    size_t n = strlen(text);
    uint64_t max = bits == 32 ? 0xFFFFFFFFull : ~0ull;
    uint64_t value = 0;
    if (n == 0 || n > (bits == 32 ? 10u : 20u))
        return false;
    if (n >= 3 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        for (size_t i = 2; i < n; i++) {
            int digit = hex_digit(text[i]);
            if (digit < 0 || (value >> (bits - 4)) != 0)
                return false;
            value = value * 16 + static_cast<uint64_t>(digit);
        }
    } else {
        for (size_t i = 0; i < n; i++) {
            if (text[i] < '0' || text[i] > '9')
                return false;
            uint64_t digit = static_cast<uint64_t>(text[i] - '0');
            if (value > (max - digit) / 10)
                return false;
            value = value * 10 + digit;
        }
    }
    *result = value;
    return true;
}

// Hexadecimal pairs in either case; blanks between them are ignored, as in the document.
bool parse_binary(const std::vector<const char *> &items, std::string *data) {
    int high = -1;
    for (const char *item : items) {
        for (const char *p = item; *p != 0; p++) {
            if (*p == ' ' || *p == '\t')
                continue;
            int digit = hex_digit(*p);
            if (digit < 0)
                return false;
            if (high < 0) {
                high = digit;
            } else {
                data->push_back(static_cast<char>(high * 16 + digit));
                high = -1;
            }
        }
    }
    return high < 0 && !data->empty();
}

// The value's data as the store takes it. An integer is stored in host byte order, the
// _LE types with the bytes reversed: the document's rule, so that the text given here
// is the text the saved file shows.
bool encode_value(uint32_t type, const std::vector<const char *> &items, std::string *data) {
    uint64_t number;
    switch (type) {
    case ZCONF_VALUE_NONE:
        return true;
    case ZCONF_VALUE_BINARY:
        return parse_binary(items, data);
    case ZCONF_VALUE_SZ:
        data->assign(items[0]);
        data->push_back('\0');
        return true;
    case ZCONF_VALUE_MULTI_SZ: // each item ends in NUL, and one more NUL ends the list
        for (const char *item : items)
            data->append(item).push_back('\0');
        data->push_back('\0');
        return true;
    default:
        break;
    }
    if (!parse_number(items[0], is_dword(type) ? 32 : 64, &number))
        return false;
    if (is_dword(type)) {
        auto word = static_cast<uint32_t>(number);
        if (type == ZCONF_VALUE_DWORD_LE)
            word = __builtin_bswap32(word);
        data->assign(reinterpret_cast<const char *>(&word), sizeof word);
    } else {
        if (type == ZCONF_VALUE_QWORD_LE)
            number = __builtin_bswap64(number);
        data->assign(reinterpret_cast<const char *>(&number), sizeof number);
    }
    return true;
}

// The items of a string list: the last NUL ends the list and the others end items (a
// last item without its NUL counts too).
std::vector<std::string> list_items(const char *data, uint32_t size) {
    std::vector<std::string> items;
    if (size > 0 && data[size - 1] == 0)
        size--;
    for (uint32_t at = 0; at < size;) {
        const char *end = static_cast<const char *>(memchr(data + at, 0, size - at));
        uint32_t len = end != nullptr ? static_cast<uint32_t>(end - data) - at : size - at;
        items.emplace_back(data + at, len);
        at += len + 1;
    }
    return items;
}

std::string hex_number(uint64_t number, int digits) {
    char text[24];
    snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(number));
    return text;
}

// The value's text as the document writes it; a string list gives one text per item.
std::vector<std::string> value_items(uint32_t type, const char *data, uint32_t size) {
    if (type == ZCONF_VALUE_NONE)
        return {};
    if (type == ZCONF_VALUE_SZ)
        return {std::string(data, strnlen(data, size))};
    if (type == ZCONF_VALUE_MULTI_SZ)
        return list_items(data, size);
    if (is_dword(type) && size == 4) {
        uint32_t word;
        memcpy(&word, data, sizeof word);
        return {hex_number(type == ZCONF_VALUE_DWORD_LE ? __builtin_bswap32(word) : word, 8)};
    }
    if (is_qword(type) && size == 8) {
        uint64_t word;
        memcpy(&word, data, sizeof word);
        return {hex_number(type == ZCONF_VALUE_QWORD_LE ? __builtin_bswap64(word) : word, 16)};
    }
    std::string hex;
    for (uint32_t i = 0; i < size; i++)
        hex += hex_number(static_cast<uint8_t>(data[i]), 2).substr(2);
    return {hex};
}

// ---- Listing ----------------------------------------------------------------------

struct listing {
    std::vector<std::string> subkeys;
    std::vector<std::string> values; // "NAME<TAB>TYPE[<TAB>TEXT]..." lines
};

int32_t read_values(ZConfKeyHandle handle, std::vector<std::string> *lines) {
    static char data[ZCONF_MAX_NAME + kMaxValueBytes + 1];
    char name[kNameBuffer];
    for (uint32_t i = 0;; i++) {
        uint32_t name_size = sizeof name, type, size = sizeof data;
        int32_t rc = api.enum_value(handle, i, name, &name_size, &type, data, &size);
        if (rc == ZCONF_ERR_NOENT)
            return 0;
        if (rc != 0)
            return rc;
        std::string line = std::string(name) + "\t" + type_name(type);
        for (const std::string &item : value_items(type, data, size))
            line += "\t" + item;
        lines->push_back(line);
    }
}

int32_t read_key(const key_path &path, listing *list) {
    ZConfKeyHandle handle;
    int32_t rc = open_key(path, path.size(), &handle);
    if (rc == 0)
        rc = subkey_names(handle, &list->subkeys);
    if (rc == 0)
        rc = read_values(handle, &list->values);
    release(handle);
    return rc;
}

// Prints a key's values, then each subkey as "NAME/" followed by its own content, two
// spaces further in. A subkey that cannot be opened by its name is shown without it.
int print_tree(const key_path &path, const std::string &indent) {
    listing list;
    int32_t rc = read_key(path, &list);
    if (rc != 0)
        return fail_call(rc, key_text(path));
    for (const std::string &line : list.values)
        fprintf(out, "%s%s\n", indent.c_str(), line.c_str());
    int status = kOk;
    for (const std::string &name : list.subkeys) {
        fprintf(out, "%s%s/\n", indent.c_str(), name.c_str());
        int sub = openable(name) ? print_tree(child_path(path, name), indent + "  ")
                                 : fail(kFailed, "%s\\%s: cannot be opened by its name",
                                        key_text(path).c_str(), name.c_str());
        if (status == kOk)
            status = sub;
    }
    return status;
}

// ---- Commands ---------------------------------------------------------------------

struct invocation {
    std::vector<const char *> args; // after the command's name
    bool no_save = false;
    bool recursive = false;
    bool is_volatile = false;
};

// A `set` whose arguments have been checked: the key, the value's name and its data.
struct new_value {
    key_path key;
    const char *name;
    uint32_t type;
    std::string data;
};

int fail_key(int32_t rc, const key_path &path) {
    if (rc == ZCONF_ERR_NOENT)
        return fail(kNotFound, "%s: no such key", key_text(path).c_str());
    return fail_call(rc, key_text(path));
}

int fail_value(int32_t rc, const key_path &path, const char *name) {
    if (rc == ZCONF_ERR_NOENT)
        return fail(kNotFound, "%s: no such value '%s'", key_text(path).c_str(), name);
    return fail_call(rc, value_text(path, name));
}

int run_ls(const invocation &call) {
    key_path path = parse_key(call.args.empty() ? "" : call.args[0]);
    listing list;
    int32_t rc = read_key(path, &list);
    if (rc != 0)
        return fail_key(rc, path);
    for (const std::string &name : list.subkeys)
        fprintf(out, "%s/\n", name.c_str());
    for (const std::string &line : list.values)
        fprintf(out, "%s\n", line.c_str());
    return kOk;
}

int run_tree(const invocation &call) {
    key_path path = parse_key(call.args.empty() ? "" : call.args[0]);
    ZConfKeyHandle handle;
    int32_t rc = open_key(path, path.size(), &handle);
    release(handle);
    if (rc != 0)
        return fail_key(rc, path);
    return print_tree(path, "");
}

int run_get(const invocation &call) {
    key_path path = parse_key(call.args[0]);
    const char *name = call.args[1];
    static char data[kMaxValueBytes + 1];
    uint32_t type, size = sizeof data;
    ZConfKeyHandle handle;
    int32_t rc = open_key(path, path.size(), &handle);
    if (rc != 0)
        return fail_key(rc, path);
    rc = api.query_value(handle, name, &type, data, &size);
    release(handle);
    if (rc != 0)
        return fail_value(rc, path, name);
    for (const std::string &item : value_items(type, data, size))
        fprintf(out, "%s\n", item.c_str());
    return kOk;
}

// Removes the keys a failed command made: only they lie below the first one made.
void remove_created(const key_path &path, size_t created) {
    if (created < path.size())
        remove_tree(key_path(path.begin(), path.begin() + static_cast<long>(created) + 1));
}

int run_set(const new_value &value) {
    ZConfKeyHandle handle;
    size_t created;
    int32_t rc = create_key(value.key, false, &handle, &created);
    if (rc != 0) {
        remove_created(value.key, created);
        return fail_key(rc, value.key);
    }
    rc = api.set_value(handle, value.name, value.type, value.data.data(),
                       static_cast<uint32_t>(value.data.size()));
    release(handle);
    if (rc == 0)
        return kOk;
    remove_created(value.key, created);
    return fail_value(rc, value.key, value.name);
}

int run_rm(const invocation &call) {
    key_path path = parse_key(call.args[0]);
    const char *name = call.args[1];
    ZConfKeyHandle handle;
    int32_t rc = open_key(path, path.size(), &handle);
    if (rc != 0)
        return fail_key(rc, path);
    rc = api.delete_value(handle, name);
    release(handle);
    return rc == 0 ? kOk : fail_value(rc, path, name);
}

int run_mkkey(const invocation &call) {
    key_path path = parse_key(call.args[0]);
    ZConfKeyHandle handle;
    size_t created;
    int32_t rc = create_key(path, call.is_volatile, &handle, &created);
    release(handle);
    if (rc == 0)
        return kOk;
    remove_created(path, created);
    return fail_key(rc, path);
}

// With -r the whole subtree goes, deepest key first. Before anything is removed every
// key of it must open by its name, so the removal does not stop halfway; were it to
// stop anyway, the command fails without saving, and the file keeps the whole subtree
// (the keys removed so far are gone only from this run's own store).
int run_rmkey(const invocation &call) {
    key_path path = parse_key(call.args[0]);
    ZConfKeyHandle parent;
    int32_t rc = open_key(path, path.size(), &parent);
    release(parent);
    if (rc != 0)
        return fail_key(rc, path);
    if (call.recursive) {
        std::string unreachable;
        rc = check_reachable(path, &unreachable);
        if (rc != 0)
            return fail(kFailed, "%s: a key below cannot be opened by its name (%s)",
                        key_text(path).c_str(), unreachable.c_str());
        rc = remove_tree(path);
        return rc == 0 ? kOk : fail_key(rc, path);
    }
    rc = open_key(path, path.size() - 1, &parent);
    if (rc == 0)
        rc = api.delete_key(parent, api_name(path, path.size() - 1).c_str());
    release(parent);
    return rc == 0 ? kOk : fail_key(rc, path);
}

// ---- Argument checks (before the library is loaded) ----------------------------------

int check_name(const char *name, const char *what) {
    if (strlen(name) > ZCONF_MAX_NAME)
        return fail(kUsage, "%s name too long (%zu bytes; at most %d): %.40s...", what,
                    strlen(name), ZCONF_MAX_NAME, name);
    return kOk;
}

// `root_refused` says why the command cannot take the root; NULL when it can.
int check_key(const char *text, const char *root_refused) {
    key_path path = parse_key(text);
    if (path.empty() && root_refused != nullptr)
        return fail(kUsage, "%s", root_refused);
    // A key is reached through a handle for each key above it and itself.
    if (path.size() > ZCONF_MAX_HANDLES)
        return fail(kUsage, "key path too deep (%zu keys; at most %d)", path.size(),
                    ZCONF_MAX_HANDLES);
    for (const std::string &name : path)
        if (check_name(name.c_str(), "key") != kOk)
            return kUsage;
    return kOk;
}

// Values given for a type: none for NONE, one for SZ and the integers, at least one
// for BINARY, any number for MULTI_SZ.
bool value_count_fits(uint32_t type, size_t count) {
    if (type == ZCONF_VALUE_NONE)
        return count == 0;
    if (type == ZCONF_VALUE_BINARY)
        return count >= 1;
    if (type == ZCONF_VALUE_MULTI_SZ)
        return true;
    return count == 1;
}

int check_set(const invocation &call, new_value *value) {
    if (check_key(call.args[0], "values cannot be set on the root key") != kOk ||
        check_name(call.args[1], "value") != kOk)
        return kUsage;
    int32_t type = parse_type(call.args[2]);
    if (type < 0)
        return fail(kUsage, "unknown type '%s' (see zconf help set)", call.args[2]);
    value->key = parse_key(call.args[0]);
    value->name = call.args[1];
    value->type = static_cast<uint32_t>(type);
    std::vector<const char *> items(call.args.begin() + 3, call.args.end());
    std::string type_text = type_name(value->type);
    if (!value_count_fits(value->type, items.size()))
        return fail(kUsage, "a %s value takes %s", type_text.c_str(),
                    type == ZCONF_VALUE_NONE     ? "no text"
                    : type == ZCONF_VALUE_BINARY ? "hexadecimal pairs"
                                                 : "exactly one text");
    if (!encode_value(value->type, items, &value->data))
        return fail(kUsage, "bad %s value text '%s'", type_text.c_str(),
                    items.empty() ? "" : items[0]);
    size_t stored = strlen(value->name) + value->data.size();
    if (stored > kMaxValueBytes)
        return fail(kUsage, "%s: value too large (name and data take %zu bytes; at most %zu)",
                    value->name, stored, kMaxValueBytes);
    return kOk;
}

// ---- Command table and help ---------------------------------------------------------

struct command {
    const char *name;
    size_t min_args, max_args;
    bool changes_store;
    const char *usage;
    const char *help;
};

constexpr size_t kAny = ~size_t{0};

const command kCommands[] = {
    {"ls", 0, 1, false, "ls [KEY]",
     "Lists the subkeys of KEY (the root when KEY is absent or empty), one \"NAME/\" line\n"
     "each, then its values, one \"NAME<TAB>TYPE<TAB>TEXT\" line each.\n"},
    {"tree", 0, 1, false, "tree [KEY]",
     "Prints the whole subtree of KEY (the root when absent or empty): the key's values\n"
     "as `ls` prints them, then each subkey as a \"NAME/\" line followed by its own\n"
     "content, indented two spaces further.\n"},
    {"get", 2, 2, false, "get KEY NAME",
     "Prints the text of value NAME of KEY: one line, none for a NONE value, one line\n"
     "per item for a MULTI_SZ value.\n"},
    {"set", 3, kAny, true, "set KEY NAME TYPE [VALUE...]",
     "Sets value NAME of KEY, creating KEY and the keys above it when missing.\n"
     "TYPE is one of none, binary, sz, multi_sz, dword, dword_le, dword_be, qword,\n"
     "qword_le, qword_be, in any case, with or without a \"VALUE_\" prefix. VALUE is:\n"
     "  none          nothing\n"
     "  sz            one text\n"
     "  multi_sz      one argument per item (none for an empty list)\n"
     "  binary        hexadecimal pairs, in one argument or several (blanks ignored)\n"
     "  dword*, qword*  \"0x\" and hexadecimal digits, or decimal digits (at most 10\n"
     "                characters for dword, 20 for qword)\n"
     "Integers are numbers, not bytes: the _LE and _BE types differ in how the store\n"
     "keeps the bytes, and the text shown is always the number.\n"},
    {"rm", 2, 2, true, "rm KEY NAME", "Removes value NAME of KEY.\n"},
    {"mkkey", 1, 1, true, "mkkey [--volatile] KEY",
     "Creates KEY and the keys above it when missing; an existing key is left as it is.\n"
     "With --volatile the keys created are volatile: the file never holds them, so they\n"
     "last only while this command runs.\n"},
    {"rmkey", 1, 1, true, "rmkey [-r] KEY",
     "Removes KEY with its values. A key with subkeys is refused unless -r is given,\n"
     "which removes the whole subtree, deepest keys first.\n"},
    {"help", 0, 1, false, "help [COMMAND]", "Prints the help of the tool or of COMMAND.\n"},
};

const command *find_command(const char *name) {
    for (const command &c : kCommands)
        if (strcmp(c.name, name) == 0)
            return &c;
    return nullptr;
}

void print_tool_help() {
    fputs("Usage: zconf [--no-save] COMMAND [ARGS...]\n"
          "Reads and changes the configuration store kept in /etc/zconfig.xml.\n\nCommands:\n",
          out);
    for (const command &c : kCommands)
        fprintf(out, "  zconf %s\n", c.usage);
    fputs("\nKEY names keys from the root down, separated by \"\\\" or \"/\"; an empty KEY is\n"
          "the root. Names ignore letter case and take at most 255 bytes.\n"
          "Options, before or after the command:\n"
          "  --no-save   change the store of this run only; the file stays as it is\n"
          "  -h, --help  print help (of the command, when one is given)\n"
          "  --          no options after it (for a VALUE that begins with -)\n"
          "Output, on standard output only (the library's messages go to standard error):\n"
          "  ls          \"NAME/\" per subkey (in name order), then \"NAME<TAB>TYPE<TAB>TEXT\"\n"
          "              per value (in the order set): a TAB and a TEXT per item for\n"
          "              MULTI_SZ, no TEXT for NONE\n"
          "  tree        a key's values as ls prints them, then per subkey \"NAME/\" and its\n"
          "              own content two spaces further in\n"
          "  get         the TEXT alone, one line per MULTI_SZ item, none for NONE\n"
          "  TYPE        NONE, BINARY, SZ, MULTI_SZ, DWORD, DWORD_LE, DWORD_BE, QWORD,\n"
          "              QWORD_LE, QWORD_BE\n"
          "  TEXT        as in the file: integers 0x and 8 or 16 hexadecimal digits, binary\n"
          "              data hexadecimal pairs, strings as they are\n"
          "A command that changes the store saves it to the file when it succeeds; a\n"
          "command that fails changes and saves nothing. A file that holds keys none of\n"
          "which loaded (the library refused it) is not saved over. Commands that save\n"
          "run one at a time, each holding a lock (flock) on /etc/zconfig.xml, so none\n"
          "undoes another; one that cannot get the lock within 5 s exits 3.\n"
          "Exit status: 0 done, 1 key or value not found, 2 bad usage (command, arguments,\n"
          "type or value text), 3 other failures (access refused, store full, key not\n"
          "empty, library missing, save failed, file locked by another run).\n"
          "Run \"zconf help COMMAND\" for the help of one command.\n",
          out);
}

void print_command_help(const command &c) {
    fprintf(out, "Usage: zconf [--no-save] %s\n%s", c.usage, c.help);
}

// ---- main -------------------------------------------------------------------------

// Splits the arguments into options and the positional ones (the command first).
int parse_arguments(int argc, char **argv, invocation *call, bool *help,
                    std::vector<const char *> *words) {
    bool options = true;
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (!options || arg[0] != '-' || arg[1] == 0)
            words->push_back(arg);
        else if (strcmp(arg, "--") == 0)
            options = false;
        else if (strcmp(arg, "--no-save") == 0)
            call->no_save = true;
        else if (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0)
            *help = true;
        else if (strcmp(arg, "-r") == 0)
            call->recursive = true;
        else if (strcmp(arg, "--volatile") == 0)
            call->is_volatile = true;
        else
            return fail(kUsage, "unknown option '%s' (see zconf --help)", arg);
    }
    return kOk;
}

int check_arguments(const command &c, const invocation &call, new_value *value) {
    if (call.args.size() < c.min_args || call.args.size() > c.max_args)
        return fail(kUsage, "usage: zconf %s", c.usage);
    if (call.recursive && strcmp(c.name, "rmkey") != 0)
        return fail(kUsage, "-r belongs to rmkey only");
    if (call.is_volatile && strcmp(c.name, "mkkey") != 0)
        return fail(kUsage, "--volatile belongs to mkkey only");
    if (strcmp(c.name, "set") == 0)
        return check_set(call, value);
    if (strcmp(c.name, "help") == 0 && !call.args.empty() && find_command(call.args[0]) == nullptr)
        return fail(kUsage, "unknown command '%s' (see zconf --help)", call.args[0]);
    if (call.args.empty())
        return kOk;
    const char *root_refused = strcmp(c.name, "mkkey") == 0   ? "the root key always exists"
                               : strcmp(c.name, "rmkey") == 0 ? "the root key cannot be removed"
                                                              : nullptr;
    if (check_key(call.args[0], root_refused) != kOk)
        return kUsage;
    if (call.args.size() > 1)
        return check_name(call.args[1], "value");
    return kOk;
}

// The file holds keys besides its root, yet none is in the store: the library refused
// the file (its messages say why), and saving would replace it with an empty store.
bool file_refused() {
    FILE *file = fopen(kConfigFile, "r");
    if (file == nullptr)
        return false;
    std::string text;
    char buffer[8192];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, n);
    fclose(file);
    size_t first = text.find("<KEY");
    if (first == std::string::npos || text.find("<KEY", first + 1) == std::string::npos)
        return false;
    uint32_t subkeys = 0;
    return api.query_info(ZCONF_HKEY_ROOT, &subkeys, nullptr, nullptr, nullptr, nullptr) == 0 &&
           subkeys == 0;
}

int run(const command &c, const invocation &call, const new_value &value) {
    if (strcmp(c.name, "ls") == 0)
        return run_ls(call);
    if (strcmp(c.name, "tree") == 0)
        return run_tree(call);
    if (strcmp(c.name, "get") == 0)
        return run_get(call);
    if (strcmp(c.name, "set") == 0)
        return run_set(value);
    if (strcmp(c.name, "rm") == 0)
        return run_rm(call);
    if (strcmp(c.name, "mkkey") == 0)
        return run_mkkey(call);
    return run_rmkey(call);
}

// ---- The lock of runs that change the store ------------------------------------------
//
// The lock is a flock() lock on the configuration file itself, opened for writing: only
// runs that may write the file take it, and it lives where only those who may write
// /etc can make it. It is a flock() lock because the library takes fcntl() locks of
// its own on the file (a read lock while it loads, a write lock while it saves in
// place), which an fcntl() lock held here would stand against within this very process.
// It stays while the library opens and closes the file and goes with the process. A
// save renames a new file over the old one, so a lock is good only while the path still
// names the locked file.

// The lock this run holds; `created` when the run made the (empty) file to lock it.
struct config_lock {
    int fd = -1;
    bool created = false;
};

enum lock_attempt { kLockTaken, kLockRetry, kLockUnwritable, kLockFailed };

long long monotonic_ms() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void pause_ms(long ms) {
    timespec pause = {ms / 1000, (ms % 1000) * 1000000};
    nanosleep(&pause, nullptr);
}

// Whether an open error means this run cannot write the file at all (no write access, a
// read-only or full file system, a missing directory, a link that leads nowhere). Such a
// run goes on without the lock: it cannot save over another run's change, and its save
// fails with the reason. Any other error fails the run, so that no run that might save
// goes on unlocked.
bool cannot_write(int error) {
    switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
    case ENOENT:
    case ENOTDIR:
    case ELOOP:
    case ETXTBSY:
    case ENOSPC:
    case EDQUOT:
        return true;
    default:
        return false;
    }
}

bool is_link(const char *path) {
    struct stat st;
    return lstat(path, &st) == 0 && S_ISLNK(st.st_mode);
}

// Opens the configuration file for writing, or creates it empty when there is none;
// -1 with errno when neither works (EEXIST: it appeared meanwhile, to be opened again).
// A link at the path, which only those who may write /etc can put there, is followed as
// the library follows it; a new file is never made through one. A new file takes 0666
// less the umask, as the library makes one (a save keeps the mode of the file it
// replaces). O_NONBLOCK keeps a FIFO at the path from blocking the open.
int open_config(bool *created) {
    *created = false;
    int fd = open(kConfigFile, O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd >= 0 || errno != ENOENT)
        return fd;
    if (is_link(kConfigFile)) { // a link that leads nowhere: nothing to lock
        errno = ENOENT;
        return -1;
    }
    fd = open(kConfigFile, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    *created = fd >= 0;
    return fd;
}

// Whether path still names the file open at fd (a save renames another file over it).
bool names_file(const char *path, int fd) {
    struct stat at_path, open_file;
    return stat(path, &at_path) == 0 && fstat(fd, &open_file) == 0 &&
           at_path.st_dev == open_file.st_dev && at_path.st_ino == open_file.st_ino;
}

// Takes the lock on the file at fd without waiting; false with errno (EWOULDBLOCK while
// another holds it).
bool lock_file(int fd) {
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

// One try at locking the file the path names; a failure is reported before kLockFailed.
lock_attempt try_lock_config(config_lock *lock) {
    bool created;
    int fd = open_config(&created);
    if (fd < 0) {
        if (errno == EEXIST)
            return kLockRetry;
        if (cannot_write(errno))
            return kLockUnwritable;
        fail(kFailed, "cannot lock %s: %s", kConfigFile, strerror(errno));
        return kLockFailed;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        fail(kFailed, "cannot lock %s: not a regular file", kConfigFile);
        return kLockFailed;
    }
    if (!lock_file(fd)) {
        int error = errno;
        close(fd);
        if (error == EWOULDBLOCK)
            return kLockRetry;
        fail(kFailed, "cannot lock %s: %s", kConfigFile, strerror(error));
        return kLockFailed;
    }
    if (!names_file(kConfigFile, fd)) {
        close(fd);
        return kLockRetry;
    }
    lock->fd = fd;
    lock->created = created;
    return kLockTaken;
}

// Takes the lock for the rest of the process, waiting at most kLockWaitMs for another
// run to let it go; kOk also when the file cannot be written (then without the lock),
// kFailed after a message otherwise.
int lock_config(config_lock *lock) {
    long long deadline = monotonic_ms() + kLockWaitMs;
    for (;;) {
        lock_attempt attempt = try_lock_config(lock);
        if (attempt == kLockTaken || attempt == kLockUnwritable)
            return kOk;
        if (attempt == kLockFailed)
            return kFailed;
        if (monotonic_ms() >= deadline)
            return fail(kFailed, "%s is locked by another process (gave up after %ld s)",
                        kConfigFile, kLockWaitMs / 1000);
        pause_ms(kLockRetryMs);
    }
}

// Removes the file the run made to lock it when nothing was saved into it: the path
// still names it and it is still empty. The lock is still held, so no other run is
// using it.
void remove_unused_file(const config_lock &lock) {
    struct stat st;
    if (lock.created && names_file(kConfigFile, lock.fd) && fstat(lock.fd, &st) == 0 &&
        st.st_size == 0)
        unlink(kConfigFile);
}

// Loads the library and runs the command, saving the store when the command changed it.
int run_loaded(const command &c, const invocation &call, const new_value &value, bool save) {
    if (!load_library())
        return fail(kFailed, "cannot load %s: %s", kLibrary, dlerror());
    if (save && file_refused())
        return fail(kFailed, "%s did not load (see the messages above); not saving over it",
                    kConfigFile);
    int status = run(c, call, value);
    if (status != kOk || !save)
        return status;
    int32_t rc = api.save();
    if (rc != 0)
        return fail(kFailed, "saving %s failed (%s %d)", kConfigFile,
                    rc == 2 ? "the file could not be written, result" : "error", rc);
    return kOk;
}

// Runs the command; one that saves holds the lock from before the library loads the
// file, since loading reads it, until the process exits.
int run_command(const command &c, const invocation &call, const new_value &value) {
    bool save = c.changes_store && !call.no_save;
    if (!save)
        return run_loaded(c, call, value, false);
    config_lock lock;
    int status = lock_config(&lock);
    if (status != kOk)
        return status;
    status = run_loaded(c, call, value, true);
    remove_unused_file(lock);
    return status;
}

int zconf_main(int argc, char **argv) {
    invocation call;
    bool help = false;
    std::vector<const char *> words;
    if (parse_arguments(argc, argv, &call, &help, &words) != kOk)
        return kUsage;
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
    new_value value;
    int status = check_arguments(*c, call, &value);
    if (status != kOk)
        return status;
    if (strcmp(c->name, "help") == 0) {
        if (call.args.empty())
            print_tool_help();
        else
            print_command_help(*find_command(call.args[0]));
        return kOk;
    }
    return run_command(*c, call, value);
}

} // namespace

int main(int argc, char **argv) {
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
