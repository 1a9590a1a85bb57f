// Header folding and encoded words: whatever the value, no line of an
// encoded header exceeds 998 characters (RFC 5322 2.1.1), no continuation
// line is blanks alone (RFC 5322 3.2.2), every line end is followed by a
// blank, and, unfolded with its encoded words decoded (RFC 2047 6.2), the
// header reads as the input (checked where no "<" or ">" asks for an added
// blank beside an encoded word).
//
// Input: a charset byte (even: UTF-8, odd: ISO-8859-1), then the value. To
// reach long runs with short inputs, 0x01 n stands for 16 n blanks, 0x02 n
// for 16 n tabs and 0x03 n for 16 n letters; CR, LF and NUL become blanks,
// as the composer leaves no line break in a header line.
#include <cstdint>
#include <cstring>
#include <string>

#include "compose/mime.h"
#include "fuzz_check.h"
#include "support/dyn_text.h"
#include "support/log.h"

using namespace tarvelo;

namespace {

std::string expand(const uint8_t* data, size_t size) {
  std::string value;
  for (size_t i = 0; i < size; ++i) {
    uint8_t c = data[i];
    if (c >= 1 && c <= 3 && i + 1 < size) {
      value.append(16 * static_cast<size_t>(data[++i]), " \tx"[c - 1]);
    } else if (c == '\r' || c == '\n' || c == '\0') {
      value += ' ';
    } else {
      value += static_cast<char>(c);
    }
  }
  return value;
}

int base64_value(char c) {
  const char* digits =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const char* p = c != '\0' ? strchr(digits, c) : nullptr;
  return p != nullptr ? static_cast<int>(p - digits) : -1;
}

std::string base64_decode(const std::string& in) {
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (char c : in) {
    if (c == '=') break;
    int v = base64_value(c);
    FUZZ_CHECK(v >= 0);
    bits = (bits << 6) | static_cast<unsigned>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

// Unfolds (checking each line on the way) and decodes the encoded words
// this encoder writes: "=?" charset "?B?" base64 "?=". Text in angle
// brackets is never encoded, so with decode false only the lines are
// checked.
std::string read_header(const std::string& wire, bool decode) {
  FUZZ_CHECK(wire.size() >= 2 && wire.compare(wire.size() - 2, 2, "\r\n") == 0);
  std::string unfolded;
  size_t start = 0;
  for (bool first = true;; first = false) {
    size_t end = wire.find("\r\n", start);
    std::string line = wire.substr(start, end - start);
    FUZZ_CHECK(line.size() <= static_cast<size_t>(kMaxLineLength));
    FUZZ_CHECK(line.find('\r') == std::string::npos);
    FUZZ_CHECK(line.find('\n') == std::string::npos);
    if (!first) {
      FUZZ_CHECK(!line.empty() && (line[0] == ' ' || line[0] == '\t'));
      FUZZ_CHECK(line.find_first_not_of(" \t") != std::string::npos);
    }
    unfolded += line;
    start = end + 2;
    if (start == wire.size()) break;
  }
  if (!decode) return unfolded;
  std::string text;
  std::string blanks;
  bool after_word = false;
  for (size_t i = 0; i < unfolded.size();) {
    size_t mark = unfolded.compare(i, 2, "=?") == 0
                      ? unfolded.find("?B?", i + 2)
                      : std::string::npos;
    size_t close =
        mark != std::string::npos ? unfolded.find("?=", mark + 3) : mark;
    if (close != std::string::npos &&
        unfolded.find('?', i + 2) == mark) {
      if (!after_word) text += blanks;
      blanks.clear();
      text += base64_decode(unfolded.substr(mark + 3, close - mark - 3));
      after_word = true;
      i = close + 2;
      continue;
    }
    char c = unfolded[i++];
    if (c == ' ' || c == '\t') {
      blanks += c;
      continue;
    }
    text += blanks;
    blanks.clear();
    after_word = false;
    text += c;
  }
  return text + blanks;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  log_set_path(nullptr);
  if (size == 0) return 0;
  const char* charset = data[0] % 2 == 0 ? "UTF-8" : "ISO-8859-1";
  std::string line = "Subject: " + expand(data + 1, size - 1);
  dyn_text* out = dyn_text_new("");
  append_header_line_encoded(line.data(), line.size(), charset, "\r\n", out);
  std::string wire(out->data, static_cast<size_t>(out->length));
  dyn_text_free(out);
  bool plain_text = line.find_first_of("<>") == std::string::npos;
  std::string read = read_header(wire, plain_text);
  if (plain_text) FUZZ_CHECK(read == line);
  return 0;
}
