// The Accept header reader: prefers_json on any bytes (up to a NUL, as the
// CGI environment hands them over), each text in a block of exactly its
// size so a read past the end is caught. Properties that hold whatever the
// text:
// - a text/html range in front, at full weight, never lets JSON win;
// - a trailing "application/json;q=0" can only take JSON away;
// - letter case does not matter (media types and parameter names are
//   case-insensitive, and no parameter value but q counts).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "pages/http_reply.h"

using namespace tarvelo;

namespace {

bool prefers_json_exact(const std::string& text) {
  char* block = static_cast<char*>(malloc(text.size() + 1));
  memcpy(block, text.c_str(), text.size() + 1);
  bool result = prefers_json(block);
  free(block);
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool plain_json = prefers_json("application/json");
  FUZZ_CHECK(plain_json);
  std::string text(reinterpret_cast<const char*>(data),
                   strnlen(reinterpret_cast<const char*>(data), size));
  bool json = prefers_json_exact(text);

  FUZZ_CHECK(!prefers_json_exact("text/html, " + text));
  if (prefers_json_exact(text + ", application/json;q=0")) FUZZ_CHECK(json);

  std::string upper = text;
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  FUZZ_CHECK(prefers_json_exact(upper) == json);
  return 0;
}
