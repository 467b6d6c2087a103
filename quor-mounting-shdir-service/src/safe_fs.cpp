#include "safe_fs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>

namespace qmss {

PathStatus path_status(const std::string& path) {
  PathStatus s;
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      s.kind = PathKind::Missing;
    } else {
      s.kind = PathKind::Error;
      s.error = errno;
    }
    return s;
  }
  s.owner = st.st_uid;
  if (S_ISDIR(st.st_mode)) {
    s.kind = PathKind::Directory;
  } else if (S_ISREG(st.st_mode) && st.st_nlink == 1) {
    s.kind = PathKind::Regular;
  } else {
    s.kind = PathKind::Other;
  }
  return s;
}

namespace {
struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
};

int write_all(int fd, const std::string& content) {
  size_t off = 0;
  while (off < content.size()) {
    ssize_t w = write(fd, content.data() + off, content.size() - off);
    if (w < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    off += static_cast<size_t>(w);
  }
  return 0;
}
}  // namespace

std::optional<std::string> read_file(const std::string& path) {
  Fd f(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (f.fd < 0) return std::nullopt;
  struct stat st {};
  if (fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  std::string out;
  char buf[8192];
  for (;;) {
    ssize_t r = read(f.fd, buf, sizeof buf);
    if (r < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (r == 0) break;
    out.append(buf, static_cast<size_t>(r));
  }
  return out;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

int replace_file(const std::string& path, const std::string& content, mode_t mode,
                 const char** stage) {
  std::string tmp = path + ".tmp";
  *stage = "open";
  // A leftover temporary file (or anything planted under its name) is
  // replaced, never written through.
  if (unlink(tmp.c_str()) != 0 && errno != ENOENT) return errno;
  int err = 0;
  {
    Fd f(open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (f.fd < 0) return errno;
    err = write_all(f.fd, content);
    if (err == 0 && fsync(f.fd) != 0) err = errno;
    if (err == 0 && fchmod(f.fd, mode) != 0) err = errno;
  }
  if (err != 0) {
    unlink(tmp.c_str());
    return err;
  }
  *stage = "rename";
  if (rename(tmp.c_str(), path.c_str()) != 0) return errno;
  return 0;
}

int append_file(const std::string& path, const std::string& content, mode_t mode) {
  Fd f(open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK,
            mode));
  if (f.fd < 0) return errno;
  struct stat st {};
  if (fstat(f.fd, &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return EINVAL;
  int err = write_all(f.fd, content);
  if (err == 0 && fsync(f.fd) != 0) err = errno;
  return err;
}

bool resolves_inside(const std::string& path, const std::string& dir) {
  std::unique_ptr<char, decltype(&free)> real_dir(realpath(dir.c_str(), nullptr), &free);
  if (!real_dir) return false;
  size_t slash = path.find_last_of('/');
  const std::string parent = slash == std::string::npos ? std::string(".")
                             : slash == 0                ? std::string("/")
                                                         : path.substr(0, slash);
  const std::string leaf = slash == std::string::npos ? path : path.substr(slash + 1);
  std::unique_ptr<char, decltype(&free)> real_parent(realpath(parent.c_str(), nullptr), &free);
  if (!real_parent) return false;
  std::string base = real_dir.get();
  std::string full = real_parent.get();
  if (leaf == "..") return false;
  if (!leaf.empty() && leaf != ".") {
    if (full != "/") full.push_back('/');
    full.append(leaf);
  }
  if (base == "/") return full != "/";
  return full.size() > base.size() + 1 && full.compare(0, base.size(), base) == 0 &&
         full[base.size()] == '/';
}

}  // namespace qmss
