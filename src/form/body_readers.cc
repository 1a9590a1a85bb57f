#include "form/body_readers.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/alloc.h"
#include "support/log.h"

namespace tarvelo {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

char lower(char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

bool same_words(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string_view trim_blanks(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  return text;
}

std::string_view media_type(const char* content_type) {
  std::string_view text = content_type;
  size_t semicolon = text.find(';');
  return trim_blanks(text.substr(0, semicolon));
}

// A name or value as the table keeps it: cut at its first NUL, without
// carriage returns, on the heap.
char* table_text(std::string_view text) {
  size_t nul = text.find('\0');
  if (nul != std::string_view::npos) text = text.substr(0, nul);
  char* out = static_cast<char*>(malloc_or_fail(text.size() + 1, kOutOfMemory));
  size_t n = 0;
  for (char c : text) {
    if (c != '\r') out[n++] = c;
  }
  out[n] = '\0';
  return out;
}

// HTML's multipart/form-data encoding writes '"', CR and LF in names as
// %22, %0D and %0A; every other "%" stands for itself.
std::string unescape_name(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      char high = text[i + 1];
      char low = lower(text[i + 2]);
      if (high == '2' && low == '2') {
        out += '"';
        i += 2;
        continue;
      }
      if (high == '0' && (low == 'd' || low == 'a')) {
        out += low == 'd' ? '\r' : '\n';
        i += 2;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

// The file name a mail may carry: what follows the last "/" or "\" (a
// browser may send the whole path), cut at a NUL, without control bytes.
std::string clean_file_name(std::string_view raw) {
  std::string name = unescape_name(raw);
  size_t nul = name.find('\0');
  if (nul != std::string::npos) name.resize(nul);
  size_t slash = name.find_last_of("/\\");
  if (slash != std::string::npos) name.erase(0, slash + 1);
  std::string out;
  for (char c : name) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7f) out += c;
  }
  return out;
}

struct part_headers {
  bool form_data = false;
  bool has_name = false;
  bool has_file_name = false;
  std::string_view name;       // raw, still escaped
  std::string_view file_name;  // raw, still escaped
  std::string_view type;       // Content-Type as declared
};

// Content-Disposition: form-data; name="a"; filename="b" (RFC 7578 4.2).
// Parameter values are quoted or tokens; browsers never escape with "\".
bool read_disposition(std::string_view value, part_headers* out) {
  size_t semicolon = value.find(';');
  out->form_data = same_words(trim_blanks(value.substr(0, semicolon)),
                              "form-data");
  while (semicolon != std::string_view::npos) {
    value.remove_prefix(semicolon + 1);
    size_t equals = value.find('=');
    if (equals == std::string_view::npos) return false;
    std::string_view key = trim_blanks(value.substr(0, equals));
    value.remove_prefix(equals + 1);
    while (!value.empty() && is_blank(value.front())) value.remove_prefix(1);
    std::string_view parameter;
    if (!value.empty() && value.front() == '"') {
      size_t close = value.find('"', 1);
      if (close == std::string_view::npos) return false;
      parameter = value.substr(1, close - 1);
      value.remove_prefix(close + 1);
      semicolon = value.find(';');
    } else {
      semicolon = value.find(';');
      parameter = trim_blanks(value.substr(0, semicolon));
    }
    if (same_words(key, "name")) {
      out->name = parameter;
      out->has_name = true;
    } else if (same_words(key, "filename")) {
      out->file_name = parameter;
      out->has_file_name = true;
    }
  }
  return true;
}

bool read_part_headers(std::string_view block, part_headers* out) {
  bool disposition_seen = false;
  while (!block.empty()) {
    size_t end = block.find("\r\n");
    std::string_view line = block.substr(0, end);
    block.remove_prefix(end == std::string_view::npos ? block.size()
                                                      : end + 2);
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view field = trim_blanks(line.substr(0, colon));
    std::string_view value = trim_blanks(line.substr(colon + 1));
    if (same_words(field, "Content-Disposition")) {
      if (!read_disposition(value, out)) return false;
      disposition_seen = true;
    } else if (same_words(field, "Content-Type")) {
      out->type = value;
    }
  }
  return disposition_seen && out->form_data && out->has_name;
}

form_outcome refuse(form_table* table, const char** why, const char* reason,
                    form_outcome outcome) {
  clear_form_table(table);
  *why = reason;
  return outcome;
}

form_outcome add_file_part(const part_headers& headers, std::string_view data,
                           form_table* table, const char** why) {
  std::string file_name = clean_file_name(headers.file_name);
  // No file chosen: the browser sends the part with an empty name.
  if (headers.file_name.empty() && data.empty()) return FORM_READ;
  std::string field = unescape_name(headers.name);
  std::string type(headers.type);
  long long size = static_cast<long long>(data.size());
  log_event(LOG_DEBUG, "file part: field (%s) file (%s) type (%s) %lld bytes",
            field.c_str(), file_name.c_str(), type.c_str(), size);
  if (table->file_count >= kMaxFormFiles ||
      table->form_count >= kMaxFormPairs) {
    return refuse(table, why, "too many files", FORM_TOO_LARGE);
  }
  char label[64];
  snprintf(label, sizeof label, " (%lld bytes)", size);
  add_pair(table, field, file_name + label);
  form_file& file = table->files[table->file_count++];
  file.pair = table->form_count - 1;
  file.file_name = table_text(file_name);
  file.data = data.data();
  file.size = size;
  return FORM_READ;
}

}  // namespace

bool add_pair(form_table* table, std::string_view name,
              std::string_view value) {
  if (table->form_count >= kMaxFormPairs) return false;
  table->names[table->form_count] = table_text(name);
  table->values[table->form_count] = table_text(value);
  ++table->form_count;
  return true;
}

form_encoding form_encoding_of(const char* content_type) {
  // Browsers send the default type in lower case, without parameters.
  if (content_type[0] == '\0' ||
      strcmp(content_type, "application/x-www-form-urlencoded") == 0) {
    return FORM_URLENCODED;
  }
  std::string_view type = media_type(content_type);
  if (type.empty() || same_words(type, "application/x-www-form-urlencoded")) {
    return FORM_URLENCODED;
  }
  if (same_words(type, "multipart/form-data")) return FORM_MULTIPART;
  if (same_words(type, "text/plain")) return FORM_TEXT_PLAIN;
  if (same_words(type, "application/json")) return FORM_JSON;
  return FORM_OTHER;
}

std::string media_type_for_log(const char* content_type) {
  std::string out(media_type(content_type).substr(0, 100));
  for (char& c : out) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) c = '?';
  }
  return out;
}

