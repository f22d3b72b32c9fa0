// Where the add-on writes, and how: whole files replaced at once, lines appended. Nothing is
// written through a symbolic link, into a file of another owner, or into a folder that another
// user controls.
#pragma once

#include <string>
#include <string_view>

namespace qel::addon {

// The file named by the environment variable `variable`, or `file_name` in the user's own
// run-time folder (see files::runtime_folder; made private to the user when first written).
std::string output_path(const char *variable, const char *file_name);

// Replaces `path` by a file holding `text`: written beside it under another name, then
// renamed over it, so that a reader sees the old file or the new one, never a part. False
// when any step fails or the folder or file is refused (the old file then stays).
bool replace_file(const std::string &path, std::string_view text);

// Appends `text` to `path` (created when missing) in one write. False when it fails or the
// folder or file is refused.
bool append_file(const std::string &path, std::string_view text);

}  // namespace qel::addon
