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

// Whether the run was started by a web server: either variable is set
// (null when it is not). Such a run ignores its arguments.
bool is_cgi_request(const char* gateway_interface, const char* request_method);

// Whether a request of this method may send mail: only POST does; a null
// method (a run by hand) does too.
bool method_may_send(const char* request_method);

// The whole process: derives the paths, dispatches the switches (only in a
// run by hand: when neither GATEWAY_INTERFACE nor REQUEST_METHOD is set), or
// walks the CGI run. A request method other than POST reads no form and
// sends nothing; the failure page follows. Returns the exit status of a
// completed CGI run (0); every other way out ends the process itself.
int run_main(int argc, char** argv);

// Logs the start-up lines; with an argc of two or more prints the help and
// ends the process (exit code 0).
void startup_report(int argc);

}  // namespace tarvelo
