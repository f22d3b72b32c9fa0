// Folders and files that no other local user can redirect: every program of the project that
// writes a file (the software adapter's locks and names, the tools' images, the telemetry
// add-on's output) goes through here. Folders are opened by descriptor from the root, one name
// at a time, never through a symbolic link, and each one on the way is checked after it is
// open (fstat), so that what is checked is what is used.
//
// Plain POSIX and the standard library only: libqel, the tools and the telemetry add-on each
// compile this file in (the add-on must not depend on libqel or anything else).
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace qel::files {

// An open descriptor, or why there is none: `error` an errno value and `problem` one line
// that names the path and what is wrong with it.
struct Opened {
    int fd = -1;
    int error = 0;
    std::string problem;
    explicit operator bool() const { return fd >= 0; }
};

// Which folders are accepted.
enum class Folder {
    // A folder of this user's own: made (mode 0700, missing parents too) when absent, and
    // refused unless it belongs to this user and nobody else may write in it. For folders
    // the program chooses itself.
    own,
    // A folder the user named: it must belong to this user or to root, and others may write
    // in it only when it is sticky (as /tmp is), where they cannot rename or remove this
    // user's files. Made as for `own` when missing.
    named,
};

// Opens the folder `path` (relative paths from the working folder), making it and missing
// parents (mode 0700) when absent. Links in the existing part of the path are resolved once,
// then every folder from the root down is opened without following a link and must belong to
// this user or root and be writable by nobody else unless sticky; the last one must also meet
// `kind`, and every folder made here must be the user's own. The descriptor is the caller's to
// close.
Opened open_folder(const std::string &path, Folder kind);

// Opens `name` in the open folder `folder` for writing (`flags`: O_WRONLY or O_RDWR, with
// O_APPEND or O_TRUNC as wanted; O_CREAT is added). A symbolic link, anything but a regular
// file, and a file of another owner are refused, so that nothing another user made is
// written or truncated.
Opened open_file(int folder, const std::string &name, int flags, mode_t mode);

// Replaces `name` in `folder` by a file holding `text`: written under a temporary name made
// for it alone, then renamed over it, so that a reader sees the old file or the new one. A
// file of another owner in its place is left alone. 0 or an errno value.
int replace_file(int folder, const std::string &name, std::string_view text, mode_t mode);

// Writes all of `text`; false when a write fails.
bool write_all(int fd, std::string_view text);

// The user's folder for run-time files: $XDG_RUNTIME_DIR/qel, else /run/user/<uid>/qel when
// the system made /run/user/<uid>, else <home>/.local/state/qel/run; /tmp/qel-<uid> only for a
// user without a home (another user may take that name first: open_folder then refuses it).
std::string runtime_folder();

// The user's home: $HOME, else the password database's entry; empty when neither says.
std::string home_folder();

}  // namespace qel::files
