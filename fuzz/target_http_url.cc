// The URL reader of the HTTP client on any text (up to a NUL, as an ini
// value is). A URL it takes must hold a usable host, port and target, and
// must read back to the same parts when written out again, so what -check
// probes and what a run calls are one place.
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "support/http_url.h"

using namespace tarvelo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  text = text.c_str();
  http_url url;
  if (!parse_http_url(text.c_str(), &url)) return 0;
  FUZZ_CHECK(!url.host.empty());
  FUZZ_CHECK(url.port >= 1 && url.port <= 65535);
  FUZZ_CHECK(!url.target.empty() && url.target[0] == '/');
  FUZZ_CHECK(url.target.find('#') == std::string::npos);
  std::string again = (url.tls ? "https://" : "http://") + url.host + ":" +
                      std::to_string(url.port) + url.target;
  http_url back;
  FUZZ_CHECK(parse_http_url(again.c_str(), &back));
  FUZZ_CHECK(back.tls == url.tls && back.host == url.host &&
             back.port == url.port && back.target == url.target);
  return 0;
}
