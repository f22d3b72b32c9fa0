#include "adapter/driver/names_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <utility>
#include <vector>

#include "adapter/driver/names_file.h"
#include "adapter/driver/settings.h"
#include "qel.h"

namespace qel::adapter {

namespace {

constexpr const char *kFileName = "adapter-names";
constexpr const char *kLockName = "adapter-names.lock";
constexpr const char *kTemporaryName = "adapter-names.tmp";

// The code for a failed system call: the errno value itself (the library passes it on), but for
// values that mean something else in the library's own codes (22 would read as a bad key).
int code_of_errno(int error) {
    switch (error) {
        case 0:
        case EACCES:
        case EPERM:
        case ENOENT:
        case EIO:
        case ENXIO:
        case EAGAIN:
        case EBUSY:
        case ENODEV:
        case EINVAL:
        case ENOSYS:
        case ETIMEDOUT:
            return QEL_EACCES;
        default:
            return error;
    }
}

// An open descriptor, closed on scope exit.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// The state directory, opened as a folder of the user's own; a lock on its lock file held for
// the object's life. Every file of the store is opened relative to the folder's descriptor.
class LockedStore {
public:
    // `exclusive`: to change the file; else to read it.
    int lock(bool exclusive) {
        dir_ = state_dir();
        if (dir_.empty()) {
            std::fprintf(stderr,
                         "qel software adapter: no folder for adapter names: set "
                         "QEL_ADAPTER_STATE_DIR or HOME\n");
            return QEL_EACCES;
        }
        files::Opened folder = open_private_dir(dir_, "adapter names");
        if (!folder) return QEL_EACCES;
        folder_.reset(folder.fd);
        const files::Opened lock_file = files::open_file(folder_.get(), kLockName, O_RDWR, 0600);
        if (!lock_file) {
            std::fprintf(stderr, "qel software adapter: cannot use the names lock in %s: %s\n",
                         dir_.c_str(), lock_file.problem.c_str());
            return QEL_EACCES;
        }
        lock_fd_.reset(lock_file.fd);
        int rc;
        do {
            rc = flock(lock_fd_.get(), exclusive ? LOCK_EX : LOCK_SH);
        } while (rc != 0 && errno == EINTR);
        return rc == 0 ? 0 : code_of_errno(errno);
    }

    int folder() const { return folder_.get(); }
    std::string path(const char *name) const { return dir_ + "/" + name; }

private:
    std::string dir_;
    Fd folder_;
    Fd lock_fd_;  // closing it drops the lock
};

void report_damage(const std::string &path, const std::string &why) {
    std::fprintf(stderr,
                 "qel software adapter: adapter names file %s is damaged (%s); resetting all "
                 "names starts a new one\n",
                 path.c_str(), why.c_str());
}

// Reads and parses the names file; a missing file holds no names.
int read_entries(const LockedStore &store, std::vector<NameEntry> *entries) {
    const std::string path = store.path(kFileName);
    // Non-blocking: a FIFO planted in its place must not hang the caller.
    Fd fd(::openat(store.folder(), kFileName, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (fd.get() < 0) {
        if (errno == ENOENT) {
            entries->clear();
            return 0;
        }
        if (errno == ELOOP) {
            report_damage(path, "a symbolic link");
            return kNamesFileDamaged;
        }
        return code_of_errno(errno);
    }
    struct stat facts {};
    if (fstat(fd.get(), &facts) != 0 || !S_ISREG(facts.st_mode)) {
        report_damage(path, "not a regular file");
        return kNamesFileDamaged;
    }
    std::vector<uint8_t> bytes;
    uint8_t chunk[8192];
    for (;;) {
        ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return code_of_errno(errno);
        if (n == 0) break;
        bytes.insert(bytes.end(), chunk, chunk + n);
        // No names file is this large: stop reading rather than take any amount of memory.
        if (bytes.size() > kMaxNamesFileBytes) break;
    }
    NamesParse parse = parse_names_file(bytes);
    if (!parse.ok) {
        report_damage(path, parse.error);
        return kNamesFileDamaged;
    }
    *entries = std::move(parse.entries);
    return 0;
}

// Replaces the names file with `entries`: temporary file, fsync, rename, fsync of the
// directory.
int write_entries(const LockedStore &store, const std::vector<NameEntry> &entries) {
    // Made afresh, never opened as it stands: a leftover is removed first (the lock is held, so
    // it is no other writer's).
    ::unlinkat(store.folder(), kTemporaryName, 0);
    {
        Fd fd(::openat(store.folder(), kTemporaryName,
                       O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (fd.get() < 0) return code_of_errno(errno);
        // Whatever the umask said, names are private.
        if (fchmod(fd.get(), 0600) != 0 ||
            !files::write_all(fd.get(), format_names_file(entries)) || fsync(fd.get()) != 0) {
            const int error = errno;
            ::unlinkat(store.folder(), kTemporaryName, 0);
            return code_of_errno(error);
        }
        if (::close(fd.release()) != 0) {
            const int error = errno;
            ::unlinkat(store.folder(), kTemporaryName, 0);
            return code_of_errno(error);
        }
    }
    if (::renameat(store.folder(), kTemporaryName, store.folder(), kFileName) != 0) {
        const int error = errno;
        ::unlinkat(store.folder(), kTemporaryName, 0);
        return code_of_errno(error);
    }
    // The rename itself reaches the disk with the directory.
    fsync(store.folder());
    return 0;
}

std::vector<NameEntry>::iterator find_key(std::vector<NameEntry> &entries, const std::string &key) {
    return std::find_if(entries.begin(), entries.end(),
                        [&](const NameEntry &entry) { return entry.key == key; });
}

}  // namespace

std::string names_file_path() {
    std::string dir = state_dir();
    return dir.empty() ? dir : dir + "/" + kFileName;
}

int store_name(const std::string &key, const std::string &name) {
    if (!valid_name_key(key) || !valid_stored_name(name)) return QEL_EINVAL;
    LockedStore store;
    if (int rc = store.lock(true); rc != 0) return rc;
    std::vector<NameEntry> entries;
    if (int rc = read_entries(store, &entries); rc != 0) return rc;
    if (auto it = find_key(entries, key); it != entries.end()) {
        if (it->name == name) return 0;
        it->name = name;
    } else {
        entries.push_back(NameEntry{key, name});
    }
    return write_entries(store, entries);
}

int load_name(const std::string &key, std::string *name) {
    if (!valid_name_key(key)) return QEL_EINVAL;
    LockedStore store;
    if (int rc = store.lock(false); rc != 0) return rc;
    std::vector<NameEntry> entries;
    if (int rc = read_entries(store, &entries); rc != 0) return rc;
    auto it = find_key(entries, key);
    if (it == entries.end()) return QEL_ENOENT;
    *name = it->name;
    return 0;
}

int erase_name(const std::string &key) {
    if (!valid_name_key(key)) return QEL_EINVAL;
    LockedStore store;
    if (int rc = store.lock(true); rc != 0) return rc;
    std::vector<NameEntry> entries;
    if (int rc = read_entries(store, &entries); rc != 0) return rc;
    auto it = find_key(entries, key);
    if (it == entries.end()) return 0;
    entries.erase(it);
    return write_entries(store, entries);
}

int erase_all_names() {
    LockedStore store;
    if (int rc = store.lock(true); rc != 0) return rc;
    // A damaged file is not read: this is how it is replaced.
    return write_entries(store, {});
}

}  // namespace qel::adapter
