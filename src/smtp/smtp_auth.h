// The SMTP service extensions this client uses, as plain text functions:
// reading the capabilities a server lists in its EHLO reply (RFC 5321
// 4.1.1.1), encoding the AUTH data of the PLAIN (RFC 4616) and LOGIN
// mechanisms (RFC 4954), and masking that data in lines meant for the log.
// No state.
#pragma once

#include <cstddef>

namespace tarvelo {

// What an EHLO reply offers that this client can use.
struct ehlo_capabilities {
  bool starttls = false;    // RFC 3207
  bool auth_plain = false;  // RFC 4954 with RFC 4616
  bool auth_login = false;  // the older mechanism some servers offer alone
  int lines = 0;            // lines noted so far
};

// Notes one line of an EHLO reply, size bytes without its line feed (a
// carriage return at its end is ignored; a NUL is an ordinary byte), in
// *caps. The first line noted names the server
// and is skipped; every later line with the code 250 and "-" or a blank
// after it names one extension: STARTTLS, or AUTH followed by its
// mechanisms, separated from it and each other by blanks (or by "=" after
// AUTH, as older servers write it). Keywords and mechanisms match in any
// case (RFC 5321 2.4).
void note_ehlo_line(const char* line, size_t size, ehlo_capabilities* caps);

// Notes every line of a reply text of size bytes (lines end at "\n"; a
// last line without one counts too) in a fresh ehlo_capabilities.
ehlo_capabilities parse_ehlo_reply(const char* text, size_t size);

// A new heap text: the base64 of the NUL-terminated text. On allocation
// failure: fail_with_page("Unable to malloc memory.").
char* base64_text(const char* text);

// A new heap text: the AUTH PLAIN argument for user and password, the
// base64 of NUL, user, NUL, password (RFC 4616 2: no authorization
// identity). On allocation failure: fail_with_page.
char* auth_plain_argument(const char* user, const char* password);

// Copies line into out (out_size bytes, at least 1), each occurrence of one
// of the count secrets, wherever it stands in the line, replaced by
// kPasswordMask; where several start at one place the longest is masked;
// empty secrets are ignored.
// A copy that does not fit is cut before the piece (a character or the
// mask) that would not fit. Returns true when out differs from line (masked
// or cut): only then need it be shown instead.
bool mask_secrets(const char* line, const char* const* secrets, int count,
                  char* out, size_t out_size);

}  // namespace tarvelo
