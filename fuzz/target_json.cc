// The JSON body reader (rapidjson's SAX reader behind our handler). The
// input is the body. Checked: a refused body leaves the table empty; a read
// one gives names and values of valid UTF-8 without carriage returns; and
// the body wrapped as the one member of an object ({"k": body}) must be
// refused as nesting whenever body alone reads as an object. (A body that is
// no single value may close the wrapper's member and open others, so what a
// wrapped body reads as says nothing more.)
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "form/body_readers.h"
#include "fuzz_check.h"
#include "support/log.h"

using namespace tarvelo;

namespace {

bool valid_utf8(const unsigned char* s, size_t n) {
  size_t i = 0;
  while (i < n) {
    unsigned char c = s[i];
    size_t len;
    unsigned min;
    unsigned cp;
    if (c < 0x80) { ++i; continue; }
    if ((c & 0xe0) == 0xc0) { len = 2; cp = c & 0x1f; min = 0x80; }
    else if ((c & 0xf0) == 0xe0) { len = 3; cp = c & 0x0f; min = 0x800; }
    else if ((c & 0xf8) == 0xf0) { len = 4; cp = c & 0x07; min = 0x10000; }
    else return false;
    if (i + len > n) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((s[i + k] & 0xc0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3f);
    }
    if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
    i += len;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  log_set_path(nullptr);
  std::vector<char> block(data, data + size);
  std::string_view body(block.data(), block.size());
  static form_table table;
  table = form_table();
  const char* why = "";
  form_outcome outcome = parse_json_body(body, &table, &why);
  if (outcome != FORM_READ) {
    FUZZ_CHECK(outcome == FORM_MALFORMED);
    FUZZ_CHECK(table.form_count == 0);
    FUZZ_CHECK(why != nullptr && why[0] != '\0');
  }
  for (int i = 0; i < table.form_count; ++i) {
    const auto* name = reinterpret_cast<const unsigned char*>(table.names[i]);
    const auto* value = reinterpret_cast<const unsigned char*>(table.values[i]);
    FUZZ_CHECK(valid_utf8(name, strlen(table.names[i])));
    FUZZ_CHECK(valid_utf8(value, strlen(table.values[i])));
    FUZZ_CHECK(strchr(table.names[i], '\r') == nullptr);
    FUZZ_CHECK(strchr(table.values[i], '\r') == nullptr);
  }
  bool read_as_object = outcome == FORM_READ;
  clear_form_table(&table);

  // The same body one level down: an object there is always nesting.
  std::string wrapped = "{\"k\":" + std::string(body) + "}";
  table = form_table();
  form_outcome inner = parse_json_body(wrapped, &table, &why);
  if (read_as_object) {
    FUZZ_CHECK(inner == FORM_MALFORMED);
    FUZZ_CHECK(strcmp(why, "nested object or array") == 0);
  }
  clear_form_table(&table);
  return 0;
}
