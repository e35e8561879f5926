// zconf's key paths: KEY as the command line gives it, as messages name it, and the
// walks that open, make and remove keys in the store one name at a time.
#include "zconf_tool.h"

#include <cstring>
#include <strings.h>

namespace zconf {

namespace {

bool is_separator(char c) { return c == '\\' || c == '/'; }

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

// The names of the subkeys of the key at path.
int32_t subkeys_at(const key_path &path, std::vector<std::string> *names) {
    ZConfKeyHandle handle;
    int32_t rc = open_key(path, path.size(), &handle);
    if (rc == 0)
        rc = subkey_names(handle, names);
    release(handle);
    return rc;
}

} // namespace

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

key_path child_path(const key_path &path, const std::string &name) {
    key_path child = path;
    child.push_back(name);
    return child;
}

// At the top a name equal to the root's alias would name the root itself, so it goes
// behind the alias.
std::string api_name(const key_path &path, size_t i) {
    if (i == 0 && strcasecmp(path[0].c_str(), "HZCONF_ROOT") == 0)
        return "HZCONF_ROOT\\" + path[0];
    return path[i];
}

bool openable(const std::string &name) {
    return !name.empty() && name.find_first_of("\\/") == std::string::npos;
}

// A successful close ends every handle of the calling thread, so one close releases all
// the handles of a walk.
void release(ZConfKeyHandle handle) {
    if (handle > 0)
        api.close_key(handle);
}

int32_t open_key(const key_path &path, size_t depth, ZConfKeyHandle *handle) {
    return walk_key(path, depth, handle);
}

int32_t create_key(const key_path &path, bool is_volatile, ZConfKeyHandle *handle,
                   size_t *created) {
    return walk_key(path, path.size(), handle, true, is_volatile, created);
}

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

// The store is this process's own: it reaches the file only through the save after a
// successful command, so a removal that stops halfway leaves the file whole.
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

// Checked before a recursive removal begins, so that it does not stop halfway.
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

} // namespace zconf
