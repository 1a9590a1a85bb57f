#include "compose/attachments.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/alloc.h"
#include "support/base64.h"
#include "support/os.h"

namespace tarvelo {

namespace {

// RFC 2231 7 attribute-char: what a parameter value may carry unencoded.
bool is_attribute_char(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
      (c >= '0' && c <= '9')) {
    return true;
  }
  return strchr("!#$&+-.^_`|~", c) != nullptr && c != '\0';
}

bool is_printable_ascii(const char* text) {
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
       *p != '\0'; ++p) {
    if (*p < 32 || *p > 126) return false;
  }
  return true;
}

constexpr char kDispositionStart[] = "Content-Disposition: attachment;";
// A continuation's encoded text, so its folded line stays within 76.
constexpr size_t kContinuationChars = 50;

void append_quoted_name(const char* file_name, const char* line_end,
                        dyn_text* out) {
  dyn_text_append(out, "%s filename=\"", kDispositionStart);
  for (const char* p = file_name; *p != '\0'; ++p) {
    // RFC 2045 5.1 quoted-string: a quote or backslash goes escaped.
    if (*p == '"' || *p == '\\') dyn_text_append_bytes(out, "\\", 1);
    dyn_text_append_bytes(out, p, 1);
  }
  dyn_text_append(out, "\"%s", line_end);
}

// RFC 2231 4 and 3: the name as UTF-8''%XX, in continuations when long.
void append_extended_name(const char* file_name, const char* line_end,
                          dyn_text* out) {
  size_t size = strlen(file_name);
  char* encoded = static_cast<char*>(malloc_or_fail(3 * size + 1, kNoMemory));
  size_t length = 0;
  for (size_t i = 0; i < size; ++i) {
    unsigned char c = static_cast<unsigned char>(file_name[i]);
    if (is_attribute_char(c)) {
      encoded[length++] = static_cast<char>(c);
    } else {
      length += static_cast<size_t>(
          snprintf(encoded + length, 4, "%%%02X", static_cast<unsigned>(c)));
    }
  }
  encoded[length] = '\0';
  // One folded line " filename*=UTF-8''..." when it fits 76 characters.
  if (length + 18 <= static_cast<size_t>(kBase64LineChars)) {
    dyn_text_append(out, "%s%s filename*=UTF-8''%s%s", kDispositionStart,
                    line_end, encoded, line_end);
    free(encoded);
    return;
  }
  dyn_text_append(out, "%s", kDispositionStart);
  size_t pos = 0;
  for (int n = 0; pos < length; ++n) {
    size_t take = length - pos < kContinuationChars ? length - pos
                                                    : kContinuationChars;
    // A "%XX" is never cut.
    if (pos + take < length) {
      if (encoded[pos + take - 1] == '%') take -= 1;
      else if (encoded[pos + take - 2] == '%') take -= 2;
    }
    dyn_text_append(out, "%s filename*%d*=%s%.*s%s", line_end, n,
                    n == 0 ? "UTF-8''" : "", static_cast<int>(take),
                    encoded + pos, pos + take < length ? ";" : "");
    pos += take;
  }
  dyn_text_append(out, "%s", line_end);
  free(encoded);
}

}  // namespace

const char* attachment_content_type(const char* file_name) {
  const char* dot = strrchr(file_name, '.');
  const char* extension = dot != nullptr ? dot + 1 : "";
  if (strcasecmp(extension, "pdf") == 0) return "application/pdf";
  if (strcasecmp(extension, "png") == 0) return "image/png";
  if (strcasecmp(extension, "jpg") == 0 || strcasecmp(extension, "jpeg") == 0) {
    return "image/jpeg";
  }
  if (strcasecmp(extension, "txt") == 0) return "text/plain";
  return "application/octet-stream";
}

void append_content_disposition(const char* file_name, const char* line_end,
                                dyn_text* out) {
  size_t escaped = 0;
  for (const char* p = file_name; *p != '\0'; ++p) {
    escaped += (*p == '"' || *p == '\\') ? 2 : 1;
  }
  // kDispositionStart, " filename=", the name and its two quotes.
  size_t line = sizeof kDispositionStart - 1 + 10 + escaped + 2;
  if (is_printable_ascii(file_name) &&
      line <= static_cast<size_t>(kMaxLineLength)) {
    append_quoted_name(file_name, line_end, out);
  } else {
    append_extended_name(file_name, line_end, out);
  }
}

size_t base64_lines_size(size_t bytes, size_t line_end_size) {
  size_t chars = base64_size(bytes);
  size_t lines = (chars + kBase64LineChars - 1) / kBase64LineChars;
  return chars + lines * line_end_size;
}

void encode_base64_lines(const unsigned char* data, size_t size,
                         const char* line_end, char* out, bool give_back) {
  size_t line_end_size = strlen(line_end);
  // About a megabyte of whole lines between two give-backs.
  constexpr size_t kGiveBackEvery = kBase64LineBytes * 18396;
  for (size_t pos = 0; pos < size; pos += kBase64LineBytes) {
    if (give_back && pos > 0 && pos % kGiveBackEvery == 0) {
      os_give_back_pages(data, pos);
    }
    size_t take = size - pos < static_cast<size_t>(kBase64LineBytes)
                      ? size - pos
                      : static_cast<size_t>(kBase64LineBytes);
    // Its NUL lands where the line end goes next.
    base64_encode(data + pos, take, out);
    out += base64_size(take);
    memcpy(out, line_end, line_end_size);
    out += line_end_size;
  }
}

