// Adapter names as the driver keeps them: one file under the state directory, mode 0600.
// Readers share, writers hold exclusively, a flock on a lock file beside it; every change
// writes a temporary file, syncs it and renames it over the old one (then syncs the
// directory), so two processes never lose each other's changes and a crash leaves either the
// old file or the new one, never half of one.
#pragma once

#include <string>

namespace qel::adapter {

// The driver's code for a names file that exists but is not one (damaged, cut short, or
// written by something else): "structure needs cleaning". Resetting all names replaces it.
constexpr int kNamesFileDamaged = 117;

// The names file's path, or empty when no state directory can be found.
std::string names_file_path();

// Keys are canonical (names_file.h). Each returns 0 or a result code: 2 no name stored (get),
// 22 a bad key or name, kNamesFileDamaged, 13 when the state folder or a file in it cannot be
// used (said on standard error), or the errno value of a failed write (28 disk full, ...).
int store_name(const std::string &key, const std::string &name);
int load_name(const std::string &key, std::string *name);
int erase_name(const std::string &key);
int erase_all_names();

}  // namespace qel::adapter