bool multipart_boundary(const char* content_type, std::string* out) {
  std::string_view text = content_type;
  size_t semicolon = text.find(';');
  while (semicolon != std::string_view::npos) {
    text.remove_prefix(semicolon + 1);
    semicolon = text.find(';');
    std::string_view parameter = text.substr(0, semicolon);
    size_t equals = parameter.find('=');
    if (equals == std::string_view::npos) continue;
    if (!same_words(trim_blanks(parameter.substr(0, equals)), "boundary")) {
      continue;
    }
    std::string_view value = trim_blanks(parameter.substr(equals + 1));
    if (!value.empty() && value.front() == '"') {
      // A quoted boundary may hold a ";" (RFC 2046 5.1.1 bchars do not,
      // but a quoted string could): take it up to its closing quote.
      std::string_view rest = text.substr(text.find('"') + 1);
      size_t close = rest.find('"');
      if (close == std::string_view::npos) return false;
      value = rest.substr(0, close);
    }
    if (value.empty() || value.size() > 70) return false;
    out->assign(value);
    return true;
  }
  return false;
}

void clear_form_table(form_table* table) {
  for (int i = 0; i < table->form_count; ++i) {
    free(table->names[i]);
    free(table->values[i]);
  }
  for (int i = 0; i < table->file_count; ++i) {
    free(table->files[i].file_name);
    table->files[i] = form_file();
  }
  table->form_count = 0;
  table->file_count = 0;
}

