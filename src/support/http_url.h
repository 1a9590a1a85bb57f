// The http and https URLs the program itself calls (a CAPTCHA provider's
// verify URL, a webhook), taken apart for the HTTP client.
//
// State owned here: none.
#pragma once

#include <string>

namespace tarvelo {

struct http_url {
  bool tls = false;    // https
  std::string host;    // as written, without the port; never empty
  int port = 0;        // the URL's port, else 443 for https and 80 for http
  std::string target;  // path and query, "/" when the URL has none
};

// Takes text apart as "http://" or "https://" (scheme in any case), a host
// of letters, digits, "-" and ".", an optional ":port" (1 to 65535), then
// an optional path and query starting with "/" or "?". A fragment ("#"
// and what follows) is dropped, as a client never sends it (RFC 9110 4.2).
// Refused: user information ("@" before the path), IPv6 literals, an empty
// host, bytes below 0x21, 0x7F and bytes beyond ASCII. Returns false, with
// *out unspecified, when text is refused.
bool parse_http_url(const char* text, http_url* out);

// text as a log line may show it: scheme, host and port as written, and the
// path and query, when there is more than "/", as "/********". A text
// without them, or one parse_http_url refuses, comes back whole. A webhook
// URL is often its own credential (Slack, Discord and Mattermost put the key
// in the path), and the log may be read by more people than the ini.
std::string url_for_log(const char* text);

}  // namespace tarvelo
