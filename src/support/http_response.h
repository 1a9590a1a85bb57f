// An incremental reader of one HTTP/1.1 response (RFC 9112), for the HTTP
// client: fed the bytes as they arrive, it says whether it needs more,
// holds a whole response, or refuses what came. Pure: no I/O, no log.
//
// Strict by design, as the answers it reads decide whether a visitor's post
// is mailed: only HTTP/1.0 and 1.1, no obs-fold, no field line without a
// colon, framing by chunked transfer coding, Content-Length or the end of
// the connection, and limits on the header section and the body.
//
// State owned here: none beyond each reader.
#pragma once

#include <cstddef>
#include <string>

namespace tarvelo {

// The most of a header section (status line and field lines with their
// line ends, interim responses and trailers included) a reader takes.
constexpr size_t kHttpMaxHead = 16 * 1024;
// The most of a decoded body a reader takes (kHttpMaxBody of the client).
constexpr size_t kHttpMaxBodyBytes = 64 * 1024;
// The most of chunked framing (chunk-size lines with their extensions and
// the line ends after chunk data) a reader takes.
constexpr size_t kHttpMaxFraming = 64 * 1024;

enum http_read_verdict {
  HTTP_READ_MORE = 0,   // not yet a whole response: feed more, or end
  HTTP_READ_DONE,       // a whole final response is held
  HTTP_READ_BROKEN,     // not HTTP/1.x, broken framing, closed early
  HTTP_READ_TOO_LARGE,  // header section or body over the limits
};

struct http_reader {
  // Filled as the response is read; valid when the verdict is DONE.
  int status = 0;            // of the final response, 100..599
  std::string content_type;  // the first Content-Type value, trimmed
  std::string body;          // decoded, at most kHttpMaxBodyBytes

  // A few words on why the verdict is BROKEN or TOO_LARGE ("" else).
  const char* why = "";

  // The reader's own state; callers leave it alone.
  int phase = 0;
  http_read_verdict verdict = HTTP_READ_MORE;
  std::string line;          // the line read so far, without its end
  size_t head_bytes = 0;     // counted against kHttpMaxHead
  size_t framing_bytes = 0;  // counted against kHttpMaxFraming
  bool http10 = false;
  bool chunked = false;
  bool has_length = false;
  bool has_encoding = false;
  unsigned long long length = 0;  // Content-Length, or the chunk's size
  unsigned long long left = 0;    // body or chunk bytes still to come
};

// Reads size bytes of data (the next bytes of the connection) into reader,
// never past data + size. Returns the verdict after them: MORE while the
// response is not whole; DONE, BROKEN or TOO_LARGE once decided. A decided
// reader reads nothing more and returns its verdict again; bytes after a
// DONE response are not looked at (the client closes the connection).
http_read_verdict http_reader_feed(http_reader* reader, const char* data,
                                   size_t size);

// Tells reader that the connection ended. Returns DONE when that ends a
// body framed by the end of the connection (RFC 9112 6.3 item 8), else
// BROKEN when the response was not whole; a decided reader keeps its
// verdict.
http_read_verdict http_reader_end(http_reader* reader);

}  // namespace tarvelo
