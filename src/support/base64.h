// Base64 (RFC 4648 4, the standard alphabet with "=" padding), used for the
// AUTH data of the SMTP dialogue and for the encoded words of headers.
// No state.
#pragma once

#include <cstddef>

namespace tarvelo {

// The length of the base64 text of size bytes, padding included.
constexpr size_t base64_size(size_t size) { return (size + 2) / 3 * 4; }

// Writes the base64 text of size bytes of data, and a NUL, into out, which
// has room for base64_size(size) + 1 bytes. Bytes above 127 are encoded as
// the unsigned values they are.
void base64_encode(const void* data, size_t size, char* out);

}  // namespace tarvelo
