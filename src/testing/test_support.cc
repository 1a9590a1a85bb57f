// The unit-test helpers of testing/test_support.h; CMake links this file into
// the unit-test executable only, never into tarvelo_core.
#include <ftw.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/log.h"
#include "testing/test_support.h"

namespace tarvelo {

namespace {

// The folders fresh_temp_dir made; each test process removes its own when it
// exits, so a run of the suite leaves nothing behind. A death test's child
// exits too, while its parent still reads the folders: only the process
// that made them removes them.
std::vector<std::string>* made_folders = nullptr;
pid_t maker = 0;

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
  remove(path);
  return 0;
}

void remove_made_folders() {
  if (getpid() != maker) return;
  for (const std::string& folder : *made_folders) {
    nftw(folder.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
  }
}

}  // namespace

std::string fresh_temp_dir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") +
                        "/tarvelo_unit_XXXXXX";
  char* made = mkdtemp(pattern.data());
  if (made == nullptr) return std::string("/tmp");
  if (made_folders == nullptr) {
    made_folders = new std::vector<std::string>;
    maker = getpid();
    atexit(remove_made_folders);
  }
  made_folders->push_back(made);
  return std::string(made);
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
