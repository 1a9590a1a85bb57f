#include "compose/mime.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "support/alloc.h"
#include "support/base64.h"
#include "support/calendar.h"
#include "support/log.h"

namespace tarvelo {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// RFC 5322 3.2.3 VCHAR: what a header may carry as it is.
bool is_visible_ascii(unsigned char c) { return c > 32 && c < 127; }

void truncate_text(dyn_text* text, int length) {
  text->length = length;
  text->data[length] = '\0';
}

// ------------------------------------------------------------------------
// Encoded words (RFC 2047)

// The length of the base64 text of bytes bytes, as the int the line
// arithmetic below counts in.
int base64_length(int bytes) {
  return static_cast<int>(base64_size(static_cast<size_t>(bytes)));
}

bool is_utf8_charset(const char* charset) {
  return strcasecmp(charset, "UTF-8") == 0 || strcasecmp(charset, "UTF8") == 0;
}

bool is_utf8_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// A word that a mail reader must not see as it is: 8-bit or control bytes,
// or something a decoder would take for an encoded word.
bool word_needs_encoding(const char* word, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    if (!is_visible_ascii(static_cast<unsigned char>(word[i]))) return true;
    if (word[i] == '=' && i + 1 < size && word[i + 1] == '?') return true;
  }
  return false;
}

// Writes one header line token by token, keeping count of the physical line
// so it can fold where the line would grow too long.
struct header_writer {
  const char* charset;
  int charset_length;
  bool utf8;
  const char* line_end;
  dyn_text* out;
  int line_length;        // characters on the current physical line
  bool line_has_encoded;  // RFC 2047 2 then limits it to 76 characters
  bool last_encoded;      // the last token written was an encoded word
};

void put_bytes(header_writer* w, const char* bytes, size_t size) {
  dyn_text_append_bytes(w->out, bytes, static_cast<int>(size));
  w->line_length += static_cast<int>(size);
}

// RFC 5322 2.2.3: folding puts a line end before a blank; unfolding takes
// it out again, so the text is unchanged.
void fold(header_writer* w) {
  dyn_text_append(w->out, "%s", w->line_end);
  w->line_length = 0;
  w->line_has_encoded = false;
}

// Writes k blanks and then a token of t characters that goes out as it is;
// need (t or more) counts what must share the token's line: the token and
// the blanks that end the header behind it, written later. In this order:
// all on the current line; or a fold before the blanks; or, when the blanks
// and the rest are too long for any line, a fold inside the blanks, so the
// continuation line is exactly 998 characters and no line is blanks alone.
// A token glued to what stands before it (k == 0) cannot fold: it goes on
// the current line when that stays within 998 characters. Returns false,
// having written nothing, when none of these keeps to the limits.
bool place_plain(header_writer* w, const char* blanks, size_t k,
                 const char* token, size_t t, size_t need) {
  const size_t line_max = static_cast<size_t>(kMaxLineLength);
  size_t limit = w->line_has_encoded ? kMaxEncodedLineLength : line_max;
  size_t length = static_cast<size_t>(w->line_length);
  size_t first = 0;  // blanks that stay on the current line
  if (k == 0) {
    if (length + need > line_max) return false;
  } else if (length + k + need <= limit) {
    first = k;
  } else if (length > 0 && k + need <= line_max) {
    first = 0;
  } else if (length > 0 && need < line_max &&
             k + need - line_max < k && length + k + need - line_max <= limit) {
    first = k + need - line_max;
  } else {
    return false;
  }
  put_bytes(w, blanks, first);
  if (first < k) {
    fold(w);
    put_bytes(w, blanks + first, k - first);
  }
  put_bytes(w, token, t);
  w->last_encoded = false;
  return true;
}

// Length of the character at text (at most size bytes): a UTF-8 lead byte
// and up to three continuation bytes, one byte in any other charset.
size_t character_length(const header_writer& w, const unsigned char* text,
                        size_t size) {
  size_t n = 1;
  if (w.utf8) {
    while (n < size && n < 4 && is_utf8_continuation(text[n])) ++n;
  }
  return n;
}

