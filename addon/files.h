// Where the add-on writes, and how: whole files replaced at once, lines appended.
#pragma once

#include <string>
#include <string_view>

namespace qel::addon {

// The file named by the environment variable `variable`, or `file_name` in the user's
// runtime directory ($XDG_RUNTIME_DIR, else /run/user/<uid>, else /tmp) under "qel", which
// is created (private to the user) when missing.
std::string output_path(const char *variable, const char *file_name);

// Replaces `path` by a file holding `text`: written beside it under another name, then
// renamed over it, so that a reader sees the old file or the new one, never a part. False
// when any step fails (the old file then stays).
bool replace_file(const std::string &path, std::string_view text);

// Appends `text` to `path` (created when missing) in one write. False when it fails.
bool append_file(const std::string &path, std::string_view text);

}  // namespace qel::addon
