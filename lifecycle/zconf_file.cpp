// The configuration file's reading and writing: what may be trusted on the path to it,
// the crash-safe save by rename, the save in place where a rename cannot serve, and
// the locks that keep a reader or another writer from seeing a file half written.
#include "lifecycle/zconf_file.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kMaxLinkHops = 40;
constexpr int kTempAttempts = 100;
constexpr size_t kTempSuffix = 6; // the random letters after "NAME."
constexpr char kTempLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr long kLockPollNs = 10 * 1000 * 1000;

bool trusted_owner(uid_t uid) { return uid == 0 || uid == geteuid(); }

// A directory in which nobody but root and the caller can add, remove or rename entries.
bool trusted_directory(const struct stat &st) {
    return S_ISDIR(st.st_mode) && trusted_owner(st.st_uid) &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool copy_path(char *out, const char *text) {
    size_t length = strlen(text);
    if (length >= ZCONF_FILE_PATH_BUFFER)
        return false;
    memcpy(out, text, length + 1);
    return true;
}

// The directory part of path into out ("." when there is none).
void directory_of(const char *path, char *out) {
    copy_path(out, path);
    char *slash = strrchr(out, '/');
    if (slash == nullptr)
        copy_path(out, ".");
    else
        slash[slash == out ? 1 : 0] = '\0';
}

// Takes an open-file-description lock of the given type on the whole file, waiting
// at most ZCONF_FILE_LOCK_WAIT_MS. False with errno EAGAIN when it stays taken. A kernel
// without such locks (before 3.15: EINVAL) has no lock to give, and the file is used
// without one.
bool lock_file(int fd, short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    const timespec pause = {0, kLockPollNs};
    for (long waited = 0;; waited += kLockPollNs / 1000000) {
        if (fcntl(fd, F_OFD_SETLK, &lock) == 0 || errno == EINVAL)
            return true;
        if (errno != EAGAIN && errno != EACCES && errno != EINTR)
            return false;
        if (waited >= ZCONF_FILE_LOCK_WAIT_MS) {
            errno = EAGAIN;
            return false;
        }
        nanosleep(&pause, nullptr);
    }
}

} // namespace

