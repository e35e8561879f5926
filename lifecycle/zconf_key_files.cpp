// A key's subtree in a file of its own: ZConfSaveKey writes it as a document of the
// configuration format, as crash-safely as SaveXMLFile writes the store, and
// ZConfRestoreKey merges such a document back under a key, whole or not at all.
#include "api/zconf_api.h"
#include "api/zconf_journal.h"
#include "dovizuz.h"
#include "lifecycle/dovizuz_lifecycle.h"
#include "lifecycle/zconf_file.h"
#include "lifecycle/zconf_load_status.h"
#include "tree/zconf_int.h"
#include "xml/zconf_xml_dec.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Copies the key with its values and its keys that are not volatile under parent;
// false when a node could not be made (what was made stays under parent).
bool copy_key(zconf_key *key, zconf_key *parent) {
    zconf_key *copy = __zconf_create_key(key->name, 0);
    if (copy == nullptr)
        return false;
    __zconf_add_subkey(parent, copy);
    for (zconf_list *v = key->values.next; v != &key->values; v = v->next) {
        zconf_value *value = zconf_value_of(v);
        zconf_value *made = __zconf_create_value(value->name, zconf_value_type(value),
                                                 zconf_value_data(value), zconf_value_len(value));
        if (made == nullptr)
            return false;
        __zconf_add_value(copy, made);
    }
    for (zconf_list *k = key->subkeys.next; k != &key->subkeys; k = k->next) {
        zconf_key *sub = zconf_key_of(k);
        if ((sub->flags & ZCONF_FLAG_VOLATILE) == 0 && !copy_key(sub, copy))
            return false;
    }
    return true;
}

// A new root holding what a document of the key holds: the key itself (the root's
// subkeys for the root); NULL for no memory.
zconf_key *document_tree(zconf_key *key) {
    zconf_key *root = __zconf_create_root();
    if (root == nullptr)
        return nullptr;
    bool made = true;
    if (key->parent != nullptr) {
        if ((key->flags & ZCONF_FLAG_VOLATILE) == 0)
            made = copy_key(key, root);
    } else {
        for (zconf_list *k = key->subkeys.next; made && k != &key->subkeys; k = k->next) {
            zconf_key *sub = zconf_key_of(k);
            if ((sub->flags & ZCONF_FLAG_VOLATILE) == 0)
                made = copy_key(sub, root);
        }
    }
    if (!made) {
        __zconf_del_tree(root);
        return nullptr;
    }
    return root;
}

// Reads the whole file at path into a new heap block (*text, freed by the caller, of
// *length bytes) without blocking on anything but a regular file: 0, -22 for something
// else than a regular file, or the negative errno of the file.
int32_t read_file(const char *path, char **text, uint32_t *length) {
    errno = 0;
    FILE *file = zconf_file_open_for_load(path);
    if (file == nullptr)
        return errno == 0 ? ZCONF_ERR_INVAL : -errno;
    int32_t rc = zconf_file_read_stream(file, text, length);
    fclose(file);
    return rc;
}

// Records as this process's changes every key and value of the parsed tree, as they now
// stand under the live key it was merged into.
void record_restored(zconf_key *live, zconf_key *parsed) {
    for (zconf_list *v = parsed->values.next; v != &parsed->values; v = v->next)
        zconf_journal_record(ZCONF_CHANGE_SET_VALUE, live, zconf_value_of(v)->name);
    for (zconf_list *k = parsed->subkeys.next; k != &parsed->subkeys; k = k->next) {
        zconf_key *sub = zconf_key_of(k);
        zconf_key *match = __zconf_find_subkey(live, sub->name);
        if (match == nullptr)
            continue;
        zconf_journal_record(ZCONF_CHANGE_CREATE_KEY, match, nullptr);
        record_restored(match, sub);
    }
}

// The key of the handle, locked, with the write bit when `write`; else the result after
// unlocking.
int32_t locked_key(int32_t connection, ZConfKeyHandle hKey, bool write, zconf_key **key) {
    if (connection < 0)
        return ZCONF_ERR_INVAL;
    if (zconf_lock() != 0)
        return ZCONF_ERR_BUSY;
    int32_t rc = __ZConfGetKey(connection, hKey, key);
    if (rc != 0)
        return rc;
    if (write && (conn_handles[connection].slots[hKey].mode & ZCONF_KEY_WRITE) == 0) {
        zconf_unlock();
        return ZCONF_ERR_ACCES;
    }
    return 0;
}

} // namespace

extern "C" {

int32_t ZConfSaveKey(ZConfKeyHandle hKey, const char *path) {
    if (path == nullptr || path[0] == 0 || strlen(path) >= ZCONF_FILE_PATH_BUFFER)
        return ZCONF_ERR_INVAL;
    zconf_key *key;
    int32_t rc = locked_key(FindhConn(), hKey, false, &key);
    if (rc != 0)
        return rc;
    zconf_key *root = document_tree(key);
    if (root == nullptr) {
        zconf_unlock();
        return ZCONF_ERR_NOMEM;
    }
    int error = 0;
    rc = zconf_save_tree_to(root, path, "ZConfSaveKey", &error);
    if (rc == 2)
        rc = error != 0 ? -error : -EIO;
    __zconf_del_tree(root);
    zconf_unlock();
    return rc;
}

int32_t ZConfRestoreKey(ZConfKeyHandle hKey, const char *path) {
    if (path == nullptr)
        return ZCONF_ERR_INVAL;
    // Nodes are made under the API mutex, like every node of the process.
    zconf_key *key;
    int32_t rc = locked_key(FindhConn(), hKey, true, &key);
    if (rc != 0)
        return rc;
    // One reading of the file, parsed twice: once to merge, once to know afterwards what
    // the merge brought.
    zconf_key *parsed = nullptr, *record = nullptr;
    char *text = nullptr;
    uint32_t length = 0;
    if ((key->flags & ZCONF_FLAG_DELETE_PENDING) != 0)
        rc = ZCONF_ERR_IDRM;
    if (rc == 0)
        rc = read_file(path, &text, &length);
    if (rc == 0)
        rc = zconf_parse_text(text, length, &parsed);
    if (rc == 0)
        rc = zconf_parse_text(text, length, &record);
    free(text);
    if (rc == 0) {
        __zconf_merge_trees(key, parsed);
        if ((key->flags & ZCONF_FLAG_VOLATILE) == 0)
            record_restored(key, record);
    } else if (parsed != nullptr) {
        __zconf_del_tree(parsed);
    }
    if (record != nullptr)
        __zconf_del_tree(record);
    zconf_unlock();
    return rc;
}

} // extern "C"
