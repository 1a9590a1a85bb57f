// The form reader: bytes as the request body, as read_form hands them on.
// Checked: the pair count, and for every pair whose escapes are all
// hexadecimal, the exact decoded name and value.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "form/form_reader.h"
#include "fuzz_check.h"
#include "support/log.h"

using namespace tarvelo;

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// What a pair must become (RFC 1866 8.2.1 form encoding): "+" is a blank,
// "%" and two hexadecimal digits one byte, decoded once, the name ends at
// the first "=" of the decoded pair, and name and value lose their
// carriage returns. Returns false for a pair with an escape that is not hexadecimal,
// whose decoding the reader leaves to a formula of its own.
bool expected_pair(const std::string& pair, std::string* name,
                   std::string* value) {
  std::string decoded;
  for (size_t i = 0; i < pair.size(); ++i) {
    if (pair[i] == '%' && i + 2 < pair.size()) {
      int high = hex_value(pair[i + 1]);
      int low = hex_value(pair[i + 2]);
      if (high < 0 || low < 0) return false;
      decoded += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      decoded += pair[i] == '+' ? ' ' : pair[i];
    }
  }
  decoded.resize(strlen(decoded.c_str()));  // a decoded NUL ends the pair
  size_t equals = decoded.find('=');
  *name = decoded.substr(0, equals);
  *value = equals == std::string::npos ? "" : decoded.substr(equals + 1);
  std::erase(*name, '\r');
  std::erase(*value, '\r');
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  log_set_path(nullptr);
  if (size > static_cast<size_t>(kMaxFormBody)) size = kMaxFormBody;
  std::string body(reinterpret_cast<const char*>(data), size);
  body = body.c_str();  // a NUL inside the body ends it, as in read_form
  std::string copy = body;
  static form_table table;
  table = form_table();
  parse_form_body(copy.data(), &table);

  size_t pieces = 0;
  if (!body.empty()) {
    pieces = 1;
    for (char c : body) pieces += c == '&';
    if (body.back() == '&') --pieces;
  }
  FUZZ_CHECK(table.form_count ==
             static_cast<int>(pieces < 1000 ? pieces : 1000));
  for (int i = 0; i < table.form_count; ++i) {
    FUZZ_CHECK(strchr(table.names[i], '\r') == nullptr);
    FUZZ_CHECK(strchr(table.values[i], '\r') == nullptr);
    FUZZ_CHECK(strlen(table.names[i]) + strlen(table.values[i]) <= size);
  }
  size_t at = 0;
  for (int i = 0; i < table.form_count; ++i) {
    size_t amp = body.find('&', at);
    std::string pair = body.substr(at, amp == std::string::npos ? amp : amp - at);
    at = amp + 1;
    std::string name;
    std::string value;
    if (expected_pair(pair, &name, &value)) {
      FUZZ_CHECK(name == table.names[i]);
      FUZZ_CHECK(value == table.values[i]);
    }
  }
  if (table.form_count > 0) {
    FUZZ_CHECK(form_value(&table, table.names[0]) == table.values[0]);
  }
  for (int i = 0; i < table.form_count; ++i) {
    free(table.names[i]);
    free(table.values[i]);
  }
  return 0;
}
