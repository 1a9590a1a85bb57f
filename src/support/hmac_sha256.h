// HMAC-SHA256 (RFC 2104 over SHA-256) for signing what the program sends to
// other services (a webhook's body), computed by the platform's own crypto:
// OpenSSL's libcrypto on Linux, CNG (bcrypt) on Windows.
//
// State owned here: none.
#pragma once

#include <string>
#include <string_view>

namespace tarvelo {

constexpr int kSha256Bytes = 32;

// Fills out with the HMAC-SHA256 of data under key. Returns false, with out
// unspecified, when the platform's crypto refuses (it never should).
bool hmac_sha256(std::string_view key, std::string_view data,
                 unsigned char out[kSha256Bytes]);

// The HMAC-SHA256 of data under key as 64 lower-case hex digits, the form
// GitHub's X-Hub-Signature-256 and ours carry; "" when hmac_sha256 fails.
std::string hmac_sha256_hex(std::string_view key, std::string_view data);

}  // namespace tarvelo
