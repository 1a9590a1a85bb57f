// The envelope of the message: the sender and recipients announced to the
// SMTP server, taken from the header entries of the ini file while the header
// text is built, and the recognition of the five header kinds that the
// message may carry (From, To, CC, BCC, Subject).
//
// State owned here: none; the run keeps the envelope of its message, filled
// during the one pass over the header list and read-only afterwards.
#pragma once

#include <cstddef>

#include "support/address_chars.h"

namespace tarvelo {

struct envelope {
  // Each address is a heap copy, absent (null) until the first entry of its
  // kind in which an address is found; once set it is never replaced.
  char* from_address = nullptr;
  char* to_address = nullptr;
  char* cc_address = nullptr;
  char* bcc_address = nullptr;
  int subject_found = 0;  // 1 once any Subject entry was seen
};

// RFC 5321 4.5.3.1.3: a path holds at most 256 octets, its angle brackets
// included.
constexpr size_t kMaxEnvelopeAddressLength = 254;

// The states of the address scan, with the numbers the system uses for them.
enum address_scan_state {
  SCAN_SEEK = 100,    // not inside a candidate
  SCAN_LOCAL = 200,   // inside a run that may be the part before the "@"
  SCAN_AT = 300,      // the character before was an "@" that ended a run
  SCAN_DOMAIN = 400,  // inside the run after the "@"
};

// What classify_header recognised an entry as. HEADER_NONE is 0, so the
// result reads as the accept flag.
enum header_kind {
  HEADER_NONE = 0,
  HEADER_FROM,
  HEADER_TO,
  HEADER_CC,
  HEADER_BCC,
  HEADER_SUBJECT,
};

// Returns a new heap copy of the first e-mail address in text: the first
// whole run of address characters that ends right at an "@", that "@", and
// the run of address characters right after it. Returns null, after a debug
// line "no email address in this line (%s)" with the whole text, when there
// is none. One forward pass; the only allocation is the returned copy, and
// when that fails: fail_with_page("Unable to malloc memory").
char* extract_address(const char* text);

// When the first prefix_length characters of name equal prefix (ASCII case
// ignored), searches name, and then value (may be null) if name held no
// address, and stores the address found in *field. An address longer than
// kMaxEnvelopeAddressLength counts as none (a debug line "email address
// longer than 254 characters not used (%s)" with the searched text). Returns
// 1 when *field then holds an address, 0 otherwise; on no prefix match
// *field is left alone.
// REQUIRES: *field is null (an address, once found, is never replaced).
int match_address_header(const char* name, const char* value,
                         const char* prefix, int prefix_length, char** field);

// Recognises one header entry, fills the envelope field of its kind when that
// field is still empty and an address is found, and returns the kind the
// entry was accepted as, or HEADER_NONE when it does not belong in the
// message. Every Subject entry is accepted. With add_headerline_colon the
// words are also tried without their colon ("From", "To", "CC", "BCC",
// "Subject"), but only as the whole name or followed by a blank, so "Topic"
// is no To. Call it once per entry, in list order.
header_kind classify_header(const char* name, const char* value,
                            bool add_headerline_colon, envelope* env);

// Whether a header entry is a To entry by its name alone, as classify_header
// would try it: "To:" at its start (ASCII case ignored), or with
// add_headerline_colon the word "To" as the whole name or followed by a
// blank. Whether an address is found does not matter.
bool is_to_header_name(const char* name, bool add_headerline_colon);

}  // namespace tarvelo
