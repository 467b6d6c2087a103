#include "mount/DavfsDaemon.h"

#include <dirent.h>
#include <runtime/DirStream.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>

#include "SafeFs.h"
#include "runtime/UserDatabase.h"

namespace qmss {

std::string davfs_pid_file_name(const std::string& mount_point) {
    std::string name = mount_point.substr(mount_point.find_first_not_of('/') == std::string::npos
                                              ? mount_point.size()
                                              : mount_point.find_first_not_of('/'));
    std::replace(name.begin(), name.end(), '/', '-');
    return name + ".pid";
}

orv::UniqueFd open_davfs_daemon(const std::string& pid_dir, const std::string& mount_point) {
    orv::UniqueFd dir(open(pid_dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir) return orv::UniqueFd();
    auto opened = open_regular(dir.get(), davfs_pid_file_name(mount_point), O_RDONLY);
    if (!opened) return orv::UniqueFd();
    const orv::UniqueFd file = std::move(opened).value();
    // mount.davfs writes it after it has switched to davfs2's own account.
    struct stat st {};
    std::error_code ec;
    const std::optional<orv::PasswdEntry> davfs = orv::findUser(std::string("davfs2"), ec);
    if (fstat(file.get(), &st) != 0 || (st.st_uid != 0 && (!davfs || st.st_uid != davfs->uid))) {
        return orv::UniqueFd();
    }
    std::optional<std::string> text = read_all(file.get());
    if (!text) return orv::UniqueFd();
    char* end = nullptr;
    long pid = std::strtol(text->c_str(), &end, 10);
    if (pid <= 0 || end == text->c_str()) return orv::UniqueFd();
    orv::UniqueFd pidfd(static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0)));
    if (!pidfd) return orv::UniqueFd();
    // Checked after the pidfd pins the process: a reused pid fails here.
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    if (name != "mount.davfs") return orv::UniqueFd();
    return pidfd;
}

std::vector<std::string> davfs_cache_files(const std::string& cache_root, const std::string& mount_point) {
    std::string key = davfs_pid_file_name(mount_point);
    key.resize(key.size() - 4);  // ".pid"
    std::vector<std::string> out;
    orv::DirStream root = orv::openDirStream(cache_root.c_str());
    if (!root) return out;
    while (dirent* e = readdir(root.get())) {
        std::string name = e->d_name;
        // davfs2 joins the server, the mount point and the user with "+".
        if (name.find("+" + key + "+") == std::string::npos) continue;
        std::string dir = cache_root + "/" + name;
        orv::DirStream d = orv::openDirStream(dir.c_str());
        if (!d) continue;
        while (dirent* f = readdir(d.get())) {
            std::string file = f->d_name;
            if (file == "." || file == ".." || file == "index") continue;
            out.push_back(dir + "/" + file);
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace qmss
