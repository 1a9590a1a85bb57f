// Standards-complete messages: the Date and Message-ID headers, the MIME
// headers, RFC 2047 encoded words in header lines, folding of long header
// lines and the quoted-printable body, for sites that turn on
// add_standard_headers. Everything is decided when the message is composed,
// whatever server later receives it.
//
// Pure functions over explicit arguments; the moment, process id, host name
// and random bytes of a message come in as a message_stamp. No state.
#pragma once

#include <cstddef>
#include <ctime>

#include "support/dyn_text.h"

namespace tarvelo {

// RFC 5322 2.1.1: no line of a message may be longer than this, line end not
// counted.
constexpr int kMaxLineLength = 998;
// RFC 2047 2: an encoded word is at most 75 characters, and a header line
// holding one at most 76.
constexpr int kMaxEncodedWordLength = 75;
constexpr int kMaxEncodedLineLength = 76;
// RFC 2045 6.7 (5): quoted-printable lines are at most 76 characters.
constexpr int kMaxQuotedPrintableLine = 76;

// What makes one run's Date and Message-ID: read once per message.
struct message_stamp {
  struct tm local_time = {};   // the moment of composition, local time
  int utc_offset_minutes = 0;  // of local_time from UTC, east positive
  long long unix_seconds = 0;  // the same moment, seconds since 1970 UTC
  int process_id = 0;
  unsigned char random[8] = {};
  char host_name[256] = "";
};

// Appends the RFC 5322 3.3 date-time of local_time with its zone offset, e.g.
// "Tue, 08 Dec 2026 01:23:45 -0330", in English whatever the locale. The day
// of the week is worked out from the date; tm_wday is not read.
void append_date(const struct tm& local_time, int utc_offset_minutes,
                 dyn_text* out);

// Appends "<seconds.pid.random@host>" (RFC 5322 3.6.4), the random bytes in
// hexadecimal and the host name reduced to letters, digits, "-" and single
// inner dots ("localhost" when nothing is left).
void append_message_id(const message_stamp& stamp, dyn_text* out);

// Returns true when size bytes of text may go as 7bit (RFC 2045 2.7): no byte
// above 127 and no line longer than 998 characters, a line ending at a line
// feed (a carriage return right before it not counted).
bool fits_7bit(const char* text, size_t size);

// Appends size bytes of text as quoted-printable (RFC 2045 6.7). A line feed,
// with a carriage return right before it, is a line break and becomes
// line_end; every other byte outside "!" to "~" and every "=" becomes "=XX";
// blanks and tabs stay literal except at the end of a line; soft line breaks
// ("=" and line_end) keep every line at 76 characters or fewer.
void append_quoted_printable(const char* text, size_t size,
                             const char* line_end, dyn_text* out);

// Appends one header line (size bytes, no line end) followed by line_end,
// made fit for any mail client:
// - after the field name (up to the first ":" that comes before any blank),
//   each run of words holding a byte outside the printable ASCII range, a
//   text that looks like an encoded word ("=?"), or a word too long to fold
//   is written as RFC 2047 "B" encoded words in charset, none longer than 75
//   characters; with a UTF-8 charset each word holds whole characters. Blanks
//   between the words of a run are encoded with them;
// - text from "<" to the next ">" is never encoded, so addresses stay as
//   they are (unless glued to more of them than a line holds);
// - lines longer than 998 characters, and lines holding an encoded word
//   longer than 76, are folded (line_end and the blank that was there) at
//   blanks that have text after them;
// - no line exceeds 998 characters (RFC 5322 2.1.1), whatever the value
//   (a character set name too long for an encoded word aside): a run of
//   blanks too long for a line folds inside itself, so the continuation
//   line ends in text, or, where no fold can do that (blanks that end the
//   line, blanks before an encoded word), goes as encoded words, which
//   decode to the same blanks; a word with addresses glued to it that fit
//   no line is encoded, with a blank before the address.
// A line that needs none of this is written unchanged.
void append_header_line_encoded(const char* line, size_t size,
                                const char* charset, const char* line_end,
                                dyn_text* out);

// Writes the header lines in header_text from byte header_start on (each
// ending in line_end) again through append_header_line_encoded.
void encode_header_lines(const char* charset, const char* line_end,
                         int header_start, dyn_text* header_text);

// Keeps the body text from byte body_start on when it fits 7bit and does not
// hold must_not_hold (null: anything goes), else rewrites it as
// quoted-printable, whose "=" always comes as "=3D". Returns true for 7bit.
bool encode_text_body(const char* line_end, int body_start,
                      dyn_text* body_text, const char* must_not_hold);

// Appends the Date, Message-ID and MIME-Version lines, each ending in
// line_end.
void append_date_and_id(const message_stamp& stamp, const char* line_end,
                        dyn_text* header_text);

// Turns a composed message into its standards-complete form:
// - the header lines in header_text from byte header_start on (each ending
//   in line_end) are written again through append_header_line_encoded;
// - the body text from byte body_start on is kept when it fits 7bit, and
//   rewritten as quoted-printable otherwise;
// - Date, Message-ID, MIME-Version, Content-Type (text/plain with charset)
//   and Content-Transfer-Encoding ("7bit" or "quoted-printable") lines are
//   appended to header_text, in this order.
// Allocation failures end the process (fail_with_page).
void make_standard_message(const char* charset, const char* line_end,
                           const message_stamp& stamp, int header_start,
                           dyn_text* header_text, int body_start,
                           dyn_text* body_text);

}  // namespace tarvelo
