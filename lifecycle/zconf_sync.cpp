// Keeping a process's store and the configuration file in step without writing the whole
// store: the flush writes this process's recorded changes into the file as it is now, the
// refresh brings the file's content into the store, and the change notification tells
// when the file was written.
#include "lifecycle/zconf_sync.h"
#include "api/zconf_api.h"
#include "api/zconf_journal.h"
#include "lifecycle/dovizuz_lifecycle.h"
#include "lifecycle/zconf_load_status.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr long kLockPollMs = 10;

// ---- The flush lock -----------------------------------------------------------------

// A lock for processes that do not share the named mutex: a flock() lock on a file beside
// the configuration file (its path with ".lock"), which stays there. Only those who may
// write the configuration file may open the lock file, so nobody who can merely read the
// configuration can hold up flushes. A lock file others could open, or one of an owner
// that cannot write the configuration, is not used: the flush then has the named mutex
// alone.
struct file_lock {
    int fd = -1;
};

constexpr char kLockSuffix[] = ".lock";
constexpr mode_t kOwnerAccess = S_IRUSR | S_IWUSR;
constexpr mode_t kGroupAccess = S_IRGRP | S_IWGRP;
constexpr mode_t kOtherAccess = S_IROTH | S_IWOTH;

// The lock file's path into out; false when it does not fit.
bool lock_path(char *out) {
    int n = snprintf(out, ZCONF_FILE_PATH_BUFFER, "%s%s", DovizuzFilePath, kLockSuffix);
    return n > 0 && n < static_cast<int>(ZCONF_FILE_PATH_BUFFER);
}

// The access a lock file gives: its owner's, and the group's and others' only where
// they may write the configuration file (config NULL: there is none).
mode_t lock_mode(const struct stat *config) {
    mode_t mode = kOwnerAccess;
    if (config != nullptr && (config->st_mode & S_IWGRP) != 0)
        mode |= kGroupAccess;
    if (config != nullptr && (config->st_mode & S_IWOTH) != 0)
        mode |= kOtherAccess;
    return mode;
}

// Whether everyone who may open the lock file may also write the configuration file.
bool lock_file_trusted(const struct stat *lock, const struct stat *config) {
    if (!S_ISREG(lock->st_mode) || lock->st_nlink != 1)
        return false;
    bool owner = lock->st_uid == 0 || lock->st_uid == geteuid() ||
                 (config != nullptr && lock->st_uid == config->st_uid);
    bool same_group = config != nullptr && lock->st_gid == config->st_gid;
    mode_t extra = lock->st_mode & 07777 & ~lock_mode(config);
    return owner && extra == 0 && ((lock->st_mode & kGroupAccess) == 0 || same_group);
}

// Gives a lock file just made the configuration file's owner and group (root only) and
// the access of lock_mode; where the group cannot be given, the owner's access alone.
void set_lock_attributes(int fd, const struct stat *config) {
    mode_t mode = lock_mode(config);
    if (config != nullptr &&
        fchown(fd, geteuid() == 0 ? config->st_uid : static_cast<uid_t>(-1), config->st_gid) != 0)
        mode = kOwnerAccess;
    fchmod(fd, mode);
}

// Opens the lock file, making it when there is none: its descriptor, or -1 when there is
// no lock file this process may use.
int open_lock_file(const char *path) {
    struct stat config_st;
    const struct stat *config = stat(DovizuzFilePath, &config_st) == 0 ? &config_st : nullptr;
    const int flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    int fd = open(path, flags | O_CREAT | O_EXCL, kOwnerAccess);
    if (fd >= 0)
        set_lock_attributes(fd, config);
    else if (errno == EEXIST)
        fd = open(path, flags);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !lock_file_trusted(&st, config))) {
        close(fd);
        fd = -1;
    }
    return fd;
}

// Takes the lock, waiting at most ZCONF_FILE_LOCK_WAIT_MS for another process to let it
// go: 0, also when there is no lock file to use; -11 (EAGAIN) when it stayed taken.
int32_t lock_config_file(file_lock *lock) {
    char path[ZCONF_FILE_PATH_BUFFER];
    int fd = lock_path(path) ? open_lock_file(path) : -1;
    if (fd < 0)
        return 0;
    const timespec pause = {0, kLockPollMs * 1000000};
    for (long waited = 0; flock(fd, LOCK_EX | LOCK_NB) != 0; waited += kLockPollMs) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            close(fd);
            return 0;
        }
        if (waited >= ZCONF_FILE_LOCK_WAIT_MS) {
            close(fd);
            return -EAGAIN;
        }
        nanosleep(&pause, nullptr);
    }
    lock->fd = fd;
    return 0;
}