// A run of words written as encoded words, each filling what is left of its
// line. Blanks between encoded words are not part of the text (RFC 2047
// 6.2), so the run is cut wherever the words fit and joined by one blank.
void put_encoded_run(header_writer* w, const char* blanks, size_t blank_count,
                     const char* run, size_t size) {
  const unsigned char* text = reinterpret_cast<const unsigned char*>(run);
  const int overhead = w->charset_length + 7;  // "=?" charset "?B?" "?="
  size_t pos = 0;
  while (pos < size) {
    size_t first = character_length(*w, text + pos, size - pos);
    int room =
        kMaxEncodedLineLength - w->line_length - static_cast<int>(blank_count);
    if (room < overhead + base64_length(static_cast<int>(first)) &&
        w->line_length > 0 && blank_count > 0) {
      fold(w);
      room = kMaxEncodedLineLength - static_cast<int>(blank_count);
    }
    int text_room = std::min(room, kMaxEncodedWordLength) - overhead;
    size_t take = text_room >= 4 ? static_cast<size_t>(text_room / 4 * 3) : 0;
    take = std::min(take, size - pos);
    if (w->utf8 && pos + take < size) {
      // Each word decodes to whole characters on its own.
      while (take > 0 && is_utf8_continuation(text[pos + take])) --take;
    }
    // Nothing fits (a very long charset name or a wide indent): one
    // character anyway, on an over-long line rather than a broken one.
    if (take == 0) take = first;

    // At most 75 characters less the overhead, or one character's 8.
    char encoded[kMaxEncodedWordLength + 1];
    int encoded_length = base64_length(static_cast<int>(take));
    base64_encode(text + pos, static_cast<int>(take), encoded);
    put_bytes(w, blanks, blank_count);
    dyn_text_append(w->out, "=?%s?B?%.*s?=", w->charset, encoded_length,
                    encoded);
    w->line_length += overhead + encoded_length;
    w->line_has_encoded = true;
    w->last_encoded = true;
    pos += take;
    blanks = " ";
    blank_count = 1;
  }
}

// RFC 2047 6.2: blanks between two encoded words are dropped in decoding,
// blanks between an encoded word and other text are kept. So a run of k
// blanks too long for any line goes as encoded words between literal
// blanks: after an encoded word, a separator the decoder drops and k - 1
// encoded blanks; else the first blank literal and k - 2 encoded. The last
// blank stays literal before the token (k >= 3). need as for place_plain.
void put_blanks_encoded(header_writer* w, const char* blanks, size_t k,
                        const char* token, size_t t, size_t need) {
  size_t literal = w->last_encoded ? 0 : 1;
  if (k - 1 > literal) {
    put_encoded_run(w, literal ? blanks : " ", 1, blanks + literal,
                    k - 1 - literal);
  } else {
    put_bytes(w, blanks, k - 1);
  }
  if (!place_plain(w, blanks + k - 1, 1, token, t, need)) {
    // Nothing keeps to the limits here; the text still goes whole.
    put_bytes(w, blanks + k - 1, 1);
    put_bytes(w, token, t);
    w->last_encoded = false;
  }
}

// The blanks that end a header line: as they are when they fit the line;
// else encoded as above, since a fold inside them would leave a line of
// blanks alone (RFC 5322 3.2.2).
void put_trailing_blanks(header_writer* w, const char* blanks, size_t k) {
  if (static_cast<size_t>(w->line_length) + k <=
          static_cast<size_t>(kMaxLineLength) ||
      (!w->last_encoded && k < 2)) {
    put_bytes(w, blanks, k);
    return;
  }
  size_t literal = w->last_encoded ? 0 : 1;
  put_encoded_run(w, literal ? blanks : " ", 1, blanks + literal,
                  k - literal);
}

// Whether the blanks that end the header (tail, after a token of t
// characters) are kept on the token's line: when one blank, the token and
// they fit a line, and always when they are one blank, which could not be
// encoded on its own. Longer ones go as encoded words.
bool tail_stays(size_t t, size_t tail) {
  return tail <= 1 || 1 + t + tail <= static_cast<size_t>(kMaxLineLength);
}

// A token of t characters that goes out as it is, after k blanks. stretch
// (t or more) counts the token and the addresses glued to it, as no fold can
// come between them; tail as for tail_stays. Returns false, having written
// nothing, when a word, or an address glued to what stands before it, does
// not fit: it is then to be encoded, as encoded words can be split.
bool put_plain(header_writer* w, const char* blanks, size_t k,
               const char* token, size_t t, size_t stretch, size_t tail,
               bool is_address) {
  // What glues to a word on no line at all makes the word go encoded, so a
  // blank may stand between them. After an address, the words glued to it
  // are encoded where they do not fit, so the address only needs room for
  // itself.
  bool fits_a_line = stretch < static_cast<size_t>(kMaxLineLength);
  if (!fits_a_line && !is_address) return false;
  size_t base = fits_a_line ? stretch : t;
  size_t need = tail_stays(base, tail) ? base + tail : base;
  if (place_plain(w, blanks, k, token, t, need)) return true;
  // A long tail may still go encoded behind the token; a single blank may
  // not.
  if (need > base && tail >= 2 && place_plain(w, blanks, k, token, t, base)) {
    return true;
  }
  // A word, or an address glued to addresses that fill the line (no
  // address is that long): encoded words, with a blank before them.
  if (!is_address || k == 0) return false;
  put_blanks_encoded(w, blanks, k, token, t, need);
  return true;
}

