// The per-user davfs2 configuration and secrets files that the mount command
// names: found or created in the user's home, brought to the options the
// service needs, edited in place so that the user's own lines survive. The
// work is done as a few named steps on a pinned home descriptor: nothing in
// the home is walked by path twice, so a directory swapped for a link
// between a check and a write cannot send root's writes anywhere else.
#pragma once

#include <runtime/UniqueFd.h>

#include <map>
#include <optional>
#include <string>

#include "Config.h"

namespace qmss {

/// Returns the configuration file path, or "" when the mount must not go
/// ahead (the reason has been logged). `homefd` is the user's home directory,
/// opened by the caller; `homedir` the path it was opened by, used to build
/// the paths written into the files and the mount command. Unexpected
/// file-system errors are thrown as std::filesystem::filesystem_error.
std::string prepare_davfs_files(const ServiceConfig& config, const std::string& homedir, int homefd);

/// The same, opening the home itself (its last component never followed). A
/// home that is gone is not recreated.
std::string prepare_davfs_files(const ServiceConfig& config, const std::string& homedir);

// ---- the steps, exposed for tests ----

using Options = std::map<std::string, std::string>;

/// The chosen davfs2 directory, pinned, and the path it was reached by.
struct DavfsDir {
    orv::UniqueFd fd;
    std::string path;
};

/// Step 1: ".davfs2" (or ".davfs2_N") in the home, created when missing.
std::optional<DavfsDir> pin_davfs_dir(int homefd, const std::string& homedir, unsigned bound);

/// The chosen configuration file inside the pinned directory, with its text
/// when it exists and could be read.
struct ConfFile {
    std::string name;
    std::string path;
    bool exists = false;
    std::optional<std::string> text;
};

/// Step 2: "davfs2_orvanta.conf" (or "davfs2_orvanta_N.conf") and its text.
std::optional<ConfFile> choose_conf_file(const DavfsDir& dir, unsigned bound);

/// Step 3: what the file says about the owned options; the first line wins.
Options read_owned_options(const std::string& text);

/// A secrets file: the directory that holds it, pinned, and its name there.
/// An invalid `dir` means the named directory does not exist: the file
/// cannot be opened, which is reported when it is written.
struct SecretsFile {
    orv::UniqueFd dir;
    std::string name;
    std::string path;
};

/// Step 4: reconciles the owned options in `pending` and settles the secrets
/// file. A "secrets" path named by the user is used only when it lies
/// beneath the home, is reached without any link, and is missing or a plain
/// file of the service's own; otherwise the service's own file is used and
/// the line rewritten. Nothing when no secrets file can be had.
std::optional<SecretsFile> reconcile_options(Options& pending, const DavfsDir& dir, int homefd,
                                             const std::string& homedir, const ServiceConfig& config);

/// Step 5: drops the lines of the pending options and appends their new
/// values, the result replacing the file inside the pinned directory.
bool write_conf_options(const DavfsDir& dir, const ConfFile& conf, const Options& pending);

/// Step 6: the secrets file holds the empty credential for the endpoint.
bool ensure_credential(const SecretsFile& secrets, const std::string& endpoint);

/// Step 7: davfs2 refuses a secrets file that others can read: mode 0600,
/// set on a descriptor of the file that was checked.
bool restrict_secrets(const SecretsFile& secrets);

std::string trim(const std::string& text);
std::string credential_line(const std::string& endpoint);

/// The owned options: key order is the order in which they are scanned.
const std::map<int, std::string>& owned_options();

/// Reconciles one 0/1 option in pending against the wanted value: afterwards
/// pending holds it only if the file must be rewritten.
void reconcile_flag_option(Options& pending, const std::string& name, int wanted);
/// Same for an option that must be at least `minimum`.
void reconcile_min_option(Options& pending, const std::string& name, int minimum);

/// First of secrets_orvanta, secrets_orvanta_1, ... in the pinned directory
/// that is missing or a plain file of the service's own.
std::optional<SecretsFile> choose_secrets_path(const DavfsDir& dir, unsigned bound);

bool create_secrets_file(const SecretsFile& secrets, const std::string& endpoint);

}  // namespace qmss
