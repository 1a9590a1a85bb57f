// The message text as it goes on the wire between DATA and the end-of-data
// marker: SMTP transparency and line ends. Pure functions, no state.
#pragma once

#include <cstddef>

namespace tarvelo {

// The most bytes wire_encode can make of size input bytes.
constexpr size_t wire_encoded_max(size_t size) { return 2 * size; }

// Encodes size bytes of text (which may hold NULs) for the DATA section and
// returns the count of bytes stored in out, which must have room for
// wire_encoded_max(size) bytes; no NUL is added. The text's first byte is
// taken to start a line.
//
// With line_end "\r\n": every carriage return or line feed that is not part
// of a "\r\n" pair becomes "\r\n" (RFC 5321 2.3.8), and every line that
// begins with "." gets one more "." in front (RFC 5321 4.5.2).
// With any other line end (the bare "\n" a site owner may ask for): a bare
// carriage return becomes "\n", line feeds and "\r\n" pairs stay, and every
// line that begins with "." (at the start, after a line feed or after a
// carriage return) gets one more "." in front. No bare carriage return
// reaches the wire with either line end.
size_t wire_encode(const char* text, size_t size, const char* line_end,
                   char* out);

// The count of bytes wire_encode makes of the text, without writing them.
size_t wire_encoded_size(const char* text, size_t size, const char* line_end);

}  // namespace tarvelo