// RFC 5321 4.5.3.1.3: a path, brackets included, is at most 256 octets.
constexpr size_t kMaxPathLength = 256;

// The length of the address in angle brackets at pos: "<", characters
// other than blanks and "<", and ">", 256 at most. 0 when there is none
// there, so a lone "<" is text like any other.
size_t angle_length(const char* line, size_t size, size_t pos) {
  if (line[pos] != '<') return 0;
  size_t limit = std::min(size, pos + kMaxPathLength);
  for (size_t i = pos + 1; i < limit; ++i) {
    if (line[i] == '>') return i + 1 - pos;
    if (is_blank(line[i]) || line[i] == '<') return 0;
  }
  return 0;
}

// The end of the word or angle-bracket address that starts at pos.
size_t token_end(const char* line, size_t size, size_t pos) {
  size_t angle = angle_length(line, size, pos);
  if (angle > 0) return pos + angle;
  size_t end = pos + 1;
  while (end < size && !is_blank(line[end]) &&
         angle_length(line, size, end) == 0) {
    ++end;
  }
  return end;
}

size_t skip_blanks(const char* line, size_t size, size_t pos) {
  while (pos < size && is_blank(line[pos])) ++pos;
  return pos;
}

// The end of the addresses in angle brackets glued to the token ending at
// end. A word glued after them can still go encoded, with a blank before
// it where a fold may go, so it does not count.
size_t glued_end(const char* line, size_t size, size_t end) {
  while (end < size && angle_length(line, size, end) > 0) {
    end += angle_length(line, size, end);
  }
  return end;
}

// Whether the word at pos is written as encoded words. lead is what stands
// before it on its line at best: its blanks, where it could fold, or else
// what it is glued to. A word that would not fit even then is encoded, since
// encoded words can be split and a word cannot.
bool encode_word(const char* line, size_t size, size_t pos, size_t lead) {
  if (angle_length(line, size, pos) > 0) return false;
  size_t end = token_end(line, size, pos);
  size_t length = end - pos;
  // The blanks that end the header stay on the last word's line.
  size_t tail = skip_blanks(line, size, end) == size ? size - end : 0;
  if (tail_stays(length, tail)) length += tail;
  return lead + length > static_cast<size_t>(kMaxLineLength) ||
         word_needs_encoding(line + pos, end - pos);
}

// ------------------------------------------------------------------------
// Quoted-printable (RFC 2045 6.7)

const char kHexDigits[] = "0123456789ABCDEF";

// One line of text (no line break in it) as quoted-printable lines, the last
// of them without its line end.
void append_quoted_line(const unsigned char* text, size_t size,
                        const char* line_end, dyn_text* out) {
  // Rule 3: a blank or tab at the end of an encoded line is encoded, since
  // transports may strip it.
  size_t literal_blanks_end = size;
  while (literal_blanks_end > 0 && is_blank(text[literal_blanks_end - 1])) {
    --literal_blanks_end;
  }
  char line[kMaxQuotedPrintableLine + 1];
  int column = 0;
  for (size_t i = 0; i < size; ++i) {
    unsigned char c = text[i];
    char token[3];
    int token_length = 1;
    if ((is_visible_ascii(c) && c != '=') ||
        (is_blank(static_cast<char>(c)) && i < literal_blanks_end)) {
      token[0] = static_cast<char>(c);
    } else {
      token[0] = '=';
      token[1] = kHexDigits[c >> 4];
      token[2] = kHexDigits[c & 15];
      token_length = 3;
    }
    // Rule 5: a line that goes on needs room for the "=" of its soft break.
    int limit =
        i + 1 == size ? kMaxQuotedPrintableLine : kMaxQuotedPrintableLine - 1;
    if (column + token_length > limit) {
      dyn_text_append_bytes(out, line, column);
      dyn_text_append(out, "=%s", line_end);
      column = 0;
    }
    memcpy(line + column, token, static_cast<size_t>(token_length));
    column += token_length;
  }
  dyn_text_append_bytes(out, line, column);
}

}  // namespace

