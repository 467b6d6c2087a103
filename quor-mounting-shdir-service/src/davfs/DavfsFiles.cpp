#include "davfs/DavfsFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <regex>
#include <system_error>

#include "SafeFs.h"
#include "LogText.h"

namespace qmss {

namespace fs = std::filesystem;

namespace {

constexpr mode_t kDirMode = 0755;
constexpr mode_t kConfMode = 0644;
constexpr mode_t kSecretsMode = 0600;

[[noreturn]] void throw_fs_error(const char* what, const std::string& path, int err) {
    throw fs::filesystem_error(what, path, std::error_code(err, std::generic_category()));
}

std::string numbered(const std::string& stem, unsigned n, const std::string& suffix) {
    return n == 0 ? stem + suffix : stem + "_" + std::to_string(n) + suffix;
}

// A secrets file davfs2 will accept: a plain regular file owned by the
// account that mounts (this service).
bool own_plain_file(const EntryStatus& st) {
    return st.kind == PathKind::Regular && st.owner == geteuid();
}

orv::UniqueFd dup_fd(int fd) {
    return orv::UniqueFd(fcntl(fd, F_DUPFD_CLOEXEC, 0));
}

// Opens an existing secrets file for reading, only when it is a plain file
// of the service's own.
orv::UniqueFd open_own_secrets(const SecretsFile& s) {
    if (!s.dir) return {};
    auto fd = open_regular(s.dir.get(), s.name, O_RDONLY);
    if (!fd || fd_status(fd->get()).owner != geteuid()) return {};
    return std::move(fd).value();
}

}  // namespace

std::string trim(const std::string& text) {
    static const std::regex ws("^\\s+|\\s+$", std::regex::ECMAScript);
    return std::regex_replace(text, ws, "");
}

std::string credential_line(const std::string& endpoint) {
    return endpoint + " \"\" \"\"";
}

const std::map<int, std::string>& owned_options() {
    static const std::map<int, std::string> table{
        {0, "secrets"}, {1, "use_locks"}, {2, "gui_optimize"}, {3, "buf_size"}};
    return table;
}

void reconcile_flag_option(Options& pending, const std::string& name, int wanted) {
    auto it = pending.find(name);
    if (it == pending.end()) {
        pending[name] = std::to_string(wanted);
        return;
    }
    int value = 0;
    try {
        value = std::stoi(it->second, nullptr, 2);
    } catch (const std::exception&) {
        ORV_LOG(Warning, "%s invalid value %s: \n", name.c_str(), it->second.c_str());
        it->second = std::to_string(wanted);
        return;
    }
    if (value == wanted) {
        pending.erase(it);
    } else {
        it->second = std::to_string(wanted);
    }
}

void reconcile_min_option(Options& pending, const std::string& name, int minimum) {
    auto it = pending.find(name);
    if (it == pending.end()) {
        pending[name] = std::to_string(minimum);
        return;
    }
    int value = 0;
    try {
        value = std::stoi(it->second, nullptr, 10);
    } catch (const std::exception&) {
        ORV_LOG(Warning, "%s invalid value %s: \n", name.c_str(), it->second.c_str());
        it->second = std::to_string(minimum);
        return;
    }
    if (value >= minimum) {
        pending.erase(it);
    } else {
        it->second = std::to_string(minimum);
    }
}

std::optional<DavfsDir> pin_davfs_dir(int homefd, const std::string& homedir, unsigned bound) {
    for (unsigned n = 0; n < bound; ++n) {
        const std::string name = numbered(".davfs2", n, "");
        const std::string path = homedir + "/" + name;
        EntryStatus st = entry_status(homefd, name);
        if (st.kind == PathKind::Error) throw_fs_error("cannot check status", path, st.error);
        bool created = false;
        if (st.kind == PathKind::Missing) {
            if (mkdirat(homefd, name.c_str(), kDirMode) != 0) {
                int e = errno;
                if (e == EEXIST) continue;  // appeared meanwhile: judged as the next one
                if (e == ENOENT) {
                    ORV_LOG(Error, "Error : Failed to create dir %s. Stop mount\n", path.c_str());
                    return std::nullopt;
                }
                throw_fs_error("cannot create directory", path, e);
            }
            created = true;
        } else if (st.kind != PathKind::Directory) {
            continue;
        }
        // Opened without following: a link put in its place after the check is
        // refused here and the next name is tried.
        orv::UniqueFd fd(openat(homefd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd) {
            if (errno == ENOTDIR || errno == ELOOP || errno == ENOENT) continue;
            throw_fs_error("cannot open directory", path, errno);
        }
        ORV_LOG(Debug, created ? "Created dir %s\n" : "Dir %s already exists\n", path.c_str());
        ORV_LOG(Info, "davfs config and secrets dir path %s\n", path.c_str());
        return DavfsDir{std::move(fd), path};
    }
    ORV_LOG(Error, "Error: No usable davfs dir in %s after %u candidates. Stop mount\n", homedir.c_str(), bound);
    return std::nullopt;
}

std::optional<ConfFile> choose_conf_file(const DavfsDir& dir, unsigned bound) {
    for (unsigned n = 0; n < bound; ++n) {
        ConfFile c;
        c.name = numbered("davfs2_orvanta", n, ".conf");
        c.path = dir.path + "/" + c.name;
        auto fd = open_regular(dir.fd.get(), c.name, O_RDONLY);
        const int err = fd.errnum();
        if (!fd && err == ENOENT) {
            ORV_LOG(Info, "davfs conf file path %s\n", c.path.c_str());
            ORV_LOG(Debug, "davfs conf file %s cannot be opened to read options\n", c.path.c_str());
            return c;
        }
        if (!fd) {
            // A link, a directory, a fifo, a hard link: not ours to edit.
            if (err == ELOOP || err == EINVAL || err == EISDIR || err == ENXIO) continue;
            // A plain file that cannot be read: kept as the file, reported when
            // it is copied.
            EntryStatus st = entry_status(dir.fd.get(), c.name);
            if (st.kind == PathKind::Error) throw_fs_error("cannot check status", c.path, st.error);
            if (st.kind != PathKind::Regular) continue;
            c.exists = true;
            ORV_LOG(Info, "davfs conf file path %s\n", c.path.c_str());
            ORV_LOG(Debug, "davfs conf file %s cannot be opened to read options\n", c.path.c_str());
            return c;
        }
        c.exists = true;
        c.text = read_all(fd->get());
        ORV_LOG(Info, "davfs conf file path %s\n", c.path.c_str());
        if (!c.text) {
            ORV_LOG(Debug, "davfs conf file %s cannot be opened to read options\n", c.path.c_str());
        }
        return c;
    }
    ORV_LOG(Error, "Error: No usable davfs conf file in %s after %u candidates. Stop mount\n", dir.path.c_str(), bound);
    return std::nullopt;
}

Options read_owned_options(const std::string& text) {
    static const std::regex kv("(\\S+)\\s+(\\S+)", std::regex::ECMAScript);
    Options pending;
    for (const std::string& raw : split_lines(text)) {
        std::string line = trim(raw);
        for (const auto& [key, name] : owned_options()) {
            (void)key;
            if (line.compare(0, name.size(), name) != 0) continue;
            ORV_LOG(Debug, "found %s -> %s\n", name.c_str(), line.c_str());
            std::smatch m;
            std::string value = std::regex_search(line, m, kv) ? m[2].str() : std::string();
            pending.emplace(name, value);
        }
    }
    return pending;
}

std::optional<SecretsFile> choose_secrets_path(const DavfsDir& dir, unsigned bound) {
    for (unsigned n = 0; n < bound; ++n) {
        std::string name = numbered("secrets_orvanta", n, "");
        EntryStatus st = entry_status(dir.fd.get(), name);
        if (st.kind == PathKind::Error) throw_fs_error("cannot check status", dir.path + "/" + name, st.error);
        if (st.kind == PathKind::Missing || own_plain_file(st)) {
            return SecretsFile{dup_fd(dir.fd.get()), name, dir.path + "/" + name};
        }
    }
    ORV_LOG(Error, "Error: No usable davfs secret file in %s. Stop mount\n", dir.path.c_str());
    return std::nullopt;
}

namespace {

// The secrets file a "secrets" line names, when root may use it: beneath the
// home, reached without a link, missing or a plain file of root's own. Its
// directory is pinned here; every later step goes through that descriptor.
std::optional<SecretsFile> named_secrets(const std::string& named, int homefd, const std::string& homedir) {
    // The empty name is kept: davfs2 would be told nothing usable, and the
    // write reports it.
    if (named.empty()) return SecretsFile{orv::UniqueFd(), "", ""};
    std::optional<std::string> rel = relative_beneath(named, homedir);
    if (!rel || rel->empty()) return std::nullopt;
    size_t slash = rel->find_last_of('/');
    std::string parent = slash == std::string::npos ? std::string() : rel->substr(0, slash);
    std::string leaf = slash == std::string::npos ? *rel : rel->substr(slash + 1);
    if (leaf.empty() || leaf == "." || leaf == "..") return std::nullopt;
    auto dirfd = open_beneath(homefd, parent, O_PATH | O_DIRECTORY);
    if (!dirfd) {
        // A directory that does not exist: the name is kept and the file cannot
        // be created, as for any missing directory. A link anywhere: refused.
        if (dirfd.errnum() == ENOENT) return SecretsFile{orv::UniqueFd(), leaf, named};
        return std::nullopt;
    }
    EntryStatus st = entry_status(dirfd->get(), leaf);
    if (st.kind == PathKind::Error) throw_fs_error("cannot check status", named, st.error);
    if (st.kind != PathKind::Missing && !own_plain_file(st)) return std::nullopt;
    return SecretsFile{std::move(dirfd).value(), leaf, named};
}

}  // namespace

std::optional<SecretsFile> reconcile_options(Options& pending, const DavfsDir& dir, int homefd,
                                             const std::string& homedir, const ServiceConfig& config) {
    std::optional<SecretsFile> secrets;
    auto sec = pending.find("secrets");
    if (sec == pending.end()) {
        secrets = choose_secrets_path(dir, config.max_candidates);
        if (!secrets) return std::nullopt;
        pending["secrets"] = secrets->path;
    } else {
        secrets = named_secrets(sec->second, homefd, homedir);
        if (!secrets) {
            secrets = choose_secrets_path(dir, config.max_candidates);
            if (!secrets) return std::nullopt;
            sec->second = secrets->path;
        } else {
            ORV_LOG(Debug, "Option davfs secrets is correct, file %s\n", secrets->path.c_str());
            pending.erase(sec);
        }
    }
    reconcile_flag_option(pending, "use_locks", config.use_locks ? 1 : 0);
    reconcile_flag_option(pending, "gui_optimize", config.gui_optimize ? 1 : 0);
    reconcile_min_option(pending, "buf_size", config.min_buf_size);
    return secrets;
}

bool write_conf_options(const DavfsDir& dir, const ConfFile& conf, const Options& pending) {
    if (pending.empty()) return true;
    std::string content;
    if (conf.exists) {
        ORV_LOG(Debug, "Start copying conf file content\n");
        if (!conf.text) {
            ORV_LOG(Error, "Error while copying davfs conf file %s\n", conf.path.c_str());
            return false;
        }
        for (const std::string& raw : split_lines(*conf.text)) {
            std::string line = trim(raw);
            bool skip = false;
            for (const auto& [name, value] : pending) {
                (void)value;
                if (line.compare(0, name.size(), name) == 0) skip = true;
            }
            if (skip) {
                ORV_LOG(Debug, "Skipped %s\n", printable(raw).c_str());
                continue;
            }
            content += raw + "\n";
        }
    }
    for (const auto& [name, value] : pending) {
        content += name + " \t" + value + "\n";
        ORV_LOG(Debug, "Added %s with value %s\n", name.c_str(), value.c_str());
    }
    if (auto written = replace_in_dir(dir.fd.get(), conf.name, content, kConfMode); !written) {
        if (written.context() == "rename") {
            ORV_LOG(Error, "Error while renaming davfs conf file %s\n", conf.path.c_str());
        } else {
            ORV_LOG(Error, "Error while opening davfs conf file to write options %s\n", conf.path.c_str());
        }
        return false;
    }
    ORV_LOG(Debug, "Renamed davfs tmp conf file to %s\n", conf.path.c_str());
    return true;
}

bool create_secrets_file(const SecretsFile& s, const std::string& endpoint) {
    std::string content = credential_line(endpoint) + "\n";
    if (orv::UniqueFd fd = open_own_secrets(s)) {
        // Appending to a file whose last line has no newline would glue the
        // credential onto that line.
        if (auto existing = read_all(fd.get()); existing && !existing->empty() && existing->back() != '\n') {
            content.insert(content.begin(), '\n');
        }
    }
    if (!s.dir || s.name.empty() || !append_in_dir(s.dir.get(), s.name, content, kSecretsMode)) {
        ORV_LOG(Error, "Error while opening davfs secret file %s\n", s.path.c_str());
        return false;
    }
    ORV_LOG(Debug, "Created davfs secrets file %s\n", s.path.c_str());
    return true;
}

bool ensure_credential(const SecretsFile& s, const std::string& endpoint) {
    if (!s.dir || s.name.empty() || entry_status(s.dir.get(), s.name).kind == PathKind::Missing) {
        return create_secrets_file(s, endpoint);
    }
    orv::UniqueFd fd = open_own_secrets(s);
    std::optional<std::string> text;
    if (fd) text = read_all(fd.get());
    if (!text) {
        ORV_LOG(Error, "Error while opening davfs secret file %s\n", s.path.c_str());
        return false;
    }
    const std::string cred = credential_line(endpoint);
    enum { Undecided, Valid, Rewrite } verdict = Undecided;
    std::vector<std::string> lines = split_lines(*text);
    for (const std::string& raw : lines) {
        std::string line = trim(raw);
        if (line.find(endpoint) == std::string::npos) continue;
        if (line == cred) {
            ORV_LOG(Debug, "Credentials are valid in davfs secret file %s\n", s.path.c_str());
            verdict = Valid;
            break;
        }
        if (!line.empty() && line[0] == '#') continue;
        verdict = Rewrite;
        break;
    }
    if (verdict == Valid) return true;
    if (verdict == Undecided) return create_secrets_file(s, endpoint);
    ORV_LOG(Debug, "Credentials are not valid in davfs secret file %s\n", s.path.c_str());
    std::string content;
    for (const std::string& raw : lines) {
        if (raw.find(endpoint) == std::string::npos) {
            content += raw + "\n";
        } else if (std::string t = trim(raw); t.empty() || t[0] != '#') {
            content += "#" + raw + "\n";
        }
    }
    content += cred + "\n";
    if (auto written = replace_in_dir(s.dir.get(), s.name, content, kSecretsMode); !written) {
        ORV_LOG(Error,
                written.context() == "rename" ? "Error while renaming davfs secret file %s\n"
                                              : "Error while copying davfs secret file %s\n",
                s.path.c_str());
        return false;
    }
    ORV_LOG(Debug, "Renamed davfs tmp secret file to %s\n", s.path.c_str());
    return true;
}

bool restrict_secrets(const SecretsFile& s) {
    orv::UniqueFd fd = open_own_secrets(s);
    int e = fd ? 0 : EINVAL;
    if (fd && fchmod(fd.get(), kSecretsMode) != 0) e = errno;
    if (e != 0) {
        ORV_LOG(Error, "Error[%d] while setting davfs secrets file permissions %s, %s\n", e, s.path.c_str(),
                std::strerror(e));
        return false;
    }
    ORV_LOG(Debug, "Set davfs secrets file permissions 600 %s\n", s.path.c_str());
    return true;
}

std::string prepare_davfs_files(const ServiceConfig& config, const std::string& homedir, int homefd) {
    std::optional<DavfsDir> dir = pin_davfs_dir(homefd, homedir, config.max_candidates);
    if (!dir) return "";
    race_point("davfs:dir-pinned");
    std::optional<ConfFile> conf = choose_conf_file(*dir, config.max_candidates);
    if (!conf) return "";
    race_point("davfs:conf-read");
    Options pending = conf->text ? read_owned_options(*conf->text) : Options{};
    std::optional<SecretsFile> secrets = reconcile_options(pending, *dir, homefd, homedir, config);
    if (!secrets) return "";
    race_point("davfs:secrets-resolved");
    if (!write_conf_options(*dir, *conf, pending)) return "";
    if (!ensure_credential(*secrets, config.endpoint)) return "";
    if (!restrict_secrets(*secrets)) return "";
    return conf->path;
}

std::string prepare_davfs_files(const ServiceConfig& config, const std::string& homedir) {
    auto home = open_dir(homedir);
    if (!home) {
        if (home.errnum() == ENOENT) {
            ORV_LOG(Error, "Error : Failed to create dir %s/.davfs2. Stop mount\n", homedir.c_str());
            return "";
        }
        throw_fs_error("cannot open directory", homedir, home.errnum());
    }
    return prepare_davfs_files(config, homedir, home->get());
}

}  // namespace qmss
