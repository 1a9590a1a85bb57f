#include "compose/attachments.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "compose/message.h"
#include "testing/test_support.h"

namespace tarvelo {
namespace {

// ---- A strict reader of what the composer writes (RFC 2045, 2046, 2231).

std::string unfold(const std::string& value) {
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value.compare(i, 2, "\r\n") == 0 && i + 2 < value.size() &&
        (value[i + 2] == ' ' || value[i + 2] == '\t')) {
      i += 1;
      continue;
    }
    out += value[i];
  }
  return out;
}

// Header lines up to the empty line, by lower-case name; fails the test on
// a line without a colon or over 998 characters.
std::map<std::string, std::string> read_headers(const std::string& text,
                                                size_t* body_start) {
  std::map<std::string, std::string> headers;
  size_t end = text.find("\r\n\r\n");
  EXPECT_NE(std::string::npos, end) << text;
  if (end == std::string::npos) return headers;
  std::string block = text.substr(0, end + 2);
  *body_start = end + 4;
  size_t pos = 0;
  while (pos < block.size()) {
    size_t next = pos;
    do {
      size_t feed = block.find("\r\n", next);
      EXPECT_LE(feed - next, 998u);
      next = feed + 2;
    } while (next < block.size() && (block[next] == ' ' || block[next] == '\t'));
    std::string line = unfold(block.substr(pos, next - 2 - pos));
    size_t colon = line.find(':');
    EXPECT_NE(std::string::npos, colon) << line;
    std::string name = line.substr(0, colon);
    for (char& c : name) c = static_cast<char>(tolower(c));
    size_t value = line.find_first_not_of(' ', colon + 1);
    headers[name] = value == std::string::npos ? "" : line.substr(value);
    pos = next;
  }
  return headers;
}

std::string decode_base64_lines(const std::string& text) {
  static const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned bits = 0;
  int count = 0;
  size_t line_start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r') {
      EXPECT_EQ('\n', text[i + 1]);
      EXPECT_LE(i - line_start, 76u);
      line_start = i + 2;
      ++i;
      continue;
    }
    if (c == '=') continue;
    size_t value = alphabet.find(c);
    EXPECT_NE(std::string::npos, value) << "not base64: " << c;
    bits = (bits << 6) | static_cast<unsigned>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xff);
    }
  }
  return out;
}