// Lets the lock go.
void unlock_config_file(file_lock *lock) {
    if (lock->fd >= 0)
        close(lock->fd);
    lock->fd = -1;
}

// ---- The file as a tree --------------------------------------------------------------

// Reads and parses the file into a tree of its own: 0 with the root in *root (an empty
// root for a missing or empty file); -74 (EBADMSG) for a file that does not load, -22
// for something else than a regular file at the path, -12 for no memory, or the negative
// errno of a file that cannot be read.
int32_t read_file_tree(const char *caller, zconf_key **root) {
    *root = nullptr;
    struct stat st;
    bool found = stat(DovizuzFilePath, &st) == 0;
    bool missing = !found && errno == ENOENT;
    if (found && !S_ISREG(st.st_mode)) {
        printf("%s: %s is not a regular file\n", caller, DovizuzFilePath);
        return ZCONF_ERR_INVAL;
    }
    if (missing) {
        *root = __zconf_create_root();
        return *root == nullptr ? ZCONF_ERR_NOMEM : 0;
    }
    FILE *file = zconf_file_open_for_load(DovizuzFilePath);
    if (file == nullptr)
        return errno != 0 ? -errno : -EACCES;
    int32_t rc = zconf_parse_stream(file, root);
    fclose(file);
    if (rc == ZCONF_ERR_INVAL || rc == ZCONF_ERR_OVERFLOW) {
        printf("%s: %s does not load, error %d\n", caller, DovizuzFilePath, rc);
        rc = ZCONF_ERR_BADMSG;
    }
    return rc;
}

// The key of the tree below root at the live key's path (names matched by the tree's
// rule), or NULL when the tree has none.
zconf_key *same_key_in(zconf_key *root, const zconf_key *live) {
    if (live->parent == nullptr)
        return root;
    zconf_key *parent = same_key_in(root, live->parent);
    return parent == nullptr ? nullptr : __zconf_find_subkey(parent, live->name);
}

// The live key at a change's path, or NULL when it or a key above it is gone or deleted.
zconf_key *live_key_of(const zconf_change &change) {
    zconf_key *key = __ZConfGetRootKey();
    const char *name = change.path;
    for (uint32_t d = 0; d < change.depth && key != nullptr; d++) {
        key = __zconf_find_subkey(key, name);
        if (key != nullptr && (key->flags & ZCONF_FLAG_DELETE_PENDING))
            key = nullptr;
        name += strlen(name) + 1;
    }
    return key;
}

// The key of the tree at a change's path, made with the keys above it when `make` is
// set; NULL when missing (or when the heap refuses a key: *failed is then set).
zconf_key *tree_key_of(zconf_key *root, const zconf_change &change, bool make, bool *failed) {
    zconf_key *key = root;
    const char *name = change.path;
    for (uint32_t d = 0; d < change.depth; d++) {
        zconf_key *sub = __zconf_find_subkey(key, name);
        if (sub == nullptr && make) {
            sub = __zconf_create_key(name, 0);
            if (sub == nullptr) {
                *failed = true;
                return nullptr;
            }
            __zconf_add_subkey(key, sub);
        }
        if (sub == nullptr)
            return nullptr;
        key = sub;
        name += strlen(name) + 1;
    }
    return key;
}

// A copy of a value, unlinked; NULL when the heap refuses it.
zconf_value *copy_value(const zconf_value *value) {
    return __zconf_create_value(value->name, zconf_value_type(value), zconf_value_data(value),
                                zconf_value_len(value));
}

// Replays the recorded changes at or below the live key on the file's tree, in the
// order they were made, each taking what the live store holds now. 0 or -12.
int32_t replay_changes(zconf_key *root, const zconf_key *under) {
    bool failed = false;
    for (zconf_list *link = zconf_changes.next; link != &zconf_changes && !failed;
         link = link->next) {
        const zconf_change &change = *zconf_change_of(link);
        if (!zconf_change_under(&change, under))
            continue;
        switch (change.kind) {
        case ZCONF_CHANGE_SET_VALUE: {
            zconf_key *live = live_key_of(change);
            zconf_value *value = live != nullptr ? __zconf_find_value(live, change.value) : nullptr;
            if (value == nullptr)
                break; // gone since: a later change says how
            zconf_key *key = tree_key_of(root, change, true, &failed);
            zconf_value *copy = key != nullptr ? copy_value(value) : nullptr;
            if (copy == nullptr)
                failed = true;
            else
                __zconf_put_value(key, copy);
            break;
        }
        case ZCONF_CHANGE_DELETE_VALUE: {
            zconf_key *key = tree_key_of(root, change, false, &failed);
            zconf_value *value = key != nullptr ? __zconf_find_value(key, change.value) : nullptr;
            if (value != nullptr)
                __zconf_del_value(value);
            break;
        }
        case ZCONF_CHANGE_CREATE_KEY:
            tree_key_of(root, change, true, &failed);
            break;
        case ZCONF_CHANGE_DELETE_KEY: {
            zconf_key *key = tree_key_of(root, change, false, &failed);
            if (key != nullptr && key != root)
                __zconf_del_tree(key);
            break;
        }
        }
    }
    return failed ? ZCONF_ERR_NOMEM : 0;
}

