#include "compose/abuse_checks.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>

#include "support/log.h"
#include "support/os.h"

namespace tarvelo {

int recipient_matches(const char* entry, const char* address) {
  if (entry[0] == '@') {
    const char* at = strrchr(address, '@');
    return at != nullptr && strcasecmp(at, entry) == 0;
  }
  return strcasecmp(entry, address) == 0;
}

int recipients_allowed(const mail_settings& settings, const envelope& env,
                       const char** refused) {
  if (settings.allowed_recipient_count == 0) return 1;
  for (const char* address : {env.to_address, env.bcc_address, env.cc_address}) {
    if (address == nullptr) continue;
    bool found = false;
    for (int i = 0; i < settings.allowed_recipient_count && !found; ++i) {
      found = recipient_matches(settings.allowed_recipients[i], address);
    }
    if (!found) {
      *refused = address;
      return 0;
    }
  }
  return 1;
}

int rate_limit_admit(const std::string& state, const char* client,
                     long long now, int limit, std::string* updated) {
  updated->clear();
  int seen = 0;
  size_t at = 0;
  while (at < state.size()) {
    size_t end = state.find('\n', at);
    if (end == std::string::npos) end = state.size();
    std::string line = state.substr(at, end - at);
    at = end + 1;
    char* rest = nullptr;
    long long when = strtoll(line.c_str(), &rest, 10);
    if (rest == line.c_str() || *rest != ' ') continue;
    if (when <= now - kRateWindowSeconds || when > now + kRateWindowSeconds)
      continue;
    if (strcmp(rest + 1, client) == 0) ++seen;
    *updated += line;
    *updated += '\n';
  }
  if (seen >= limit) return 0;
  *updated += std::to_string(now) + " " + client + "\n";
  return 1;
}

std::string rate_state_path(const char* log_path) {
  std::string path = log_path;
  if (path.size() >= 4 && path.compare(path.size() - 4, 4, ".log") == 0)
    path.resize(path.size() - 4);
  return path + ".rate";
}

namespace {

// Counts this run under an exclusive lock on the state file, so concurrent
// runs keep exact counts. Returns 0 only when the limit is reached; a state
// file that cannot be used never blocks a mail.
int count_run(const char* state_path, const char* client, long long now,
              int limit) {
  int fd = os_lock_file(state_path);
  if (fd < 0) {
    log_event(LOG_ERRORS,
              "rate_limit state file (%s) cannot be opened; mail not limited",
              state_path);
    return 1;
  }
  std::string state;
  std::string updated;
  if (!os_read_whole(fd, &state)) {
    log_event(LOG_ERRORS,
              "rate_limit state file (%s) cannot be read; mail not limited",
              state_path);
    os_file_close(fd);
    return 1;
  }
  int admitted = rate_limit_admit(state, client, now, limit, &updated);
  if (!os_replace_content(fd, updated.data(), updated.size())) {
    log_event(LOG_ERRORS,
              "rate_limit state file (%s) cannot be written; mail not limited",
              state_path);
    admitted = 1;
  }
  os_file_close(fd);
  return admitted;
}

}  // namespace

abuse_verdict run_abuse_checks(const mail_settings& settings,
                               const envelope& env, const form_table& form,
                               const char* client, const char* state_path,
                               long long now) {
  if (settings.honeypot_field != nullptr &&
      form_table_lookup(form, settings.honeypot_field)[0] != '\0') {
    log_event(LOG_ERRORS,
              "honeypot field (%s) was filled in: no mail sent, success page "
              "shown",
              settings.honeypot_field);
    return ABUSE_HONEYPOT;
  }
  const char* refused = nullptr;
  if (!recipients_allowed(settings, env, &refused)) {
    log_event(LOG_ERRORS,
              "recipient (%s) is not an allowed_recipient: no mail sent",
              refused);
    return ABUSE_NOT_ALLOWED;
  }
  if (settings.rate_limit > 0 && client[0] != '\0' &&
      !count_run(state_path, client, now, settings.rate_limit)) {
    log_event(LOG_ERRORS,
              "rate_limit of %d per hour reached for client (%s): no mail "
              "sent",
              settings.rate_limit, client);
    return ABUSE_RATE_LIMITED;
  }
  return ABUSE_PASS;
}

}  // namespace tarvelo