std::string percent_decode(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%') {
      out += static_cast<char>(strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// The file name of a Content-Disposition value: quoted, RFC 2231 extended,
// or RFC 2231 continuations.
std::string file_name_of(const std::string& disposition) {
  size_t quoted = disposition.find("filename=\"");
  if (quoted != std::string::npos) {
    std::string out;
    for (size_t i = quoted + 10; i < disposition.size() && disposition[i] != '"';
         ++i) {
      if (disposition[i] == '\\') ++i;
      out += disposition[i];
    }
    return out;
  }
  std::string encoded;
  size_t single = disposition.find("filename*=UTF-8''");
  if (single != std::string::npos) {
    encoded = disposition.substr(single + 17);
  } else {
    for (int n = 0;; ++n) {
      std::string key = "filename*" + std::to_string(n) + "*=";
      size_t at = disposition.find(key);
      if (at == std::string::npos) break;
      size_t start = at + key.size();
      if (n == 0) {
        EXPECT_EQ(0, disposition.compare(start, 7, "UTF-8''"));
        start += 7;
      }
      size_t end = disposition.find(';', start);
      encoded += disposition.substr(start, end == std::string::npos
                                               ? std::string::npos
                                               : end - start);
    }
  }
  return percent_decode(encoded);
}

struct read_part {
  std::map<std::string, std::string> headers;
  std::string body;
};

// Splits a multipart body at its delimiters: no preamble, nothing after the
// closing delimiter.
std::vector<read_part> read_multipart(const std::string& body,
                                      const std::string& boundary) {
  std::vector<read_part> parts;
  std::string first = "--" + boundary + "\r\n";
  EXPECT_EQ(0, body.compare(0, first.size(), first));
  std::string delimiter = "\r\n--" + boundary;
  size_t pos = first.size();
  for (;;) {
    size_t next = body.find(delimiter, pos);
    EXPECT_NE(std::string::npos, next);
    if (next == std::string::npos) return parts;
    std::string text = body.substr(pos, next - pos);
    read_part part;
    size_t body_start = 0;
    part.headers = read_headers(text + "\r\n", &body_start);
    part.body = body_start <= text.size() ? text.substr(body_start) : "";
    parts.push_back(part);
    size_t after = next + delimiter.size();
    if (body.compare(after, 4, "--\r\n") == 0) {
      EXPECT_EQ(after + 4, body.size());
      return parts;
    }
    EXPECT_EQ(0, body.compare(after, 2, "\r\n"));
    pos = after + 2;
  }
}

// ---- The composer

struct test_file {
  const char* name;
  std::string bytes;
};

// One composition: a form with files, the message it makes.
class composer {
 public:
  composer() = default;
  composer(const composer&) = delete;
  ~composer() {
    free(env_.from_address);
    free(env_.to_address);
    for (int i = 0; i < form_.file_count; ++i) free(form_.files[i].file_name);
    free(form_.file_block);
  }

  // A form as the intake leaves it: each file's field reads
  // "NAME (N bytes)", its bytes in one block the table owns.
  void add_files(const std::vector<test_file>& files) {
    size_t total = 0;
    for (const test_file& f : files) total += f.bytes.size();
    form_.file_block = static_cast<char*>(malloc(total + 1));
    size_t at = 0;
    for (const test_file& f : files) {
      memcpy(form_.file_block + at, f.bytes.data(), f.bytes.size());
      values_.push_back(std::string(f.name) + " (" +
                        std::to_string(f.bytes.size()) + " bytes)");
      form_file& file = form_.files[form_.file_count++];
      file.pair = form_.form_count;
      file.file_name = strdup(f.name);
      file.data = form_.file_block + at;
      file.size = static_cast<long long>(f.bytes.size());
      at += f.bytes.size();
    }
  }

  void compose() {
    static char to[] = "To: owner@example.com";
    static char from[] = "From: visitor@example.net";
    static char subject[] = "Subject: Gr\xC3\xBC\xC3\x9F" "e";
    static char name[] = "Name:";
    static char empty[] = "";
    static char joe[] = "J\xC3\xB6" "e\n.line after a dot";
    entry_list headers;
    headers.count = 3;
    headers.names[0] = to;
    headers.names[1] = from;
    headers.names[2] = subject;
    for (int i = 0; i < 3; ++i) headers.values[i] = empty;
    entry_list body;
    body.count = 1;
    body.names[0] = name;
    body.values[0] = joe;
    message_stamp stamp;
    stamp.unix_seconds = 1796000000;
    stamp.process_id = 4242;
    memcpy(stamp.random, "\x01\x23\x45\x67\x89\xab\xcd\xef", 8);
    dyn_text* header_text = dyn_text_new("");
    dyn_text* body_text = dyn_text_new("");
    compose_message(settings_, headers, body, form_, stamp, &env_, header_text,
                    body_text, &layout_);
    header_.assign(header_text->data, header_text->length);
    body_.assign(body_text->data, body_text->length);
    dyn_text_free(header_text);
    dyn_text_free(body_text);
  }

  mail_settings settings_;
  std::string header_;
  std::string body_;
  message_layout layout_;

 private:
  form_table form_;
  envelope env_;
  std::vector<std::string> values_;
};

std::string binary_bytes(size_t size) {
  std::string out;
  for (size_t i = 0; i < size; ++i) {
    out += static_cast<char>((i * 131 + i / 7) & 0xff);
  }
  return out;
}

TEST(Attachments, FilesReadBackExactlyWithTypesFromTheirNames) {
  scoped_test_log log;
  struct {
    std::vector<test_file> files;
    std::vector<std::string> types;
  } cases[] = {
      {{{"report.PDF", binary_bytes(48213)}}, {"application/pdf"}},
      {{{"Gr\xC3\xBC\xC3\x9F" "e \xE2\x80\x94 photo.jpeg", binary_bytes(57)},
        {"notes \"v2\" \\ final.txt", "line one\r\n.line two\r\n"}},
       {"image/jpeg", "text/plain"}},
      {{{"empty.bin", ""}}, {"application/octet-stream"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.files[0].name);
    composer m;
    m.add_files(c.files);
    m.compose();
    const std::string& header_ = m.header_;
    const std::string& body_ = m.body_;
    const message_layout& layout_ = m.layout_;

    size_t body_start = 0;
    auto headers = read_headers(header_ + "\r\n", &body_start);
    EXPECT_EQ("1.0", headers["mime-version"]);
    EXPECT_FALSE(headers["date"].empty());
    EXPECT_FALSE(headers["message-id"].empty());
    std::string type = headers["content-type"];
    ASSERT_EQ(0, type.find("multipart/mixed; boundary=\"")) << type;
    std::string boundary = type.substr(27, type.size() - 28);
    EXPECT_NE(std::string::npos, boundary.find("=_"));
    // The X-TARVELO line stays last.
    const char x_line[] =
        "X-TARVELO: sent by web form submition activated CGI program.\r\n";
    EXPECT_EQ(header_.size() - strlen(x_line), header_.rfind(x_line));

    auto parts = read_multipart(body_, boundary);
    ASSERT_EQ(c.files.size() + 1, parts.size());
    EXPECT_EQ("text/plain; charset=UTF-8", parts[0].headers["content-type"]);
    EXPECT_EQ("quoted-printable",
              parts[0].headers["content-transfer-encoding"]);
    EXPECT_EQ(" Name: J=C3=B6e\r\n       .line after a dot\r\n",
              parts[0].body);
    ASSERT_EQ(static_cast<int>(c.files.size()), layout_.count);
    for (size_t i = 0; i < c.files.size(); ++i) {
      const read_part& part = parts[i + 1];
      EXPECT_EQ(c.types[i], part.headers.at("content-type"));
      EXPECT_EQ("base64", part.headers.at("content-transfer-encoding"));
      EXPECT_EQ(c.files[i].name,
                file_name_of(part.headers.at("content-disposition")));
      EXPECT_EQ(c.files[i].bytes, decode_base64_lines(part.body));
      // The layout points at exactly those lines.
      const attachment_place& place = layout_.places[i];
      std::string lines = body_.substr(place.start, place.size);
      EXPECT_EQ(c.files[i].bytes, decode_base64_lines(lines));
      EXPECT_EQ(static_cast<long long>(c.files[i].bytes.size()), place.bytes);
    }
    // From ready_from on, no line begins with "." (nothing to stuff).
    std::string ready = body_.substr(layout_.ready_from);
    EXPECT_EQ(std::string::npos, ready.find("\n."));
    EXPECT_EQ(0, ready.compare(0, 2, "\r\n"));
  }
}

TEST(Attachments, LineEndLfMakesEveryLineEndLf) {
  scoped_test_log log;
  composer m;
  m.settings_.line_end = "\n";
  std::string bytes = binary_bytes(200);
  m.add_files({{"a.png", bytes}});
  m.compose();
  EXPECT_EQ(std::string::npos, (m.header_ + m.body_).find('\r'));
  const attachment_place& place = m.layout_.places[0];
  std::string lines = m.body_.substr(place.start, place.size);
  EXPECT_EQ('\n', lines[76]);
  EXPECT_EQ(base64_lines_size(200, 1), place.size);
  std::string crlf;
  for (char c : lines) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  EXPECT_EQ(bytes, decode_base64_lines(crlf));
}

// Giving pages back as they are encoded changes no byte of the encoding
// (only bytes already read go), and the bytes encoded long ago are gone.
TEST(Base64Lines, GivingPagesBackKeepsTheEncoding) {
  size_t size = 3 * 1000 * 1000 + 5;
  std::string original = binary_bytes(size);
  std::string expected(base64_lines_size(size, 2), '\0');
  encode_base64_lines(reinterpret_cast<const unsigned char*>(original.data()),
                      size, "\r\n", expected.data());
  EXPECT_EQ(original, decode_base64_lines(expected));
  unsigned char* data = static_cast<unsigned char*>(malloc(size));
  memcpy(data, original.data(), size);
  std::string encoded(expected.size(), '\0');
  encode_base64_lines(data, size, "\r\n", encoded.data(), true);
  EXPECT_TRUE(encoded == expected);
#ifndef _WIN32
  // A page well inside the first megabyte now reads as zeros.
  EXPECT_EQ(std::string(4096, '\0'),
            std::string(reinterpret_cast<char*>(data) + 500000, 4096));
#endif
  free(data);
}

TEST(ContentDisposition, NamesReadBackAndLinesStayShort) {
  std::string long_ascii(1200, 'a');
  std::string long_utf8;
  for (int i = 0; i < 60; ++i) long_utf8 += "\xC3\xA9";
  const char* cases[] = {
      "plain.pdf", "with \"quotes\" and \\.txt", "caf\xC3\xA9.pdf",
      long_ascii.c_str(), long_utf8.c_str(), "tab\there.txt",
  };
  for (const char* name : cases) {
    SCOPED_TRACE(name);
    dyn_text* out = dyn_text_new("");
    append_content_disposition(name, "\r\n", out);
    std::string text(out->data, out->length);
    dyn_text_free(out);
    size_t body_start = 0;
    auto headers = read_headers(text + "\r\n", &body_start);
    EXPECT_EQ(name, file_name_of(headers["content-disposition"]));
    bool ascii = strlen(name) < 900 && strchr(name, '\t') == nullptr &&
                 strstr(name, "\xC3") == nullptr;
    EXPECT_EQ(ascii, text.find("filename=\"") != std::string::npos);
    if (!ascii) {
      size_t start = 0;
      for (size_t feed; (feed = text.find("\r\n", start)) != std::string::npos;
           start = feed + 2) {
        EXPECT_LE(feed - start, 76u) << text;
      }
    }
  }
}

}  // namespace
}  // namespace tarvelo
