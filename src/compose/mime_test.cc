#include "compose/mime.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "compose/message.h"
#include "testing/test_support.h"

namespace tarvelo {
namespace {

// --- Decoders written apart from the encoders, as a mail reader decodes ---

int base64_value(char c) {
  const char* digits =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const char* p = strchr(digits, c);
  return c != '\0' && p != nullptr ? static_cast<int>(p - digits) : -1;
}

std::string base64_decode(const std::string& in) {
  std::string out;
  unsigned int bits = 0;
  int count = 0;
  for (char c : in) {
    if (c == '=') break;
    int v = base64_value(c);
    EXPECT_GE(v, 0) << "not base64: " << in;
    bits = (bits << 6) | static_cast<unsigned int>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

std::vector<std::string> split_lines(const std::string& text,
                                     const std::string& line_end) {
  std::vector<std::string> lines;
  size_t pos = 0;
  for (;;) {
    size_t end = text.find(line_end, pos);
    if (end == std::string::npos) {
      lines.push_back(text.substr(pos));
      return lines;
    }
    lines.push_back(text.substr(pos, end - pos));
    pos = end + line_end.size();
  }
}

size_t longest_line(const std::string& text, const std::string& line_end) {
  size_t longest = 0;
  for (const std::string& line : split_lines(text, line_end)) {
    longest = std::max(longest, line.size());
  }
  return longest;
}

struct decoded_header {
  std::string text;                 // unfolded, encoded words decoded
  std::vector<std::string> words;   // each encoded word as written
  std::vector<std::string> pieces;  // the bytes each one decodes to
};

// RFC 5322 2.2.3 unfolding, then RFC 2047 6.2 decoding: blanks between two
// encoded words are dropped. One header line with its line end.
decoded_header decode_header(const std::string& wire,
                             const std::string& line_end) {
  decoded_header d;
  std::string line = wire;
  EXPECT_EQ(line_end, line.substr(line.size() - line_end.size()));
  line.resize(line.size() - line_end.size());
  std::string unfolded;
  for (size_t i = 0; i < line.size();) {
    if (line.compare(i, line_end.size(), line_end) == 0) {
      EXPECT_TRUE(i + line_end.size() < line.size() &&
                  (line[i + line_end.size()] == ' ' ||
                   line[i + line_end.size()] == '\t'))
          << "line end not followed by a blank";
      i += line_end.size();
      continue;
    }
    unfolded += line[i++];
  }
  std::string blanks;
  bool after_word = false;
  for (size_t i = 0; i < unfolded.size();) {
    if (unfolded.compare(i, 2, "=?") == 0) {
      size_t charset_end = unfolded.find('?', i + 2);
      size_t close = unfolded.find("?=", charset_end + 3);
      if (charset_end != std::string::npos &&
          unfolded.compare(charset_end, 3, "?B?") == 0 &&
          close != std::string::npos) {
        d.words.push_back(unfolded.substr(i, close + 2 - i));
        d.pieces.push_back(base64_decode(
            unfolded.substr(charset_end + 3, close - charset_end - 3)));
        if (!after_word) d.text += blanks;
        blanks.clear();
        d.text += d.pieces.back();
        after_word = true;
        i = close + 2;
        continue;
      }
    }
    if (unfolded[i] == ' ' || unfolded[i] == '\t') {
      blanks += unfolded[i++];
      continue;
    }
    d.text += blanks;
    blanks.clear();
    after_word = false;
    d.text += unfolded[i++];
  }
  d.text += blanks;
  return d;
}

std::string encode_header(const std::string& line,
                          const char* charset = "UTF-8",
                          const char* line_end = "\r\n") {
  dyn_text* out = dyn_text_new("");
  append_header_line_encoded(line.data(), line.size(), charset, line_end, out);
  std::string text(out->data, out->length);
  dyn_text_free(out);
  return text;
}

// True when text is whole UTF-8 characters.
bool whole_utf8(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    if (i + n > text.size()) return false;
    for (size_t k = 1; k < n; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
        return false;
      }
    }
    i += n;
  }
  return true;
}

std::string qp_decode(const std::string& wire, const std::string& line_end) {
  std::string out;
  std::vector<std::string> lines = split_lines(wire, line_end);
  for (size_t n = 0; n < lines.size(); ++n) {
    const std::string& line = lines[n];
    bool soft = !line.empty() && line.back() == '=';
    size_t size = soft ? line.size() - 1 : line.size();
    for (size_t i = 0; i < size; ++i) {
      if (line[i] == '=') {
        out += static_cast<char>(std::stoi(line.substr(i + 1, 2), nullptr, 16));
        i += 2;
      } else {
        EXPECT_TRUE(line[i] != '\r' && line[i] != '\n') << "bare line break";
        out += line[i];
      }
    }
    if (!soft && n + 1 < lines.size()) out += line_end;
  }
  return out;
}

std::string quoted_printable(const std::string& text,
                             const char* line_end = "\r\n") {
  dyn_text* out = dyn_text_new("");
  append_quoted_printable(text.data(), text.size(), line_end, out);
  std::string wire(out->data, out->length);
  dyn_text_free(out);
  return wire;
}

std::string repeat(const std::string& piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

// --- Date and Message-ID ---

struct tm make_time(int year, int month, int day, int hour, int minute,
                    int second) {
  struct tm t = {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_wday = 6;  // wrong on purpose: the day of week comes from the date
  return t;
}

TEST(DateTest, Rfc5322DateTimeWithZoneOffset) {
  struct date_case {
    struct tm when;
    int offset;
    const char* expected;
  } cases[] = {
      {make_time(2026, 12, 8, 1, 23, 45), 0, "Tue, 08 Dec 2026 01:23:45 +0000"},
      {make_time(2024, 2, 29, 23, 59, 59), -210,
       "Thu, 29 Feb 2024 23:59:59 -0330"},
      {make_time(1999, 12, 31, 12, 0, 5), -480,
       "Fri, 31 Dec 1999 12:00:05 -0800"},
      {make_time(2000, 1, 1, 0, 0, 0), 345, "Sat, 01 Jan 2000 00:00:00 +0545"},
      {make_time(2038, 1, 19, 3, 14, 7), 60, "Tue, 19 Jan 2038 03:14:07 +0100"},
  };
  for (const date_case& c : cases) {
    SCOPED_TRACE(c.expected);
    dyn_text* out = dyn_text_new("");
    append_date(c.when, c.offset, out);
    EXPECT_EQ(c.expected, std::string(out->data));
    dyn_text_free(out);
  }
}

message_stamp fixed_stamp() {
  message_stamp s;
  s.local_time = make_time(2026, 12, 8, 1, 23, 45);
  s.utc_offset_minutes = -300;
  s.unix_seconds = 1796711025;
  s.process_id = 4242;
  const unsigned char random[8] = {0x01, 0x23, 0x45, 0x67,
                                   0x89, 0xab, 0xcd, 0xef};
  memcpy(s.random, random, sizeof random);
  strcpy(s.host_name, "www.example.com");
  return s;
}

std::string message_id(const message_stamp& stamp) {
  dyn_text* out = dyn_text_new("");
  append_message_id(stamp, out);
  std::string id(out->data);
  dyn_text_free(out);
  return id;
}

TEST(MessageIdTest, HoldsTimePidRandomAndHost) {
  EXPECT_EQ("<1796711025.4242.0123456789abcdef@www.example.com>",
            message_id(fixed_stamp()));
}

TEST(MessageIdTest, RunsDifferingInPidOrRandomGetDifferentIds) {
  message_stamp first = fixed_stamp();
  message_stamp other_pid = first;
  other_pid.process_id = 4243;
  message_stamp other_random = first;
  other_random.random[7] ^= 1;
  EXPECT_NE(message_id(first), message_id(other_pid));
  EXPECT_NE(message_id(first), message_id(other_random));
  EXPECT_NE(message_id(other_pid), message_id(other_random));
}

TEST(MessageIdTest, HostNameIsMadeADotAtom) {
  struct host_case {
    const char* host;
    const char* right;
  } cases[] = {
      {"web_01..example.org.", "web01.example.org"},
      {".lead", "lead"},
      {"", "localhost"},
      {"@<>", "localhost"},
  };
  for (const host_case& c : cases) {
    SCOPED_TRACE(c.host);
    message_stamp s = fixed_stamp();
    strcpy(s.host_name, c.host);
    EXPECT_EQ(std::string("<1796711025.4242.0123456789abcdef@") + c.right + ">",
              message_id(s));
  }
}

// --- Encoded words ---

TEST(EncodedWordTest, NonAsciiRunsAreEncodedAddressesAreNot) {
  struct word_case {
    const char* line;
    const char* charset;
    const char* expected;
    const char* read_as;  // what a mail reader shows; null: the line itself
  } cases[] = {
      {"Subject: Form data ", "UTF-8", "Subject: Form data ", nullptr},
      {"From: J\xC3\xB6hn D\xC5\x93 <john@example.com>", "UTF-8",
       "From: =?UTF-8?B?SsO2aG4gRMWT?= <john@example.com>", nullptr},
      // Two runs; the ASCII word between them stays as it is.
      {"Subject: Gr\xC3\xBC\xC3\x9F"
       "e aus K\xC3\xB6ln",
       "UTF-8",
       "Subject: =?UTF-8?B?R3LDvMOfZQ==?= aus =?UTF-8?B?S8O2bG4=?=", nullptr},
      // Never inside angle brackets; a blank keeps the word apart from them.
      {"To: J\xC3\xB6hn<j\xC3\xB6@x.y>", "UTF-8",
       "To: =?UTF-8?B?SsO2aG4=?= <j\xC3\xB6@x.y>",
       "To: J\xC3\xB6hn <j\xC3\xB6@x.y>"},
      {"To: <a@b.c>J\xC3\xB6hn", "UTF-8",
       "To: <a@b.c> =?UTF-8?B?SsO2aG4=?=", "To: <a@b.c> J\xC3\xB6hn"},
      // A "<" without its ">" is text, and encoded with the rest.
      {"Subject: <\xC3\xA9t\xC3\xA9", "UTF-8",
       "Subject: =?UTF-8?B?PMOpdMOp?=", nullptr},
      {"Subject:J\xC3\xB6hn", "UTF-8",
       "Subject: =?UTF-8?B?SsO2aG4=?=", "Subject: J\xC3\xB6hn"},
      // Text a reader would decode is encoded, so it reads as typed.
      {"Subject: =?x?Q?y?=", "UTF-8",
       "Subject: =?UTF-8?B?PT94P1E/eT89?=", nullptr},
      {"Subject: J\xF6hn", "ISO-8859-1",
       "Subject: =?ISO-8859-1?B?SvZobg==?=", nullptr},
      // The field name is never touched.
      {"X-\xC3\xA9: a", "UTF-8", "X-\xC3\xA9: a", nullptr},
  };
  for (const word_case& c : cases) {
    SCOPED_TRACE(c.line);
    std::string wire = encode_header(c.line, c.charset);
    EXPECT_EQ(std::string(c.expected) + "\r\n", wire);
    EXPECT_EQ(c.read_as != nullptr ? c.read_as : c.line,
              decode_header(wire, "\r\n").text);
  }
}

TEST(EncodedWordTest, LongNamesSplitIntoWholeCharacterWords) {
  const std::string names[] = {
      repeat("J\xC3\xB6hn D\xC5\x93 ", 20),                // 2-byte letters
      repeat("\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", 40),  // 3-byte, no blanks
      repeat("a\xF0\x9F\x98\x80", 60),                     // 4-byte emoji
      repeat("\xC3\xA9", 700),                             // a 1400-byte word
  };
  for (const std::string& name : names) {
    SCOPED_TRACE(name.substr(0, 20));
    std::string line = "From: " + name + " <john@example.com>";
    std::string wire = encode_header(line);
    decoded_header d = decode_header(wire, "\r\n");
    EXPECT_EQ(line, d.text);
    ASSERT_GT(d.words.size(), 1u);
    for (size_t i = 0; i < d.words.size(); ++i) {
      EXPECT_LE(d.words[i].size(), 75u) << d.words[i];
      EXPECT_TRUE(whole_utf8(d.pieces[i])) << d.words[i];
    }
    EXPECT_LE(longest_line(wire, "\r\n"), 76u);
    for (unsigned char c : wire) EXPECT_LT(c, 128) << wire;
  }
}

// --- Folding ---

TEST(FoldingTest, LongLinesFoldAtBlanksOnly) {
  struct fold_case {
    std::string line;
    const char* line_end;
    std::string read_as = "";  // what a reader shows, when not the line
  } cases[] = {
      {"Subject: " + repeat("word567890 ", 300), "\r\n"},
      {"Subject: " + repeat("w ", 1000) + "end", "\n"},
      {"Subject: " + std::string(2000, 'x'), "\r\n"},  // no blank to fold at
      {"Subject:" + std::string(995, 'x'), "\r\n",     // glued to the name
       "Subject: " + std::string(995, 'x')},
      {"Subject: " + std::string(900, ' ') + std::string(300, 'y'), "\r\n"},
      // An over-long "address" is no address.
      {"To: <" + std::string(1200, 'z') + "@x.y>", "\r\n"},
      {"Subject: " + repeat("ab\t", 600) + "  ", "\r\n"},  // tabs, trailing
      {"Subject: " + repeat("K\xC3\xB6ln and ", 200), "\r\n"},
  };
  for (const fold_case& c : cases) {
    SCOPED_TRACE(c.line.substr(0, 30));
    std::string wire = encode_header(c.line, "UTF-8", c.line_end);
    EXPECT_EQ(c.read_as.empty() ? c.line : c.read_as,
              decode_header(wire, c.line_end).text);
    EXPECT_LE(longest_line(wire, c.line_end), 998u);
    EXPECT_GT(split_lines(wire, c.line_end).size(), 2u);
    if (std::string(c.line_end) == "\n") {
      EXPECT_EQ(std::string::npos, wire.find('\r'));
    }
  }
}

TEST(FoldingTest, LineOf998CharactersIsKept) {
  std::string line = "Subject: " + repeat("abcdefghi ", 98) + "123456789";
  ASSERT_EQ(998u, line.size());
  EXPECT_EQ(line + "\r\n", encode_header(line));
  std::string longer = line + "0";
  std::string wire = encode_header(longer);
  EXPECT_EQ(longer.substr(0, 988) + "\r\n " + longer.substr(989) + "\r\n",
            wire);
}

TEST(FoldingTest, TrailingBlanksNeverMakeALineOfTheirOwn) {
  // The last word fits; with its trailing blanks the line would not.
  std::string line = "Subject: " + std::string(985, 'a') + " b" + "        ";
  std::string wire = encode_header(line);
  EXPECT_EQ(line, decode_header(wire, "\r\n").text);
  std::vector<std::string> parts = split_lines(wire, "\r\n");
  ASSERT_EQ(3u, parts.size());  // two lines and the empty rest after the end
  EXPECT_EQ(" b        ", parts[1]);
  EXPECT_LE(longest_line(wire, "\r\n"), 998u);
}

// No header line may pass 998 characters, whatever the value: folding used
// to move a whole run of blanks onto the continuation line, and a subject of
// "hello" and 1200 blanks made a line of 1206. Fixed values, then many
// values of blanks, tabs, short and long words, addresses and non-ASCII
// text, at random but the same every run.
TEST(FoldingTest, NoLineOver998WhateverTheBlanks) {
  const std::string blanks(1200, ' ');
  std::vector<std::string> lines = {
      "Subject: hello" + blanks,
      "Subject: hello" + std::string(1200, '\t'),
      "Subject: a" + blanks + "b",
      "Subject: " + std::string(997, 'w') + " ",
      "To: J\xC3\xB6" + blanks + "<jo@x.y> " + blanks + "\xC3\xA9",
      // No fold can come between a word and an address glued to it.
      "Subject: " + std::string(985, 'w') + " !@<jo@x.y>",
  };
  std::mt19937 random(20261208);
  auto pick = [&](int n) {
    return static_cast<int>(random() % static_cast<unsigned>(n));
  };
  auto blank_run = [&](int most) {
    std::string run(1 + pick(most), ' ');
    for (char& c : run) c = pick(4) == 0 ? '\t' : ' ';
    return run;
  };
  const char* const others[] = {"\xC3\xA9t\xC3\xA9", "\xF0\x9F\x98\x80",
                                "=?x?Q?y?=", "\xE6\x97\xA5\xE6\x9C\xAC"};
  for (int round = 0; round < 3000; ++round) {
    std::string value;
    for (int pieces = 1 + pick(8); pieces > 0; --pieces) {
      int scale = pick(3) == 0 ? 2500 : pick(2) == 0 ? 300 : 3;
      switch (pick(4)) {
        case 0:
          value += blank_run(scale);
          break;
        case 1:
          value += std::string(1 + pick(scale), 'a' + pick(26));
          break;
        case 2:
          value += others[pick(4)];
          break;
        default:  // an address stands apart, as no blank is added then
          value += blank_run(scale) + "<" + std::string(1 + pick(200), 'm') +
                   "@x.y>" + blank_run(scale);
      }
    }
    lines.push_back((pick(2) ? "Subject: " : "X-A-Long-Name: ") + value);
  }
  for (const std::string& line : lines) {
    SCOPED_TRACE(testing::PrintToString(line.substr(0, 60)) + " size " +
                 std::to_string(line.size()));
    std::string wire = encode_header(line);
    std::vector<std::string> parts = split_lines(wire, "\r\n");
    for (size_t i = 0; i < parts.size(); ++i) {
      EXPECT_LE(parts[i].size(), 998u) << "line " << i;
      // RFC 5322 3.2.2: no continuation line of blanks alone.
      if (i > 0 && i + 1 < parts.size()) {
        EXPECT_NE(std::string::npos, parts[i].find_first_not_of(" \t"));
      }
    }
    EXPECT_EQ(line, decode_header(wire, "\r\n").text);
    if (HasFailure()) break;
  }
}

// --- Quoted-printable ---

TEST(QuotedPrintableTest, ExactEncodings) {
  struct qp_case {
    std::string text;
    std::string wire;
  } cases[] = {
      {"plain\r\n", "plain\r\n"},
      {"a=b  \r\nc\t\n", "a=3Db=20=20\r\nc=09\r\n"},
      {"mid  blanks stay", "mid  blanks stay"},
      {"J\xC3\xB6hn\r\n", "J=C3=B6hn\r\n"},
      {"lone\rcr", "lone=0Dcr"},
      {"", ""},
      {std::string(76, 'x'), std::string(76, 'x')},
      {std::string(77, 'x'), std::string(75, 'x') + "=\r\nxx"},
      {std::string(74, 'x') + "=", std::string(74, 'x') + "=\r\n=3D"},
  };
  for (const qp_case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 30));
    EXPECT_EQ(c.wire, quoted_printable(c.text));
  }
}

TEST(QuotedPrintableTest, DecodesToTheTextWithLinesOf76AtMost) {
  struct round_case {
    std::string text;
    const char* line_end;
  } cases[] = {
      {repeat("J\xC3\xB6hn D\xC5\x93 ", 400) + "\r\n", "\r\n"},
      {"x = y   \r\n" + repeat("=", 100) + " \t\r\n", "\r\n"},
      {repeat("\xE2\x82\xAC", 500) + "\n" + repeat(" ", 200) + "\n", "\n"},
      {repeat("a ", 600), "\r\n"},
  };
  for (const round_case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 30));
    std::string wire = quoted_printable(c.text, c.line_end);
    EXPECT_EQ(c.text, qp_decode(wire, c.line_end));
    EXPECT_LE(longest_line(wire, c.line_end), 76u);
    for (const std::string& line : split_lines(wire, c.line_end)) {
      if (line.empty()) continue;
      char last = line.back();
      EXPECT_TRUE(last != ' ' && last != '\t') << "blank at line end";
    }
    for (unsigned char ch : wire) EXPECT_LT(ch, 128);
  }
}

