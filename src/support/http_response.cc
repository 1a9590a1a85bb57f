#include "support/http_response.h"

#include <cstring>
#include <strings.h>

namespace tarvelo {

namespace {

enum reader_phase {
  PHASE_STATUS = 0,    // the status line
  PHASE_FIELDS,        // header field lines up to the empty line
  PHASE_BODY_LENGTH,   // a body of Content-Length bytes
  PHASE_BODY_TO_CLOSE, // a body that the end of the connection ends
  PHASE_CHUNK_SIZE,    // chunk-size [ chunk-ext ]
  PHASE_CHUNK_DATA,    // chunk-data
  PHASE_CHUNK_END,     // the line end after chunk-data
  PHASE_TRAILERS,      // trailer field lines up to the empty line
};

// Larger Content-Length or chunk sizes are all refused alike; the cap keeps
// the sums from overflowing (RFC 9112 7.1: a recipient must guard against
// overflow of chunk-size).
constexpr unsigned long long kSizeCap = 1ull << 40;

http_read_verdict decide(http_reader* r, http_read_verdict verdict,
                         const char* why) {
  r->verdict = verdict;
  r->why = why;
  return verdict;
}

bool is_ows(char c) { return c == ' ' || c == '\t'; }

// RFC 9110 5.6.2 tchar.
bool is_tchar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
      (c >= '0' && c <= '9')) {
    return true;
  }
  return c != '\0' && strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

// Field values and the reason phrase: HTAB, SP, VCHAR and obs-text; no
// other control byte (a bare CR included, RFC 9112 2.2).
bool is_text(const char* p, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    unsigned char c = static_cast<unsigned char>(p[i]);
    if ((c < 0x20 && c != '\t') || c == 0x7F) return false;
  }
  return true;
}

// Moves the bytes from *pos up to the next LF into r->line, counting them
// (line end included) in *counter against limit. Returns 1 when the line
// is whole (its LF and a CR before it dropped, RFC 9112 2.2), 0 when the
// data ended first, -1 when the limit would be passed.
int gather_line(http_reader* r, const char* data, size_t size, size_t* pos,
                size_t* counter, size_t limit) {
  const char* start = data + *pos;
  size_t avail = size - *pos;
  const char* lf = static_cast<const char*>(memchr(start, '\n', avail));
  size_t take = lf != nullptr ? static_cast<size_t>(lf - start) + 1 : avail;
  if (take > limit - *counter) return -1;
  *counter += take;
  *pos += take;
  r->line.append(start, lf != nullptr ? take - 1 : take);
  if (lf == nullptr) return 0;
  if (!r->line.empty() && r->line.back() == '\r') r->line.pop_back();
  return 1;
}

// RFC 9112 4: HTTP-version SP 3DIGIT SP [ reason-phrase ]; the SP before
// an empty reason may be missing, as many servers leave it out.
bool read_status_line(http_reader* r) {
  const std::string& l = r->line;
  if (l.size() < 12 || l.compare(0, 7, "HTTP/1.") != 0) return false;
  if ((l[7] != '0' && l[7] != '1') || l[8] != ' ') return false;
  int status = 0;
  for (int i = 9; i < 12; ++i) {
    if (l[i] < '0' || l[i] > '9') return false;
    status = status * 10 + (l[i] - '0');
  }
  if (status < 100 || status > 599) return false;
  if (l.size() > 12 && (l[12] != ' ' || !is_text(l.data() + 13, l.size() - 13))) {
    return false;
  }
  r->status = status;
  r->http10 = l[7] == '0';
  return true;
}

// Splits a field line (RFC 9112 5: field-name ":" OWS field-value OWS) into
// its name and value. Returns false for obs-fold, a line without a colon,
// whitespace before the colon, or a control byte in the value.
bool split_field(const std::string& line, std::string* name,
                 std::string* value) {
  size_t colon = line.find(':');
  if (colon == std::string::npos || colon == 0) return false;
  for (size_t i = 0; i < colon; ++i) {
    if (!is_tchar(line[i])) return false;
  }
  size_t from = colon + 1;
  size_t to = line.size();
  while (from < to && is_ows(line[from])) ++from;
  while (to > from && is_ows(line[to - 1])) --to;
  if (!is_text(line.data() + from, to - from)) return false;
  name->assign(line, 0, colon);
  value->assign(line, from, to - from);
  return true;
}