form_outcome parse_multipart_body(std::string_view body,
                                  std::string_view boundary, form_table* table,
                                  const char** why) {
  // RFC 2046 5.1.1: a delimiter is CRLF "--" boundary; the first may stand
  // at the very start, after an ignored preamble otherwise.
  std::string dash_boundary = "--";
  dash_boundary += boundary;
  std::string delimiter = "\r\n" + dash_boundary;
  size_t at;
  if (body.substr(0, dash_boundary.size()) == dash_boundary) {
    at = 0;
  } else {
    at = body.find(delimiter);
    if (at == std::string_view::npos) {
      return refuse(table, why, "no boundary line", FORM_MALFORMED);
    }
    at += 2;
  }
  for (;;) {
    at += dash_boundary.size();
    if (body.substr(at, 2) == "--") return FORM_READ;  // the close delimiter
    while (at < body.size() && is_blank(body[at])) ++at;
    if (body.substr(at, 2) != "\r\n") {
      return refuse(table, why, "boundary line not ended", FORM_MALFORMED);
    }
    at += 2;
    // A part is what lies between this boundary line and the next
    // delimiter: it can never reach past it.
    size_t end = body.find(delimiter, at - 2);
    if (end == std::string_view::npos) {
      return refuse(table, why, "no closing boundary", FORM_MALFORMED);
    }
    if (end < at) {
      return refuse(table, why, "part without headers", FORM_MALFORMED);
    }
    std::string_view part = body.substr(at, end - at);
    std::string_view header_block;
    std::string_view content;
    if (part.substr(0, 2) == "\r\n") {
      content = part.substr(2);
    } else {
      size_t blank_line = part.find("\r\n\r\n");
      if (blank_line == std::string_view::npos) {
        return refuse(table, why, "part without headers", FORM_MALFORMED);
      }
      header_block = part.substr(0, blank_line);
      content = part.substr(blank_line + 4);
    }
    part_headers headers;
    if (!read_part_headers(header_block, &headers)) {
      return refuse(table, why, "part without a form-data name",
                    FORM_MALFORMED);
    }
    if (headers.has_file_name) {
      form_outcome outcome = add_file_part(headers, content, table, why);
      if (outcome != FORM_READ) return outcome;
    } else {
      add_pair(table, unescape_name(headers.name), content);
    }
    at = end + 2;
  }
}

void parse_text_plain_body(std::string_view body, form_table* table) {
  bool pair_open = false;
  while (!body.empty()) {
    size_t line_feed = body.find('\n');
    std::string_view line = body.substr(0, line_feed);
    body.remove_prefix(line_feed == std::string_view::npos ? body.size()
                                                           : line_feed + 1);
    size_t equals = line.find('=');
    if (equals == std::string_view::npos && pair_open) {
      // The value already lost its carriage returns and was cut at a NUL;
      // the continuation follows the same rules.
      char* before = table->values[table->form_count - 1];
      char* more = table_text(line);
      size_t size = strlen(before);
      size_t extra = strlen(more);
      char* joined = static_cast<char*>(
          malloc_or_fail(size + extra + 2, kOutOfMemory));
      memcpy(joined, before, size);
      joined[size] = '\n';
      memcpy(joined + size + 1, more, extra + 1);
      free(before);
      free(more);
      table->values[table->form_count - 1] = joined;
      continue;
    }
    if (equals == std::string_view::npos) {
      pair_open = add_pair(table, line, "");
    } else {
      pair_open =
          add_pair(table, line.substr(0, equals), line.substr(equals + 1));
    }
  }
}

}  // namespace tarvelo
