// The wire encoder with "\r\n" line ends: un-stuffed by the SMTP rule, its
// output is its input with every line end made "\r\n"; followed by the
// end-of-data marker it holds that marker exactly once, at the end, and no
// bare CR or LF. With a bare "\n" line end the output is the input with each
// bare CR made a line feed and a "." before each line that begins with one;
// it holds no bare CR. wire_encoded_size counts exactly what it writes.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "smtp/wire_encoder.h"

using namespace tarvelo;

namespace {

std::string normalise_line_ends(const std::string& in) {
  std::string out;
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] == '\r' && i + 1 < in.size() && in[i + 1] == '\n') {
      out += "\r\n";
      ++i;
    } else if (in[i] == '\r' || in[i] == '\n') {
      out += "\r\n";
    } else {
      out += in[i];
    }
  }
  return out;
}

// RFC 5321 4.5.2, receiver side: a line that begins with "." loses it.
std::string unstuff(const std::string& wire) {
  std::string out;
  size_t at = 0;
  while (at <= wire.size()) {
    size_t end = wire.find("\r\n", at);
    std::string line = wire.substr(at, end == std::string::npos ? end : end - at);
    if (!line.empty() && line[0] == '.') line.erase(0, 1);
    out += line;
    if (end == std::string::npos) break;
    out += "\r\n";
    at = end + 2;
  }
  return out;
}

// The "\n" rule, byte by byte: a carriage return not before a line feed
// becomes one, and a line starts after either.
std::string stuffed_at_line_ends(const std::string& in) {
  std::string out;
  bool line_start = true;
  for (size_t i = 0; i < in.size(); ++i) {
    char c = in[i];
    if (line_start && c == '.') out += '.';
    bool bare_cr = c == '\r' && (i + 1 == in.size() || in[i + 1] != '\n');
    out += bare_cr ? '\n' : c;
    line_start = c == '\n' || bare_cr;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  std::vector<char> out(wire_encoded_max(size) + 1);
  size_t n = wire_encode(text, size, "\r\n", out.data());
  FUZZ_CHECK(n <= wire_encoded_max(size));
  // SIZE (RFC 1870) is announced from the count alone.
  FUZZ_CHECK(wire_encoded_size(text, size, "\r\n") == n);
  std::string wire(out.data(), n);
  std::string input(text, size);
  FUZZ_CHECK(unstuff(wire) == normalise_line_ends(input));

  std::string sent = wire + "\r\n.\r\n";
  FUZZ_CHECK(sent.find("\r\n.\r\n") == sent.size() - 5);
  // A message text that itself starts with ".\r\n" would end the data at
  // once after the separating line end: the first line counts too.
  FUZZ_CHECK(sent.rfind(".\r\n", 0) != 0);
  for (size_t i = 0; i < sent.size(); ++i) {
    if (sent[i] == '\r') FUZZ_CHECK(i + 1 < sent.size() && sent[i + 1] == '\n');
    if (sent[i] == '\n') FUZZ_CHECK(i > 0 && sent[i - 1] == '\r');
  }

  n = wire_encode(text, size, "\n", out.data());
  FUZZ_CHECK(n <= wire_encoded_max(size));
  FUZZ_CHECK(wire_encoded_size(text, size, "\n") == n);
  std::string bare = std::string(out.data(), n);
  FUZZ_CHECK(bare == stuffed_at_line_ends(input));
  for (size_t i = 0; i < bare.size(); ++i) {
    if (bare[i] == '\r') FUZZ_CHECK(i + 1 < bare.size() && bare[i + 1] == '\n');
  }
  return 0;
}
