#include "core/private_files.h"

#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

namespace qel::files {

namespace {

Opened refuse(int error, std::string problem) {
    Opened result;
    result.error = error;
    result.problem = std::move(problem);
    return result;
}

Opened refuse_errno(int error, const std::string &path) {
    return refuse(error, path + ": " + std::strerror(error));
}

Opened opened(int fd) {
    Opened result;
    result.fd = fd;
    return result;
}

// Whether a folder on the way may be trusted: only its owner can rename or replace what lies
// in it, unless it is sticky, so its owner must be this user or root.
std::string untrusted_because(const struct stat &facts) {
    if (!S_ISDIR(facts.st_mode)) return "is not a folder";
    const uid_t me = geteuid();
    if (facts.st_uid != me && facts.st_uid != 0) {
        return "belongs to another user (uid " + std::to_string(facts.st_uid) + ")";
    }
    if ((facts.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (facts.st_mode & S_ISVTX) == 0) {
        return "may be written by other users";
    }
    return {};
}

// The stricter test of a folder of the user's own.
std::string not_own_because(const struct stat &facts) {
    if (std::string why = untrusted_because(facts); !why.empty()) return why;
    if (facts.st_uid != geteuid()) {
        return "belongs to another user (uid " + std::to_string(facts.st_uid) + ")";
    }
    if ((facts.st_mode & (S_IWGRP | S_IWOTH)) != 0) return "may be written by other users";
    return {};
}

// Opens `name` in `parent` as a folder, never through a link, and checks it.
Opened open_step(int parent, const std::string &name, const std::string &shown, bool own) {
    const int fd = openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOTDIR) return refuse(ENOTDIR, shown + " is not a folder");
        if (error == ELOOP) {
            return refuse(EACCES, shown + " became a symbolic link while it was opened");
        }
        return refuse_errno(error, shown);
    }
    struct stat facts {};
    if (fstat(fd, &facts) != 0) {
        const int error = errno;
        close(fd);
        return refuse_errno(error, shown);
    }
    const std::string why = own ? not_own_because(facts) : untrusted_because(facts);
    if (!why.empty()) {
        close(fd);
        return refuse(EACCES, shown + " " + why);
    }
    return opened(fd);
}

// "a//b/" -> {"a", "b"}; "." parts are dropped, ".." kept (the caller refuses them).
std::vector<std::string> split(const std::string &path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(start, end - start);
        if (!part.empty() && part != ".") parts.push_back(std::move(part));
        start = end + 1;
    }
    return parts;
}

}  // namespace

bool write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        text.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

Opened open_folder(const std::string &path, Folder kind) {
    if (path.empty()) return refuse(EINVAL, "an empty folder name");
    const bool own = kind == Folder::own;
    // The part of the path that exists is resolved once (links the user keeps in it, such as
    // /var/run, are fine); the names still missing are made below it.
    std::string existing = path;
    std::vector<std::string> missing;
    char resolved[PATH_MAX];
    while (realpath(existing.c_str(), resolved) == nullptr) {
        const int error = errno;
        std::vector<std::string> parts = split(existing);
        if (error != ENOENT || parts.empty()) return refuse_errno(error, path);
        if (parts.back() == "..") return refuse(EINVAL, path + ": a missing folder before ..");
        missing.insert(missing.begin(), parts.back());
        const size_t cut = existing.rfind(parts.back());
        existing.resize(cut);
        if (existing.empty())
            existing.push_back('.');  // not = ".": GCC 12 warns falsely (restrict)
    }
    int fd = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return refuse_errno(errno, "/");
    std::string shown;
    std::vector<std::string> steps = split(resolved);
    const size_t last_existing = steps.size();
    steps.insert(steps.end(), missing.begin(), missing.end());
    for (size_t i = 0; i < steps.size(); ++i) {
        shown += "/" + steps[i];
        const bool last = i + 1 == steps.size();
        if (i >= last_existing && mkdirat(fd, steps[i].c_str(), 0700) != 0 && errno != EEXIST) {
            const int error = errno;
            close(fd);
            return refuse_errno(error, shown);
        }
        // A folder made here must be the user's own too: another may have made it first.
        Opened next = open_step(fd, steps[i], shown, (own && last) || i >= last_existing);
        close(fd);
        if (!next) return next;
        fd = next.fd;
    }
    if (steps.empty()) {
        // The root itself.
        struct stat facts {};
        const std::string why = fstat(fd, &facts) != 0
                                    ? "cannot be examined"
                                    : (own ? not_own_because(facts) : untrusted_because(facts));
        if (!why.empty()) {
            close(fd);
            return refuse(EACCES, "/ " + why);
        }
    }
    return opened(fd);
}