// Calls each(element) for the elements of a comma-separated list (RFC 9110
// 5.6.1), OWS trimmed, empty elements skipped. Stops at the first false.
template <typename Each>
bool each_element(const std::string& value, Each each) {
  size_t start = 0;
  while (start <= value.size()) {
    size_t comma = value.find(',', start);
    if (comma == std::string::npos) comma = value.size();
    size_t from = start;
    size_t to = comma;
    while (from < to && is_ows(value[from])) ++from;
    while (to > from && is_ows(value[to - 1])) --to;
    if (to > from && !each(value.substr(from, to - from))) return false;
    start = comma + 1;
  }
  return true;
}

// RFC 9110 8.6: digits only; a list of identical values (or several fields
// alike) counts as one value; differing values are a broken message.
bool note_content_length(http_reader* r, const std::string& value) {
  int count = 0;
  bool ok = each_element(value, [r, &count](const std::string& element) {
    unsigned long long n = 0;
    for (char c : element) {
      if (c < '0' || c > '9') return false;
      if (n < kSizeCap) n = n * 10 + static_cast<unsigned>(c - '0');
    }
    if (n > kSizeCap) n = kSizeCap;
    if (r->has_length && n != r->length) return false;
    r->has_length = true;
    r->length = n;
    ++count;
    return true;
  });
  return ok && count > 0;
}

// Only chunked, once: the client asks for no other coding, and chunked
// applied twice is forbidden (RFC 9112 6.1).
bool note_transfer_encoding(http_reader* r, const std::string& value) {
  r->has_encoding = true;
  int count = 0;
  bool ok = each_element(value, [r, &count](const std::string& element) {
    if (strcasecmp(element.c_str(), "chunked") != 0 || r->chunked) {
      return false;
    }
    r->chunked = true;
    ++count;
    return true;
  });
  return ok && count > 0;
}

// Reads one header field line. Returns false with r decided when it breaks
// the response.
bool read_field(http_reader* r) {
  std::string name, value;
  if (!is_ows(r->line[0]) && split_field(r->line, &name, &value)) {
    if (strcasecmp(name.c_str(), "Content-Length") == 0) {
      if (note_content_length(r, value)) return true;
      decide(r, HTTP_READ_BROKEN, "unusable or conflicting Content-Length");
      return false;
    }
    if (strcasecmp(name.c_str(), "Transfer-Encoding") == 0) {
      if (note_transfer_encoding(r, value)) return true;
      decide(r, HTTP_READ_BROKEN, "transfer coding other than chunked");
      return false;
    }
    if (strcasecmp(name.c_str(), "Content-Type") == 0 &&
        r->content_type.empty()) {
      r->content_type = value;
    }
    return true;
  }
  decide(r, HTTP_READ_BROKEN,
         is_ows(r->line[0]) ? "folded header line" : "malformed header line");
  return false;
}

// At the end of a header section: picks the body's framing (RFC 9112 6.3).
void end_of_fields(http_reader* r) {
  if (r->status < 200) {
    // An interim response (RFC 9110 15.2): the final one follows.
    r->phase = PHASE_STATUS;
    r->content_type.clear();
    r->has_length = r->has_encoding = r->chunked = false;
    r->length = 0;
    return;
  }
  if (r->http10 && r->has_encoding) {
    // RFC 9112 6.1: the framing of an HTTP/1.0 message with
    // Transfer-Encoding is faulty.
    decide(r, HTTP_READ_BROKEN, "Transfer-Encoding in an HTTP/1.0 response");
    return;
  }
  if (r->status == 204 || r->status == 304) {
    decide(r, HTTP_READ_DONE, "");
    return;
  }
  if (r->chunked) {
    // Chunked wins over a Content-Length beside it (RFC 9112 6.3 item 3);
    // such a response may be an attempt at smuggling, so the connection is
    // never used again, which the client's Connection: close ensures.
    r->phase = PHASE_CHUNK_SIZE;
    return;
  }
  if (r->has_length) {
    if (r->length > kHttpMaxBodyBytes) {
      decide(r, HTTP_READ_TOO_LARGE, "body over 64 kB");
    } else if (r->length == 0) {
      decide(r, HTTP_READ_DONE, "");
    } else {
      r->left = r->length;
      r->phase = PHASE_BODY_LENGTH;
    }
    return;
  }
  r->phase = PHASE_BODY_TO_CLOSE;
}

