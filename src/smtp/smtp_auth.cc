#include "smtp/smtp_auth.h"

#include <cstdlib>
#include <cstring>

#include "support/alloc.h"
#include "support/base64.h"
#include "support/log.h"
#include "support/smtp_options.h"

namespace tarvelo {

namespace {

char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whether the size bytes at text spell word (lower case) in any case.
bool word_is(const char* text, size_t size, const char* word) {
  if (strlen(word) != size) return false;
  for (size_t i = 0; i < size; ++i) {
    if (lower(text[i]) != word[i]) return false;
  }
  return true;
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Notes each blank-separated mechanism in [p, end).
void note_mechanisms(const char* p, const char* end, ehlo_capabilities* caps) {
  while (p < end) {
    while (p < end && is_blank(*p)) ++p;
    const char* word = p;
    while (p < end && !is_blank(*p)) ++p;
    size_t size = static_cast<size_t>(p - word);
    if (word_is(word, size, "plain")) caps->auth_plain = true;
    if (word_is(word, size, "login")) caps->auth_login = true;
  }
}

}  // namespace

void note_ehlo_line(const char* line, size_t size, ehlo_capabilities* caps) {
  // RFC 5321 4.1.1.1: the first line of the reply carries the server's
  // domain and a greeting, never an extension.
  if (caps->lines++ == 0) return;
  if (size < 4 || memcmp(line, "250", 3) != 0 ||
      (line[3] != '-' && line[3] != ' ')) {
    return;
  }
  const char* keyword = line + 4;
  const char* end = line + size;
  if (end[-1] == '\r') --end;
  const char* p = keyword;
  while (p < end && !is_blank(*p) && *p != '=') ++p;
  size_t keyword_size = static_cast<size_t>(p - keyword);
  if (word_is(keyword, keyword_size, "starttls")) {
    caps->starttls = true;
  } else if (word_is(keyword, keyword_size, "auth") && p < end) {
    // "AUTH=LOGIN PLAIN" is how servers written before RFC 2554 was final
    // announce it; the mechanisms are the same.
    note_mechanisms(p + 1, end, caps);
  }
}

ehlo_capabilities parse_ehlo_reply(const char* text, size_t size) {
  ehlo_capabilities caps;
  size_t at = 0;
  while (at < size) {
    const char* start = text + at;
    const char* feed =
        static_cast<const char*>(memchr(start, '\n', size - at));
    size_t length = feed ? static_cast<size_t>(feed - start) : size - at;
    note_ehlo_line(start, length, &caps);
    at += length + 1;
  }
  return caps;
}

namespace {

char* base64_of(const char* data, size_t size) {
  char* out = static_cast<char*>(
      malloc_or_fail(base64_size(size) + 1, kNoMemoryStop));
  base64_encode(data, size, out);
  return out;
}

}  // namespace

char* base64_text(const char* text) { return base64_of(text, strlen(text)); }

char* auth_plain_argument(const char* user, const char* password) {
  size_t user_size = strlen(user);
  size_t password_size = strlen(password);
  size_t size = user_size + password_size + 2;
  char* joined = static_cast<char*>(malloc_or_fail(size, kNoMemoryStop));
  joined[0] = '\0';
  memcpy(joined + 1, user, user_size);
  joined[1 + user_size] = '\0';
  memcpy(joined + 2 + user_size, password, password_size);
  char* out = base64_of(joined, size);
  // The clear password need not outlive the encoding.
  memset(joined, 0, size);
  free(joined);
  return out;
}

bool mask_secrets(const char* line, const char* const* secrets, int count,
                  char* out, size_t out_size) {
  size_t mask_size = strlen(kPasswordMask);
  size_t used = 0;
  bool masked = false;
  const char* p = line;
  while (*p != '\0') {
    // The longest secret that starts here: one form may begin another (a
    // base64 text and the same without its padding).
    size_t matched = 0;
    for (int i = 0; i < count; ++i) {
      size_t size = strlen(secrets[i]);
      if (size > matched && strncmp(p, secrets[i], size) == 0) matched = size;
    }
    const char* piece = matched ? kPasswordMask : p;
    size_t piece_size = matched ? mask_size : 1;
    if (used + piece_size >= out_size) break;
    memcpy(out + used, piece, piece_size);
    used += piece_size;
    p += matched ? matched : 1;
    masked = masked || matched > 0;
  }
  // A full buffer stops before a piece, so a secret is shown whole as the
  // mask or not at all.
  out[used] = '\0';
  return masked || *p != '\0';
}

}  // namespace tarvelo
