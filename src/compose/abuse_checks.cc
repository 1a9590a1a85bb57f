#include "compose/abuse_checks.h"

#include <strings.h>

#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <vector>

#include "support/decimal.h"
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

std::string ini_path_for_log(const char* log_path) {
  std::string path = rate_state_path(log_path);
  path.resize(path.size() - 5);  // ".rate"
  return path + ".ini";
}

rate_state_location rate_state_location_for(const char* log_path,
                                            const char* ini_full_path,
                                            const char* temp_folder) {
  // FNV-1a, 64 bits: only spreads forms apart, no secret rests on it.
  unsigned long long hash = 14695981039346656037ULL;
  for (const char* p = ini_full_path; *p != '\0'; ++p) {
    hash ^= static_cast<unsigned char>(*p);
    hash *= 1099511628211ULL;
  }
  char name[32];
  snprintf(name, sizeof name, "%016llx.rate", hash);
  const char* separator = strchr(temp_folder, '\\') != nullptr ? "\\" : "/";
  rate_state_location location;
  location.beside = rate_state_path(log_path);
  location.private_folder = std::string(temp_folder) + separator + "tarvelo";
  location.fallback = location.private_folder + separator + name;
  return location;
}

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "a.b.c.d", each part 1 to 3 digits up to 255, as two groups.
bool parse_ipv4_tail(const std::string& text, unsigned short* out) {
  int parts[4];
  size_t at = 0;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (at >= text.size() || text[at] != '.') return false;
      ++at;
    }
    decimal_run run = read_decimal(text.data() + at, text.size() - at, 255);
    if (run.digits == 0 || run.digits > 3 || run.over) return false;
    at += run.digits;
    parts[i] = static_cast<int>(run.value);
  }
  if (at != text.size()) return false;
  out[0] = static_cast<unsigned short>(parts[0] << 8 | parts[1]);
  out[1] = static_cast<unsigned short>(parts[2] << 8 | parts[3]);
  return true;
}

// The groups of one side of "::" ("" has none). The last group may be a
// dotted IPv4 tail when tail_allowed. Returns false on anything else.
bool parse_groups(const std::string& text, bool tail_allowed,
                  std::vector<unsigned short>* out) {
  if (text.empty()) return true;
  size_t at = 0;
  for (;;) {
    size_t colon = text.find(':', at);
    std::string group = text.substr(
        at, colon == std::string::npos ? std::string::npos : colon - at);
    if (colon == std::string::npos && tail_allowed &&
        group.find('.') != std::string::npos) {
      unsigned short pair[2];
      if (!parse_ipv4_tail(group, pair)) return false;
      out->push_back(pair[0]);
      out->push_back(pair[1]);
      return true;
    }
    if (group.empty() || group.size() > 4) return false;
    unsigned value = 0;
    for (char c : group) {
      int digit = hex_value(c);
      if (digit < 0) return false;
      value = value << 4 | static_cast<unsigned>(digit);
    }
    out->push_back(static_cast<unsigned short>(value));
    if (out->size() > 8) return false;
    if (colon == std::string::npos) return true;
    at = colon + 1;
  }
}

enum count_result { COUNT_ADMITTED, COUNT_LIMITED, COUNT_UNUSABLE };

// Opens and locks the state file of location: beside the ini, or else the
// fallback. Returns the descriptor and stores the path used in *used; -1
// after the error line when neither can be used.
int open_state(const rate_state_location& location, std::string* used) {
  std::string beside_error;
  int fd = os_lock_private_file(location.beside.c_str(), &beside_error);
  if (fd >= 0) {
    *used = location.beside;
    return fd;
  }
  std::string fallback_error;
  if (os_private_folder(location.private_folder.c_str(), &fallback_error)) {
    fd = os_lock_private_file(location.fallback.c_str(), &fallback_error);
  }
  if (fd < 0) {
    log_event(LOG_ERRORS,
              "rate_limit state file (%s) cannot be used (%s), nor the one "
              "in the temporary folder (%s) (%s): no mail sent",
              location.beside.c_str(), beside_error.c_str(),
              location.fallback.c_str(), fallback_error.c_str());
    return -1;
  }
  log_event(LOG_DEBUG,
            "rate_limit state file (%s) cannot be used (%s); counting in (%s)",
            location.beside.c_str(), beside_error.c_str(),
            location.fallback.c_str());
  *used = location.fallback;
  return fd;
}

