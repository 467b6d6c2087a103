#include "mount/ShareStateStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <limits>
#include <set>
#include <sstream>

#include "SafeFs.h"
#include "LogText.h"

namespace qmss {

namespace {

constexpr const char* kHeader = "quor-shares 1";
constexpr const char* kFileName = "shares";
constexpr size_t kMaxFileSize = 1 << 20;

std::string encode(const std::string& s) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if (c > 0x20 && c < 0x7f && c != '%') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    // An empty field would vanish between two blanks.
    return out.empty() ? "%" : out;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool decode(const std::string& in, std::string* out) {
    out->clear();
    if (in == "%") return true;
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            out->push_back(in[i]);
            continue;
        }
        if (i + 2 >= in.size()) return false;
        int hi = hex_value(in[i + 1]), lo = hex_value(in[i + 2]);
        if (hi < 0 || lo < 0) return false;
        out->push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
    }
    return true;
}

template <typename T>
bool number(const std::string& s, T* out) {
    if (s.empty() || s[0] == '-' || s[0] == '+') return false;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *out);
    return ec == std::errc() && end == s.data() + s.size();
}

bool plain_name(const std::string& n) {
    return !n.empty() && n != "." && n != ".." && n.find('/') == std::string::npos && n.find('\0') == std::string::npos;
}

bool absolute(const std::string& p) {
    return !p.empty() && p[0] == '/' && p.find('\0') == std::string::npos;
}

bool parse_line(const std::string& line, ShareRecord* r) {
    std::istringstream in(line);
    std::vector<std::string> f;
    for (std::string tok; in >> tok;)
        f.push_back(tok);
    if (f.size() != 11 || f[0] != "share") return false;
    int32_t pid = 0;
    if (!number(f[1], &r->mnt_id) || !number(f[2], &pid) || !number(f[3], &r->uid) || !number(f[4], &r->gid)) {
        return false;
    }
    r->pid = pid;
    if (!decode(f[5], &r->username) || !decode(f[6], &r->homedir) || !decode(f[7], &r->folder) ||
        !decode(f[8], &r->path) || !decode(f[9], &r->name) || !decode(f[10], &r->staging)) {
        return false;
    }
    // The mount point is its name inside a directory beneath the home.
    size_t cut = r->path.size() - r->name.size();
    return r->mnt_id != 0 && r->pid > 0 && !r->username.empty() && absolute(r->homedir) && absolute(r->path) &&
           plain_name(r->name) && absolute(r->staging) && r->path.size() > r->name.size() &&
           r->path.compare(cut, std::string::npos, r->name) == 0 && r->path[cut - 1] == '/' &&
           relative_beneath(r->path.substr(0, cut - 1), r->homedir);
}

}  // namespace

std::string format_share_records(const std::vector<ShareRecord>& records) {
    std::string out = std::string(kHeader) + "\n";
    for (const ShareRecord& r : records) {
        out += "share " + std::to_string(r.mnt_id) + " " + std::to_string(r.pid) + " " + std::to_string(r.uid) + " " +
               std::to_string(r.gid) + " " + encode(r.username) + " " + encode(r.homedir) + " " + encode(r.folder) +
               " " + encode(r.path) + " " + encode(r.name) + " " + encode(r.staging) + "\n";
    }
    return out;
}

std::vector<ShareRecord> parse_share_records(const std::string& text, size_t* bad) {
    std::vector<ShareRecord> out;
    size_t rejected = 0;
    std::vector<std::string> lines = split_lines(text);
    if (lines.empty() || lines[0] != kHeader) {
        if (bad) *bad = lines.empty() ? 0 : lines.size();
        return out;
    }
    for (size_t i = 1; i < lines.size(); ++i) {
        ShareRecord r;
        if (parse_line(lines[i], &r)) {
            out.push_back(std::move(r));
        } else {
            ++rejected;
        }
    }
    if (bad) *bad = rejected;
    return out;
}

ShareStateStore::ShareStateStore(std::string dir) : dir_(std::move(dir)) {}

namespace {

// The directory, pinned, only when it is root's and closed to others.
orv::UniqueFd open_private_dir(const std::string& dir, bool create) {
    if (create && mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        int e = errno;
        ORV_LOG(Error, "Error[%d]: while creating %s. %s\n", e, dir.c_str(), std::strerror(e));
        return orv::UniqueFd();
    }
    orv::UniqueFd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!fd || fstat(fd.get(), &st) != 0) return orv::UniqueFd();
    if (st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
        ORV_LOG(Error, "Error: %s is not the service's own private directory, ignored\n", dir.c_str());
        return orv::UniqueFd();
    }
    return fd;
}

}  // namespace

bool ShareStateStore::save(const std::vector<ShareRecord>& records) {
    orv::UniqueFd dir = open_private_dir(dir_, true);
    if (!dir) return false;
    if (auto written = replace_in_dir(dir.get(), kFileName, format_share_records(records), 0600); !written) {
        const int err = written.errnum();
        ORV_LOG(Error, "Error[%d]: while writing %s/%s (%s). %s\n", err, dir_.c_str(), kFileName,
                written.context().c_str(), std::strerror(err));
        return false;
    }
    return true;
}

std::vector<ShareRecord> ShareStateStore::load() {
    orv::UniqueFd dir = open_private_dir(dir_, false);
    if (!dir) return {};
    auto opened = open_regular(dir.get(), kFileName, O_RDONLY);
    if (!opened) {
        const int err = opened.errnum();
        if (err != ENOENT) {
            ORV_LOG(Error, "Error[%d]: while reading %s/%s. %s\n", err, dir_.c_str(), kFileName, std::strerror(err));
        }
        return {};
    }
    orv::UniqueFd file = std::move(opened).value();
    struct stat st {};
    if (fstat(file.get(), &st) != 0 || st.st_uid != geteuid() || (st.st_mode & 077) != 0 ||
        static_cast<size_t>(st.st_size) > kMaxFileSize) {
        ORV_LOG(Error, "Error: %s/%s is not the service's own file, ignored\n", dir_.c_str(), kFileName);
        return {};
    }
    std::optional<std::string> text = read_all(file.get());
    if (!text) return {};
    size_t bad = 0;
    std::vector<ShareRecord> records = parse_share_records(*text, &bad);
    if (bad > 0) ORV_LOG(Warning, "Warning: %zu malformed lines in %s/%s skipped\n", bad, dir_.c_str(), kFileName);
    return records;
}

std::string shares_status_line(const std::vector<ShareRecord>& records) {
    std::set<std::string> users;
    for (const ShareRecord& r : records)
        users.insert(printable(r.username));
    std::string line = "Serving shared folders: " + std::to_string(records.size()) +
                       (records.size() == 1 ? " share" : " shares") + " mounted";
    if (users.empty()) return line;
    const char* sep = " (";
    for (const std::string& u : users) {
        line += sep + u;
        sep = ", ";
    }
    return line + ")";
}

}  // namespace qmss
