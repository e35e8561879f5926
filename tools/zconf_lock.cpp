// zconf's lock of runs that change the store, held from before the library loads the
// file until the process exits, so that two runs at once cannot save over each other.
//
// The lock is a flock() lock on the configuration file itself, opened for writing: only
// runs that may write the file take it, and it lives where only those who may write
// /etc can make it. It is a flock() lock because the library takes fcntl() locks of
// its own on the file (a read lock while it loads, a write lock while it saves in
// place), which an fcntl() lock held here would stand against within this very process.
// It stays while the library opens and closes the file and goes with the process. A
// save renames a new file over the old one, so a lock is good only while the path still
// names the locked file.
#include "zconf_tool.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zconf {

namespace {

// How long a run waits for another run's lock, and the pause between two tries.
constexpr long kLockWaitMs = 5000;
constexpr long kLockRetryMs = 25;

enum lock_attempt { kLockTaken, kLockRetry, kLockUnwritable, kLockFailed };

// Milliseconds on a clock that never jumps.
long long monotonic_ms() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Sleeps for ms milliseconds.
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

// Whether path itself is a symbolic link.
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

} // namespace

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

} // namespace zconf
