// HTML's text/plain form reader. The first byte picks the mode:
// - even: the rest is the body. Checked: no name holds "=", a line feed or
//   a carriage return; every line of a value (values join continuation
//   lines with a line feed) is a piece of the body with its carriage
//   returns dropped; there are no more pairs than lines.
// - odd: the rest, split at 0x01 bytes, gives names (without "=" and line
//   breaks) and values (without line breaks) written as a browser writes
//   them, and each pair must come back exact after the NUL cut.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "form/body_readers.h"
#include "fuzz_check.h"
#include "fuzz_pairs.h"
#include "support/log.h"

using namespace tarvelo;

namespace {

std::string strip_cr(std::string text) {
  std::erase(text, '\r');
  return text;
}

void check_pieces(std::string_view body, const form_table& table) {
  std::string no_cr = strip_cr(std::string(body));
  size_t lines = 0;
  for (char c : body) lines += c == '\n';
  FUZZ_CHECK(table.form_count <= static_cast<int>(lines + 1));
  for (int i = 0; i < table.form_count; ++i) {
    FUZZ_CHECK(strpbrk(table.names[i], "=\r\n") == nullptr);
    FUZZ_CHECK(no_cr.find(table.names[i]) != std::string::npos);
    FUZZ_CHECK(strchr(table.values[i], '\r') == nullptr);
    std::string value = table.values[i];
    size_t at = 0;
    for (;;) {
      size_t cut = value.find('\n', at);
      FUZZ_CHECK(no_cr.find(value.substr(at, cut - at)) != std::string::npos);
      if (cut == std::string::npos) break;
      at = cut + 1;
    }
  }
}

void round_trip(const std::string& recipe) {
  std::vector<std::string> pieces;
  size_t at = 0;
  while (pieces.size() < 40) {
    size_t cut = recipe.find('\x01', at);
    pieces.push_back(recipe.substr(at, cut - at));
    if (cut == std::string::npos) break;
    at = cut + 1;
  }
  std::string body;
  sent_pairs sent;
  for (size_t i = 0; i + 1 < pieces.size(); i += 2) {
    std::string name = pieces[i];
    std::string value = pieces[i + 1];
    if (name.find_first_of("=\r\n") != std::string::npos) return;
    if (value.find_first_of("\r\n") != std::string::npos) return;
    body += name + "=" + value + "\r\n";
    sent.emplace_back(name.substr(0, name.find('\0')),
                      value.substr(0, value.find('\0')));
  }
  static form_table table;
  table = form_table();
  parse_text_plain_body(body, &table);
  check_pairs_read_back(sent, &table);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  log_set_path(nullptr);
  if (size == 0) return 0;
  std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] & 1) {
    round_trip(input);
    return 0;
  }
  std::vector<char> block(input.begin(), input.end());
  std::string_view view(block.data(), block.size());
  static form_table table;
  table = form_table();
  parse_text_plain_body(view, &table);
  check_pieces(view, table);
  clear_form_table(&table);
  return 0;
}
