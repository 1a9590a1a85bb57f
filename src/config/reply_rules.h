// Checks on the ini values that shape the reply and the recipient: CORS
// origins, redirect URLs and single addresses. They run when the ini is
// read, so a run never has to doubt a stored value.
//
// State owned here: none.
#pragma once

#include <cstddef>

#include "config/ini_reader.h"

namespace tarvelo {

// Whether text is usable as a cors_origin: "http://" or "https://" (scheme
// in any case), a non-empty host of letters, digits, "-", "." (or an IPv6
// literal in brackets), an optional ":port" of 1 to 5 digits, and nothing
// after (no path, no trailing "/"). "*" and "null" are refused.
bool cors_origin_usable(const char* text);

// Whether the request's Origin (HTTP_ORIGIN, "" when unset) is one of the
// settings' cors_origins: scheme and host compared without regard to ASCII
// case, the port byte for byte. Returns the index of the listed origin, or
// -1.
int cors_origin_index(const mail_settings& settings, const char* origin);

// Whether text is usable as a redirect target: an absolute http or https
// URL (scheme in any case, "://", a non-empty host), or a path on the same
// site: "/" alone or "/" followed by a character other than "/" and "\".
// Refused everywhere: bytes below 0x21 (blanks and control characters),
// 0x7F and bytes beyond ASCII.
bool redirect_url_usable(const char* text);

// Whether text (the length bytes at text) is exactly one e-mail address:
// only the envelope's address characters (is_address_char) and one "@", a
// local part of 1 to 64 characters, at most 254 in all, a domain with at
// least one "." and no empty label.
bool is_one_address(const char* text, size_t length);

// The address recipient_alias gives token, or null when no alias has
// exactly that token.
const char* alias_address_for(const mail_settings& settings,
                              const char* token);

}  // namespace tarvelo
