#include "form/form_reader.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "form/body_readers.h"
#include "support/alloc.h"
#include "support/decimal.h"
#include "support/log.h"
#include "support/os.h"

namespace tarvelo {

namespace {

// Digit value of one character of a %XX escape. The two characters are not
// checked: bytes that are no hexadecimal digit decode to whatever the
// formula gives, which never fails.
int hex_digit_value(char c) {
  int x = static_cast<signed char>(c);
  return x < 'A' ? x - '0' : (x & ~0x20) - 55;
}

char hex_pair_value(char first, char second) {
  return static_cast<char>(
      (16 * hex_digit_value(first) + hex_digit_value(second)) & 0xff);
}

}  // namespace

char* split_token(char* text, char delimiter) {
  size_t total = strlen(text);
  char* block = static_cast<char*>(malloc_or_fail(total + 1, kOutOfMemory));
  const char* cut = strchr(text, delimiter);
  size_t head = cut ? static_cast<size_t>(cut - text) : total;
  memcpy(block, text, head);
  block[head] = '\0';
  size_t rest_start = cut ? head + 1 : total;
  memmove(text, text + rest_start, total - rest_start + 1);
  return block;
}

void url_decode(char* text) {
  char* out = text;
  for (const char* in = text; *in != '\0';) {
    if (in[0] == '%' && in[1] != '\0' && in[2] != '\0') {
      *out++ = hex_pair_value(in[1], in[2]);
      in += 3;
    } else {
      *out++ = *in++;
    }
  }
  *out = '\0';
}

void drop_carriage_returns(char* text) {
  char* out = text;
  for (const char* in = text; *in != '\0'; ++in) {
    if (*in != '\r') *out++ = *in;
  }
  *out = '\0';
}

void parse_form_body(char* body, form_table* table) {
  // Walk the body with a cursor rather than moving the rest to the front
  // after every pair: a 99999-byte body of 1000 pairs would otherwise move
  // about 100 MB.
  const char* cursor = body;
  int i = 0;
  while (*cursor != '\0' && i < kMaxFormPairs) {
    const char* amp = strchr(cursor, '&');
    size_t length = amp ? static_cast<size_t>(amp - cursor) : strlen(cursor);
    char* pair = copy_or_fail(cursor, length, kOutOfMemory);
    cursor += amp ? length + 1 : length;
    log_event(LOG_DEBUG_DATA, "val [%d] (%s)\n", i, pair);
    for (char* p = pair; *p != '\0'; ++p) {
      if (*p == '+') *p = ' ';
    }
    url_decode(pair);
    char* name = split_token(pair, '=');
    // Values are decoded once (decoding twice corrupts "50%off"); carriage
    // returns go, so a text area's line breaks arrive as bare line feeds.
    // Names lose them too: a name reaches the message (sendall) and the
    // wire, where a bare carriage return ends a line for some receivers.
    drop_carriage_returns(name);
    drop_carriage_returns(pair);
    table->names[i] = name;
    table->values[i] = pair;
    ++i;
  }
  table->form_count = i;
}

int parse_content_length(const char* text) {
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  decimal_run run =
      read_decimal(text, static_cast<unsigned long long>(INT_MAX) + 1);
  if (run.over) return negative ? INT_MIN : INT_MAX;
  long long value = static_cast<long long>(run.value);
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

int read_form_body(int content_length, long long deadline_ms, char* body) {
  if (content_length <= 0) return 0;
  // RFC 3875 4.2: the server sends CONTENT_LENGTH bytes; never read past
  // them, and never more than the body buffer holds.
  int want = content_length < kMaxFormBody ? content_length : kMaxFormBody;
  int got = os_read_stdin_until(body, want, deadline_ms);
  // The script must read the whole body (RFC 3875 4.2): a web server still
  // writing it would fail with a broken pipe and send the visitor nothing.
  // What lies beyond the buffer is read and dropped.
  if (got == want) {
    char rest[16384];
    int left = content_length - got;
    while (left > 0) {
      int piece = left < static_cast<int>(sizeof rest) ? left : sizeof rest;
      int n = os_read_stdin_until(rest, piece, deadline_ms);
      left -= n;
      if (n < piece) break;
    }
  }
  return got;
}

namespace {

void read_urlencoded(int content_length, long long deadline_ms,
                     form_table* table) {
  static char body[kMaxFormBody + 1];
  int got = read_form_body(content_length, deadline_ms, body);
  body[got] = '\0';
  if (got != content_length) {
    log_event(LOG_ERRORS, "FORM DATA SIZE != CONTENT_LENGTH, got(%d), CL(%d)",
              got, content_length);
  }
  parse_form_body(body, table);
}

form_outcome parse_block(form_encoding encoding, const char* content_type,
                         std::string_view body, form_table* table,
                         const char** why) {
  if (encoding == FORM_TEXT_PLAIN) {
    parse_text_plain_body(body, table);
    return FORM_READ;
  }
  if (encoding == FORM_JSON) return parse_json_body(body, table, why);
  std::string boundary;
  if (!multipart_boundary(content_type, &boundary)) {
    *why = "no boundary";
    return FORM_MALFORMED;
  }
  return parse_multipart_body(body, boundary, table, why);
}

}  // namespace

form_outcome read_form(const form_request& request, form_table* table) {
  int content_length = parse_content_length(request.content_length);
  log_event(LOG_DEBUG, "FORM SIZE %d\n", content_length);
  os_stdin_binary();
  form_encoding encoding = form_encoding_of(request.content_type);
  if (encoding == FORM_URLENCODED) {
    read_urlencoded(content_length, request.deadline_ms, table);
    return FORM_READ;
  }
  std::string type = media_type_for_log(request.content_type);
  if (encoding == FORM_OTHER) {
    log_event(LOG_ERRORS, "request body of type %s is not a form",
              type.c_str());
    return FORM_UNSUPPORTED;
  }
  long long limit = kMaxFormBody;
  if (encoding == FORM_MULTIPART) limit += request.max_attachment_bytes;
  // Refused before a byte is read: a larger block would be taken first.
  if (content_length > limit) {
    log_event(LOG_ERRORS, "request body of %d bytes is over the limit of %lld",
              content_length, limit);
    return FORM_TOO_LARGE;
  }
  int size = content_length > 0 ? content_length : 0;
  char* block = static_cast<char*>(malloc_or_fail(size + 1, kOutOfMemory));
  // A large upload over a slow line may take long; what ends it is a client
  // that stops sending.
  int got = size > kMaxFormBody
                ? os_read_stdin_idle(block, size, request.idle_limit_ms)
                : os_read_stdin_until(block, size, request.deadline_ms);
  if (got < size) {
    free(block);
    log_event(LOG_ERRORS, "request body cut short: %d of %d bytes arrived", got,
              size);
    return FORM_MALFORMED;
  }
  block[size] = '\0';
  const char* why = "";
  form_outcome outcome = parse_block(
      encoding, request.content_type, std::string_view(block, size), table, &why);
  if (outcome != FORM_READ) {
    log_event(LOG_ERRORS, "request body of type %s could not be read: %s",
              type.c_str(), why);
  }
  if (outcome == FORM_READ && table->file_count > 0) {
    table->file_block = block;
  } else {
    free(block);
  }
  return outcome;
}

const char* form_table_lookup(const form_table& table, const char* key) {
  for (int i = 0; i < table.form_count; ++i) {
    const char* name = table.names[i];
    if (name[0] == key[0] && strcmp(name, key) == 0) return table.values[i];
  }
  return "";
}

const char* form_value(form_table* table, const char* key) {
  if (!table->form_dumped) {
    log_event(LOG_DEBUG_DATA, "Form stuff %d", table->form_count);
    for (int i = 0; i < table->form_count; ++i) {
      log_event(LOG_DEBUG_DATA, "Form stuff (%s) (%s)", table->names[i],
                table->values[i]);
    }
    table->form_dumped = 1;
  }
  return form_table_lookup(*table, key);
}

void form_release_files(form_table* table) {
  free(table->file_block);
  table->file_block = nullptr;
  for (int i = 0; i < table->file_count; ++i) table->files[i].data = nullptr;
}

}  // namespace tarvelo
