#include "support/base64.h"

namespace tarvelo {

void base64_encode(const void* data, size_t size, char* out) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const unsigned char* in = static_cast<const unsigned char*>(data);
  size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    unsigned v = (in[i] << 16) | (in[i + 1] << 8) | in[i + 2];
    *out++ = kAlphabet[v >> 18];
    *out++ = kAlphabet[(v >> 12) & 63];
    *out++ = kAlphabet[(v >> 6) & 63];
    *out++ = kAlphabet[v & 63];
  }
  // RFC 4648 4: one or two bytes left over make two or three characters
  // and the "=" that fill the group of four.
  if (i < size) {
    unsigned v = in[i] << 16;
    if (i + 1 < size) v |= in[i + 1] << 8;
    *out++ = kAlphabet[v >> 18];
    *out++ = kAlphabet[(v >> 12) & 63];
    *out++ = i + 1 < size ? kAlphabet[(v >> 6) & 63] : '=';
    *out++ = '=';
  }
  *out = '\0';
}

}  // namespace tarvelo