void make_boundary(const message_stamp& stamp, char* out) {
  char random[2 * sizeof stamp.random + 1];
  for (size_t i = 0; i < sizeof stamp.random; ++i) {
    snprintf(random + 2 * i, 3, "%02x", stamp.random[i]);
  }
  // RFC 2046 5.1.1: "=" and "_" are boundary characters; base64 has no "_"
  // and quoted-printable writes "=" only before hex digits or a line end.
  snprintf(out, kBoundarySize, "=_tarvelo_%s_%llx_%x", random,
           static_cast<unsigned long long>(stamp.unix_seconds),
           static_cast<unsigned>(stamp.process_id));
}

void make_multipart_message(const char* charset, const char* line_end,
                            const message_stamp& stamp, const form_table& form,
                            int header_start, dyn_text* header_text,
                            int body_start, dyn_text* body_text,
                            message_layout* layout) {
  char boundary[kBoundarySize];
  make_boundary(stamp, boundary);
  size_t line_end_size = strlen(line_end);

  encode_header_lines(charset, line_end, header_start, header_text);
  append_date_and_id(stamp, line_end, header_text);
  dyn_text_append(header_text,
                  "Content-Type: multipart/mixed; boundary=\"%s\"%s", boundary,
                  line_end);

  bool seven_bit = encode_text_body(line_end, body_start, body_text, boundary);
  int text_size = body_text->length - body_start;
  char* text = copy_or_fail(body_text->data + body_start,
                            static_cast<size_t>(text_size), kNoMemory);
  body_text->length = body_start;
  body_text->data[body_start] = '\0';

  // The small pieces first, so the body can take its final size at once.
  dyn_text* heads = dyn_text_new("");
  dyn_text_append(heads,
                  "--%s%sContent-Type: text/plain; charset=%s%s"
                  "Content-Transfer-Encoding: %s%s%s",
                  boundary, line_end, charset, line_end,
                  seven_bit ? "7bit" : "quoted-printable", line_end, line_end);
  int text_head_end = heads->length;
  int file_head_end[kMaxFormFiles];
  int count = form.file_count < kMaxFormFiles ? form.file_count : kMaxFormFiles;
  size_t encoded_total = 0;
  for (int i = 0; i < count; ++i) {
    const form_file& file = form.files[i];
    // RFC 2046 5.1.1: the line end before "--" belongs to the delimiter, so
    // the text keeps its own last line end.
    dyn_text_append(heads, "%s--%s%sContent-Type: %s%s", line_end, boundary,
                    line_end, attachment_content_type(file.file_name),
                    line_end);
    append_content_disposition(file.file_name, line_end, heads);
    dyn_text_append(heads, "Content-Transfer-Encoding: base64%s%s", line_end,
                    line_end);
    file_head_end[i] = heads->length;
    encoded_total +=
        base64_lines_size(static_cast<size_t>(file.size), line_end_size);
  }
  int closing_start = heads->length;
  // Base64 lines end in the line end, which is then the delimiter's own.
  dyn_text_append(heads, "%s--%s--%s", count == 0 ? line_end : "", boundary,
                  line_end);

  size_t final_size = static_cast<size_t>(body_start) +
                      static_cast<size_t>(text_size) +
                      static_cast<size_t>(heads->length) + encoded_total;
  if (final_size + 2 > static_cast<size_t>(body_text->capacity)) {
    body_text->data = static_cast<char*>(
        realloc_or_fail(body_text->data, final_size + 2, kNoMemory));
    body_text->capacity = static_cast<int>(final_size + 2);
  }

  dyn_text_append_bytes(body_text, heads->data, text_head_end);
  dyn_text_append_bytes(body_text, text, text_size);
  free(text);
  if (layout != nullptr) {
    layout->ready_from = static_cast<size_t>(body_text->length);
    layout->count = count;
  }
  int head_start = text_head_end;
  for (int i = 0; i < count; ++i) {
    const form_file& file = form.files[i];
    dyn_text_append_bytes(body_text, heads->data + head_start,
                          file_head_end[i] - head_start);
    head_start = file_head_end[i];
    size_t size =
        base64_lines_size(static_cast<size_t>(file.size), line_end_size);
    encode_base64_lines(reinterpret_cast<const unsigned char*>(file.data),
                        static_cast<size_t>(file.size), line_end,
                        body_text->data + body_text->length,
                        layout != nullptr && layout->give_back_file_pages);
    if (layout != nullptr) {
      attachment_place& place = layout->places[i];
      place.start = static_cast<size_t>(body_text->length);
      place.size = size;
      place.name = file.file_name;
      place.bytes = file.size;
    }
    body_text->length += static_cast<int>(size);
    body_text->data[body_text->length] = '\0';
  }
  dyn_text_append_bytes(body_text, heads->data + closing_start,
                        heads->length - closing_start);
  dyn_text_free(heads);
}

}  // namespace tarvelo
