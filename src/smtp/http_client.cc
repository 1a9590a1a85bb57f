#include "smtp/http_client.h"

#include <cstring>

namespace tarvelo {

namespace {

constexpr int kReceiveRoom = 4096;

// The socket error in words, without the log's line end.
std::string socket_words(int code) {
  const char* text = socket_error_text(code);
  if (text == nullptr) return "socket error " + std::to_string(code);
  std::string words = text;
  while (!words.empty() && words.back() == '\n') words.pop_back();
  return words;
}

bool fail(http_response* response, http_failure failure, std::string detail) {
  response->failure = failure;
  response->detail = std::move(detail);
  return false;
}

// connect_to takes an IPv4 address only when told it is one.
bool is_dotted(const std::string& host) {
  for (char c : host) {
    if ((c < '0' || c > '9') && c != '.') return false;
  }
  return true;
}

// RFC 9110 5.1 and 5.5: a header name is a token, and no value carries a
// line end, which would start a header (or a request) of someone else's.
bool header_usable(const std::string& name, const std::string& value) {
  if (name.empty()) return false;
  for (char c : name) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7F || c == ':') return false;
  }
  return value.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

// The Host field (RFC 9110 7.2): the port only when not the scheme's own.
std::string host_field(const http_url& url) {
  int usual = url.tls ? 443 : 80;
  if (url.port == usual) return url.host;
  return url.host + ":" + std::to_string(url.port);
}

std::string request_bytes(const http_request& request) {
  std::string out = "POST " + request.url.target + " HTTP/1.1\r\n";
  out += "Host: " + host_field(request.url) + "\r\n";
  out += "User-Agent: TARVELO";
  if (request.version != nullptr) out += std::string("/") + request.version;
  out += "\r\n";
  if (request.content_type != nullptr) {
    out += std::string("Content-Type: ") + request.content_type + "\r\n";
  }
  out += "Content-Length: " + std::to_string(request.body.size()) +
         "\r\nConnection: close\r\n";
  for (const auto& [name, value] : request.headers) {
    out += name + ": " + value + "\r\n";
  }
  out += "\r\n";
  out += request.body;
  return out;
}

// Connects to the URL's host and, for https, secures the connection. Returns
// the socket and sets *channel to the net that carries the clear text, or
// returns -1 with response's failure filled.
int open_channel(const http_url& url, const char* ca_file,
                 long long deadline_ms, net_ops* net, tls_layer* tls,
                 bool* sockets_started, net_ops** channel,
                 http_response* response) {
  if (!*sockets_started) {
    // As winsock_start, the run goes on when the layer refuses; the
    // connection then fails with words of its own.
    int granted = 0;
    net->start(kSocketsVersion, &granted);
    *sockets_started = true;
  }
  connect_failure why = CONNECT_DONE;
  int socket = net->connect_to(url.host.c_str(), is_dotted(url.host),
                               url.port, deadline_ms, &why);
  if (socket == -1) {
    if (why == CONNECT_NO_NAME) {
      fail(response, HTTP_NO_NAME, url.host + " does not resolve");
    } else {
      fail(response, HTTP_NO_CONNECTION, socket_words(net->last_error()));
    }
    return -1;
  }
  *channel = net;
  if (!url.tls) return socket;
  tls_outcome outcome;
  net_ops* secured =
      tls != nullptr ? tls->secure(net, socket, url.host.c_str(), ca_file,
                                   deadline_ms, &outcome)
                     : nullptr;
  if (secured == nullptr) {
    if (tls == nullptr) outcome.failure = TLS_UNAVAILABLE;
    std::string detail = tls_failure_name(outcome.failure);
    if (outcome.detail[0] != '\0') detail += std::string(": ") + outcome.detail;
    net->close_socket(socket);
    fail(response, HTTP_TLS_FAILED, detail);
    return -1;
  }
  *channel = secured;
  return socket;
}

// Writes all of bytes by the deadline. Returns false with the failure
// filled.
bool send_all(net_ops* channel, int socket, const std::string& bytes,
              long long deadline_ms, http_response* response) {
  size_t written = 0;
  while (written < bytes.size()) {
    size_t left = bytes.size() - written;
    int piece = left > (1u << 30) ? (1 << 30) : static_cast<int>(left);
    int taken = channel->send(socket, bytes.data() + written, piece,
                              deadline_ms);
    if (taken <= 0) {
      int code = channel->last_error();
      return fail(response,
                  code == WSA_ETIMEDOUT ? HTTP_TIMED_OUT : HTTP_WRITE_FAILED,
                  socket_words(code));
    }
    written += static_cast<size_t>(taken);
  }
  return true;
}

// Reads the response by the deadline into reader. Returns false with the
// failure filled.
bool receive(net_ops* channel, int socket, long long deadline_ms,
             http_reader* reader, http_response* response) {
  char area[kReceiveRoom];
  http_read_verdict verdict = HTTP_READ_MORE;
  while (verdict == HTTP_READ_MORE) {
    if (channel->now_ms() >= deadline_ms) {
      return fail(response, HTTP_TIMED_OUT, "no whole response in time");
    }
    int got = channel->recv(socket, area, kReceiveRoom, deadline_ms);
    if (got < 0) {
      int code = channel->last_error();
      if (code == WSA_ETIMEDOUT || channel->now_ms() >= deadline_ms) {
        return fail(response, HTTP_TIMED_OUT, "no whole response in time");
      }
      return fail(response, HTTP_BAD_RESPONSE,
                  "connection broke: " + socket_words(code));
    }
    verdict = got == 0 ? http_reader_end(reader)
                       : http_reader_feed(reader, area,
                                          static_cast<size_t>(got));
  }
  if (verdict == HTTP_READ_TOO_LARGE) {
    return fail(response, HTTP_TOO_LARGE, reader->why);
  }
  if (verdict == HTTP_READ_BROKEN) {
    return fail(response, HTTP_BAD_RESPONSE, reader->why);
  }
  return true;
}

}  // namespace

