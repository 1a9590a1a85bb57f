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

// Runs the checks in their order: honeypot, allow-list, rate limit, logging
// each refusal at LOG_ERRORS. A run counts against the rate limit when it
// gets that far. client is the REMOTE_ADDR of the run ("" when unknown: not
// limited). A state file that cannot be opened, read or written is logged
// and the mail goes on.
abuse_verdict run_abuse_checks(const mail_settings& settings,
                               const envelope& env, const form_table& form,
                               const char* client, const char* state_path,
                               long long now);

}  // namespace tarvelo
