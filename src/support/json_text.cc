#include "support/json_text.h"

#include <cstddef>

namespace tarvelo {

namespace {

// The length of the well-formed UTF-8 sequence at text (Unicode 15, table
// 3-7), or 0; *subpart is then how many bytes make up the longest start of
// one, all replaced by one U+FFFD.
size_t utf8_sequence(const unsigned char* text, size_t* subpart) {
  unsigned char lead = text[0];
  size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing beyond U+10FFFF
  }
  *subpart = 1;
  if (length == 0) return 0;
  for (size_t i = 1; i < length; ++i) {
    unsigned char c = text[i];
    if (c < low || c > high) return 0;
    low = 0x80;
    high = 0xBF;
    *subpart = i + 1;
  }
  return length;
}

}  // namespace

void json_escape_append(std::string* out, const char* text) {
  static const char kHex[] = "0123456789abcdef";
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (*p != '\0') {
    unsigned char c = *p;
    if (c == '"' || c == '\\') {
      *out += '\\';
      *out += static_cast<char>(c);
      ++p;
    } else if (c < 0x20) {
      *out += "\\u00";
      *out += kHex[c >> 4];
      *out += kHex[c & 15];
      ++p;
    } else if (c < 0x80) {
      *out += static_cast<char>(c);
      ++p;
    } else {
      size_t subpart = 1;
      size_t length = utf8_sequence(p, &subpart);
      if (length > 0) {
        out->append(reinterpret_cast<const char*>(p), length);
        p += length;
      } else {
        *out += "\xEF\xBF\xBD";  // U+FFFD
        p += subpart;
      }
    }
  }
}

}  // namespace tarvelo
