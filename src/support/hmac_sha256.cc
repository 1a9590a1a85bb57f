#include "support/hmac_sha256.h"

namespace tarvelo {

std::string hmac_sha256_hex(std::string_view key, std::string_view data) {
  unsigned char mac[kSha256Bytes];
  if (!hmac_sha256(key, data, mac)) return "";
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * kSha256Bytes);
  for (unsigned char byte : mac) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0x0F];
  }
  return hex;
}

}  // namespace tarvelo