bool zconf_file_write_at(int fd, const char *data, size_t length, off_t offset) {
    while (length > 0) {
        ssize_t n = pwrite(fd, data, length, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        data += n;
        offset += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

namespace {

// A path walked to its last component, one directory at a time. At the root the walk
// holds no descriptor and names entries by their absolute names: the root itself is
// never opened (user-mode emulators redirect an open of "/" to their own prefix).
struct path_walk {
    int dir_fd;                            // the directory reached (O_PATH), or AT_FDCWD
    char dir_path[ZCONF_FILE_PATH_BUFFER]; // its path, "" for "/"
    char rest[ZCONF_FILE_PATH_BUFFER];     // what is still to walk
    char name[ZCONF_FILE_PATH_BUFFER];     // the last component, once reached
    bool untrusted; // a directory passed through may be changed by another user
    int hops;
};

void leave_directory(path_walk &walk) {
    if (walk.dir_fd >= 0)
        close(walk.dir_fd);
    walk.dir_fd = AT_FDCWD;
}

// Moves the walk to the root; false with errno.
bool enter_root(path_walk &walk) {
    struct stat st;
    if (stat("/", &st) != 0)
        return false;
    walk.untrusted |= !trusted_directory(st);
    leave_directory(walk);
    walk.dir_path[0] = '\0';
    return true;
}

// Moves the walk into the directory fd, reached by name from the current one; false
// with errno.
bool enter_directory(path_walk &walk, int fd, const char *name) {
    struct stat st;
    if (fd < 0)
        return false;
    const char *component = name + (name[0] == '/' ? 1 : 0);
    bool fits = strlen(walk.dir_path) + strlen(component) + 2 <= sizeof walk.dir_path;
    if (!fits || fstat(fd, &st) != 0) {
        int error = fits ? errno : ENAMETOOLONG;
        close(fd);
        errno = error;
        return false;
    }
    walk.untrusted |= !trusted_directory(st);
    leave_directory(walk);
    walk.dir_fd = fd;
    char *slash = strrchr(walk.dir_path, '/');
    if (strcmp(component, "..") != 0)
        strcat(strcat(walk.dir_path, "/"), component);
    else if (slash != nullptr)
        *slash = '\0';
    return true;
}

// Puts the text of the link name (in the walk's directory) in front of what is still
// to walk. Only links of root or of the caller are followed: a link another user
// planted on the way never redirects a save. 0 or the errno.
int follow_link(path_walk &walk, const char *name, const struct stat &st) {
    if (!trusted_owner(st.st_uid))
        return EACCES;
    if (++walk.hops > kMaxLinkHops)
        return ELOOP;
    char link[ZCONF_FILE_PATH_BUFFER];
    ssize_t n = readlinkat(walk.dir_fd, name, link, sizeof link - 1);
    if (n <= 0)
        return n == 0 ? ENOENT : errno;
    link[n] = '\0';
    char rest[ZCONF_FILE_PATH_BUFFER];
    const char *separator = walk.rest[0] != '\0' ? "/" : "";
    if (snprintf(rest, sizeof rest, "%s%s%s", link, separator, walk.rest) >=
        static_cast<int>(sizeof rest))
        return ENAMETOOLONG;
    copy_path(walk.rest, rest);
    if (link[0] == '/' && !enter_root(walk))
        return errno;
    return 0;
}

// Takes the next component off walk.rest into name, as the walk's directory names it
// (an absolute name at the root); false when none is left. "." and, at the root, ".."
// are passed over.
bool next_component(path_walk &walk, char *name) {
    for (;;) {
        const char *start = walk.rest + strspn(walk.rest, "/");
        if (*start == '\0')
            return false;
        size_t length = strcspn(start, "/");
        bool at_root = walk.dir_fd == AT_FDCWD;
        name[0] = '/';
        memcpy(name + at_root, start, length);
        name[length + at_root] = '\0';
        char rest[ZCONF_FILE_PATH_BUFFER];
        copy_path(rest, start + length);
        copy_path(walk.rest, rest);
        const char *component = name + at_root;
        if (strcmp(component, ".") != 0 && !(at_root && strcmp(component, "..") == 0))
            return true;
    }
}

// Walks path to its last component: walk.dir_fd is then the directory that holds it
// (the caller closes it when it is not AT_FDCWD) and walk.name its name there. 0, or the
// errno fopen would meet.
int walk_to_last(const char *path, path_walk &walk) {
    walk.hops = 0;
    walk.dir_fd = AT_FDCWD;
    if (!copy_path(walk.rest, path))
        return ENAMETOOLONG;
    if (path[0] == '/') {
        walk.untrusted = false;
        if (!enter_root(walk))
            return errno;
    } else {
        // What lies above the working directory is unknown.
        walk.untrusted = true;
        copy_path(walk.dir_path, ".");
        walk.dir_fd = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (walk.dir_fd < 0)
            return errno;
    }
    struct stat st;
    char name[ZCONF_FILE_PATH_BUFFER];
    while (next_component(walk, name)) {
        bool last = walk.rest[strspn(walk.rest, "/")] == '\0';
        bool exists = fstatat(walk.dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
        if (!exists && (errno != ENOENT || !last))
            return errno;
        int error = exists && S_ISLNK(st.st_mode) ? follow_link(walk, name, st) : -1;
        if (error >= 0) {
            if (error != 0)
                return error;
            continue;
        }
        // A name followed by "/" names a directory, which is never the file.
        if (last && walk.rest[0] != '\0')
            return exists && !S_ISDIR(st.st_mode) ? ENOTDIR : EISDIR;
        if (last) {
            copy_path(walk.name, name);
            return 0;
        }
        if (!S_ISDIR(st.st_mode))
            return ENOTDIR;
        int fd = openat(walk.dir_fd, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (!enter_directory(walk, fd, name))
            return errno;
    }
    return EISDIR; // the path names a directory
}

// Six letters for a new file's name, different in every call.
void random_suffix(char *out) {
    unsigned char bytes[kTempSuffix];
    if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        static unsigned counter;
        uint64_t seed = static_cast<uint64_t>(getpid()) * 2654435761u ^
                        static_cast<uint64_t>(time(nullptr)) ^ ++counter * 40503u;
        for (unsigned char &byte : bytes) {
            byte = static_cast<unsigned char>(seed);
            seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        }
    }
    for (size_t i = 0; i < kTempSuffix; i++)
        out[i] = kTempLetters[bytes[i] % (sizeof kTempLetters - 1)];
    out[kTempSuffix] = '\0';
}

// Whether name is "BASE." and six letters, as the saves name their new files.
bool is_temp_name(const char *name, const char *base) {
    size_t base_length = strlen(base);
    if (strncmp(name, base, base_length) != 0 || name[base_length] != '.')
        return false;
    const char *suffix = name + base_length + 1;
    return strlen(suffix) == kTempSuffix && strspn(suffix, kTempLetters) == kTempSuffix;
}

// Gives a new file the mode and owner of the file it replaces. False when the owner
// cannot be kept (the caller is not root): then the file must not be replaced.
bool take_over_attributes(int fd, const char *target) {
    struct stat st;
    if (stat(target, &st) != 0)
        return true;
    struct stat mine;
    if (fstat(fd, &mine) != 0)
        return false;
    if ((mine.st_uid != st.st_uid || mine.st_gid != st.st_gid) &&
        fchown(fd, st.st_uid, st.st_gid) != 0)
        return false;
    return fchmod(fd, st.st_mode & 07777) == 0;
}

// Opens the file to write in place, reached as walk_to_last reaches it; where another
// user could change a directory on the way, only a file of root or of the caller with
// no other link is written. *readable tells whether its old bytes can be read. The
// descriptor, or -1 with errno.
int open_in_place(const char *path, bool *readable) {
    path_walk walk;
    int error = walk_to_last(path, walk);
    int fd = -1;
    if (error == 0) {
        *readable = true;
        const int flags = O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
        fd = openat(walk.dir_fd, walk.name, O_RDWR | flags, 0666);
        if (fd < 0 && errno == EACCES) {
            *readable = false;
            fd = openat(walk.dir_fd, walk.name, O_WRONLY | flags, 0666);
        }
        error = fd < 0 ? errno : 0;
    }
    if (walk.dir_fd >= 0)
        close(walk.dir_fd);
    struct stat st;
    if (error == 0 && fstat(fd, &st) != 0)
        error = errno;
    else if (error == 0 && !S_ISREG(st.st_mode))
        error = EINVAL;
    else if (error == 0 && walk.untrusted && (st.st_nlink != 1 || !trusted_owner(st.st_uid)))
        error = EACCES;
    if (error != 0 && fd >= 0)
        close(fd);
    errno = error;
    return error == 0 ? fd : -1;
}

} // namespace

char *zconf_file_read_all(int fd, size_t *length) {
    struct stat st;
    if (fstat(fd, &st) != 0)
        return nullptr;
    size_t size = static_cast<size_t>(st.st_size);
    char *data = static_cast<char *>(malloc(size + 1));
    if (data == nullptr)
        return nullptr;
    size_t done = 0;
    while (done < size) {
        ssize_t n = pread(fd, data + done, size - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    *length = done;
    return data;
}

namespace {

// Writes text over the locked file; on failure puts old back. 0 or the errno.
int overwrite(int fd, const char *text, size_t length, const char *old, size_t old_length) {
    if (zconf_file_write_at(fd, text, length, 0) &&
        ftruncate(fd, static_cast<off_t>(length)) == 0 && fsync(fd) == 0)
        return 0;
    int error = errno;
    if (old != nullptr && zconf_file_write_at(fd, old, old_length, 0))
        ftruncate(fd, static_cast<off_t>(old_length));
    fsync(fd);
    return error;
}

} // namespace

FILE *zconf_file_open_for_load(const char *path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return nullptr;
    }
    // A reader that cannot get its lock in time reads all the same.
    lock_file(fd, F_RDLCK);
    FILE *file = fdopen(fd, "r");
    if (file == nullptr)
        close(fd);
    return file;
}

int zconf_file_check_writable(const char *path) {
    // A device or socket is never written (the save refuses anything but a regular
    // file) and is not opened either: opening some devices does something.
    struct stat at_path;
    if (stat(path, &at_path) == 0 &&
        (S_ISCHR(at_path.st_mode) || S_ISBLK(at_path.st_mode) || S_ISSOCK(at_path.st_mode)))
        return EINVAL;
    int fd = open(path, O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd >= 0) {
        close(fd);
        return 0;
    }
    if (errno != ENOENT)
        return errno;
    struct stat st;
    if (lstat(path, &st) == 0)
        return 0; // a link to a file still to be made: the save's own open tells
    char directory[ZCONF_FILE_PATH_BUFFER];
    directory_of(path, directory);
    return faccessat(AT_FDCWD, directory, W_OK | X_OK, AT_EACCESS) == 0 ? 0 : errno;
}

bool zconf_file_rename_target(const char *path, char *target) {
    path_walk walk;
    bool trusted = walk_to_last(path, walk) == 0 && !walk.untrusted;
    struct stat st;
    if (trusted && fstatat(walk.dir_fd, walk.name, &st, AT_SYMLINK_NOFOLLOW) == 0)
        trusted = S_ISREG(st.st_mode) && st.st_nlink == 1;
    else if (trusted)
        trusted = errno == ENOENT;
    if (walk.dir_fd >= 0)
        close(walk.dir_fd);
    return trusted && snprintf(target, ZCONF_FILE_PATH_BUFFER, "%s/%s", walk.dir_path,
                               walk.name + (walk.name[0] == '/' ? 1 : 0)) <
                          static_cast<int>(ZCONF_FILE_PATH_BUFFER);
}

int zconf_file_create_temp(const char *target, char *temp) {
    for (int attempt = 0; attempt < kTempAttempts; attempt++) {
        char suffix[kTempSuffix + 1];
        random_suffix(suffix);
        if (snprintf(temp, ZCONF_FILE_PATH_BUFFER, "%s.%s", target, suffix) >=
            static_cast<int>(ZCONF_FILE_PATH_BUFFER)) {
            errno = ENAMETOOLONG;
            return -1;
        }
        int fd = open(temp, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno == EEXIST)
            continue;
        if (fd < 0)
            return -1;
        // Between the open and the lock, a cleaner may take the new file for litter:
        // the name then names another file, or none, and a new name is tried.
        struct stat mine, named;
        if (flock(fd, LOCK_EX) == 0 && fstat(fd, &mine) == 0 && lstat(temp, &named) == 0 &&
            mine.st_ino == named.st_ino && mine.st_dev == named.st_dev) {
            if (take_over_attributes(fd, target))
                return fd;
            int error = errno;
            unlink(temp);
            close(fd);
            errno = error;
            return -1;
        }
        close(fd);
    }
    errno = EEXIST;
    return -1;
}

int zconf_file_commit_temp(int fd, const char *temp, const char *target) {
    if (fsync(fd) != 0 || rename(temp, target) != 0)
        return errno;
    close(fd);
    char directory[ZCONF_FILE_PATH_BUFFER];
    directory_of(target, directory);
    int directory_fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory_fd >= 0) {
        fsync(directory_fd);
        close(directory_fd);
    }
    return 0;
}

void zconf_file_discard_temp(int fd, const char *temp) {
    unlink(temp);
    close(fd);
}

void zconf_file_remove_stale_temps(const char *target) {
    char directory[ZCONF_FILE_PATH_BUFFER];
    directory_of(target, directory);
    const char *slash = strrchr(target, '/');
    const char *base = slash == nullptr ? target : slash + 1;
    DIR *listing = opendir(directory);
    if (listing == nullptr)
        return;
    int directory_fd = dirfd(listing);
    while (const dirent *entry = readdir(listing)) {
        if (!is_temp_name(entry->d_name, base))
            continue;
        int fd = openat(directory_fd, entry->d_name,
                        O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        if (fd < 0)
            continue;
        // A live save holds its new file locked until the rename; the name is checked
        // again under the lock, so that only the file locked is removed.
        struct stat locked, named;
        if (flock(fd, LOCK_EX | LOCK_NB) == 0 && fstat(fd, &locked) == 0 &&
            S_ISREG(locked.st_mode) && trusted_owner(locked.st_uid) &&
            fstatat(directory_fd, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            named.st_ino == locked.st_ino && named.st_dev == locked.st_dev)
            unlinkat(directory_fd, entry->d_name, 0);
        close(fd);
    }
    closedir(listing);
}

int zconf_file_write_in_place(const char *path, const char *text, size_t length, bool *opened) {
    bool readable;
    int fd = open_in_place(path, &readable);
    *opened = fd >= 0;
    if (fd < 0)
        return errno;
    if (!lock_file(fd, F_WRLCK)) {
        int error = errno;
        close(fd);
        return error;
    }
    size_t old_length = 0;
    char *old = readable ? zconf_file_read_all(fd, &old_length) : nullptr;
    int error = readable && old == nullptr ? ENOMEM : 0;
    if (error == 0)
        error = overwrite(fd, text, length, old, old_length);
    free(old);
    close(fd);
    return error;
}
