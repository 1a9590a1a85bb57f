// A small, strict HTTP/1.1 client for the services a run calls besides the
// mail server (a CAPTCHA provider's verify URL, a webhook): one POST per
// connection (Connection: close) over the socket and TLS layers the mail
// delivery uses, so its deadlines and certificate checks apply here too.
//
// State owned here: none; the caller keeps whether the sockets layer was
// started.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "smtp/socket_layer.h"
#include "smtp/tls_layer.h"
#include "support/http_response.h"
#include "support/http_url.h"

namespace tarvelo {

// The most of a response body the client reads; a longer one is a failure.
constexpr long long kHttpMaxBody = kHttpMaxBodyBytes;

// Why a call came to no usable response.
enum http_failure {
  HTTP_DONE = 0,         // a whole response was read (any status)
  HTTP_NO_NAME,          // the host name does not resolve
  HTTP_NO_CONNECTION,    // refused, unreachable, or no socket
  HTTP_TLS_FAILED,       // the handshake or the certificate (tls_outcome)
  HTTP_WRITE_FAILED,     // the request could not be written
  HTTP_TIMED_OUT,        // the deadline struck before the response ended
  HTTP_BAD_RESPONSE,     // not HTTP/1.x, broken framing, closed early
  HTTP_TOO_LARGE,        // headers or body over the limits
};

struct http_request {
  http_url url;
  const char* content_type = "application/json";
  std::string body;
  // Extra header lines, name and value (no CR or LF in either).
  std::vector<std::pair<std::string, std::string>> headers;
  const char* ca_file = nullptr;  // PEM CAs to trust alone; null: the system's
  long long deadline_ms = 0;      // on net->now_ms's clock
  // The program's version for "User-Agent: TARVELO/<version>"; null sends
  // "User-Agent: TARVELO" (platform_http_post fills it in).
  const char* version = nullptr;
};

struct http_response {
  http_failure failure = HTTP_DONE;
  int status = 0;            // 100..599 when failure is HTTP_DONE
  std::string content_type;  // the Content-Type value, "" when absent
  std::string body;          // decoded from chunked framing, at most 64 kB
  // Words for a failure, for the site owner's log line (the socket error,
  // the TLS reason); "" when failure is HTTP_DONE.
  std::string detail;
};

// POSTs request over net (starting the sockets layer unless
// *sockets_started, then setting it), through tls for an https URL (the
// certificate checked against request.ca_file or the system's store, and
// made out for the URL's host). Sends Host, User-Agent, Content-Type,
// Content-Length, Connection: close and request.headers; a header name or
// value holding CR, LF or NUL (or a name that is empty or holds a colon or
// blank) is refused before any connection: HTTP_WRITE_FAILED. Reads the status
// line, headers and a body framed by Content-Length, chunked transfer
// coding, or the end of the connection, all by request.deadline_ms.
// Returns true with response->failure HTTP_DONE when a whole response
// arrived; else false with failure and detail filled. Logs nothing: the
// caller knows what the call was for.
bool http_post(const http_request& request, net_ops* net, tls_layer* tls,
               bool* sockets_started, http_response* response);

// Connects to url's host and port over net (starting the sockets layer
// unless *sockets_started, then setting it) and, for an https URL, runs the
// TLS handshake through tls with the certificate checked against ca_file
// (null: the system's store) and url.host, all by deadline_ms; then closes
// the connection without sending a byte of HTTP, so a service learns of no
// token and no submission. Returns true with response->failure HTTP_DONE
// when all of that worked; else false with failure (HTTP_NO_NAME,
// HTTP_NO_CONNECTION or HTTP_TLS_FAILED) and detail filled. Logs nothing.
bool http_probe(const http_url& url, const char* ca_file, long long deadline_ms,
                net_ops* net, tls_layer* tls, bool* sockets_started,
                http_response* response);

// A few words for failure ("no connection", "certificate not trusted" ...)
// for log lines and -check findings.
const char* http_failure_name(http_failure failure);

// The signature of http_post, so the run's callers can be driven with a
// stand-in.
using http_poster = bool (*)(const http_request& request,
                             http_response* response);

}  // namespace tarvelo