// --- 7bit or quoted-printable ---

TEST(TransferEncodingTest, SevenBitOnlyForShortAsciiLines) {
  struct fit_case {
    std::string text;
    bool fits;
  } cases[] = {
      {"", true},
      {"hello\r\nworld\r\n", true},
      {std::string(998, 'a') + "\r\n", true},
      {std::string(998, 'a'), true},
      {std::string(999, 'a') + "\r\n", false},
      {"short\n" + std::string(999, 'a'), false},
      {std::string(998, 'a') + "\n" + std::string(998, 'b') + "\n", true},
      {"J\xC3\xB6hn\r\n", false},
      {"\x7f\r\n", true},
  };
  for (const fit_case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 30));
    EXPECT_EQ(c.fits, fits_7bit(c.text.data(), c.text.size()));
  }
}

// --- The whole message ---

struct standard_message {
  std::string headers;
  std::string body;
};

standard_message make_message(const std::string& headers,
                              const std::string& body,
                              const char* line_end = "\r\n") {
  dyn_text* header_text = dyn_text_new("kept");
  dyn_text* body_text = dyn_text_new("kept");
  dyn_text_append_bytes(header_text, headers.data(),
                        static_cast<int>(headers.size()));
  dyn_text_append_bytes(body_text, body.data(), static_cast<int>(body.size()));
  make_standard_message("UTF-8", line_end, fixed_stamp(), 4, header_text, 4,
                        body_text);
  standard_message m{std::string(header_text->data, header_text->length),
                     std::string(body_text->data, body_text->length)};
  dyn_text_free(header_text);
  dyn_text_free(body_text);
  return m;
}

