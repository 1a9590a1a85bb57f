// The multipart/form-data reader. The first byte picks the mode:
// - even: the first line (up to 70 bytes) is the boundary, the rest the
//   body. Checked: every file's bytes lie inside the body and hold no
//   delimiter (a part never spans a boundary), its value reads
//   "<file name> (<size> bytes)" with a file name free of control bytes and
//   slashes, and every text value (cut at a NUL, carriage returns dropped)
//   is a piece of the body with its carriage returns dropped.
// - odd: the rest, split at 0x01 bytes, gives names and values that are
//   encoded as a browser does (names with %22 %0D %0A) and read back:
//   each pair must come back exact, after the NUL cut and the CR removal.
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

std::string table_form(const std::string& text) {
  return strip_cr(text.substr(0, text.find('\0')));
}

void check_read_back(std::string_view body, const std::string& boundary,
                     const form_table& table) {
  std::string delimiter = "\r\n--" + boundary;
  std::string no_cr = strip_cr(std::string(body));
  for (int i = 0; i < table.file_count; ++i) {
    const form_file& file = table.files[i];
    FUZZ_CHECK(file.data >= body.data());
    FUZZ_CHECK(file.data + file.size <= body.data() + body.size());
    FUZZ_CHECK(std::string_view(file.data, file.size).find(delimiter) ==
               std::string_view::npos);
    for (const char* c = file.file_name; *c != '\0'; ++c) {
      FUZZ_CHECK(static_cast<unsigned char>(*c) >= 0x20 && *c != 0x7f);
      FUZZ_CHECK(*c != '/' && *c != '\\');
    }
    FUZZ_CHECK(file.pair >= 0 && file.pair < table.form_count);
    FUZZ_CHECK(std::string(table.values[file.pair]) ==
               std::string(file.file_name) + " (" +
                   std::to_string(file.size) + " bytes)");
  }
  for (int i = 0; i < table.form_count; ++i) {
    bool is_file = false;
    for (int f = 0; f < table.file_count; ++f) is_file |= table.files[f].pair == i;
    FUZZ_CHECK(strchr(table.names[i], '\r') == nullptr);
    if (!is_file) FUZZ_CHECK(no_cr.find(table.values[i]) != std::string::npos);
  }
}

std::string escape_name(const std::string& name) {
  std::string out;
  for (char c : name) {
    if (c == '"') out += "%22";
    else if (c == '\r') out += "%0D";
    else if (c == '\n') out += "%0A";
    else out += c;
  }
  return out;
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
  const std::string boundary = "----WebKitFormBoundaryQ7";
  std::string body;
  sent_pairs sent;
  for (size_t i = 0; i + 1 < pieces.size(); i += 2) {
    const std::string& value = pieces[i + 1];
    // A browser picks a boundary that its data never holds.
    if (value.find(boundary) != std::string::npos) return;
    if (pieces[i].find(boundary) != std::string::npos) return;
    // A "%22" the visitor typed in a name reads back as a quote: the
    // encoding cannot tell the two apart.
    if (pieces[i].find('%') != std::string::npos) return;
    body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" +
            escape_name(pieces[i]) + "\"\r\n\r\n" + value + "\r\n";
    sent.emplace_back(table_form(pieces[i]), table_form(value));
  }
  body += "--" + boundary + "--\r\n";
  static form_table table;
  table = form_table();
  const char* why = "";
  FUZZ_CHECK(parse_multipart_body(body, boundary, &table, &why) == FORM_READ);
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
  size_t line_end = input.find('\n');
  if (line_end == std::string::npos || line_end == 0 || line_end > 70) return 0;
  std::string boundary = input.substr(0, line_end);
  // The body on the heap at its exact size, so ASan sees any read past it.
  std::string body = input.substr(line_end + 1);
  std::vector<char> block(body.begin(), body.end());
  static form_table table;
  table = form_table();
  const char* why = "";
  std::string_view view(block.data(), block.size());
  form_outcome outcome = parse_multipart_body(view, boundary, &table, &why);
  if (outcome != FORM_READ) {
    FUZZ_CHECK(table.form_count == 0 && table.file_count == 0);
    return 0;
  }
  check_read_back(view, boundary, table);
  clear_form_table(&table);
  return 0;
}
