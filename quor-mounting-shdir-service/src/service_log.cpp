#include "service_log.h"

#include <syslog.h>

#include <atomic>
#include <cstdio>
#include <vector>

namespace qmss {
namespace {

std::atomic<bool> g_debug{false};

void syslog_sink(int severity, const std::string& text) { syslog(severity, "%s", text.c_str()); }

LogSink& sink() {
  static LogSink s = syslog_sink;
  return s;
}

}  // namespace

void set_debug_gate(bool on) { g_debug.store(on); }
bool debug_gate() { return g_debug.load(); }
void set_log_sink(LogSink s) { sink() = s ? std::move(s) : LogSink(syslog_sink); }

void service_vlog(int severity, const char* fmt, va_list args) {
  if (severity == kDebug && !g_debug.load()) return;
  char small[512];
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  if (n < 0) return;
  std::string text;
  if (static_cast<size_t>(n) < sizeof small) {
    text.assign(small, static_cast<size_t>(n));
  } else {
    std::vector<char> big(static_cast<size_t>(n) + 1);
    std::vsnprintf(big.data(), big.size(), fmt, args);
    text.assign(big.data(), static_cast<size_t>(n));
  }
  sink()(severity, text);
}

void service_log(int severity, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  service_vlog(severity, fmt, args);
  va_end(args);
}

std::string printable(const std::string& text) {
  std::string out = text;
  for (auto& c : out) {
    auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) c = '?';
  }
  return out;
}

}  // namespace qmss
