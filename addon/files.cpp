#include "addon/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace qel::addon {

namespace {

std::string runtime_dir() {
    if (const char *dir = std::getenv("XDG_RUNTIME_DIR"); dir != nullptr && *dir != '\0') {
        return dir;
    }
    const std::string user_dir = "/run/user/" + std::to_string(getuid());
    struct stat info {};
    if (stat(user_dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return user_dir;
    return "/tmp";
}

bool write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        text.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

}  // namespace

std::string output_path(const char *variable, const char *file_name) {
    if (const char *path = std::getenv(variable); path != nullptr && *path != '\0') return path;
    const std::string dir = runtime_dir() + "/qel";
    mkdir(dir.c_str(), 0700);  // an existing folder is fine
    return dir + "/" + file_name;
}

bool replace_file(const std::string &path, std::string_view text) {
    // The temporary name does not end in the target's suffix, so collectors that read every
    // "*.prom" file of the folder skip it.
    const std::string temporary = path + ".tmp." + std::to_string(getpid());
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool written = write_all(fd, text);
    if (close(fd) != 0 || !written || std::rename(temporary.c_str(), path.c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool append_file(const std::string &path, std::string_view text) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool written = write_all(fd, text);
    return close(fd) == 0 && written;
}

}  // namespace qel::addon
