// Abuse controls a site owner can switch on in the ini file: a honeypot
// field, a recipient allow-list and a per-client rate limit. Without their
// keywords every check passes and nothing is read or written.
#pragma once

#include <string>

#include "compose/envelope.h"
#include "config/ini_reader.h"
#include "form/form_reader.h"

namespace tarvelo {

enum abuse_verdict {
  ABUSE_PASS,
  ABUSE_HONEYPOT,      // a robot filled the hidden field: drop quietly
  ABUSE_NOT_ALLOWED,   // a recipient outside the allow-list
  ABUSE_RATE_LIMITED,  // this client sent its hourly share already
  ABUSE_RATE_UNUSABLE,  // no state file could be used: a limit cannot be kept
};

constexpr int kRateWindowSeconds = 3600;

// Returns 1 when address matches an allow-list entry: the same address, or
// an entry "@domain" naming the address's domain exactly (a subdomain is
// another domain). ASCII case is ignored.
int recipient_matches(const char* entry, const char* address);

// Returns 1 when every envelope recipient (To, BCC, CC) matches one of the
// settings' allowed_recipient entries or the list is empty; otherwise
// stores the first refused address in *refused and returns 0.
int recipients_allowed(const mail_settings& settings, const envelope& env,
                       const char** refused);

// The rate-limit state is a text of lines "<seconds> <client>\n", one per
// counted run. Drops the lines older than the window, then admits the run
// when client has fewer than limit lines left, adding one for it. Stores the
// new state in *updated. Lines that cannot be read are dropped.
int rate_limit_admit(const std::string& state, const char* client,
                     long long now, int limit, std::string* updated);

// The state file's path: the log path with ".log" replaced by ".rate" (or
// ".rate" appended).
std::string rate_state_path(const char* log_path);

// The ini file's path for a log path: both are named after the executable,
// so ".log" becomes ".ini" (or ".ini" is appended).
std::string ini_path_for_log(const char* log_path);

// Where the rate-limit counts of one form may live: the state file beside
// its ini (and log), or else a file in a private folder of the system's
// temporary folder, named after a hash of the ini's full path so that two
// forms never share counts.
struct rate_state_location {
  std::string beside;          // rate_state_path of the log
  std::string private_folder;  // "<temp folder>/tarvelo"
  std::string fallback;        // "<private folder>/<16 hex digits>.rate"
};

// Fills the location from the log path, the ini's full path and the
// temporary folder (os_temp_folder() in a run; a test passes its own). The
// folder separator is "\\" when temp_folder holds one, "/" otherwise.
rate_state_location rate_state_location_for(const char* log_path,
                                            const char* ini_full_path,
                                            const char* temp_folder);

// Parses text as an IPv6 address in its text forms (RFC 4291 2.2: hex
// groups, one "::", a dotted IPv4 tail); a zone ("%eth0", RFC 6874) is
// ignored. Returns 1 and fills groups, or 0.
int parse_ipv6(const char* text, unsigned short groups[8]);

// The key under which a client is counted: an IPv6 address by its /64
// prefix ("2001:db8:0:1::/64"), since one subscriber commonly holds a whole
// /64 and can change the rest at will; an IPv4-mapped address
// ("::ffff:192.0.2.1") as its IPv4 address; anything else as it stands.
std::string rate_client_key(const char* client);

// Whether the honeypot field holds anything: every copy of a field sent more
// than once must be empty, not only the first.
bool honeypot_filled(const form_table& form, const char* field);

// Whether settings name a honeypot_field that form filled; when so, logs
// the LOG_ERRORS line "honeypot field (%s) was filled in: no mail sent,
// success page shown".
bool honeypot_caught(const mail_settings& settings, const form_table& form);

// Runs the checks in their order: honeypot, allow-list, rate limit, logging
// each refusal at LOG_ERRORS. A run counts against the rate limit when it
// gets that far. client is the REMOTE_ADDR of the run ("" when unknown: not
// limited), counted by rate_client_key. The counts are kept in
// state.beside, and when that cannot be used (made, opened as a regular file
// without following a link, locked) in state.fallback inside
// state.private_folder (made 0700, used only when it is a folder of this
// user closed to others). When neither can be used, or the state cannot be
// read or written, the run is refused with ABUSE_RATE_UNUSABLE: the owner
// asked for a limit. State files are made with mode 0600.
abuse_verdict run_abuse_checks(const mail_settings& settings,
                               const envelope& env, const form_table& form,
                               const char* client,
                               const rate_state_location& state,
                               long long now);

}  // namespace tarvelo
