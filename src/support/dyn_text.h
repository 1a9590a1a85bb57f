// Growable text buffer with printf-style appending, and the formatting
// scratch behind it.
//
// Formatting first goes into a scratch set: a fixed 63000-byte buffer and,
// for longer texts, an overflow buffer that starts at 64000 bytes and doubles
// while a text does not fit. The doubled size stays in force for later calls.
// There are separate scratch sets for dyn_text and for the log, so a log line
// written while a dyn_text is being formatted cannot clobber it.
#pragma once

#include <cstdarg>

#define TARVELO_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))

namespace tarvelo {

constexpr int kScratchFixedSize = 63000;
constexpr int kScratchOverflowStart = 64000;
constexpr int kDynTextStartRoom = 64000;
constexpr int kDynTextGrowSlack = 20000;

// One formatting scratch set. Not reentrant: a format must complete before
// the next one on the same set starts. The small fields come first so that
// setting them up touches the page the first format writes anyway.
struct format_scratch {
  char* overflow = nullptr;
  int overflow_size = kScratchOverflowStart;
  char fixed[kScratchFixedSize];
};

// vsnprintf: writes at most room - 1 characters and a terminator (nothing
// when room is 0 or less), returns the length of the whole text; every printf
// format is accepted. These are formatted here, without the C library's
// printf machinery and its thousand instructions a call: literal text, %%,
// %s and %.*s (a negative precision counts as none), %c with an optional
// width, and %d and %lld with the flags "0" and " " and a width below 24.
// Anything else (other conversions or flags, a width on %s, a null %s, a
// text that does not fit in room) goes to vsnprintf, whose output the fast
// path matches byte for byte.
int format_text_v(char* out, int room, const char* format, va_list args)
    TARVELO_PRINTF(3, 0);
int format_text(char* out, int room, const char* format, ...)
    TARVELO_PRINTF(3, 4);

// Formats into the scratch set and returns the text, which stays valid until
// the next call on the same set; stores its length in *length. When the
// overflow buffer cannot be allocated the process exits with code 9, with no
// page and no log line.
const char* format_with_scratch(format_scratch* scratch, int* length,
                                const char* format, va_list args)
    TARVELO_PRINTF(3, 0);

// Invariant: length + 1 <= capacity; data is always NUL-terminated.
struct dyn_text {
  char* data;
  int length;
  int capacity;
};

// Allocates a buffer holding a copy of initial with strlen(initial) + 64000
// bytes of room. On allocation failure: fail_with_page("Unable to malloc
// memory.").
dyn_text* dyn_text_new(const char* initial);

// Appends the formatted text. Grows the block when length + n + 1 is not
// strictly less than capacity: to old length + n + 20000, and, once the text
// is past its first 64000 bytes, to at least one and a half times the old
// capacity, so building a text of many megabytes copies it only a few
// times. On allocation failure (or a size no int holds):
// fail_with_page("Unable to malloc memory"). Always returns 0.
int dyn_text_append(dyn_text* text, const char* format, ...)
    TARVELO_PRINTF(2, 3);

// Replaces the whole text with the formatted text; a block that is large
// enough is kept. Same failure handling as dyn_text_append. Returns 0.
int dyn_text_assign(dyn_text* text, const char* format, ...)
    TARVELO_PRINTF(2, 3);

// Appends n raw bytes (no formatting, so "%" is safe). Same growth rule.
void dyn_text_append_bytes(dyn_text* text, const char* bytes, int n);

// Releases the block and the record; a null buffer does nothing.
void dyn_text_free(dyn_text* text);

}  // namespace tarvelo