Opened open_file(int folder, const std::string &name, int flags, mode_t mode) {
    // Truncated only once it is known to be this user's own file.
    const bool truncate = (flags & O_TRUNC) != 0;
    const int fd = openat(folder, name.c_str(),
                          (flags & ~O_TRUNC) | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd < 0) {
        const int error = errno;
        // The kernel may refuse a link in a sticky folder (protected_symlinks) before
        // O_NOFOLLOW does: either way, say that it is one.
        struct stat facts {};
        if ((error == ELOOP || error == EACCES) &&
            fstatat(folder, name.c_str(), &facts, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(facts.st_mode)) {
            return refuse(EACCES, name + " is a symbolic link");
        }
        return refuse_errno(error, name);
    }
    struct stat facts {};
    std::string why;
    if (fstat(fd, &facts) != 0) {
        why = "cannot be examined";
    } else if (!S_ISREG(facts.st_mode)) {
        why = "is not a regular file";
    } else if (facts.st_uid != geteuid()) {
        why = "belongs to another user (uid " + std::to_string(facts.st_uid) + ")";
    } else if ((truncate && ftruncate(fd, 0) != 0) ||
               fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        why = std::string("cannot be written: ") + std::strerror(errno);
    }
    if (!why.empty()) {
        close(fd);
        return refuse(EACCES, name + " " + why);
    }
    return opened(fd);
}

int replace_file(int folder, const std::string &name, std::string_view text, mode_t mode) {
    struct stat target {};
    if (fstatat(folder, name.c_str(), &target, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(target.st_mode) && target.st_uid != geteuid()) {
        return EACCES;
    }
    // The temporary name does not end in the target's suffix, so collectors that read every
    // "*.prom" file of the folder skip it. A leftover of a process that died is removed first
    // (unlinking never follows a link); then it is made afresh, never opened as it stands.
    const std::string temporary = name + ".tmp." + std::to_string(getpid());
    unlinkat(folder, temporary.c_str(), 0);
    const int fd = openat(folder, temporary.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) return errno;
    const bool written = write_all(fd, text);
    const int error = written ? 0 : errno;
    if (close(fd) != 0 || !written ||
        renameat(folder, temporary.c_str(), folder, name.c_str()) != 0) {
        const int failure = error != 0 ? error : errno;
        unlinkat(folder, temporary.c_str(), 0);
        return failure != 0 ? failure : EIO;
    }
    return 0;
}

std::string home_folder() {
    if (const char *home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
    passwd entry{};
    passwd *found = nullptr;
    char scratch[4096];
    if (getpwuid_r(getuid(), &entry, scratch, sizeof scratch, &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr) {
        return found->pw_dir;
    }
    return {};
}

std::string runtime_folder() {
    if (const char *dir = std::getenv("XDG_RUNTIME_DIR"); dir != nullptr && *dir != '\0') {
        return std::string(dir) + "/qel";
    }
    // Made by the system at login, owned by the user; nobody else can make it first.
    const std::string user_dir = "/run/user/" + std::to_string(getuid());
    struct stat facts {};
    if (stat(user_dir.c_str(), &facts) == 0 && S_ISDIR(facts.st_mode)) return user_dir + "/qel";
    // Without one, a folder in the user's own state folder: a shared /tmp name could be taken
    // first by another user.
    if (const char *state = std::getenv("XDG_STATE_HOME"); state != nullptr && *state != '\0') {
        return std::string(state) + "/qel/run";
    }
    if (const std::string home = home_folder(); !home.empty())
        return home + "/.local/state/qel/run";
    return "/tmp/qel-" + std::to_string(getuid());
}

}  // namespace qel::files
