// The system operations the mount manager drives, behind one interface so
// tests can record them instead of mounting.
#pragma once

#include <string>
#include <vector>

namespace qmss {

class MountSystem {
 public:
  virtual ~MountSystem() = default;
  // Runs argv[0] (looked up on PATH) with the arguments, stdin from
  // /dev/null, and waits; returns its exit status, or -1 when it could not
  // be started or did not exit normally.
  virtual int runCommand(const std::vector<std::string>& argv) = 0;
  // 0 or an errno value.
  virtual int unmount(const std::string& path) = 0;
  virtual int forceUnmount(const std::string& path) = 0;
};

class RealMountSystem : public MountSystem {
 public:
  int runCommand(const std::vector<std::string>& argv) override;
  int unmount(const std::string& path) override;
  int forceUnmount(const std::string& path) override;
};

}  // namespace qmss
