// Pinned-descriptor file handling for a root service working inside a tree a
// user controls. A directory is opened once and every later step goes through
// its descriptor (*at calls, f* calls, renames inside it), so swapping a path
// component for a link between a check and a use reaches nothing else.
#pragma once

#include <runtime/Result.h>
#include <runtime/UniqueFd.h>
#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qmss {

enum class PathKind { Missing, Directory, Regular, Other, Error };

struct EntryStatus {
    PathKind kind = PathKind::Error;
    int error = 0;  // errno when kind is Error
    uid_t owner = 0;
    dev_t dev = 0;
    ino_t ino = 0;
};

/// What sits at `name` inside `dirfd`, the final link not followed. A symbolic
/// link is Other whatever it points to, and so is a regular file with more
/// than one hard link (it may be a file elsewhere).
EntryStatus entry_status(int dirfd, const std::string& name);
/// The same classification for an open descriptor.
EntryStatus fd_status(int fd);

/// Opens a directory by absolute path whose components above the last are
/// trusted (a home directory from the user database); the last component is
/// never followed.
orv::Result<orv::UniqueFd> open_dir(const std::string& path);

/// Opens `rel` beneath `dirfd`, never through a symbolic link, never out of
/// it (no "..", no absolute path): openat2 with RESOLVE_BENEATH and
/// RESOLVE_NO_SYMLINKS where the kernel has it, otherwise a walk of directory
/// descriptors opened one component at a time with O_NOFOLLOW. An empty or
/// "." path reopens dirfd itself. A failure carries the errno (ELOOP or
/// ENOTDIR for a link, EXDEV for an escape).
orv::Result<orv::UniqueFd> open_beneath(int dirfd, const std::string& rel, int flags, mode_t mode = 0);

/// Whether open_beneath uses openat2 (probed once).
bool openat2_in_use();
/// Tests: force the component walk, as on a kernel without openat2.
void force_component_walk(bool on);

/// Opens `name` in `dirfd` (never a link, never blocking on a fifo) and keeps
/// the descriptor only when it is a regular file with one link; otherwise
/// fails with ELOOP for a link, EINVAL for anything not a plain file.
orv::Result<orv::UniqueFd> open_regular(int dirfd, const std::string& name, int flags, mode_t mode = 0);

/// The whole content of an open file; nothing on a read error.
std::optional<std::string> read_all(int fd);
/// Writes all of content, resuming after a signal.
orv::Result<void> write_all(int fd, std::string_view content);

/// Writes content to name + ".tmp" inside dirfd (made fresh, never through a
/// link), flushes it, sets mode and renames it over name in the same
/// directory: readers see the old or the new file, never a half-written one,
/// and the file lands in the directory that was checked. A failure names
/// the failing step as its context: "open" or "rename".
orv::Result<void> replace_in_dir(int dirfd, const std::string& name, std::string_view content, mode_t mode);

/// Appends to name inside dirfd, creating it with mode when missing; never
/// through a link and only into a plain file. The failing step ("open",
/// "write" or "fsync") is the failure's context.
orv::Result<void> append_in_dir(int dirfd, const std::string& name, std::string_view content, mode_t mode);

/// Splits text into lines the way getline does: a final line without a
/// newline counts, a trailing newline does not add an empty line.
std::vector<std::string> split_lines(const std::string& text);

/// The part of an absolute path below base ("" for base itself), or nothing
/// when the path is not textually beneath base or climbs with "..".
std::optional<std::string> relative_beneath(const std::string& path, const std::string& base);

/// Test hook called at the points between a check and the use that follows
/// it, with the point's name; tests swap files there to replay a race
/// deterministically. Install before any worker thread starts.
using RaceHook = std::function<void(const std::string& point)>;
void set_race_hook(RaceHook hook);
void race_point(const std::string& point);

}  // namespace qmss
