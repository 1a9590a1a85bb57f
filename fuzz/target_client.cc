// The client address reader of the rate limit: the input is a REMOTE_ADDR.
// An address it takes as IPv6 must read back to the same groups from the
// plain text form of those groups, and a key must be its own key, so a
// client can never be counted under two keys.
#include <cstdint>
#include <cstdio>
#include <string>

#include "compose/abuse_checks.h"
#include "fuzz_check.h"

using namespace tarvelo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // REMOTE_ADDR is a C text: it ends at a NUL.
  std::string client(reinterpret_cast<const char*>(data), size);
  client = client.c_str();
  unsigned short groups[8];
  if (parse_ipv6(client.c_str(), groups)) {
    char text[64];
    snprintf(text, sizeof text, "%x:%x:%x:%x:%x:%x:%x:%x", groups[0],
             groups[1], groups[2], groups[3], groups[4], groups[5],
             groups[6], groups[7]);
    unsigned short again[8];
    FUZZ_CHECK(parse_ipv6(text, again));
    for (int i = 0; i < 8; ++i) FUZZ_CHECK(again[i] == groups[i]);
    FUZZ_CHECK(rate_client_key(text) == rate_client_key(client.c_str()));
  }
  std::string key = rate_client_key(client.c_str());
  FUZZ_CHECK(rate_client_key(key.c_str()) == key);
  return 0;
}
