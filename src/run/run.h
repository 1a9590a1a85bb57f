// Program entry and the CGI run sequence: the one place that reads the CGI
// environment and the clock, and that fills and reads the process-wide
// state (run/state.h); everything below gets plain values.
#pragma once

#include "form/form_reader.h"
#include "pages/http_reply.h"
#include "run/deliver.h"
#include "run/state.h"

namespace tarvelo {

constexpr const char* program_version = "1.0y";

// Time allowed for reading the form, from the start of the run; for a body
// over 99,999 bytes (an upload) the longest wait for its next byte instead.
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

// Whether a request is a CORS preflight this form answers: the method
// OPTIONS (RFC 9110 9.1: methods are case-sensitive) with at least one
// cors_origin set. Without cors_origin an OPTIONS request is just not a
// POST.
bool is_preflight(const char* request_method, const mail_settings& settings);

// What the reply tells of a run: a method other than POST (may_send false)
// is REPLY_METHOD; a refused body its own kind; otherwise the delivery's
// outcome. A refused file is REPLY_INVALID only when settings ask for
// JSON replies, an invalid page or an invalid redirect, else REPLY_FAILED
// (today's failure page); an allow-list refusal is REPLY_FAILED and an
// unusable rate-limit state REPLY_UNAVAILABLE.
reply_outcome reply_outcome_for(bool may_send, form_outcome form,
                                delivery_outcome delivery,
                                const mail_settings& settings);

// The whole process: derives the paths, dispatches the switches (only in a
// run by hand: when neither GATEWAY_INTERFACE nor REQUEST_METHOD is set), or
// walks the CGI run. A request method other than POST reads no form and
// sends nothing; the failure page follows. Returns the exit status: 0 after
// a CGI run, -version, -? and -FAQ, resend_spool_command's code after
// -resend_spool. The help, -blanklog, -version_insert_filename and a fatal
// error (fail_with_page) end the process themselves.
int run_main(int argc, char** argv);

// Logs the start-up lines "argv[0] == %s", "Log file == %s" and
// "Ini file == %s" from args and paths; when argc (the arguments that count:
// 1 for a web server's run) is two or more, prints the help (print_help with
// the ini path, standard input and output) and ends the process with exit
// code 0.
void startup_report(int argc, const run_args& args, const run_paths& paths);

}  // namespace tarvelo
