// Records the service's log lines for assertions on their exact texts.
#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "service_log.h"

namespace qmss::test {

class LogCapture {
 public:
  explicit LogCapture(bool debug = true) {
    set_debug_gate(debug);
    set_log_sink([this](int sev, const std::string& text) {
      std::lock_guard<std::mutex> lock(mu_);
      lines_.emplace_back(sev, text);
    });
  }
  ~LogCapture() {
    set_log_sink(nullptr);
    set_debug_gate(false);
  }
  std::vector<std::pair<int, std::string>> lines() const {
    std::lock_guard<std::mutex> lock(mu_);
    return lines_;
  }
  bool has(int sev, const std::string& text) const {
    std::lock_guard<std::mutex> lock(mu_);
    return std::find(lines_.begin(), lines_.end(), std::make_pair(sev, text)) != lines_.end();
  }
  size_t count(const std::string& text) const {
    std::lock_guard<std::mutex> lock(mu_);
    return static_cast<size_t>(std::count_if(lines_.begin(), lines_.end(),
                                             [&](const auto& l) { return l.second == text; }));
  }
  bool anyContaining(const std::string& part) const {
    std::lock_guard<std::mutex> lock(mu_);
    return std::any_of(lines_.begin(), lines_.end(),
                       [&](const auto& l) { return l.second.find(part) != std::string::npos; });
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mu_);
    lines_.clear();
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::pair<int, std::string>> lines_;
};

// A fresh directory under /tmp, removed with its contents afterwards.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::string read_text(const std::string& path);
void write_text(const std::string& path, const std::string& text);

}  // namespace qmss::test
