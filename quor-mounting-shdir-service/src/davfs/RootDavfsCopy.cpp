#include "davfs/RootDavfsCopy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "SafeFs.h"
#include "LogText.h"
#include "davfs/DavfsFiles.h"

namespace qmss {

namespace {

// The directory, created when missing, pinned, and only if it is root's
// alone: /run is root's, so nobody else can have made it.
orv::UniqueFd pin_copy_dir(const std::string& dir) {
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        int e = errno;
        ORV_LOG(Error, "Error[%d]: while creating %s. %s\n", e, dir.c_str(), std::strerror(e));
        return orv::UniqueFd();
    }
    orv::UniqueFd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!fd || fstat(fd.get(), &st) != 0 || st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
        ORV_LOG(Error, "Error: %s is not the service's own private directory\n", dir.c_str());
        return orv::UniqueFd();
    }
    return fd;
}

}  // namespace

std::string root_davfs_conf_text(const std::string& secrets_path, const ServiceConfig& config) {
    return "buf_size \t" + std::to_string(config.min_buf_size) + "\ngui_optimize \t" +
           (config.gui_optimize ? "1" : "0") + "\nsecrets \t" + secrets_path + "\nuse_locks \t" +
           (config.use_locks ? "1" : "0") + "\n";
}

std::string write_root_davfs_copy(const std::string& dir, const std::string& key, const ServiceConfig& config) {
    orv::UniqueFd fd = pin_copy_dir(dir);
    if (!fd) return "";
    const std::string secrets = key + ".secrets", conf = key + ".conf";
    orv::Result<void> written = replace_in_dir(fd.get(), secrets, credential_line(config.endpoint) + "\n", 0600);
    if (written) {
        written = replace_in_dir(fd.get(), conf, root_davfs_conf_text(dir + "/" + secrets, config), 0600);
    }
    if (!written) {
        const int err = written.errnum();
        ORV_LOG(Error, "Error[%d]: while writing davfs2 files for %s in %s (%s). %s\n", err, key.c_str(), dir.c_str(),
                written.context().c_str(), std::strerror(err));
        remove_root_davfs_copy(dir, key);
        return "";
    }
    return dir + "/" + conf;
}

void remove_root_davfs_copy(const std::string& dir, const std::string& key) {
    if (key.empty()) return;
    orv::UniqueFd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) return;
    for (const std::string& name : {key + ".conf", key + ".secrets"}) {
        if (unlinkat(fd.get(), name.c_str(), 0) != 0 && errno != ENOENT) {
            int e = errno;
            ORV_LOG(Warning, "Error[%d]: while removing %s/%s. %s\n", e, dir.c_str(), name.c_str(), std::strerror(e));
        }
    }
}

}  // namespace qmss
