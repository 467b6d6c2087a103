// File-system helpers for a root service working inside a directory tree the
// user controls: nothing here follows a symbolic link in the last component.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace qmss {

enum class PathKind { Missing, Directory, Regular, Other, Error };

struct PathStatus {
  PathKind kind = PathKind::Error;
  int error = 0;           // errno when kind is Error
  uid_t owner = 0;
};

// lstat-based: a symbolic link is Other whatever it points to, and so is a
// regular file with more than one hard link (it may be a file elsewhere).
PathStatus path_status(const std::string& path);

// Reads the whole file without following a final symbolic link; nothing when
// it cannot be opened or is not a regular file.
std::optional<std::string> read_file(const std::string& path);

// Splits text into lines the way getline does: a final line without a newline
// counts, a trailing newline does not add an empty line.
std::vector<std::string> split_lines(const std::string& text);

// Writes content to path + ".tmp" (made fresh, never through a link), flushes
// it to disk and renames it over path, so readers see the old or the new file
// and never a half-written one. Returns 0 or an errno value; the step that
// failed is named in *stage ("open" or "rename").
int replace_file(const std::string& path, const std::string& content, mode_t mode,
                 const char** stage);

// Appends to a file, creating it with mode when missing, never through a
// link. Returns 0 or an errno value.
int append_file(const std::string& path, const std::string& content, mode_t mode);

// Whether path (its last component not followed) lies strictly inside dir.
bool resolves_inside(const std::string& path, const std::string& dir);

}  // namespace qmss
