#include "davfs_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <regex>
#include <stdexcept>
#include <system_error>

#include "../safe_fs.h"
#include "../service_log.h"

namespace qmss {

namespace fs = std::filesystem;

namespace {

constexpr mode_t kConfMode = 0644;
constexpr mode_t kSecretsMode = 0600;

[[noreturn]] void throw_status_error(const std::string& path, int err) {
  throw fs::filesystem_error("cannot check status", path, std::error_code(err, std::generic_category()));
}

// The secrets file davfs2 will accept: a plain regular file owned by the
// account that mounts (this service), lying inside the user's home.
bool usable_secrets(const PathStatus& st) {
  return st.kind == PathKind::Regular && st.owner == geteuid();
}

PathStatus secrets_status(const std::string& path) {
  PathStatus st = path_status(path);
  if (st.kind == PathKind::Regular && !usable_secrets(st)) st.kind = PathKind::Other;
  return st;
}

// One level only: the home itself must exist, or root would create it.
bool create_dir(const std::string& dir) {
  if (mkdir(dir.c_str(), 0755) != 0) {
    int e = errno;
    if (e != ENOENT && e != EEXIST) {
      throw fs::filesystem_error("cannot create directory", dir, std::error_code(e, std::generic_category()));
    }
    service_log(kError, "Error : Failed to create dir %s. Stop mount\n", dir.c_str());
    return false;
  }
  service_log(kDebug, "Created dir %s\n", dir.c_str());
  return true;
}

std::string numbered(const std::string& stem, unsigned n, const std::string& suffix) {
  return n == 0 ? stem + suffix : stem + "_" + std::to_string(n) + suffix;
}

}  // namespace

std::string trim(const std::string& text) {
  static const std::regex ws("^\\s+|\\s+$", std::regex::ECMAScript);
  return std::regex_replace(text, ws, "");
}

std::string credential_line(const std::string& endpoint) { return endpoint + " \"\" \"\""; }

const std::map<int, std::string>& owned_options() {
  static const std::map<int, std::string> table{
      {0, "secrets"}, {1, "use_locks"}, {2, "gui_optimize"}, {3, "buf_size"}};
  return table;
}

void reconcile_flag_option(std::map<std::string, std::string>& pending, const std::string& name,
                           int wanted) {
  auto it = pending.find(name);
  if (it == pending.end()) {
    pending[name] = std::to_string(wanted);
    return;
  }
  int value = 0;
  try {
    value = std::stoi(it->second, nullptr, 2);
  } catch (const std::exception&) {
    service_log(kWarning, "%s invalid value %s: \n", name.c_str(), it->second.c_str());
    it->second = std::to_string(wanted);
    return;
  }
  if (value == wanted) {
    pending.erase(it);
  } else {
    it->second = std::to_string(wanted);
  }
}

void reconcile_min_option(std::map<std::string, std::string>& pending, const std::string& name,
                          int minimum) {
  auto it = pending.find(name);
  if (it == pending.end()) {
    pending[name] = std::to_string(minimum);
    return;
  }
  int value = 0;
  try {
    value = std::stoi(it->second, nullptr, 10);
  } catch (const std::exception&) {
    service_log(kWarning, "%s invalid value %s: \n", name.c_str(), it->second.c_str());
    it->second = std::to_string(minimum);
    return;
  }
  if (value >= minimum) {
    pending.erase(it);
  } else {
    it->second = std::to_string(minimum);
  }
}

std::string choose_secrets_path(const std::string& dir, unsigned max_candidates) {
  for (unsigned n = 0; n < max_candidates; ++n) {
    std::string candidate = numbered(dir + "/secrets_orvanta", n, "");
    PathStatus st = secrets_status(candidate);
    if (st.kind == PathKind::Missing || st.kind == PathKind::Regular) return candidate;
    if (st.kind == PathKind::Error) throw_status_error(candidate, st.error);
  }
  return "";
}

bool create_secrets_file(const std::string& path, const std::string& endpoint) {
  std::string content = credential_line(endpoint) + "\n";
  // Appending to a file whose last line has no newline would glue the
  // credential onto that line.
  if (auto existing = read_file(path); existing && !existing->empty() && existing->back() != '\n') {
    content.insert(content.begin(), '\n');
  }
  if (append_file(path, content, kSecretsMode) != 0) {
    service_log(kError, "Error while opening davfs secret file %s\n", path.c_str());
    return false;
  }
  service_log(kDebug, "Created davfs secrets file %s\n", path.c_str());
  return true;
}

std::string prepare_davfs_files(const DavfsSettings& s) {
  const unsigned bound = s.max_candidates;

  // 1. The davfs2 directory.
  std::string dir;
  for (unsigned n = 0; n < bound && dir.empty(); ++n) {
    std::string candidate = numbered(s.homedir + "/.davfs2", n, "");
    PathStatus st = path_status(candidate);
    switch (st.kind) {
      case PathKind::Missing:
        if (!create_dir(candidate)) return "";
        dir = candidate;
        break;
      case PathKind::Directory:
        service_log(kDebug, "Dir %s already exists\n", candidate.c_str());
        dir = candidate;
        break;
      case PathKind::Error:
        throw_status_error(candidate, st.error);
      default:
        break;
    }
  }
  if (dir.empty()) {
    service_log(kError, "Error: No usable davfs dir in %s after %u candidates. Stop mount\n",
                s.homedir.c_str(), bound);
    return "";
  }
  service_log(kInfo, "davfs config and secrets dir path %s\n", dir.c_str());

  // 2. The configuration file.
  std::string conf;
  for (unsigned n = 0; n < bound && conf.empty(); ++n) {
    std::string candidate = numbered(dir + "/davfs2_orvanta", n, ".conf");
    PathStatus st = path_status(candidate);
    if (st.kind == PathKind::Missing || st.kind == PathKind::Regular) conf = candidate;
    if (st.kind == PathKind::Error) throw_status_error(candidate, st.error);
  }
  if (conf.empty()) {
    service_log(kError, "Error: No usable davfs conf file in %s after %u candidates. Stop mount\n",
                dir.c_str(), bound);
    return "";
  }
  service_log(kInfo, "davfs conf file path %s\n", conf.c_str());

  // 3. What the file says about the owned options (first line wins).
  std::map<std::string, std::string> pending;
  std::optional<std::string> conf_text;
  if (path_status(conf).kind == PathKind::Regular) conf_text = read_file(conf);
  if (!conf_text) {
    service_log(kDebug, "davfs conf file %s cannot be opened to read options\n", conf.c_str());
  } else {
    static const std::regex kv("(\\S+)\\s+(\\S+)", std::regex::ECMAScript);
    for (const std::string& raw : split_lines(*conf_text)) {
      std::string line = trim(raw);
      for (const auto& [key, name] : owned_options()) {
        (void)key;
        if (line.compare(0, name.size(), name) != 0) continue;
        service_log(kDebug, "found %s -> %s\n", name.c_str(), line.c_str());
        std::smatch m;
        std::string value = std::regex_search(line, m, kv) ? m[2].str() : std::string();
        pending.emplace(name, value);
      }
    }
  }

  // 4. Reconcile.
  std::string secrets;
  auto sec = pending.find("secrets");
  if (sec == pending.end()) {
    secrets = choose_secrets_path(dir, bound);
    if (secrets.empty()) {
      service_log(kError, "Error: No usable davfs secret file in %s. Stop mount\n", dir.c_str());
      return "";
    }
    pending["secrets"] = secrets;
  } else {
    const std::string& named = sec->second;
    PathStatus st = secrets_status(named);
    if (st.kind == PathKind::Error) throw_status_error(named, st.error);
    // A file named by the user's configuration is written to and chmod-ed
    // by root: it must lie inside the home and be a plain file. The empty
    // name is left to fail when opened.
    bool acceptable = named.empty() || ((st.kind == PathKind::Missing || st.kind == PathKind::Regular) &&
                                        resolves_inside(named, s.homedir));
    if (!acceptable) {
      secrets = choose_secrets_path(dir, bound);
      if (secrets.empty()) {
        service_log(kError, "Error: No usable davfs secret file in %s. Stop mount\n", dir.c_str());
        return "";
      }
      sec->second = secrets;
    } else {
      secrets = named;
      service_log(kDebug, "Option davfs secrets is correct, file %s\n", secrets.c_str());
      pending.erase(sec);
    }
  }
  reconcile_flag_option(pending, "use_locks", s.use_locks ? 1 : 0);
  reconcile_flag_option(pending, "gui_optimize", s.gui_optimize ? 1 : 0);
  reconcile_min_option(pending, "buf_size", s.min_buf_size);

  // 5. Write the options: the old lines for them are dropped, the new ones
  // appended, and the result replaces the file in one rename.
  if (!pending.empty()) {
    std::string content;
    if (conf_text) {
      service_log(kDebug, "Start copying conf file content\n");
      for (const std::string& raw : split_lines(*conf_text)) {
        std::string line = trim(raw);
        bool skip = false;
        for (const auto& [name, value] : pending) {
          (void)value;
          if (line.compare(0, name.size(), name) == 0) skip = true;
        }
        if (skip) {
          service_log(kDebug, "Skipped %s\n", printable(raw).c_str());
          continue;
        }
        content += raw + "\n";
      }
    } else if (path_status(conf).kind == PathKind::Regular) {
      service_log(kError, "Error while copying davfs conf file %s\n", conf.c_str());
      return "";
    }
    for (const auto& [name, value] : pending) {
      content += name + " \t" + value + "\n";
      service_log(kDebug, "Added %s with value %s\n", name.c_str(), value.c_str());
    }
    const char* stage = "open";
    int err = replace_file(conf, content, kConfMode, &stage);
    if (err != 0) {
      if (std::string(stage) == "rename") {
        service_log(kError, "Error while renaming davfs conf file %s\n", conf.c_str());
      } else {
        service_log(kError, "Error while opening davfs conf file to write options %s\n",
                    conf.c_str());
      }
      return "";
    }
    service_log(kDebug, "Renamed davfs tmp conf file to %s\n", conf.c_str());
  }

  // 6. The secrets file holds the empty credential for the endpoint.
  const std::string cred = credential_line(s.endpoint);
  PathStatus sst = secrets_status(secrets);
  if (sst.kind == PathKind::Missing || secrets.empty()) {
    if (!create_secrets_file(secrets, s.endpoint)) return "";
  } else {
    std::optional<std::string> text;
    if (sst.kind == PathKind::Regular) text = read_file(secrets);
    if (!text) {
      service_log(kError, "Error while opening davfs secret file %s\n", secrets.c_str());
      return "";
    }
    enum { Undecided, Valid, Rewrite } verdict = Undecided;
    std::vector<std::string> lines = split_lines(*text);
    for (const std::string& raw : lines) {
      std::string line = trim(raw);
      if (line.find(s.endpoint) == std::string::npos) continue;
      if (line == cred) {
        service_log(kDebug, "Credentials are valid in davfs secret file %s\n", secrets.c_str());
        verdict = Valid;
        break;
      }
      if (!line.empty() && line[0] == '#') continue;
      verdict = Rewrite;
      break;
    }
    if (verdict == Undecided) {
      if (!create_secrets_file(secrets, s.endpoint)) return "";
    } else if (verdict == Rewrite) {
      service_log(kDebug, "Credentials are not valid in davfs secret file %s\n", secrets.c_str());
      std::string content;
      for (const std::string& raw : lines) {
        if (raw.find(s.endpoint) == std::string::npos) {
          content += raw + "\n";
        } else if (std::string t = trim(raw); t.empty() || t[0] != '#') {
          content += "#" + raw + "\n";
        }
      }
      content += cred + "\n";
      const char* stage = "open";
      int err = replace_file(secrets, content, kSecretsMode, &stage);
      if (err != 0) {
        service_log(kError,
                    std::string(stage) == "rename" ? "Error while renaming davfs secret file %s\n"
                                                   : "Error while copying davfs secret file %s\n",
                    secrets.c_str());
        return "";
      }
      service_log(kDebug, "Renamed davfs tmp secret file to %s\n", secrets.c_str());
    }
  }

  // 7. davfs2 refuses a secrets file others can read.
  if (fchmodat(AT_FDCWD, secrets.c_str(), kSecretsMode, AT_SYMLINK_NOFOLLOW) != 0) {
    int e = errno;
    service_log(kError, "Error[%d] while setting davfs secrets file permissions %s, %s\n", e,
                secrets.c_str(), std::strerror(e));
    return "";
  }
  service_log(kDebug, "Set davfs secrets file permissions 600 %s\n", secrets.c_str());
  return conf;
}

}  // namespace qmss
