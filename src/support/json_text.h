// JSON string text (RFC 8259) for what the program writes: replies,
// webhook bodies and archive lines.
//
// State owned here: none.
#pragma once

#include <string>

namespace tarvelo {

// Appends text to *out as the inside of a JSON string (RFC 8259 7): the
// quotation mark and the backslash escaped, control characters as \u00XX,
// every byte that is not part of well-formed UTF-8 as one U+FFFD per
// maximal invalid part (Unicode 15, 3.9).
void json_escape_append(std::string* out, const char* text);

}  // namespace tarvelo
