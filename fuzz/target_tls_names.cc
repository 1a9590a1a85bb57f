// The certificate-name checks of the Schannel layer on any bytes: the input
// is a certificate name, a line feed, and a host (up to a NUL). Each text
// sits in a block of exactly its size so a read past the end is caught.
// Properties that hold whatever the texts:
// - a name without "*" matches only the same text, ignoring ASCII case;
// - a wildcard match keeps the host's labels after its first one;
// - an address that reads as IPv4 prints back to itself and reads again to
//   the same bytes, and an IP entry matches only its own four bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "smtp/tls_names.h"

using namespace tarvelo;

namespace {

std::string lowered(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t split = input.find('\n');
  std::string pattern = input.substr(0, split);
  std::string host = split == std::string::npos ? "" : input.substr(split + 1);
  host = host.substr(0, strnlen(host.c_str(), host.size()));

  char* name = static_cast<char*>(malloc(pattern.size() + 1));
  memcpy(name, pattern.data(), pattern.size());
  char* text = static_cast<char*>(malloc(host.size() + 1));
  memcpy(text, host.c_str(), host.size() + 1);

  bool match = dns_name_matches(name, int(pattern.size()), text);
  if (match && pattern.find('*') == std::string::npos) {
    FUZZ_CHECK(lowered(pattern) == lowered(host));
  }
  if (match && pattern.find('*') != std::string::npos) {
    size_t dot = host.find('.');
    FUZZ_CHECK(dot != std::string::npos && dot > 0);
    FUZZ_CHECK(lowered(host.substr(dot)) == lowered(pattern.substr(1)));
  }

  unsigned char address[4];
  if (parse_ipv4_host(text, address)) {
    char again[16];
    snprintf(again, sizeof again, "%u.%u.%u.%u", address[0], address[1],
             address[2], address[3]);
    unsigned char second[4];
    FUZZ_CHECK(parse_ipv4_host(again, second));
    FUZZ_CHECK(memcmp(address, second, 4) == 0);
    FUZZ_CHECK(host.size() <= 15);
    FUZZ_CHECK(ip_entry_matches(address, 4, second));
    if (pattern.size() == 4) {
      FUZZ_CHECK(ip_entry_matches(
                     reinterpret_cast<const unsigned char*>(name), 4,
                     address) == (memcmp(name, address, 4) == 0));
    }
  }
  free(name);
  free(text);
  return 0;
}