// Counts this run under an exclusive lock on the state file, so concurrent
// runs keep exact counts.
count_result count_run(const rate_state_location& location, const char* key,
                       long long now, int limit) {
  std::string path;
  int fd = open_state(location, &path);
  if (fd < 0) return COUNT_UNUSABLE;
  std::string state;
  std::string updated;
  if (!os_read_whole(fd, &state)) {
    log_event(LOG_ERRORS,
              "rate_limit state file (%s) cannot be read: no mail sent",
              path.c_str());
    os_file_close(fd);
    return COUNT_UNUSABLE;
  }
  count_result result = rate_limit_admit(state, key, now, limit, &updated)
                            ? COUNT_ADMITTED
                            : COUNT_LIMITED;
  if (!os_replace_content(fd, updated.data(), updated.size())) {
    log_event(LOG_ERRORS,
              "rate_limit state file (%s) cannot be written: no mail sent",
              path.c_str());
    result = COUNT_UNUSABLE;
  }
  os_file_close(fd);
  return result;
}

}  // namespace

int parse_ipv6(const char* text, unsigned short groups[8]) {
  std::string address = text;
  size_t zone = address.find('%');
  if (zone != std::string::npos) address.resize(zone);
  std::vector<unsigned short> head;
  std::vector<unsigned short> tail;
  size_t gap = address.find("::");
  if (gap == std::string::npos) {
    if (!parse_groups(address, true, &head) || head.size() != 8) return 0;
  } else {
    std::string after = address.substr(gap + 2);
    // One "::" only, and it stands for at least one group of zeros.
    if (after.find("::") != std::string::npos ||
        !parse_groups(address.substr(0, gap), false, &head) ||
        !parse_groups(after, true, &tail) || head.size() + tail.size() > 7) {
      return 0;
    }
  }
  for (int i = 0; i < 8; ++i) groups[i] = 0;
  for (size_t i = 0; i < head.size(); ++i) groups[i] = head[i];
  for (size_t i = 0; i < tail.size(); ++i) groups[8 - tail.size() + i] = tail[i];
  return 1;
}

std::string rate_client_key(const char* client) {
  unsigned short g[8];
  if (strchr(client, ':') == nullptr || !parse_ipv6(client, g)) return client;
  char key[64];
  // RFC 4291 2.5.5.2: ::ffff:0:0/96 carries an IPv4 client of a dual-stack
  // socket, the same client as its plain IPv4 address.
  if (g[0] == 0 && g[1] == 0 && g[2] == 0 && g[3] == 0 && g[4] == 0 &&
      g[5] == 0xffff) {
    snprintf(key, sizeof key, "%u.%u.%u.%u", g[6] >> 8, g[6] & 0xffu,
             g[7] >> 8, g[7] & 0xffu);
  } else {
    snprintf(key, sizeof key, "%x:%x:%x:%x::/64", g[0], g[1], g[2], g[3]);
  }
  return key;
}

bool honeypot_filled(const form_table& form, const char* field) {
  for (int i = 0; i < form.form_count; ++i) {
    if (strcmp(form.names[i], field) == 0 && form.values[i][0] != '\0') {
      return true;
    }
  }
  return false;
}

bool honeypot_caught(const mail_settings& settings, const form_table& form) {
  if (settings.honeypot_field == nullptr ||
      !honeypot_filled(form, settings.honeypot_field)) {
    return false;
  }
  log_event(LOG_ERRORS,
            "honeypot field (%s) was filled in: no mail sent, success page "
            "shown",
            settings.honeypot_field);
  return true;
}

abuse_verdict run_abuse_checks(const mail_settings& settings,
                               const envelope& env, const form_table& form,
                               const char* client,
                               const rate_state_location& state,
                               long long now) {
  if (honeypot_caught(settings, form)) return ABUSE_HONEYPOT;
  const char* refused = nullptr;
  if (!recipients_allowed(settings, env, &refused)) {
    log_event(LOG_ERRORS,
              "recipient (%s) is not an allowed_recipient: no mail sent",
              refused);
    return ABUSE_NOT_ALLOWED;
  }
  if (settings.rate_limit > 0 && client[0] != '\0') {
    count_result counted = count_run(state, rate_client_key(client).c_str(),
                                     now, settings.rate_limit);
    if (counted == COUNT_UNUSABLE) return ABUSE_RATE_UNUSABLE;
    if (counted == COUNT_LIMITED) {
      log_event(LOG_ERRORS,
                "rate_limit of %d per hour reached for client (%s): no mail "
                "sent",
                settings.rate_limit, client);
      return ABUSE_RATE_LIMITED;
    }
  }
  return ABUSE_PASS;
}

}  // namespace tarvelo