bool http_post(const http_request& request, net_ops* net, tls_layer* tls,
               bool* sockets_started, http_response* response) {
  *response = http_response();
  for (const auto& [name, value] : request.headers) {
    if (!header_usable(name, value)) {
      return fail(response, HTTP_WRITE_FAILED,
                  "header " + name + " is not a single line");
    }
  }
  if (request.content_type != nullptr &&
      !header_usable("Content-Type", request.content_type)) {
    return fail(response, HTTP_WRITE_FAILED,
                "Content-Type is not a single line");
  }
  net_ops* channel = nullptr;
  int socket = open_channel(request.url, request.ca_file, request.deadline_ms,
                            net, tls, sockets_started, &channel, response);
  if (socket == -1) return false;
  http_reader reader;
  bool ok = send_all(channel, socket, request_bytes(request),
                     request.deadline_ms, response) &&
            receive(channel, socket, request.deadline_ms, &reader, response);
  net->close_socket(socket);
  if (!ok) return false;
  response->status = reader.status;
  response->content_type = std::move(reader.content_type);
  response->body = std::move(reader.body);
  return true;
}

bool http_probe(const http_url& url, const char* ca_file, long long deadline_ms,
                net_ops* net, tls_layer* tls, bool* sockets_started,
                http_response* response) {
  *response = http_response();
  net_ops* channel = nullptr;
  int socket = open_channel(url, ca_file, deadline_ms, net, tls,
                            sockets_started, &channel, response);
  if (socket == -1) return false;
  net->close_socket(socket);
  return true;
}

const char* http_failure_name(http_failure failure) {
  switch (failure) {
    case HTTP_DONE: return "answered";
    case HTTP_NO_NAME: return "host name does not resolve";
    case HTTP_NO_CONNECTION: return "no connection";
    case HTTP_TLS_FAILED: return "TLS failed";
    case HTTP_WRITE_FAILED: return "request not written";
    case HTTP_TIMED_OUT: return "timed out";
    case HTTP_BAD_RESPONSE: return "not a usable HTTP response";
    case HTTP_TOO_LARGE: return "response too large";
  }
  return "failed";
}

}  // namespace tarvelo
