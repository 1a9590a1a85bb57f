// Program entry and the CGI run sequence.
//
// State owned here: the_run_args and the_run_paths, set once at entry and
// read-only afterwards.
#pragma once

namespace tarvelo {

constexpr int kPathStorage = 64000;
constexpr int kPathMax = 63990;
constexpr const char* program_version = "1.0y";

struct run_args {
  int argc = 0;
  char** argv = nullptr;
};

struct run_paths {
  char ini_path[kPathStorage];
  char log_path[kPathStorage];
};

extern run_args the_run_args;
extern run_paths the_run_paths;

// Time allowed for reading the form, from the start of the run.
constexpr long long kFormTimeLimitMs = 30000;

// Derives the path of a file beside the executable: argv0 + suffix (at most
// 63990 characters kept); then, in the file name alone (the text after the
// last slash or backslash), the first ".exe" and afterwards the first ".cgi"
// are replaced by suffix and the text ends right behind it. The folders stay
// whole. suffix is ".ini" or ".log"; out holds kPathStorage bytes.
void derive_path(const char* argv0, const char* suffix, char* out);

// The whole process: derives the paths, dispatches the switches, or walks
// the CGI run. Returns the exit status of a completed CGI run (0); every
// other way out ends the process itself.
int run_main(int argc, char** argv);

// Logs the start-up lines; with two or more arguments prints the help and
// ends the process (exit code 0).
void startup_report();

}  // namespace tarvelo