// ---- Refresh -------------------------------------------------------------------------

// Whether two values hold the same type and data (their names' letter case aside).
bool same_value(const zconf_value *a, const zconf_value *b) {
    return a->type_len == b->type_len &&
           memcmp(zconf_value_data(a), zconf_value_data(b), zconf_value_len(a)) == 0;
}

// Whether a refresh leaves the live key alone: volatile, or deleted while open.
bool skipped_key(const zconf_key *key) {
    return (key->flags & (ZCONF_FLAG_VOLATILE | ZCONF_FLAG_DELETE_PENDING)) != 0;
}

// Removes a live key that the file no longer has, with what lies below it, the way the
// tree deletes keys: a key still open (or above one) is marked and goes at its last
// close. Volatile keys below stay, and so does the key above them.
void remove_key(zconf_key *key) {
    zconf_list *l = key->subkeys.next;
    while (l != &key->subkeys) {
        zconf_list *next = l->next;
        zconf_key *sub = zconf_key_of(l);
        if (!skipped_key(sub))
            remove_key(sub);
        l = next;
    }
    bool volatile_left = false;
    for (l = key->subkeys.next; l != &key->subkeys; l = l->next)
        volatile_left |= (zconf_key_of(l)->flags & ZCONF_FLAG_VOLATILE) != 0;
    if (volatile_left) {
        while (!zconf_list_empty(&key->values))
            __zconf_del_value(zconf_value_of(key->values.next));
    } else if (key->open_count == 0 && zconf_list_empty(&key->subkeys)) {
        __zconf_del_subkey(key);
    } else {
        key->flags |= ZCONF_FLAG_DELETE_PENDING;
    }
}

// Makes the live key hold what the file's key holds (none: the file lacks it), leaving
// this process's recorded changes (looked up in the journal's view), volatile keys and
// deleted keys alone. No key deletion above the live key is recorded: the walk does not
// come below one. Sets *changed when anything changed; 0 or -12.
int32_t reconcile(zconf_key *live, zconf_key *file, bool *changed, zconf_journal_view *view) {
    bool journal = zconf_change_count != 0;
    if (journal && zconf_view_deleted(view, live, nullptr))
        return 0; // deleted and made again here: what it holds is this process's own
    if (file != nullptr) {
        for (zconf_list *l = file->values.next; l != &file->values; l = l->next) {
            zconf_value *value = zconf_value_of(l);
            if (journal && zconf_journal_has_value(live, value->name))
                continue;
            zconf_value *own = __zconf_find_value(live, value->name);
            if (own != nullptr && same_value(own, value))
                continue;
            zconf_value *copy = copy_value(value);
            if (copy == nullptr)
                return ZCONF_ERR_NOMEM;
            __zconf_put_value(live, copy);
            *changed = true;
        }
    }
    for (zconf_list *l = live->values.next; l != &live->values;) {
        zconf_value *value = zconf_value_of(l);
        l = l->next;
        if ((file != nullptr && __zconf_find_value(file, value->name) != nullptr) ||
            (journal && zconf_journal_has_value(live, value->name)))
            continue;
        __zconf_del_value(value);
        *changed = true;
    }
    if (file != nullptr) {
        for (zconf_list *l = file->subkeys.next; l != &file->subkeys; l = l->next) {
            zconf_key *sub = zconf_key_of(l);
            zconf_key *own = __zconf_find_subkey(live, sub->name);
            if (own == nullptr) {
                if (journal && zconf_view_deleted(view, live, sub->name))
                    continue;
                own = __zconf_create_key(sub->name, 0);
                if (own == nullptr)
                    return ZCONF_ERR_NOMEM;
                __zconf_add_subkey(live, own);
                *changed = true;
            } else if (skipped_key(own)) {
                continue;
            }
            int32_t rc = reconcile(own, sub, changed, view);
            if (rc != 0)
                return rc;
        }
    }
    for (zconf_list *l = live->subkeys.next; l != &live->subkeys;) {
        zconf_key *own = zconf_key_of(l);
        l = l->next;
        if (skipped_key(own) || (file != nullptr && __zconf_find_subkey(file, own->name)))
            continue;
        // A key the file lacks stays when this process changed something at or below it,
        // so the keys removed here are never those the view holds.
        if (journal && zconf_view_touches(view, own)) {
            int32_t rc = reconcile(own, nullptr, changed, view);
            if (rc != 0)
                return rc;
            continue;
        }
        remove_key(own);
        *changed = true;
    }
    return 0;
}

