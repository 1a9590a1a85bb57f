// The server-identity checks that TLS layers without a host check of their
// own (Schannel) make on the names of a certificate. Plain functions over
// bytes, so every build tests them.
#pragma once

namespace tarvelo {

// Reads host as a dotted IPv4 address of exactly four decimal parts of at
// most three digits, each 0..255, into address[0..3] (network order).
// Returns false, with address unspecified, for any other text (a name).
bool parse_ipv4_host(const char* host, unsigned char address[4]);

// Whether pattern, a DNS name of a certificate (size bytes, not
// NUL-terminated), names host (RFC 6125 6.4): equal ignoring ASCII case, or
// a pattern "*.rest" whose "*" stands for the whole left-most label of host
// (one non-empty label) and whose rest has at least two labels. A wildcard
// anywhere else, a partial one ("w*.example.com"), an empty label or a NUL
// inside pattern never matches.
bool dns_name_matches(const char* pattern, int size, const char* host);

// Whether an IP-address entry of a certificate (size bytes) is address,
// a 4-byte IPv4 address: the same length and the same bytes.
bool ip_entry_matches(const unsigned char* entry, int size,
                      const unsigned char address[4]);

}  // namespace tarvelo
