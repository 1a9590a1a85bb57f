#include "support/dyn_text.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/alloc.h"
#include "support/exit_codes.h"
#include "support/log.h"

namespace tarvelo {

namespace {

// The scratch set of dyn_text_append and dyn_text_assign; the log has its own.
format_scratch text_scratch;

// Formats literal text and the conversions %%, %c, %s, %.*s, and %d and
// %lld with the flags "0" and " " and a width: the formats a run uses.
// Returns false, having written nothing that counts, for anything else
// (another flag or conversion, a width on %s, a null string) and when the
// text would not fit in room - 1 bytes; the caller then uses vsnprintf,
// whose output this matches byte for byte where it returns true.
bool format_plain(char* out, int room, const char* format, va_list args,
                  int* length) {
  char* end = out + room - 1;  // the terminator's place
  char* at = out;
  for (const char* f = format; *f != '\0'; ++f) {
    const char* piece = f;
    size_t piece_length;
    size_t width = 0;
    char digits[24];  // a long long's digits, its sign and its zeros
    if (*f != '%') {
      // Literal text up to the next conversion goes in one copy.
      const char* next = strchr(f, '%');
      if (next == nullptr) next = f + strlen(f);
      piece_length = static_cast<size_t>(next - f);
      f = next - 1;
    } else if (f[1] == '%') {
      piece = ++f;
      piece_length = 1;
    } else if (f[1] == '.' && f[2] == '*' && f[3] == 's') {
      f += 3;
      int precision = va_arg(args, int);
      piece = va_arg(args, const char*);
      if (piece == nullptr) return false;
      // A negative precision counts as none.
      piece_length =
          precision < 0 ? strlen(piece)
                        : strnlen(piece, static_cast<size_t>(precision));
    } else {
      bool zero = false;
      bool space = false;
      for (++f; *f == '0' || *f == ' '; ++f) {
        if (*f == '0') zero = true;
        if (*f == ' ') space = true;
      }
      for (; *f >= '0' && *f <= '9'; ++f) {
        width = width * 10 + static_cast<size_t>(*f - '0');
        if (width >= sizeof digits) return false;
      }
      bool flagged = zero || space || width > 0;
      bool wide = f[0] == 'l' && f[1] == 'l' && f[2] == 'd';
      if (wide) f += 2;
      if (*f == 'd') {
        long long value = wide ? va_arg(args, long long) : va_arg(args, int);
        unsigned long long magnitude = static_cast<unsigned long long>(value);
        if (value < 0) magnitude = 0ull - magnitude;
        char* digit = digits + sizeof digits;
        do {
          *--digit = static_cast<char>('0' + magnitude % 10);
          magnitude /= 10;
        } while (magnitude != 0);
        size_t count = static_cast<size_t>(digits + sizeof digits - digit);
        char sign = value < 0 ? '-' : space ? ' ' : '\0';
        // The sign comes before zeros and after blanks.
        size_t signed_count = count + (sign != '\0' ? 1 : 0);
        for (; zero && signed_count < width; ++signed_count, ++count) {
          *--digit = '0';
        }
        if (sign != '\0') {
          *--digit = sign;
          ++count;
        }
        piece = digit;
        piece_length = count;
      } else if (*f == 'c' && !zero && !space) {
        digits[0] = static_cast<char>(va_arg(args, int));
        piece = digits;
        piece_length = 1;
      } else if (*f == 's' && !flagged) {
        piece = va_arg(args, const char*);
        if (piece == nullptr) return false;
        piece_length = strlen(piece);
      } else {
        return false;
      }
    }
    if (width > piece_length) {
      // Blanks on the left up to the width (zeros went in above).
      size_t blanks = width - piece_length;
      if (blanks > static_cast<size_t>(end - at)) return false;
      memset(at, ' ', blanks);
      at += blanks;
    }
    if (piece_length > static_cast<size_t>(end - at)) return false;
    memcpy(at, piece, piece_length);
    at += piece_length;
  }
  *at = '\0';
  *length = static_cast<int>(at - out);
  return true;
}

}  // namespace

int format_text_v(char* out, int room, const char* format, va_list args) {
  int length = 0;
  va_list copy;
  va_copy(copy, args);
  bool done = room > 0 && format_plain(out, room, format, copy, &length);
  va_end(copy);
  if (done) return length;
  va_copy(copy, args);
  length = vsnprintf(out, room < 0 ? 0 : static_cast<size_t>(room), format,
                     copy);
  va_end(copy);
  return length;
}

int format_text(char* out, int room, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int length = format_text_v(out, room, format, args);
  va_end(args);
  return length;
}

const char* format_with_scratch(format_scratch* scratch, int* length,
                                const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int n = format_text_v(scratch->fixed, sizeof scratch->fixed, format, copy);
  va_end(copy);
  if (n < 0) n = 0;
  if (n < kScratchFixedSize) {
    *length = n;
    return scratch->fixed;
  }
  for (;;) {
    if (scratch->overflow == nullptr) {
      scratch->overflow = static_cast<char*>(malloc(scratch->overflow_size));
      if (scratch->overflow == nullptr) exit(EXIT_NO_SCRATCH);
    }
    // At most overflow_size - 2 characters fit, so one byte always stays
    // free behind the terminator.
    int room = scratch->overflow_size - 1;
    va_copy(copy, args);
    n = vsnprintf(scratch->overflow, room, format, copy);
    va_end(copy);
    if (n >= 0 && n <= scratch->overflow_size - 2) {
      *length = n;
      return scratch->overflow;
    }
    free(scratch->overflow);
    scratch->overflow = nullptr;
    scratch->overflow_size *= 2;
  }
}

dyn_text* dyn_text_new(const char* initial) {
  dyn_text* text =
      static_cast<dyn_text*>(malloc_or_fail(sizeof(dyn_text), kNoMemoryStop));
  int n = static_cast<int>(strlen(initial));
  text->data = static_cast<char*>(malloc_or_fail(
      static_cast<size_t>(n) + kDynTextStartRoom, kNoMemoryStop));
  memcpy(text->data, initial, n + 1);
  text->length = n;
  text->capacity = n + kDynTextStartRoom;
  return text;
}

namespace {

// The block size for a text of `needed` characters (its terminator not
// counted) that outgrew `capacity`: the needed size and the fixed slack, and
// once past the first block at least half as much again as the old block,
// so a text built in many pieces is copied a bounded number of times
// instead of once per 20000 bytes. Returns 0 when no int holds the size.
int grown_capacity(long long needed, int capacity) {
  long long grown = needed + kDynTextGrowSlack;
  if (needed > kDynTextStartRoom) {
    long long half_again = static_cast<long long>(capacity) + capacity / 2;
    if (half_again > grown) grown = half_again;
  }
  if (grown > INT_MAX) grown = needed + 1;
  return grown > INT_MAX ? 0 : static_cast<int>(grown);
}

}  // namespace

void dyn_text_append_bytes(dyn_text* text, const char* bytes, int n) {
  if (text->length + static_cast<long long>(n) + 1 < text->capacity) {
    memcpy(text->data + text->length, bytes, n);
    text->length += n;
    text->data[text->length] = '\0';
    return;
  }
  int capacity = grown_capacity(
      static_cast<long long>(text->length) + n, text->capacity);
  // A size no int holds fails as memory running out does.
  if (capacity == 0) fail_with_page(kNoMemory);
  char* block = static_cast<char*>(malloc_or_fail(capacity, kNoMemory));
  memcpy(block, text->data, text->length);
  memcpy(block + text->length, bytes, n);
  block[text->length + n] = '\0';
  free(text->data);
  text->data = block;
  text->length += n;
  text->capacity = capacity;
}

int dyn_text_append(dyn_text* text, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = 0;
  const char* result = format_with_scratch(&text_scratch, &n, format, args);
  va_end(args);
  dyn_text_append_bytes(text, result, n);
  return 0;
}

int dyn_text_assign(dyn_text* text, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = 0;
  const char* result = format_with_scratch(&text_scratch, &n, format, args);
  va_end(args);
  if (n + 1 < text->capacity) {
    memcpy(text->data, result, n);
    text->data[n] = '\0';
    text->length = n;
    return 0;
  }
  int capacity = n + kDynTextGrowSlack;
  char* block = static_cast<char*>(malloc_or_fail(capacity, kNoMemory));
  memcpy(block, result, n);
  block[n] = '\0';
  free(text->data);
  text->data = block;
  text->length = n;
  text->capacity = capacity;
  return 0;
}

void dyn_text_free(dyn_text* text) {
  if (text == nullptr) return;
  free(text->data);
  free(text);
}

}  // namespace tarvelo
