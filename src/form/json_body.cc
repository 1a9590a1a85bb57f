// The JSON body: rapidjson's SAX reader (RFC 8259) behind a handler that
// takes one flat object into the form table. Kept in a file of its own so
// the sanitizer builds can leave out one check for rapidjson (CMakeLists).
#include <cstring>
#include <string>

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include "form/body_readers.h"

namespace tarvelo {

namespace {

// Takes the SAX events of one JSON object (RFC 8259) into the table.
// Returning false stops the reader at once; why says what stopped it.
class json_pairs
    : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, json_pairs> {
 public:
  explicit json_pairs(form_table* table) : table_(table) {}

  const char* why = "invalid JSON";

  bool StartObject() {
    if (depth_ == 0) {
      depth_ = 1;
      return true;
    }
    return nested();
  }
  bool EndObject(rapidjson::SizeType) {
    depth_ = 0;
    return true;
  }
  bool StartArray() {
    if (depth_ == 0) return not_object();
    if (in_array_) return nested();
    in_array_ = true;
    return true;
  }
  bool EndArray(rapidjson::SizeType) {
    in_array_ = false;
    return true;
  }
  bool Key(const char* text, rapidjson::SizeType size, bool) {
    if (memchr(text, '\0', size) != nullptr) return nul();
    if (has_surrogate(text, size)) return lone_surrogate();
    key_.assign(text, size);
    return true;
  }
  bool String(const char* text, rapidjson::SizeType size, bool) {
    if (memchr(text, '\0', size) != nullptr) return nul();
    if (has_surrogate(text, size)) return lone_surrogate();
    return scalar(std::string_view(text, size));
  }
  bool RawNumber(const char* text, rapidjson::SizeType size, bool) {
    return scalar(std::string_view(text, size));
  }
  bool Bool(bool value) { return scalar(value ? "true" : "false"); }
  bool Null() { return scalar(""); }

 private:
  bool scalar(std::string_view value) {
    if (depth_ == 0) return not_object();
    add_pair(table_, key_, value);
    return true;
  }
  bool nested() {
    why = "nested object or array";
    return false;
  }
  bool not_object() {
    why = "not a JSON object";
    return false;
  }
  // rapidjson pairs a high surrogate escape with the low one after it, but
  // writes a lone low one (\udc00) as the three bytes of U+DC00, which no
  // UTF-8 text may hold (RFC 3629 3). Those bytes start ED A0..ED BF.
  static bool has_surrogate(const char* text, rapidjson::SizeType size) {
    for (rapidjson::SizeType i = 0; i + 1 < size; ++i) {
      unsigned char lead = static_cast<unsigned char>(text[i]);
      unsigned char next = static_cast<unsigned char>(text[i + 1]);
      if (lead == 0xed && next >= 0xa0 && next <= 0xbf) return true;
    }
    return false;
  }
  bool lone_surrogate() {
    why = "lone surrogate in a \\u escape";
    return false;
  }
  bool nul() {
    why = "\\u0000 in a string";
    return false;
  }

  form_table* table_;
  int depth_ = 0;
  bool in_array_ = false;
  std::string key_;
};

}  // namespace

form_outcome parse_json_body(std::string_view body, form_table* table,
                             const char** why) {
  json_pairs handler(table);
  rapidjson::MemoryStream stream(body.data(), body.size());
  rapidjson::Reader reader;
  // Iterative: a deeply nested body must not run the stack out before the
  // handler refuses it. Numbers come as written, not as doubles.
  constexpr unsigned kFlags = rapidjson::kParseIterativeFlag |
                              rapidjson::kParseValidateEncodingFlag |
                              rapidjson::kParseNumbersAsStringsFlag;
  rapidjson::ParseResult result = reader.Parse<kFlags>(stream, handler);
  if (result.IsError()) {
    const char* reason = handler.why;
    if (result.Code() == rapidjson::kParseErrorStringInvalidEncoding) {
      reason = "invalid UTF-8";
    } else if (result.Code() != rapidjson::kParseErrorTermination) {
      reason = "invalid JSON";
    }
    clear_form_table(table);
    *why = reason;
    return FORM_MALFORMED;
  }
  // The reader takes a NUL byte for the end of the text; the body goes on.
  if (stream.Tell() != body.size()) {
    clear_form_table(table);
    *why = "invalid JSON";
    return FORM_MALFORMED;
  }
  return FORM_READ;
}

}  // namespace tarvelo
