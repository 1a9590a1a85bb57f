// HMAC-SHA256 through Windows CNG (bcrypt.dll, Vista and later): the
// system's own crypto, as Schannel is its own TLS.
#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include "support/hmac_sha256.h"

namespace tarvelo {

namespace {

bool succeeded(NTSTATUS status) { return status >= 0; }

}  // namespace

bool hmac_sha256(std::string_view key, std::string_view data,
                 unsigned char out[kSha256Bytes]) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (!succeeded(BCryptOpenAlgorithmProvider(&algorithm,
                                             BCRYPT_SHA256_ALGORITHM, nullptr,
                                             BCRYPT_ALG_HANDLE_HMAC_FLAG))) {
    return false;
  }
  // CNG takes non-const pointers but only reads the key and the data.
  static unsigned char no_bytes[1] = {0};
  PUCHAR key_bytes = key.empty() ? no_bytes
                                 : reinterpret_cast<PUCHAR>(
                                       const_cast<char*>(key.data()));
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok = succeeded(BCryptCreateHash(algorithm, &hash, nullptr, 0, key_bytes,
                                       static_cast<ULONG>(key.size()), 0));
  // BCryptHashData takes a ULONG length: feed a long body in pieces.
  std::string_view rest = data;
  while (ok && !rest.empty()) {
    size_t piece = rest.size() < 0x40000000u ? rest.size() : 0x40000000u;
    ok = succeeded(BCryptHashData(
        hash, reinterpret_cast<PUCHAR>(const_cast<char*>(rest.data())),
        static_cast<ULONG>(piece), 0));
    rest.remove_prefix(piece);
  }
  if (ok) ok = succeeded(BCryptFinishHash(hash, out, kSha256Bytes, 0));
  if (hash != nullptr) BCryptDestroyHash(hash);
  BCryptCloseAlgorithmProvider(algorithm, 0);
  return ok;
}

}  // namespace tarvelo
