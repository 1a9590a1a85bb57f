#include "support/http_url.h"

#include <cstring>
#include <strings.h>

namespace tarvelo {

namespace {

bool is_host_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || c == '-' || c == '.';
}

}  // namespace

bool parse_http_url(const char* text, http_url* out) {
  for (const char* p = text; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x21 || c >= 0x7F) return false;
  }
  const char* rest = nullptr;
  if (strncasecmp(text, "https://", 8) == 0) {
    out->tls = true;
    rest = text + 8;
  } else if (strncasecmp(text, "http://", 7) == 0) {
    out->tls = false;
    rest = text + 7;
  } else {
    return false;
  }
  const char* host_end = rest;
  while (is_host_char(*host_end)) ++host_end;
  if (host_end == rest) return false;
  out->host.assign(rest, host_end);
  out->port = out->tls ? 443 : 80;
  const char* after = host_end;
  if (*after == ':') {
    ++after;
    long port = 0;
    const char* digits = after;
    while (*after >= '0' && *after <= '9' && after - digits < 6) {
      port = port * 10 + (*after - '0');
      ++after;
    }
    if (after == digits || port < 1 || port > 65535) return false;
    out->port = static_cast<int>(port);
  }
  if (*after != '\0' && *after != '/' && *after != '?' && *after != '#') {
    return false;  // "@" of user information, "[" of IPv6, or junk
  }
  size_t target_length = strcspn(after, "#");
  out->target.clear();
  if (target_length == 0 || after[0] == '?') out->target.push_back('/');
  out->target.append(after, target_length);
  return true;
}

std::string url_for_log(const char* text) {
  http_url url;
  if (!parse_http_url(text, &url) || url.target == "/") return text;
  const char* host = strstr(text, "://") + 3;
  size_t origin_length =
      static_cast<size_t>(host - text) + strcspn(host, "/?#");
  return std::string(text, origin_length) + "/********";
}

}  // namespace tarvelo
