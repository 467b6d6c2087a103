// The per-user davfs2 configuration and secrets files that the mount command
// names: found or created in the user's home, brought to the options the
// service needs, edited in place so that the user's own lines survive.
#pragma once

#include <map>
#include <string>

namespace qmss {

struct DavfsSettings {
  std::string homedir;
  bool use_locks = false;
  bool gui_optimize = true;
  std::string endpoint = "127.0.0.1:9843";
  // davfs2 1.6 cannot list directories on Linux 6.16 and newer with a smaller
  // buffer (the kernel answers "Invalid argument"); a larger value is kept.
  int min_buf_size = 64;
  // Upper bound of the search for a free alternative name.
  unsigned max_candidates = 1000;
};

// Returns the configuration file path, or "" when the mount must not go
// ahead (the reason has been logged). Unexpected file-system errors are
// thrown as std::filesystem::filesystem_error.
std::string prepare_davfs_files(const DavfsSettings& settings);

// Exposed for tests.
std::string trim(const std::string& text);
std::string credential_line(const std::string& endpoint);

// The owned options: key order is the order in which they are scanned.
const std::map<int, std::string>& owned_options();

// Reconciles one 0/1 option in pending against the wanted value: afterwards
// pending holds it only if the file must be rewritten.
void reconcile_flag_option(std::map<std::string, std::string>& pending, const std::string& name,
                           int wanted);
// Same for an option that must be at least `minimum`.
void reconcile_min_option(std::map<std::string, std::string>& pending, const std::string& name,
                          int minimum);

// First of dir/secrets_orvanta, dir/secrets_orvanta_1, ... that is missing or
// a usable regular file; "" when none within the bound.
std::string choose_secrets_path(const std::string& dir, unsigned max_candidates = 1000);

bool create_secrets_file(const std::string& path, const std::string& endpoint);

}  // namespace qmss
