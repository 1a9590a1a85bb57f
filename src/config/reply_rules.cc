#include "config/reply_rules.h"

#include <cstring>

#include "support/address_chars.h"

namespace tarvelo {

namespace {

// ASCII only: the locale must not fold a byte above 127 into a match.
unsigned char ascii_lower(unsigned char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + ('a' - 'A'))
                              : c;
}

bool starts_with_ignoring_case(const char* text, const char* prefix) {
  for (; *prefix != '\0'; ++text, ++prefix) {
    if (ascii_lower(static_cast<unsigned char>(*text)) !=
        static_cast<unsigned char>(*prefix)) {
      return false;
    }
  }
  return true;
}

// The length of "http://" or "https://" at the start of text (scheme in any
// case), or 0.
size_t http_scheme_length(const char* text) {
  if (starts_with_ignoring_case(text, "http://")) return 7;
  if (starts_with_ignoring_case(text, "https://")) return 8;
  return 0;
}

bool is_host_char(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || c == '-' || c == '.';
}

bool is_ipv6_char(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') ||
         (c >= 'A' && c <= 'F') || c == ':' || c == '.';
}

// The length of the origin's host at text: a name, or an IPv6 literal in
// brackets (RFC 3986 3.2.2). 0 when there is none.
size_t origin_host_length(const char* text) {
  size_t at = 0;
  if (text[0] == '[') {
    for (at = 1; is_ipv6_char(static_cast<unsigned char>(text[at])); ++at) {
    }
    return at > 1 && text[at] == ']' ? at + 1 : 0;
  }
  while (is_host_char(static_cast<unsigned char>(text[at]))) ++at;
  return at;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool cors_origin_usable(const char* text) {
  // RFC 6454 7: an origin is scheme "://" host [":" port], nothing else. A
  // browser sends no path, so a listed path or "/" would never match.
  size_t at = http_scheme_length(text);
  if (at == 0) return false;
  size_t host = origin_host_length(text + at);
  if (host == 0) return false;
  at += host;
  if (text[at] == '\0') return true;
  if (text[at] != ':') return false;
  size_t digits = 0;
  while (is_digit(text[at + 1 + digits])) ++digits;
  return digits >= 1 && digits <= 5 && text[at + 1 + digits] == '\0';
}

int cors_origin_index(const mail_settings& settings, const char* origin) {
  if (origin == nullptr || origin[0] == '\0') return -1;
  for (int i = 0; i < settings.cors_origin_count; ++i) {
    const char* listed = settings.cors_origins[i];
    // The listed origin was checked at load time: scheme and host end where
    // the port starts, and only they fold case (RFC 6454 4 lowers them).
    size_t scheme = http_scheme_length(listed);
    size_t folded = scheme + origin_host_length(listed + scheme);
    size_t at = 0;
    while (at < folded &&
           ascii_lower(static_cast<unsigned char>(origin[at])) ==
               ascii_lower(static_cast<unsigned char>(listed[at]))) {
      ++at;
    }
    if (at == folded && strcmp(origin + at, listed + at) == 0) return i;
  }
  return -1;
}

bool redirect_url_usable(const char* text) {
  if (text[0] == '\0') return false;
  // A blank or control byte could end the Location line early or be read
  // differently by the browser; bytes beyond ASCII would need encoding.
  for (const char* p = text; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x21 || c >= 0x7F) return false;
  }
  if (text[0] == '/') {
    // "//host" and "/\host" are read by browsers as another site.
    return text[1] != '/' && text[1] != '\\';
  }
  size_t at = http_scheme_length(text);
  if (at == 0) return false;
  // The host ends where a port, path, query or fragment starts; "\" counts
  // as a path's start too, as browsers read it so.
  return text[at] != '\0' && strchr(":/\\?#", text[at]) == nullptr;
}

bool is_one_address(const char* text, size_t length) {
  // RFC 5321 4.5.3.1.1 and 4.5.3.1.3: a local part of at most 64 octets,
  // a path of at most 256 with its brackets.
  if (length == 0 || length > 254) return false;
  const void* at_sign = memchr(text, '@', length);
  if (at_sign == nullptr) return false;
  size_t local = static_cast<size_t>(static_cast<const char*>(at_sign) - text);
  if (local == 0 || local > 64) return false;
  for (size_t i = 0; i < local; ++i) {
    if (!is_address_char(static_cast<unsigned char>(text[i]))) return false;
  }
  // The domain: labels of address characters joined by single dots, at
  // least two of them.
  int dots = 0;
  size_t label = 0;
  for (size_t i = local + 1; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '.') {
      if (label == 0) return false;
      ++dots;
      label = 0;
    } else if (is_address_char(c)) {
      ++label;
    } else {
      return false;
    }
  }
  return dots > 0 && label > 0;
}

const char* alias_address_for(const mail_settings& settings,
                              const char* token) {
  if (token == nullptr) return nullptr;
  for (int i = 0; i < settings.recipient_alias_count; ++i) {
    if (strcmp(settings.alias_tokens[i], token) == 0) {
      return settings.alias_addresses[i];
    }
  }
  return nullptr;
}

}  // namespace tarvelo
