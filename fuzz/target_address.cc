// The address extractor: its result is nothing, or a piece of its input made
// of address characters around exactly one "@".
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "compose/envelope.h"
#include "fuzz_check.h"
#include "support/log.h"

using namespace tarvelo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  log_set_path(nullptr);
  std::string text(reinterpret_cast<const char*>(data), size);
  text = text.c_str();
  char* found = extract_address(text.c_str());
  if (found == nullptr) {
    // With no address, no "@" may stand between two address characters.
    for (size_t i = 1; i + 1 < text.size(); ++i) {
      if (text[i] == '@') {
        FUZZ_CHECK(!(is_address_char(text[i - 1]) &&
                     is_address_char(text[i + 1])));
      }
    }
    return 0;
  }
  std::string address = found;
  free(found);
  size_t at = address.find('@');
  FUZZ_CHECK(at != std::string::npos && at > 0 && at + 1 < address.size());
  FUZZ_CHECK(address.find('@', at + 1) == std::string::npos);
  for (char c : address) FUZZ_CHECK(c == '@' || is_address_char(c));
  size_t where = text.find(address);
  FUZZ_CHECK(where != std::string::npos);
  return 0;
}
