#include "printer/TransportProbe.h"

#include <sys/stat.h>

#include <cstdlib>
#include <utility>

namespace czs {

namespace {

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

TransportProbe::TransportProbe(std::string unitCheckCommand, std::string shmPath,
                               std::string virtioPath)
    : m_command(std::move(unitCheckCommand)),
      m_shmPath(std::move(shmPath)),
      m_virtioPath(std::move(virtioPath)) {}

std::string TransportProbe::transportPath() const {
    const int status = std::system(m_command.c_str());
    if (exists(m_shmPath)) {
        return m_shmPath;
    }
    if (status != 0 && exists(m_virtioPath)) {
        return m_virtioPath;
    }
    return {};
}

}  // namespace czs
