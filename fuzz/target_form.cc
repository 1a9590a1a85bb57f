// The form reader: bytes as the request body, as read_form hands them on.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "form/form_reader.h"
#include "fuzz_check.h"
#include "support/log.h"

using namespace tarvelo;

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
    FUZZ_CHECK(strchr(table.values[i], '\r') == nullptr);
    FUZZ_CHECK(strlen(table.names[i]) + strlen(table.values[i]) <= size);
  }
  if (table.form_count > 0) {
    FUZZ_CHECK(form_table_value(&table, table.names[0]) == table.values[0]);
  }
  for (int i = 0; i < table.form_count; ++i) {
    free(table.names[i]);
    free(table.values[i]);
  }
  return 0;
}