const char kStandardTail[] =
    "Date: Tue, 08 Dec 2026 01:23:45 -0500\r\n"
    "Message-ID: <1796711025.4242.0123456789abcdef@www.example.com>\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: text/plain; charset=UTF-8\r\n";

TEST(StandardMessageTest, AsciiBodyGoesAs7bitUnchanged) {
  standard_message m =
      make_message("To: a@b.c\r\nSubject: Form data \r\n", " Name: Joe\r\n");
  EXPECT_EQ(std::string("keptTo: a@b.c\r\nSubject: Form data \r\n") +
                kStandardTail + "Content-Transfer-Encoding: 7bit\r\n",
            m.headers);
  EXPECT_EQ("kept Name: Joe\r\n", m.body);
}

TEST(StandardMessageTest, EightBitBodyGoesAsQuotedPrintable) {
  standard_message m = make_message("Subject: J\xC3\xB6hn\r\n",
                                    " Name: J\xC3\xB6hn\r\n a=b \r\n");
  EXPECT_EQ(std::string("keptSubject: =?UTF-8?B?SsO2aG4=?=\r\n") +
                kStandardTail +
                "Content-Transfer-Encoding: quoted-printable\r\n",
            m.headers);
  EXPECT_EQ("kept Name: J=C3=B6hn\r\n a=3Db=20\r\n", m.body);
}