// RFC 9112 7.1: chunk-size [ chunk-ext ] with chunk-ext = *( BWS ";" ... ),
// the extensions skipped.
void read_chunk_size(http_reader* r) {
  const std::string& l = r->line;
  size_t i = 0;
  unsigned long long size = 0;
  for (; i < l.size(); ++i) {
    char c = l[i];
    int digit = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
    if (digit < 0) break;
    if (size < kSizeCap) size = size * 16 + static_cast<unsigned>(digit);
  }
  size_t digits = i;
  while (i < l.size() && is_ows(l[i])) ++i;
  bool rest_ok = i == l.size() ||
                 (l[i] == ';' && is_text(l.data() + i, l.size() - i));
  if (digits == 0 || !rest_ok) {
    decide(r, HTTP_READ_BROKEN, "malformed chunk size");
    return;
  }
  if (size == 0) {
    r->phase = PHASE_TRAILERS;
  } else if (size > kHttpMaxBodyBytes - r->body.size()) {
    decide(r, HTTP_READ_TOO_LARGE, "body over 64 kB");
  } else {
    r->left = size;
    r->phase = PHASE_CHUNK_DATA;
  }
}

// Takes up to r->left body bytes from data at *pos.
void take_body(http_reader* r, const char* data, size_t size, size_t* pos) {
  size_t avail = size - *pos;
  size_t take = r->left < avail ? static_cast<size_t>(r->left) : avail;
  r->body.append(data + *pos, take);
  *pos += take;
  r->left -= take;
}

// Handles one whole line of the line-based phases.
void read_line(http_reader* r) {
  switch (r->phase) {
    case PHASE_STATUS:
      if (read_status_line(r)) {
        r->phase = PHASE_FIELDS;
      } else {
        decide(r, HTTP_READ_BROKEN, "no HTTP/1.x status line");
      }
      break;
    case PHASE_FIELDS:
      if (r->line.empty()) {
        end_of_fields(r);
      } else {
        read_field(r);
      }
      break;
    case PHASE_CHUNK_SIZE:
      read_chunk_size(r);
      break;
    case PHASE_CHUNK_END:
      if (r->line.empty()) {
        r->phase = PHASE_CHUNK_SIZE;
      } else {
        decide(r, HTTP_READ_BROKEN, "chunk longer than its size");
      }
      break;
    case PHASE_TRAILERS: {
      // RFC 9112 7.1.2: trailer fields may be dropped; they are still
      // checked like header fields.
      std::string name, value;
      if (r->line.empty()) {
        decide(r, HTTP_READ_DONE, "");
      } else if (is_ows(r->line[0]) ||
                 !split_field(r->line, &name, &value)) {
        decide(r, HTTP_READ_BROKEN, "malformed trailer line");
      }
      break;
    }
    default:
      break;
  }
  r->line.clear();
}

}  // namespace

http_read_verdict http_reader_feed(http_reader* r, const char* data,
                                   size_t size) {
  size_t pos = 0;
  while (r->verdict == HTTP_READ_MORE && pos < size) {
    switch (r->phase) {
      case PHASE_BODY_LENGTH:
        take_body(r, data, size, &pos);
        if (r->left == 0) decide(r, HTTP_READ_DONE, "");
        break;
      case PHASE_CHUNK_DATA:
        take_body(r, data, size, &pos);
        if (r->left == 0) r->phase = PHASE_CHUNK_END;
        break;
      case PHASE_BODY_TO_CLOSE:
        if (size - pos > kHttpMaxBodyBytes - r->body.size()) {
          decide(r, HTTP_READ_TOO_LARGE, "body over 64 kB");
        } else {
          r->body.append(data + pos, size - pos);
          pos = size;
        }
        break;
      default: {
        bool framing =
            r->phase == PHASE_CHUNK_SIZE || r->phase == PHASE_CHUNK_END;
        int whole =
            framing ? gather_line(r, data, size, &pos, &r->framing_bytes,
                                  kHttpMaxFraming)
                    : gather_line(r, data, size, &pos, &r->head_bytes,
                                  kHttpMaxHead);
        if (whole < 0) {
          decide(r, HTTP_READ_TOO_LARGE,
                 framing ? "chunk framing over 64 kB"
                         : "header section over 16 kB");
        } else if (whole > 0) {
          read_line(r);
        }
        break;
      }
    }
  }
  return r->verdict;
}

http_read_verdict http_reader_end(http_reader* r) {
  if (r->verdict != HTTP_READ_MORE) return r->verdict;
  if (r->phase == PHASE_BODY_TO_CLOSE) return decide(r, HTTP_READ_DONE, "");
  if (r->phase == PHASE_STATUS && r->head_bytes == 0) {
    return decide(r, HTTP_READ_BROKEN, "closed without a response");
  }
  return decide(r, HTTP_READ_BROKEN, "closed before the response ended");
}

}  // namespace tarvelo
