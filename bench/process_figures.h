#pragma once
// What the process-level drivers (demo_load, demo_probe, demo_http_sessions) read off a clock and
// off a running server, alike in each: Linux only, like them.

#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

inline double secondsBetween(std::chrono::steady_clock::time_point t0, std::chrono::steady_clock::time_point t1) {
  return std::chrono::duration<double>(t1 - t0).count();
}

inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  std::size_t m = v.size() / 2;
  return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

// One field of /proc/<pid>/status, as a number (kB for VmRSS and VmHWM, a count for Threads);
// nullopt where the process or the field is not there.
inline std::optional<double> procStatus(pid_t pid, std::string_view field) {
  if (pid <= 0) return std::nullopt;
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.starts_with(field) && line.size() > field.size() && line[field.size()] == ':') {
      return std::strtod(line.c_str() + field.size() + 1, nullptr);
    }
  }
  return std::nullopt;
}

// `name` in the build folder this program was built in (its parent's), or `name` as it is when
// the program cannot tell where it runs from.
inline std::string defaultNextToSelf(std::string_view name) {
  std::error_code ec;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return std::string(name);
  return (self.parent_path().parent_path() / name).string();
}
