// Shared unit-test helpers (compiled into the unit test binary only).
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "support/log.h"
#include "support/test_support.h"

namespace tarvelo {

std::string fresh_temp_dir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") +
                        "/tarvelo_unit_XXXXXX";
  char* made = mkdtemp(pattern.data());
  return made ? std::string(made) : std::string("/tmp");
}

std::string read_file(const std::string& path) {
  std::string out;
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return out;
  char buffer[8192];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) out.append(buffer, n);
  fclose(f);
  return out;
}

void write_file(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return;
  fwrite(text.data(), 1, text.size(), f);
  fclose(f);
}

scoped_test_log::scoped_test_log() : path_(fresh_temp_dir() + "/test.log") {
  log_set_path(path_.c_str());
  log_set_logging(nullptr);
}

scoped_test_log::~scoped_test_log() {
  // Tests without a log of their own then write nothing anywhere.
  log_release_lines();
  log_set_path(nullptr);
  log_set_logging(nullptr);
  unlink(path_.c_str());
}

std::string scoped_test_log::messages() const {
  std::string text = read_file(path_);
  std::string out;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    size_t mark = line.find(") - ");
    if (line.find(" - pid(") != std::string::npos && mark != std::string::npos)
      line = line.substr(mark + 4);
    out += line + "\n";
    at = end + 1;
  }
  return out;
}

}  // namespace tarvelo
