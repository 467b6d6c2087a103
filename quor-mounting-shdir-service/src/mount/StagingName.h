// Names of the root-only staging directories davfs2 mounts on. davfs2 keys
// its pid file and its cache directory by the mount point it was given, so
// the name is derived from the (user, share) pair: what a share could not
// upload stays in a cache that only the same user's same share reopens.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace qmss {

/// 64-bit FNV-1a: stable across builds and runs, unlike std::hash.
uint64_t stable_hash(const std::string& bytes);

/// "u<uid>-<hash of the folder>-<readable tail>", plus "-<slot>" for slot > 0
/// (a share mounted twice at once). Only [A-Za-z0-9._-], at most 80 bytes,
/// never "." or "..".
std::string staging_name(uid_t uid, const std::string& folder, unsigned slot);

}  // namespace qmss