TEST(StandardMessageTest, LongAsciiLineGoesAsQuotedPrintable) {
  std::string line(1200, 'c');
  standard_message m = make_message("Subject: x\n", line + "\n", "\n");
  EXPECT_NE(std::string::npos,
            m.headers.find("\nContent-Transfer-Encoding: quoted-printable\n"));
  EXPECT_EQ(std::string::npos, m.headers.find('\r'));
  EXPECT_EQ(line + "\n", qp_decode(m.body.substr(4), "\n"));
}

TEST(StandardMessageTest, ComposedMessageOrdersTheStandardHeaders) {
  scoped_test_log log;
  mail_settings settings;
  settings.add_standard_headers = true;
  settings.reply_to_field = const_cast<char*>("Email:");
  entry_list headers;
  entry_list body;
  form_table form;
  const char* header_names[] = {"To: a@b.c", "Subject:", "From:"};
  const char* header_values[] = {"", "J\xC3\xB6hn", "site@b.c"};
  for (int i = 0; i < 3; ++i) {
    headers.names[i] = const_cast<char*>(header_names[i]);
    headers.values[i] = const_cast<char*>(header_values[i]);
  }
  headers.count = 3;
  body.names[0] = const_cast<char*>("Name:");
  body.values[0] = const_cast<char*>("J\xC3\xB6hn");
  body.count = 1;
  form.names[0] = const_cast<char*>("Email:");
  form.values[0] = const_cast<char*>("visitor@x.y");
  form.form_count = 1;
  envelope env;
  dyn_text* header_text = dyn_text_new("");
  dyn_text* body_text = dyn_text_new("");
  message_stamp stamp = fixed_stamp();
  compose_message(settings, headers, body, form, stamp, &env, header_text,
                  body_text);
  EXPECT_EQ(std::string("To: a@b.c \r\n"
                        "Subject: =?UTF-8?B?SsO2aG4=?=\r\n"
                        "From: site@b.c\r\n"
                        "Reply-To: visitor@x.y\r\n") +
                kStandardTail +
                "Content-Transfer-Encoding: quoted-printable\r\n"
                "X-TARVELO: sent by web form submition activated CGI "
                "program.\r\n",
            std::string(header_text->data));
  EXPECT_EQ(" Name: J=C3=B6hn\r\n", std::string(body_text->data));
  // The log shows the accepted entries as they were submitted.
  EXPECT_NE(std::string::npos,
            log.messages().find("generated headers {To: a@b.c \r\nSubject: "
                                "J\xC3\xB6hn\r\nFrom: site@b.c\r\n}"));
  dyn_text_free(header_text);
  dyn_text_free(body_text);
  free(env.from_address);
  free(env.to_address);
}

}  // namespace
}  // namespace tarvelo
