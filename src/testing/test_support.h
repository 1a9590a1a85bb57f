// Helpers shared by the unit tests: a temporary log file and reading files.
#pragma once

#include <string>

namespace tarvelo {

// A fresh, empty log file for one test; points the log at it and sets the
// verbosity to "debug". The log path stays valid for the test's life.
class scoped_test_log {
 public:
  scoped_test_log();
  ~scoped_test_log();
  const std::string& path() const { return path_; }
  // The log's messages, one per line, without the date stamp and pid.
  std::string messages() const;

 private:
  std::string path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& text);
std::string fresh_temp_dir();

}  // namespace tarvelo
