// zconf's internal interface: what the tool's source files share with each other.
#pragma once

#include "dovizuz.h"
#include "tree/zconf_int.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace zconf {

inline constexpr char kLibrary[] = "libdovizuz.so.1";
inline constexpr char kConfigFile[] = "/etc/zconfig.xml";

// Exit statuses.
enum : int {
    kOk = 0,
    kNotFound = 1,
    kUsage = 2,
    kFailed = 3,
};

// Largest name and value data the store holds; a value's name plus data takes at most
// kMaxValueBytes bytes, the library's node limit.
inline constexpr size_t kNameBuffer = ZCONF_MAX_NAME + 1;
inline constexpr size_t kMaxValueBytes = ZCONF_VALUE_BYTES_MAX;

// ---- The library's entry points (zconf_main.cpp) -------------------------------------

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
    decltype(&ZConfQueryLoadStatus) load_status;
    decltype(&ZConfCheckXMLFile) check_file;
    decltype(&ZConfSaveKey) save_key;
    decltype(&ZConfRestoreKey) restore_key;
    decltype(&ZConfFlushKey) flush;
    decltype(&ZConfRefreshKey) refresh;
    decltype(&ZConfNotifyChangeKeyValue) notify;
    decltype(&ZConfErrorText) error_text;
};

// The library's entry points, set once the library is loaded.
extern library_api api;

// Loads the library, which loads the store from the file, and takes its entry points;
// false when it or one of them is missing (dlerror() says why).
bool load_library();

// ---- Arguments and the command table (zconf_args.cpp) --------------------------------

// Options, as bits of invocation::options.
enum : unsigned {
    kOptionNoSave = 1u << 0,
    kOptionHelp = 1u << 1,
    kOptionRecursive = 1u << 2,
    kOptionVolatile = 1u << 3,
    kOptionVersion = 1u << 4,
    kOptionDecimal = 1u << 5,
    kOptionJson = 1u << 6,
};

// A key path as its names from the root down; empty for the root.
typedef std::vector<std::string> key_path;

// A `set` whose arguments have been checked: the key, the value's name and its data.
struct new_value {
    key_path key;
    const char *name = nullptr;
    uint32_t type = 0;
    std::string data;
};

// One run's command line, split: the arguments after the command's name, the options
// given and, for `set`, the value its checked arguments make.
struct invocation {
    std::vector<const char *> args;
    unsigned options = 0;
    new_value value;
};

// What a command does with the store: nothing (the library is not loaded), read it, or
// change it (then the run flushes its changes into the file).
enum store_use { kNoStore, kReadsStore, kChangesStore };

// A row of the command table: everything the tool knows about one command.
struct command {
    const char *name;
    int (*run)(const invocation &call);               // runs it once the arguments pass
    int (*check)(const command &c, invocation *call); // checks its arguments
    size_t min_args, max_args;                        // positional arguments it takes
    unsigned options;                                 // options of its own it takes
    const char *root_refused;                         // why KEY cannot be the root; NULL: it can
    store_use store;                                  // what it does with the store
    const char *usage;                                // its synopsis, after "zconf "
    const char *help;                                 // its help text, after the synopsis
};

// The command table, in the order the help lists it.
extern const command kCommands[];
extern const size_t kCommandCount;

// The row of the command called `name`, or NULL.
const command *find_command(const char *name);

// Splits argv into options and positional arguments (the command's name first); kUsage
// after a message for an unknown option.
int parse_arguments(int argc, char **argv, invocation *call, std::vector<const char *> *words);

// Checks the arguments of command c before the library is loaded; kOk, or the status
// after a message. Fills call->value for `set`.
int check_arguments(const command &c, invocation *call);

// ---- Value text (zconf_value.cpp) -----------------------------------------------------

// The type code of a name such as "dword_be" or "VALUE_DWORD_BE" (any case), or -1.
int32_t parse_type(const char *text);

// The type's name in capitals without "VALUE_"; "TYPE_n" for a code that names none.
std::string type_name(uint32_t type);

// Whether `count` value texts suit the type: none for NONE, one for SZ and the
// integers, at least one for BINARY, any number for MULTI_SZ.
bool value_count_fits(uint32_t type, size_t count);

// Why encode_value refused the texts, and what the type expects, as a message.
std::string value_refusal(uint32_t type, const std::vector<const char *> &items);

// The value's data as the store takes it, from its texts; false for bad text.
bool encode_value(uint32_t type, const std::vector<const char *> &items, std::string *data);

// The value's text as the configuration file writes it; one text per string list item.
std::vector<std::string> value_items(uint32_t type, const char *data, uint32_t size);

// ---- Key paths and walks over the store (zconf_keys.cpp) ------------------------------

// Splits KEY at "\" and "/" (runs of them count as one); a leading "HZCONF_ROOT" names
// the root.
key_path parse_key(const char *text);

// The first `depth` names of path joined by "\", or "\" for the root.
std::string key_text(const key_path &path, size_t depth);

// The whole path joined by "\", or "\" for the root.
std::string key_text(const key_path &path);

// The path with one more name below it.
key_path child_path(const key_path &path, const std::string &name);

