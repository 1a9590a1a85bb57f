#include "smtp/wire_encoder.h"

#include <cstring>

namespace tarvelo {

size_t wire_encode(const char* text, size_t size, const char* line_end,
                   char* out) {
  bool crlf = strcmp(line_end, "\r\n") == 0;
  size_t length = 0;
  bool line_start = true;
  for (size_t i = 0; i < size; ++i) {
    char c = text[i];
    // RFC 5321 4.5.2: a line that begins with "." gets one more ".", so that
    // no line of a visitor's text can end the message and run commands.
    if (line_start && c == '.') out[length++] = '.';
    line_start = false;
    if (crlf && (c == '\r' || c == '\n')) {
      // A "\r\n" pair, a lone "\r" and a lone "\n" each end one line.
      if (c == '\r' && i + 1 < size && text[i + 1] == '\n') ++i;
      out[length++] = '\r';
      out[length++] = '\n';
      line_start = true;
    } else {
      out[length++] = c;
      if (c == '\n') line_start = true;
    }
  }
  return length;
}

}  // namespace tarvelo
