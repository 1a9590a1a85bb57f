// HMAC-SHA256 through OpenSSL's libcrypto, which the TLS layer links anyway.
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "support/hmac_sha256.h"

namespace tarvelo {

bool hmac_sha256(std::string_view key, std::string_view data,
                 unsigned char out[kSha256Bytes]) {
  // OpenSSL reads a null key as "no key"; an empty key must still be a key.
  static const unsigned char kNoBytes[1] = {0};
  const void* key_bytes =
      key.empty() ? static_cast<const void*>(kNoBytes) : key.data();
  const unsigned char* data_bytes =
      data.empty() ? kNoBytes
                   : reinterpret_cast<const unsigned char*>(data.data());
  unsigned int length = 0;
  if (HMAC(EVP_sha256(), key_bytes, static_cast<int>(key.size()), data_bytes,
           data.size(), out, &length) == nullptr) {
    return false;
  }
  return length == kSha256Bytes;
}

}  // namespace tarvelo
