#include "smtp/wire_encoder.h"

#include <cstring>

namespace tarvelo {

namespace {

// The offset of the first byte c at or after from, or size.
size_t next_of(const char* text, size_t from, size_t size, char c) {
  const void* hit = memchr(text + from, c, size - from);
  return hit == nullptr ? size : static_cast<const char*>(hit) - text;
}

void put(char* out, size_t* length, char c) {
  if (out != nullptr) out[*length] = c;
  ++*length;
}

// Writes the encoded bytes into out, or only counts them when out is null.
size_t encode_or_count(const char* text, size_t size, const char* line_end,
                       char* out) {
  bool crlf = strcmp(line_end, "\r\n") == 0;
  size_t length = 0;
  // Where the next line feed and carriage return are; found again only once
  // passed, so the text is scanned once, a line at a time.
  size_t next_lf = 0;
  size_t next_cr = 0;
  bool lf_known = false;
  bool cr_known = false;
  size_t i = 0;
  // Each turn starts a line.
  while (i < size) {
    // RFC 5321 4.5.2: a line that begins with "." gets one more ".", so that
    // no line of a visitor's text can end the message and run commands.
    if (text[i] == '.') put(out, &length, '.');
    if (!lf_known || next_lf < i) {
      next_lf = next_of(text, i, size, '\n');
      lf_known = true;
    }
    if (!cr_known || next_cr < i) {
      next_cr = next_of(text, i, size, '\r');
      cr_known = true;
    }
    size_t stop = next_lf < next_cr ? next_lf : next_cr;
    if (out != nullptr) memcpy(out + length, text + i, stop - i);
    length += stop - i;
    i = stop;
    if (i == size) break;
    bool pair = text[i] == '\r' && i + 1 < size && text[i + 1] == '\n';
    if (crlf) {
      // A "\r\n" pair, a lone "\r" and a lone "\n" each end one line.
      put(out, &length, '\r');
      put(out, &length, '\n');
    } else if (pair) {
      put(out, &length, '\r');
      put(out, &length, '\n');
    } else {
      // RFC 5321 2.3.8: a bare carriage return is never sent; receivers
      // that end a line at one would see a line the dots did not guard.
      put(out, &length, '\n');
    }
    i += pair ? 2 : 1;
  }
  return length;
}

}  // namespace

size_t wire_encode(const char* text, size_t size, const char* line_end,
                   char* out) {
  return encode_or_count(text, size, line_end, out);
}

size_t wire_encoded_size(const char* text, size_t size, const char* line_end) {
  return encode_or_count(text, size, line_end, nullptr);
}

}  // namespace tarvelo