void append_date(const struct tm& local_time, int utc_offset_minutes,
                 dyn_text* out) {
  int year = local_time.tm_year + 1900;
  int month = std::clamp(local_time.tm_mon, 0, 11);
  int offset =
      utc_offset_minutes < 0 ? -utc_offset_minutes : utc_offset_minutes;
  dyn_text_append(
      out, "%s, %02d %s %04d %02d:%02d:%02d %c%02d%02d",
      short_day_name(day_of_week(year, month + 1, local_time.tm_mday)),
      local_time.tm_mday, short_month_name(month), year, local_time.tm_hour,
      local_time.tm_min, local_time.tm_sec, utc_offset_minutes < 0 ? '-' : '+',
      offset / 60, offset % 60);
}

void append_message_id(const message_stamp& stamp, dyn_text* out) {
  // RFC 5322 3.6.4: the right side is a dot-atom; a host name is one when
  // it keeps to letters, digits, hyphens and dots between labels.
  char host[sizeof stamp.host_name];
  size_t length = 0;
  for (const char* p = stamp.host_name; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (isalnum(c) || c == '-') {
      host[length++] = static_cast<char>(c);
    } else if (c == '.' && length > 0 && host[length - 1] != '.') {
      host[length++] = '.';
    }
  }
  if (length > 0 && host[length - 1] == '.') --length;
  host[length] = '\0';
  char random[2 * sizeof stamp.random + 1];
  for (size_t i = 0; i < sizeof stamp.random; ++i) {
    random[2 * i] = "0123456789abcdef"[stamp.random[i] >> 4];
    random[2 * i + 1] = "0123456789abcdef"[stamp.random[i] & 15];
  }
  random[2 * sizeof stamp.random] = '\0';
  dyn_text_append(out, "<%lld.%d.%s@%s>", stamp.unix_seconds, stamp.process_id,
                  random, length > 0 ? host : "localhost");
}

bool fits_7bit(const char* text, size_t size) {
  size_t line_start = 0;
  for (size_t i = 0; i < size; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c > 127) return false;
    if (c == '\n') {
      size_t length = i - line_start;
      if (length > 0 && text[i - 1] == '\r') --length;
      if (length > static_cast<size_t>(kMaxLineLength)) return false;
      line_start = i + 1;
    }
  }
  return size - line_start <= static_cast<size_t>(kMaxLineLength);
}

void append_quoted_printable(const char* text, size_t size,
                             const char* line_end, dyn_text* out) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
  size_t pos = 0;
  while (pos < size) {
    const unsigned char* feed = static_cast<const unsigned char*>(
        memchr(bytes + pos, '\n', size - pos));
    size_t end = feed != nullptr ? static_cast<size_t>(feed - bytes) : size;
    size_t content_end = end;
    if (feed != nullptr && content_end > pos &&
        bytes[content_end - 1] == '\r') {
      --content_end;
    }
    append_quoted_line(bytes + pos, content_end - pos, line_end, out);
    if (feed == nullptr) break;
    dyn_text_append(out, "%s", line_end);
    pos = end + 1;
  }
}

