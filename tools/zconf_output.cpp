// zconf's output and messages: the tool's own standard output kept apart from the
// library's, the one-line error messages and the help texts.
#include "zconf_tool.h"

#include <cstdarg>
#include <unistd.h>

namespace zconf {

FILE *out;
std::string message_place;

namespace {

// The results the store itself gives, whose words need no number beside them; the
// others are a system call's errno, shown with its number too.
constexpr int32_t kStoreResults[] = {ZCONF_ERR_NOENT,    ZCONF_ERR_ACCES, ZCONF_ERR_NOMEM,
                                     ZCONF_ERR_NOTEMPTY, ZCONF_ERR_IDRM,  ZCONF_ERR_BUSY,
                                     ZCONF_ERR_INVAL};

// A value as messages name it.
std::string value_text(const key_path &path, const char *name) {
    return key_text(path) + ": value '" + name + "'";
}

} // namespace

// Descriptor 1 goes nowhere when there is no standard error.
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

// The library's lines printed so far go first, so that the lines keep their order.
int fail(int status, const char *format, ...) {
    fflush(stdout);
    va_list args;
    va_start(args, format);
    fputs("zconf: ", stderr);
    fputs(message_place.c_str(), stderr);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
    return status;
}

int fail_call(int32_t rc, const std::string &what) {
    int status = rc == ZCONF_ERR_NOENT ? kNotFound : kFailed;
    const char *hint = rc == ZCONF_ERR_NOTEMPTY ? " (rmkey -r removes them too)" : "";
    for (int32_t known : kStoreResults)
        if (known == rc)
            return fail(status, "%s: %s%s", what.c_str(), api.error_text(rc), hint);
    return fail(status, "%s: %s (error %d)", what.c_str(), api.error_text(rc), rc);
}

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

void print_tool_help() {
    fputs("Usage: zconf [--no-save] COMMAND [ARGS...]\n"
          "       zconf --version\n"
          "Reads and changes the configuration store kept in /etc/zconfig.xml.\n\nCommands:\n",
          out);
    for (size_t i = 0; i < kCommandCount; i++)
        fprintf(out, "  zconf %s\n", kCommands[i].usage);
    fputs("\nKEY names keys from the root down, separated by \"\\\" or \"/\"; an empty KEY is\n"
          "the root. Names ignore letter case and take at most 255 bytes.\n"
          "Options, before the command or between it and its first operand; from that\n"
          "operand on, every argument is an operand, whatever it looks like:\n"
          "  --no-save   change the store of this run only; the file stays as it is\n"
          "  -h, --help  print help (of the command, when one is given)\n"
          "  --version   print the versions of the tool and the library (no command)\n"
          "  --          no options after it (for a KEY that begins with -)\n"
          "  -d, --decimal  (ls, tree, get) integers in decimal\n"
          "  --json      (ls, tree, get, export) one JSON object instead of lines or XML\n"
          "Output, on standard output only (the library's messages go to standard error):\n"
          "  ls          \"NAME/\" per subkey (in name order), then \"NAME<TAB>TYPE<TAB>TEXT\"\n"
          "              per value (in the order set): a TAB and a TEXT per item for\n"
          "              MULTI_SZ, no TEXT for NONE. Names and TEXTs are escaped as in C:\n"
          "              \\\\ for a backslash, \\t TAB, \\n newline, \\r carriage return,\n"
          "              \\xHH (two capital hexadecimal digits) for the other bytes below\n"
          "              0x20 and 0x7F; other bytes as they are. One entry, one line.\n"
          "  tree        a key's values as ls prints them, then per subkey \"NAME/\" and its\n"
          "              own content two spaces further in; for a key with nothing in it,\n"
          "              no output and a line on standard error\n"
          "  get         the TEXT alone, unescaped, one line per MULTI_SZ item, none for NONE\n"
          "  --json      get: {\"name\":NAME,\"type\":TYPE,\"data\":DATA}, DATA a number for\n"
          "              integers, a string of hexadecimal pairs for BINARY, an array of\n"
          "              strings for MULTI_SZ, null for NONE; ls: {\"key\":KEY,\"subkeys\":\n"
          "              [NAME...],\"values\":[VALUE...]}; tree: {\"key\":KEY,\"values\":[...],\n"
          "              \"subkeys\":[{\"name\":NAME,\"values\":[...],\"subkeys\":[...]}...]};\n"
          "              export: as tree.\n"
          "              Strings keep valid UTF-8 as it is; a byte of no valid UTF-8\n"
          "              sequence is \\u00XX, the character of the byte's number\n"
          "  TYPE        NONE, BINARY, SZ, MULTI_SZ, DWORD, DWORD_LE, DWORD_BE, QWORD,\n"
          "              QWORD_LE, QWORD_BE\n"
          "  TEXT        as in the file: integers 0x and 8 or 16 hexadecimal digits, binary\n"
          "              data hexadecimal pairs, strings as they are\n"
          "A command that changes the store writes its own change into the file as the\n"
          "file is then (ZConfFlushKey), so runs at once and programs that flush keep each\n"
          "other's changes; a command that fails changes and writes nothing. On a file the\n"
          "library refused, every command but check and help says why and exits 3, and\n"
          "nothing is written over it. A run that finds the file's lock\n"
          "(/etc/zconfig.xml.lock) held by another process for 10 s exits 3.\n"
          "Exit status: 0 done, 1 key or value not found, 2 bad usage (command, arguments,\n"
          "type or value text), 3 other failures (access refused, store full, key not\n"
          "empty, library missing, save failed, file locked by another process, file\n"
          "refused).\n"
          "Run \"zconf help COMMAND\" for the help of one command.\n",
          out);
}

void print_command_help(const command &c) {
    fprintf(out, "Usage: zconf [--no-save] %s\n%s", c.usage, c.help);
}

} // namespace zconf
