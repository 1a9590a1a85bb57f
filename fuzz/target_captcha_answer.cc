// The CAPTCHA provider's answer on any body: whatever the provider sends,
// the words for the log stay short and printable (no line break, no byte a
// log reader would take for another record), a pass carries no words, and
// the same body under a status outside 2xx is never taken.
#include <cstdint>
#include <string>

#include "compose/captcha_check.h"
#include "fuzz_check.h"

using namespace tarvelo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string body(reinterpret_cast<const char*>(data), size);
  std::string words;
  captcha_verdict verdict = captcha_answer_verdict(200, body, &words);
  for (char c : words) FUZZ_CHECK(c >= 0x20 && c < 0x7F);
  FUZZ_CHECK(words.size() <= 203);
  if (verdict == CAPTCHA_PASSED) FUZZ_CHECK(words.empty());
  FUZZ_CHECK(captcha_answer_verdict(500, body, &words) == CAPTCHA_UNCHECKED);
  return 0;
}