void append_header_line_encoded(const char* line, size_t size,
                                const char* charset, const char* line_end,
                                dyn_text* out) {
  header_writer w{charset,
                  static_cast<int>(strlen(charset)),
                  is_utf8_charset(charset),
                  line_end,
                  out,
                  0,
                  false,
                  false};
  // The field name is never encoded.
  size_t pos = 0;
  while (pos < size && line[pos] != ':' && !is_blank(line[pos])) ++pos;
  pos = pos < size && line[pos] == ':' ? pos + 1 : 0;
  put_bytes(&w, line, pos);

  // An encoded word must stand apart from the text around it (RFC 2047 5),
  // so a blank goes between it and an adjacent "<" or ">".
  bool blank_owed = false;
  while (pos < size) {
    size_t blanks_start = pos;
    pos = skip_blanks(line, size, pos);
    const char* blanks = line + blanks_start;
    size_t blank_count = pos - blanks_start;
    if (pos == size) {
      put_trailing_blanks(&w, blanks, blank_count);
      break;
    }
    if (blank_count == 0 && pos > 0 && blank_owed) {
      blanks = " ";
      blank_count = 1;
    }
    blank_owed = false;
    size_t end = token_end(line, size, pos);
    size_t lead =
        blank_count > 0 ? blank_count : static_cast<size_t>(w.line_length);
    if (!encode_word(line, size, pos, lead)) {
      size_t glued = glued_end(line, size, end);
      size_t tail = skip_blanks(line, size, glued) == size ? size - glued : 0;
      if (put_plain(&w, blanks, blank_count, line + pos, end - pos,
                    glued - pos, tail, angle_length(line, size, pos) > 0)) {
        pos = end;
        continue;
      }
    }
    // Encoded words: the word does not fit as it is, or must not be read
    // as it is. Take in the following words while they need encoding too;
    // blanks between two runs would be lost in decoding (RFC 2047 6.2).
    for (;;) {
      size_t next = skip_blanks(line, size, end);
      if (next == end || next == size ||
          !encode_word(line, size, next, next - end)) {
        break;
      }
      end = token_end(line, size, next);
    }
    if (blank_count == 0 && pos > 0) {
      blanks = " ";
      blank_count = 1;
    }
    size_t run_start = pos;
    int overhead = w.charset_length + 7;
    int first = base64_length(static_cast<int>(character_length(
        w, reinterpret_cast<const unsigned char*>(line + pos), end - pos)));
    if (blank_count > 1 && static_cast<int>(blank_count) + overhead + first >
                               kMaxEncodedLineLength) {
      // Blanks too many to stand before an encoded word on its line go
      // into the encoded text; one stays as the separator (dropped in
      // decoding after an encoded word).
      run_start = w.last_encoded ? pos - blank_count : pos - blank_count + 1;
      if (w.last_encoded) blanks = " ";
      blank_count = 1;
    }
    put_encoded_run(&w, blanks, blank_count, line + run_start,
                    end - run_start);
    blank_owed = end < size && !is_blank(line[end]);
    pos = end;
  }
  dyn_text_append(out, "%s", line_end);
}

void encode_header_lines(const char* charset, const char* line_end,
                         int header_start, dyn_text* header_text) {
  int header_size = header_text->length - header_start;
  char* headers = copy_or_fail(header_text->data + header_start,
                               static_cast<size_t>(header_size), kNoMemory);
  truncate_text(header_text, header_start);
  for (int pos = 0; pos < header_size;) {
    const char* feed = static_cast<const char*>(
        memchr(headers + pos, '\n', header_size - pos));
    int end = feed != nullptr ? static_cast<int>(feed - headers) : header_size;
    int content_end = end;
    if (feed != nullptr && content_end > pos &&
        headers[content_end - 1] == '\r') {
      --content_end;
    }
    append_header_line_encoded(headers + pos,
                               static_cast<size_t>(content_end - pos), charset,
                               line_end, header_text);
    pos = end + 1;
  }
  free(headers);
}

bool encode_text_body(const char* line_end, int body_start,
                      dyn_text* body_text, const char* must_not_hold) {
  int body_size = body_text->length - body_start;
  const char* body = body_text->data + body_start;
  bool seven_bit = fits_7bit(body, static_cast<size_t>(body_size)) &&
                   (must_not_hold == nullptr ||
                    strstr(body, must_not_hold) == nullptr);
  if (!seven_bit) {
    char* copy =
        copy_or_fail(body, static_cast<size_t>(body_size), kNoMemory);
    truncate_text(body_text, body_start);
    append_quoted_printable(copy, static_cast<size_t>(body_size), line_end,
                            body_text);
    free(copy);
  }
  return seven_bit;
}

void append_date_and_id(const message_stamp& stamp, const char* line_end,
                        dyn_text* header_text) {
  dyn_text_append(header_text, "Date: ");
  append_date(stamp.local_time, stamp.utc_offset_minutes, header_text);
  dyn_text_append(header_text, "%sMessage-ID: ", line_end);
  append_message_id(stamp, header_text);
  dyn_text_append(header_text, "%sMIME-Version: 1.0%s", line_end, line_end);
}

void make_standard_message(const char* charset, const char* line_end,
                           const message_stamp& stamp, int header_start,
                           dyn_text* header_text, int body_start,
                           dyn_text* body_text) {
  encode_header_lines(charset, line_end, header_start, header_text);
  bool seven_bit = encode_text_body(line_end, body_start, body_text, nullptr);
  append_date_and_id(stamp, line_end, header_text);
  dyn_text_append(header_text,
                  "Content-Type: text/plain; charset=%s%s"
                  "Content-Transfer-Encoding: %s%s",
                  charset, line_end, seven_bit ? "7bit" : "quoted-printable",
                  line_end);
}

}  // namespace tarvelo
