// zconf's arguments: the command table, the options, and the checks every argument
// passes before the library is loaded.
#include "zconf_tool.h"

#include <cstring>

namespace zconf {

namespace {

// No upper bound on a command's arguments.
constexpr size_t kAny = ~size_t{0};

// An option as the command line spells it, and its bit.
struct option {
    const char *text;
    unsigned flag;
};

// The options of the tool; "--" ends them.
constexpr option kOptions[] = {
    {"--no-save", kOptionNoSave},    {"-h", kOptionHelp},
    {"--help", kOptionHelp},         {"-r", kOptionRecursive},
    {"--volatile", kOptionVolatile}, {"--version", kOptionVersion},
    {"-d", kOptionDecimal},          {"--decimal", kOptionDecimal},
    {"--json", kOptionJson},
};

// The options every command takes.
constexpr unsigned kCommonOptions = kOptionNoSave | kOptionHelp;

// A name the store can hold (at most 255 bytes); kUsage after a message otherwise.
int check_name(const char *name, const char *what) {
    if (strlen(name) > ZCONF_MAX_NAME)
        return fail(kUsage, "%s name too long (%zu bytes; at most %d): %.40s...", what,
                    strlen(name), ZCONF_MAX_NAME, name);
    return kOk;
}

// A KEY the store can reach; `root_refused` says why the command cannot take the root
// (NULL when it can). kUsage after a message otherwise.
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

// The arguments of a command whose first argument is KEY and whose second, when given,
// is a value's NAME.
int check_key_arguments(const command &c, invocation *call) {
    if (call->args.empty())
        return kOk;
    if (check_key(call->args[0], c.root_refused) != kOk)
        return kUsage;
    if (call->args.size() > 1)
        return check_name(call->args[1], "value");
    return kOk;
}

// The arguments of `set`: KEY NAME TYPE [VALUE...], which make call->value.
int check_set_arguments(const command &c, invocation *call) {
    const std::vector<const char *> &args = call->args;
    new_value *value = &call->value;
    if (check_key(args[0], c.root_refused) != kOk || check_name(args[1], "value") != kOk)
        return kUsage;
    int32_t type = parse_type(args[2]);
    if (type < 0)
        return fail(kUsage, "unknown type '%s' (see zconf help set)", args[2]);
    value->key = parse_key(args[0]);
    value->name = args[1];
    value->type = static_cast<uint32_t>(type);
    std::vector<const char *> items(args.begin() + 3, args.end());
    std::string type_text = type_name(value->type);
    if (!value_count_fits(value->type, items.size()))
        return fail(kUsage, "a %s value takes %s", type_text.c_str(),
                    type == ZCONF_VALUE_NONE     ? "no text"
                    : type == ZCONF_VALUE_BINARY ? "hexadecimal pairs"
                                                 : "exactly one text");
    if (!encode_value(value->type, items, &value->data))
        return fail(kUsage, "%s", value_refusal(value->type, items).c_str());
    size_t stored = strlen(value->name) + value->data.size();
    if (stored > kMaxValueBytes)
        return fail(kUsage, "%s: value too large (name and data take %zu bytes; at most %zu)",
                    value->name, stored, kMaxValueBytes);
    return kOk;
}

// The argument of `help`, when given, names a command.
int check_help_arguments(const command &, invocation *call) {
    if (!call->args.empty() && find_command(call->args[0]) == nullptr)
        return fail(kUsage, "unknown command '%s' (see zconf --help)", call->args[0]);
    return kOk;
}

// The name of the first command that takes the option, for a message.
const char *option_owner(unsigned flag) {
    for (size_t i = 0; i < kCommandCount; i++)
        if ((kCommands[i].options & flag) != 0)
            return kCommands[i].name;
    return "";
}

} // namespace

// Each row: name, handler, argument check, fewest and most arguments, options of its
// own, why KEY cannot be the root (NULL when it can), what it does with the store, usage
// and help.
const command kCommands[] = {
    {"ls", run_ls, check_key_arguments, 0, 1, kOptionDecimal | kOptionJson, nullptr, kReadsStore,
     "ls [KEY]",
     "Lists the subkeys of KEY (the root when KEY is absent or empty), one \"NAME/\" line\n"
     "each, then its values, one \"NAME<TAB>TYPE<TAB>TEXT\" line each, names and texts\n"
     "escaped as in C. -d: integers in decimal; --json: one JSON object (zconf --help).\n"},
    {"tree", run_tree, check_key_arguments, 0, 1, kOptionDecimal | kOptionJson, nullptr,
     kReadsStore, "tree [KEY]",
     "Prints the whole subtree of KEY (the root when absent or empty): the key's values\n"
     "as `ls` prints them, then each subkey as a \"NAME/\" line followed by its own\n"
     "content, indented two spaces further. -d: integers in decimal; --json: one JSON\n"
     "object (zconf --help). A key with nothing in it is said so on standard error.\n"},
    {"get", run_get, check_key_arguments, 2, 2, kOptionDecimal | kOptionJson, nullptr, kReadsStore,
     "get KEY NAME",
     "Prints the text of value NAME of KEY: one line, none for a NONE value, one line\n"
     "per item for a MULTI_SZ value. -d: an integer in decimal; --json: one JSON object\n"
     "of the value's name, type and data (zconf --help).\n"},
    {"set", run_set, check_set_arguments, 3, kAny, 0, "values cannot be set on the root key",
     kChangesStore, "set KEY NAME TYPE [VALUE...]",
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
    {"rm", run_rm, check_key_arguments, 2, 2, 0, nullptr, kChangesStore, "rm KEY NAME",
     "Removes value NAME of KEY.\n"},
    {"mkkey", run_mkkey, check_key_arguments, 1, 1, kOptionVolatile, "the root key always exists",
     kChangesStore, "mkkey [--volatile] KEY",
     "Creates KEY and the keys above it when missing; an existing key is left as it is.\n"
     "With --volatile the keys created are volatile: the file never holds them, so they\n"
     "last only while this command runs.\n"},
    {"rmkey", run_rmkey, check_key_arguments, 1, 1, kOptionRecursive,
     "the root key cannot be removed", kChangesStore, "rmkey [-r] KEY",
     "Removes KEY with its values. A key with subkeys is refused unless -r is given,\n"
     "which removes the whole subtree, deepest keys first.\n"},
    {"check", run_check, check_file_arguments, 0, 1, 0, nullptr, kNoStore, "check [FILE]",
     "Tells whether FILE (the configuration file when absent) loads: \"FILE: ok, N keys,\n"
     "M values\", or \"FILE:LINE:COLUMN: reason\" and exit status 3 for a file the\n"
     "library refuses. The store is not loaded and nothing is changed.\n"},
    {"export", run_export, check_file_arguments, 0, 2, kOptionJson, nullptr, kReadsStore,
     "export [KEY] [FILE]",
     "Writes KEY (the root when absent or empty) with its values and subkeys, volatile\n"
     "keys left out, as a document of the configuration file's format whose root holds\n"
     "the key, to FILE (replaced whole) or to the standard output (absent or \"-\").\n"
     "With --json, the subtree as tree --json prints it instead (FILE written in place).\n"},
    {"import", run_import, check_file_arguments, 1, 2, 0, nullptr, kChangesStore,
     "import [KEY] FILE",
     "Merges the document in FILE (\"-\": the standard input) under KEY (the root when\n"
     "absent), creating KEY when missing: the keys the document's root holds become\n"
     "subkeys of KEY, values replacing values of the same name. A document the library\n"
     "refuses changes nothing (exit status 3, with where and why).\n"},
    {"batch", run_batch, check_batch_arguments, 0, 1, 0, nullptr, kChangesStore, "batch [FILE]",
     "Runs the set, rm, mkkey and rmkey lines of FILE (the standard input when absent or\n"
     "\"-\") on one load of the store and saves them with one write of the file. Each\n"
     "line is one command with its options and arguments, words quoted as the shell\n"
     "quotes them ('single', \"double\" with \\\" \\\\ \\$ \\` escapes, a backslash\n"
     "outside quotes); blank lines and lines whose first word starts with # are skipped.\n"
     "A line that fails saves nothing: \"zconf: FILE:LINE: \" and its message, and the\n"
     "exit status that command has.\n"},
    {"watch", run_watch, check_key_arguments, 0, 1, 0, nullptr, kReadsStore, "watch [KEY]",
     "Prints, as they happen, the values below KEY (the root when absent or empty) that\n"
     "other processes add, change or remove in the file: the value's path below KEY,\n"
     "then its type and text as ls prints them (\"NAME<TAB>REMOVED\" for a value\n"
     "removed), one line each, until SIGINT or SIGTERM (exit 0).\n"},
    {"help", run_help, check_help_arguments, 0, 1, 0, nullptr, kNoStore, "help [COMMAND]",
     "Prints the help of the tool or of COMMAND.\n"},
};

const size_t kCommandCount = sizeof kCommands / sizeof kCommands[0];

const command *find_command(const char *name) {
    for (const command &c : kCommands)
        if (strcmp(c.name, name) == 0)
            return &c;
    return nullptr;
}

// Options stand before the command or between it and its first operand: from that
// operand on, and after "--", every argument is an operand whatever it looks like, so
// that a value such as "-h" or "--no-save" is stored rather than obeyed.
int parse_arguments(int argc, char **argv, invocation *call, std::vector<const char *> *words) {
    bool options = true;
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (words->size() >= 2)
            options = false;
        if (!options || arg[0] != '-' || arg[1] == 0) {
            words->push_back(arg);
            continue;
        }
        if (strcmp(arg, "--") == 0) {
            options = false;
            continue;
        }
        unsigned flag = 0;
        for (const option &o : kOptions)
            if (strcmp(arg, o.text) == 0)
                flag = o.flag;
        if (flag == 0)
            return fail(kUsage, "unknown option '%s' (see zconf --help)", arg);
        call->options |= flag;
    }
    return kOk;
}

int check_arguments(const command &c, invocation *call) {
    if (call->args.size() < c.min_args || call->args.size() > c.max_args)
        return fail(kUsage, "usage: zconf %s", c.usage);
    unsigned foreign = call->options & ~(kCommonOptions | c.options);
    for (const option &o : kOptions)
        if ((foreign & o.flag) != 0)
            return fail(kUsage, "%s belongs to %s only", o.text, option_owner(o.flag));
    return c.check(c, call);
}

} // namespace zconf
