// Words for the results of the library's calls: a short static text per result code.
#include "dovizuz.h"

#include <cstring>

namespace {

// A result and its words.
struct result_text {
    int32_t rc;
    const char *text;
};

// The results the calls return by name; other negative results are errno numbers of
// the file's system calls, worded by the C library.
constexpr result_text kTexts[] = {
    {ZCONF_OK, "success"},
    {2, "the configuration file could not be written"},
    {ZCONF_ERR_NOENT, "not found"},
    {ZCONF_ERR_BADF, "bad key handle, or no connection for this thread"},
    {ZCONF_ERR_AGAIN, "file locked by another process"},
    {ZCONF_ERR_NOMEM, "out of memory, or no room in the store"},
    {ZCONF_ERR_ACCES, "access denied"},
    {ZCONF_ERR_FAULT, "bad address"},
    {ZCONF_ERR_BUSY, "store busy"},
    {ZCONF_ERR_INVAL, "invalid argument"},
    {ZCONF_ERR_NOTEMPTY, "key not empty: it has subkeys"},
    {ZCONF_ERR_IDRM, "key is being deleted"},
    {ZCONF_ERR_BADMSG, "not a document the library loads"},
    {ZCONF_ERR_OVERFLOW, "tag too long"},
};

} // namespace

const char *ZConfErrorText(int32_t rc) {
    for (const result_text &t : kTexts)
        if (t.rc == rc)
            return t.text;
    // strerrordesc_np, unlike strerror, gives a static text whatever the locale or thread.
    const char *system = rc < 0 && rc > -4096 ? strerrordesc_np(-rc) : nullptr;
    return system != nullptr ? system : "unknown result";
}