// Reconciles the refreshed live key with the file's (NULL: the file lacks it) through a
// view of the journal, unless a deletion at or above the key is recorded: then it was
// made again here, and what it holds is this process's own. Sets *changed; 0 or -12.
int32_t refresh_below(zconf_key *key, zconf_key *file, bool *changed) {
    if (zconf_change_count != 0 && zconf_journal_key_deleted(key, nullptr))
        return 0;
    zconf_journal_view view = {};
    view.top = key;
    int32_t rc = reconcile(key, file, changed, &view);
    zconf_journal_view_free(&view);
    return rc;
}

// ---- Change notification -------------------------------------------------------------

// The directory part of path into out.
void directory_of(const char *path, char *out, size_t size) {
    snprintf(out, size, "%s", path);
    char *slash = strrchr(out, '/');
    if (slash == nullptr)
        snprintf(out, size, ".");
    else
        slash[slash == out ? 1 : 0] = '\0';
}

// Takes the API mutex and finds the handle's key: 0 with the mutex held, or the error
// with it let go (__ZConfGetKey unlocks when the handle is bad).
int32_t lock_key(int32_t connection, int32_t hKey, zconf_key **key) {
    if (connection < 0)
        return ZCONF_ERR_INVAL;
    if (zconf_lock() != 0)
        return ZCONF_ERR_BUSY;
    return __ZConfGetKey(connection, hKey, key);
}

} // namespace

int32_t DoviZUZFlushKey(int32_t connection, int32_t hKey) {
    zconf_key *key;
    int32_t rc = lock_key(connection, hKey, &key);
    if (rc != 0)
        return rc;
    if (zconf_journal_lost) {
        zconf_unlock();
        return ZCONF_ERR_NOMEM;
    }
    if (!zconf_journal_touches(key)) {
        zconf_unlock();
        return 0;
    }
    bool shared = zconf_shared_lock();
    file_lock lock;
    rc = lock_config_file(&lock);
    zconf_key *root = nullptr;
    if (rc == 0)
        rc = read_file_tree("ZConfFlushKey", &root);
    if (rc == 0)
        rc = replay_changes(root, key);
    if (rc == 0) {
        int error = 0;
        rc = zconf_save_tree(root, "ZConfFlushKey", &error);
        if (rc == 2)
            rc = error != 0 ? -error : -EIO;
    }
    if (root != nullptr)
        __zconf_del_tree(root);
    if (rc == 0)
        zconf_journal_drop_under(key);
    unlock_config_file(&lock);
    zconf_shared_unlock(shared);
    zconf_unlock();
    return rc;
}

int32_t DoviZUZRefreshKey(int32_t connection, int32_t hKey, uint32_t *changed) {
    if (changed != nullptr)
        *changed = 0;
    zconf_key *key;
    int32_t rc = lock_key(connection, hKey, &key);
    if (rc != 0)
        return rc;
    zconf_key *root = nullptr;
    bool shared = zconf_shared_lock();
    rc = read_file_tree("ZConfRefreshKey", &root);
    zconf_shared_unlock(shared);
    bool any = false;
    if (rc == 0 && !skipped_key(key)) {
        zconf_key *file = same_key_in(root, key);
        if (file != nullptr || key->parent == nullptr ||
            (zconf_change_count != 0 && zconf_journal_touches(key))) {
            rc = refresh_below(key, file, &any);
        } else {
            remove_key(key);
            any = true;
        }
    }
    if (root != nullptr)
        __zconf_del_tree(root);
    zconf_unlock();
    if (changed != nullptr)
        *changed = any ? 1 : 0;
    return rc;
}

int32_t DoviZUZNotifyChange(int32_t *fd) {
    if (fd == nullptr)
        return ZCONF_ERR_INVAL;
    *fd = -1;
    int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (watch < 0)
        return -errno;
    const uint32_t mask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_ONLYDIR;
    char directory[ZCONF_FILE_PATH_BUFFER];
    directory_of(DovizuzFilePath, directory, sizeof directory);
    if (inotify_add_watch(watch, directory, mask) < 0) {
        int error = errno;
        close(watch);
        return -error;
    }
    // A link at the path: the file it leads to is written where it lies.
    char target[PATH_MAX];
    if (realpath(DovizuzFilePath, target) != nullptr) {
        directory_of(target, directory, sizeof directory);
        inotify_add_watch(watch, directory, mask);
    }
    *fd = watch;
    return 0;
}
