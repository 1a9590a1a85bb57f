// The "-check" switch: reads the ini beside the executable as a run does and
// tells the site owner, one line per finding, what a run would refuse,
// ignore or be unable to do, before a visitor meets it. It creates and
// writes nothing: no log line, no state file, no spool file.
//
// The judgements are small functions over explicit arguments (the ini
// text, what stat says, the user's ids); check_command gathers those from
// the system and prints.
//
// State owned here: none.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "config/ini_reader.h"
#include "smtp/http_client.h"
#include "smtp/smtp_probe.h"
#include "support/os.h"

namespace tarvelo {

enum finding_kind { FINDING_OK, FINDING_WARNING, FINDING_PROBLEM };

// One line of the report, without its "ok: " / "warning: " / "problem: ".
struct finding {
  finding_kind kind;
  std::string text;
};
using finding_list = std::vector<finding>;

// The Levenshtein distance: the fewest single-character insertions,
// deletions and substitutions that turn a into b.
int edit_distance(std::string_view a, std::string_view b);

// The first of names nearest to word (ASCII case ignored) when it lies
// within edit distance 2; "" otherwise.
std::string_view keyword_meant(std::string_view word,
                               const std::vector<std::string_view>& names);

// The ini as the check read it. Heap-sized: allocate it with new.
struct checked_ini {
  mail_settings settings;
  entry_list headers;
  entry_list body;
  form_table form;  // always empty: no visitor posted anything
  // The names of use_submitted_variable_for_headerline lines, in order.
  std::vector<std::string> submitted_headers;
  // Every field name an ini line names (submitted header and body lines,
  // required_field, email_field, recipient_field, reply_to_field,
  // honeypot_field): the tokens a page may use.
  std::vector<std::string> field_names;
};

// Applies text line by line as a run does (pieces of at most kIniLineMax
// characters, the line end cut) to *ini and adds a finding per line that
// is not used: a keyword whose value a run refuses or ignores (problem,
// with the reader's error line as the reason), a first word within edit
// distance 2 of a keyword (problem), any other non-blank line (warning).
// The reader's log lines are held and dropped, never written: the caller
// has started holding (log_hold_lines) and the log points nowhere.
void check_ini_lines(const char* text, long size, checked_ini* ini,
                     finding_list* found);

// The findings that need no file: no From, To or Subject entry, a From
// taken from the form, no smtp line, a fixed or alias recipient that the
// allowed_recipient lines refuse, debug logging.
void check_message_settings(const checked_ini& ini, finding_list* found);

// The findings on the outside services that need no network: a
// captcha_provider without captcha_secret (problem).
void check_service_settings(const mail_settings& settings,
                            finding_list* found);

// The probe of a service's URL with the connection a run would make, so the
// command can run without a network: connect and, for https, the TLS
// handshake with the certificate checked against ca_file (null: the
// system's store), within timeout_seconds; then close without a request.
// Returns true when all of that worked, else false with response's failure
// and detail filled (as http_probe).
using service_prober = bool (*)(const http_url& url, const char* ca_file,
                                int timeout_seconds, http_response* response);

// Probes, with probe and settings.smtp_timeout, the CAPTCHA verify URL
// (captcha_url_of, trusting captcha_tls_ca, found from folder when
// relative) and webhook_url, when set,
// and adds one finding each: "CAPTCHA verify URL <url>: reachable,
// certificate accepted" (ok; "reachable" for http), or "<what> <url>:
// <failure> (<detail>)" (problem). Neither a token nor a submission is
// sent.
void probe_services(const mail_settings& settings, const std::string& folder,
                    service_prober probe, finding_list* found);

// What the system says of archive_file's place.
struct archive_place {
  std::string path;                       // full path, as a run opens it
  os_entry_kind entry = OS_ENTRY_MISSING;  // what stands at path itself
  os_file_facts file;                     // path, links followed
  os_file_facts folder;                   // the folder that holds path
};

// Judges where a run appends its archive (open with O_APPEND | O_CREAT |
// O_NOFOLLOW, mode 0600): a problem when the folder does not exist, when
// user (null: rights not judged) cannot append to the file or create it,
// when a symbolic link or anything but a regular file stands at the path;
// a warning when an existing file lets others read it, and when the file
// lies in a folder a web server may serve (served_folder_of with
// document_root). Otherwise one ok finding.
void check_archive_place(const archive_place& place, const os_user_ids* user,
                         std::string_view document_root, finding_list* found);

// The "||name||" tokens of a page, in order, each once.
std::vector<std::string> page_tokens(std::string_view page);

// Adds a warning per token of page that no name in explained accounts for
// (||_invalid_fields|| is the program's own). setting names the page's ini
// keyword.
void check_page_tokens(std::string_view page, const char* setting,
                       const std::vector<std::string>& explained,
                       finding_list* found);

// path as a run opens it from the executable's folder (the working
// directory under every web server): an absolute path as it stands,
// anything else joined to folder.
std::string path_from_folder(const char* path, const std::string& folder);

// Whether user may read (4), write (2) or search/run (1) the file by its
// mode, owner and group; root may read and write anything, and search any
// folder.
bool user_may(const os_file_facts& file, const os_user_ids& user,
              unsigned want);

// Whether user can write the file: an existing regular file it may write,
// or, when nothing stands there, a folder it may write and search to create
// it in.
bool user_can_write(const os_file_facts& file, const os_file_facts& folder,
                    const os_user_ids& user);

// The folder a web server may serve as files that holds full_path: the
// document_root when given and the path lies below it, /var/www, /srv, or
// a public_html, htdocs or wwwroot folder on the path; "" when none, or
// when a cgi-bin folder lies on the path (its files are run, not served).
std::string served_folder_of(std::string_view full_path,
                             std::string_view document_root);

// The sentence with the deny rules for *.ini, *.log and *.rate in Apache,
// nginx and lighttpd.
const char* deny_rules_text();

// The addresses a probe asks RCPT TO for: the fixed To, CC and BCC entries'
// addresses (as the envelope would find them) and every recipient_alias
// address, each once. *from gets the fixed From's address, or "" when the
// From is taken from the form (or missing).
std::vector<std::string> probe_recipients(const checked_ini& ini,
                                          std::string* from);

// One finding per probe step: "mail server, <step>: <detail>".
void add_probe_findings(const std::vector<probe_step>& steps,
                        finding_list* found);

// Prints each finding with its prefix, then the summary line
// "check: N problem(s), M warning(s)". Returns 1 when any is a problem,
// else 0.
int print_findings(const finding_list& found, FILE* out);

// The mail server probe with the connection a run would make for settings
// (its job, with from as the sender), so the command can run without a
// network.
using mail_prober = bool (*)(const mail_settings& settings, const char* from,
                             const std::vector<std::string>& recipients,
                             std::vector<probe_step>* steps);

// The whole check: args are the words after "-check" ("-offline", "-user
// NAME", in any order). Reads the ini at ini_path, judges the files for the
// user (NAME; else www-data when it exists; else the user running it),
// the archive file's place, probes the mail server with probe and the
// services' URLs with probe_service unless -offline, prints to out and
// returns the exit status (0 without problems, 1 with any, 1 for an
// unknown option). document_root ("" when unknown) is a folder the web
// server serves as files. Logs nothing: the log points nowhere while it
// runs.
int check_command(int argc, char** args, const char* ini_path,
                  const char* log_path, const char* document_root,
                  mail_prober probe, service_prober probe_service,
                  FILE* out);

}  // namespace tarvelo