// The i-th name of path as the library is to read it.
std::string api_name(const key_path &path, size_t i);

// Whether a key of this name can be opened by it (not empty, no separator).
bool openable(const std::string &name);

// Ends the handles of a walk (all of this thread's); the root's handle is never closed.
void release(ZConfKeyHandle handle);

// Opens the key of the first `depth` names of path, one name at a time; the handles
// stay open until release().
int32_t open_key(const key_path &path, size_t depth, ZConfKeyHandle *handle);

// Opens the key at path, making the missing keys; *created is the depth of the first
// key made (path.size() when none was).
int32_t create_key(const key_path &path, bool is_volatile, ZConfKeyHandle *handle, size_t *created);

// Appends the names of the key's subkeys, in the store's order.
int32_t subkey_names(ZConfKeyHandle handle, std::vector<std::string> *names);

// Removes the key at path (not the root) with its whole subtree, deepest keys first.
int32_t remove_tree(const key_path &path);

// Whether every key below path opens by its name; *unreachable names the first that
// does not.
int32_t check_reachable(const key_path &path, std::string *unreachable);

// ---- Commands (zconf_commands.cpp) ----------------------------------------------------

// The handlers of the command table: each runs its command on checked arguments and
// returns the exit status after its output or its message.
int run_ls(const invocation &call);
int run_tree(const invocation &call);
int run_get(const invocation &call);
int run_set(const invocation &call);
int run_rm(const invocation &call);
int run_mkkey(const invocation &call);
int run_rmkey(const invocation &call);
int run_watch(const invocation &call);
int run_help(const invocation &call);
// Prints the subtree of the key at path as tree --json does, its "key" being `shown`;
// *empty tells whether the key holds nothing. kOk, or the status after a message.
int print_json_tree(const key_path &path, const std::string &shown, FILE *to, bool *empty);

// ---- Commands on whole files (zconf_file_commands.cpp) ---------------------------------

// check [FILE]: whether the file loads, and if not where and why.
int run_check(const invocation &call);
// export [KEY] [FILE]: the key's subtree as a document, to FILE or the standard output.
int run_export(const invocation &call);
// import [KEY] FILE: merges the document of FILE ("-": the standard input) under KEY.
int run_import(const invocation &call);
// The arguments of a command that takes file names and key paths as they are: kOk.
int check_file_arguments(const command &c, invocation *call);
// Before a command uses the store: kOk when the configuration file loaded (or there is
// none), else kFailed after a line saying where and why it was refused.
int check_load_status();

// ---- Batches of changes (zconf_batch.cpp) ----------------------------------------------

// batch [FILE]: runs the set, rm, mkkey and rmkey lines of FILE (absent or "-": the
// standard input) on one store; a failing line fails the run and nothing is saved.
int run_batch(const invocation &call);
// Reads and checks every line of the batch before the library is loaded; kOk, or the
// failing line's status after its message.
int check_batch_arguments(const command &c, invocation *call);
// What every message shows after "zconf: " (the batch line at hand, "FILE:LINE: "), or
// empty.
extern std::string message_place;

// ---- Output for scripts (zconf_format.cpp) ---------------------------------------------

// The text with backslash, TAB, newline and CR as \\, \t, \n, \r and every other
// control byte as \xHH (two capital hexadecimal digits); other bytes as they are.
std::string escape_text(const std::string &text);

// The text as a JSON string: valid UTF-8 sequences as they are, every other byte
// (control bytes, bytes of no valid UTF-8 sequence) as \u00XX.
std::string json_string(const std::string &text);

// value_items, with the number of an integer in decimal when `decimal` is set.
std::vector<std::string> shown_items(uint32_t type, const char *data, uint32_t size, bool decimal);

// "NAME<TAB>TYPE[<TAB>TEXT]...", name and texts escaped: a value's line in ls and tree.
std::string value_line(const std::string &name, uint32_t type, const std::string &data,
                       bool decimal);

// {"name":NAME,"type":TYPE,"data":DATA}: DATA null for NONE, a number for an integer,
// an array of strings for MULTI_SZ, a string of hexadecimal pairs for BINARY.
std::string json_value(const std::string &name, uint32_t type, const std::string &data);

// ---- Output and messages (zconf_output.cpp) -------------------------------------------

// The tool's own output: the standard output the tool was started with.
extern FILE *out;

// Keeps the standard output for the tool and points descriptor 1, where the library
// prints, at the standard error; false when there is no standard output.
bool separate_outputs();

// Prints "zconf: " and the message as one line on the standard error; returns status.
__attribute__((format(printf, 2, 3))) int fail(int status, const char *format, ...);

// One line naming `what` and what the failed library call's result means.
int fail_call(int32_t rc, const std::string &what);

// One line for a failed call on the key at path ("no such key" for -2).
int fail_key(int32_t rc, const key_path &path);

// One line for a failed call on a value of the key at path ("no such value" for -2).
int fail_value(int32_t rc, const key_path &path, const char *name);

// Prints the tool's help on the tool's output.
void print_tool_help();

// Prints the help of one command on the tool's output.
void print_command_help(const command &c);

} // namespace zconf
