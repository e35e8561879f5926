// The outcome of the start-up load kept for ZConfQueryLoadStatus, and ZConfCheckXMLFile,
// which decodes a file into a tree of its own to tell whether and why it would be refused.
#include "lifecycle/zconf_load_status.h"

#include "api/zconf_api.h"
#include "dovizuz.h"
#include "lifecycle/zconf_file.h"
#include "tree/zconf_int.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

namespace {

enum : uint32_t {
    STATUS_TEXT = XML_REFUSAL_TEXT + 32, // "LINE:COLUMN: " and the reason
};

// The load's outcome: 0 loaded, -2 no file, else the code of the refusal or of the open.
int32_t load_code = ZCONF_ERR_NOENT;
char load_text[STATUS_TEXT];

// Copies text into the caller's buffer as ZConfEnumKey copies a name: as strncpy does.
void give_text(const char *text, char *buffer, uint32_t size) {
    if (buffer != nullptr && size != 0)
        strncpy(buffer, text, size);
}

// The code and text of a path that does not open as a regular file, errno telling why.
int32_t open_failure(const char *path, char *text, uint32_t size) {
    int error = errno;
    struct stat st;
    if (stat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
        snprintf(text, size, "not a regular file");
        return ZCONF_ERR_INVAL;
    }
    if (error == 0)
        error = EACCES;
    snprintf(text, size, "%s", error == ENOENT ? "" : strerror(error));
    return -error;
}

// "LINE:COLUMN: reason" of a refusal, the place counted by `place`.
void put_refusal(char *text, uint32_t line, uint32_t column, const xml_refusal *outcome) {
    snprintf(text, STATUS_TEXT, "%u:%u: %s", line, column, outcome->text);
}

// Counts the keys below root and the values of all keys.
void count_tree(zconf_key *key, uint32_t *keys, uint32_t *values) {
    for (zconf_list *v = key->values.next; v != &key->values; v = v->next)
        (*values)++;
    for (zconf_list *k = key->subkeys.next; k != &key->subkeys; k = k->next) {
        (*keys)++;
        count_tree(zconf_key_of(k), keys, values);
    }
}

} // namespace

void zconf_text_place(const char *text, uint32_t length, uint32_t offset, uint32_t *line,
                      uint32_t *column) {
    uint32_t n = 1, line_start = 0;
    for (uint32_t i = 0; i < offset && i < length; i++) {
        if (text[i] == '\n') {
            n++;
            line_start = i + 1;
        }
    }
    *line = n;
    *column = offset - line_start + 1;
}

void zconf_load_status_no_file(const char *path) {
    load_code = open_failure(path, load_text, sizeof load_text);
}

void zconf_load_status_loaded(FILE *file, const xml_refusal *outcome) {
    load_text[0] = 0;
    load_code = outcome->code;
    // An empty file holds an empty store.
    if (outcome->code == 0 || (outcome->reason == XML_REFUSED_NO_ROOT && outcome->offset == 0)) {
        load_code = 0;
        return;
    }
    uint32_t line = 1, column = 1, at = 0;
    char piece[8192];
    size_t n;
    rewind(file);
    while (at < outcome->offset && (n = fread(piece, 1, sizeof piece, file)) > 0) {
        for (size_t i = 0; i < n && at < outcome->offset; i++, at++) {
            column++;
            if (piece[i] == '\n') {
                line++;
                column = 1;
            }
        }
    }
    put_refusal(load_text, line, column, outcome);
}

int32_t ZConfQueryLoadStatus(char *text, uint32_t size) {
    give_text(load_text, text, size);
    return load_code;
}

int32_t ZConfCheckXMLFile(const char *path, char *text, uint32_t size) {
    char result[STATUS_TEXT];
    if (path == nullptr) {
        give_text("", text, size);
        return ZCONF_ERR_INVAL;
    }
    errno = 0;
    FILE *file = zconf_file_open_for_load(path);
    if (file == nullptr) {
        int32_t rc = open_failure(path, result, sizeof result);
        give_text(rc == ZCONF_ERR_NOENT ? "no such file" : result, text, size);
        return rc;
    }
    char *data = nullptr;
    uint32_t length = 0;
    int32_t rc = zconf_file_read_stream(file, &data, &length);
    fclose(file);
    if (rc != 0) {
        give_text(strerror(-rc), text, size);
        return rc;
    }
    uint32_t keys = 0, values = 0;
    if (length != 0) { // an empty file holds an empty store
        zconf_key *root = nullptr;
        xml_refusal outcome;
        // Nodes are made under the API mutex, like every node of the process.
        if (zconf_lock() != 0) {
            free(data);
            give_text(strerror(EBUSY), text, size);
            return ZCONF_ERR_BUSY;
        }
        rc = zconf_xml_parse_document_why(data, length, &root, &outcome);
        if (rc == 0) {
            count_tree(root, &keys, &values);
            __zconf_del_tree(root);
        }
        zconf_unlock();
        if (rc != 0) {
            uint32_t line, column;
            zconf_text_place(data, length, outcome.offset, &line, &column);
            put_refusal(result, line, column, &outcome);
            free(data);
            give_text(result, text, size);
            return rc;
        }
    }
    free(data);
    snprintf(result, sizeof result, "%u keys, %u values", keys, values);
    give_text(result, text, size);
    return 0;
}

int32_t zconf_file_read_stream(FILE *file, char **text, uint32_t *length) {
    char *data = nullptr;
    size_t used = 0, capacity = 0;
    for (;;) {
        if (used == capacity) {
            capacity = capacity == 0 ? 65536 : capacity * 2;
            char *grown = static_cast<char *>(realloc(data, capacity));
            if (grown == nullptr) {
                free(data);
                return ZCONF_ERR_NOMEM;
            }
            data = grown;
        }
        size_t n = fread(data + used, 1, capacity - used, file);
        used += n;
        if (n == 0)
            break;
    }
    if (ferror(file) || used > UINT32_MAX) {
        free(data);
        return ferror(file) ? -EIO : -EFBIG;
    }
    *text = data;
    *length = static_cast<uint32_t>(used);
    return 0;
}

int32_t zconf_parse_text(const char *text, uint32_t length, zconf_key **root) {
    if (length != 0)
        return zconf_xml_parse_document(text, length, root);
    *root = __zconf_create_root();
    return *root == nullptr ? ZCONF_ERR_NOMEM : 0;
}

int32_t zconf_parse_stream(FILE *file, zconf_key **root) {
    *root = nullptr;
    char *text = nullptr;
    uint32_t length = 0;
    int32_t rc = zconf_file_read_stream(file, &text, &length);
    if (rc == 0)
        rc = zconf_parse_text(text, length, root);
    free(text);
    return rc;
}
