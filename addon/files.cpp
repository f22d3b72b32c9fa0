#include "addon/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

#include "core/private_files.h"

namespace qel::addon {

namespace {

// Metrics files are read by collectors that may run as another user; spans stay private.
constexpr mode_t kMetricsMode = 0644;
constexpr mode_t kTraceMode = 0600;

// The folder of `path`, opened: the default folder must be the user's own; one the user named
// must at least be one that no other user controls.
files::Opened open_folder_of(const std::string &path, std::string *name) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    *name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name->empty()) return {};
    const bool own = folder == files::runtime_folder() + "/";
    return files::open_folder(folder, own ? files::Folder::own : files::Folder::named);
}

}  // namespace

std::string output_path(const char *variable, const char *file_name) {
    if (const char *path = std::getenv(variable); path != nullptr && *path != '\0') return path;
    return files::runtime_folder() + "/" + file_name;
}

bool replace_file(const std::string &path, std::string_view text) {
    std::string name;
    const files::Opened folder = open_folder_of(path, &name);
    if (!folder) return false;
    const int rc = files::replace_file(folder.fd, name, text, kMetricsMode);
    close(folder.fd);
    return rc == 0;
}

bool append_file(const std::string &path, std::string_view text) {
    std::string name;
    const files::Opened folder = open_folder_of(path, &name);
    if (!folder) return false;
    const files::Opened file = files::open_file(folder.fd, name, O_WRONLY | O_APPEND, kTraceMode);
    close(folder.fd);
    if (!file) return false;
    const bool written = files::write_all(file.fd, text);
    return close(file.fd) == 0 && written;
}

}  // namespace qel::addon
