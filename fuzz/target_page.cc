// The page token expander with HTML escaping, in text. The input is a page
// line and a form body, split at the first "\xff\xff"; the form is read as
// in a real run. Every "<" and double quote of the page's own text is made
// "_", so the whole line is one run of text: the output must equal a plain
// model of the expansion, and no "<" or double quote may appear in it at
// all, whatever the visitor submitted. Tags and attributes are the
// page_context target's.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "form/form_reader.h"
#include "fuzz_check.h"
#include "pages/reply_page.h"
#include "support/log.h"

using namespace tarvelo;

namespace {

std::string escaped(const std::string& value) {
  std::string out;
  for (char c : value) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string value_of(const form_table& form, const std::string& name) {
  for (int i = 0; i < form.form_count; ++i) {
    if (name == form.names[i]) return form.values[i];
  }
  return "";
}

// What the page line must become: tokens "||name||" replaced left to right
// by the escaped value; an opening marker without a closing one shows the
// rest of the line (tokens already replaced excluded) inside the notice.
std::string expected_page(const std::string& text, const form_table& form) {
  std::string out;
  size_t at = 0;
  for (;;) {
    size_t open = text.find("||", at);
    if (open == std::string::npos) return out + text.substr(at);
    size_t close = text.find("||", open + 2);
    if (close == std::string::npos) {
      return out + "token not terminated {" + text.substr(at) + "}";
    }
    out += text.substr(at, open - at);
    out += escaped(value_of(form, text.substr(open + 2, close - open - 2)));
    at = close + 2;
  }
}

// Runs the expander over a scratch copy of line and returns what it printed.
std::string expand(const std::string& line, form_table* form,
                   bool through_format) {
  char* data = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&data, &size);
  FUZZ_CHECK(out != nullptr);
  page_context context;
  if (through_format) {
    // The page file's own "%" must never act as a format.
    print_page_line(out, form, &context, "%s", line.c_str());
  } else {
    std::string scratch = line;
    expand_page_tokens(out, form, &context, scratch.data());
  }
  finish_page(out, &context);
  fclose(out);
  std::string text(data, size);
  free(data);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  log_set_path(nullptr);
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t cut = input.find("\xff\xff");
  // A page line is text as fgets gives it: it ends at a NUL.
  std::string line = input.substr(0, cut).c_str();
  std::string body =
      cut == std::string::npos ? "" : input.substr(cut + 2).c_str();

  static form_table form;
  form = form_table();
  parse_form_body(body.data(), &form);

  std::string plain = line;
  for (char& c : plain) {
    if (c == '<' || c == '"') c = '_';
  }
  std::string want = expected_page(plain, form);
  std::string page = expand(plain, &form, false);
  FUZZ_CHECK(page == want);
  // Lines that would not fit the page line buffer are left out whole.
  bool fits = !plain.empty() && plain.size() < kPageLineBufferSize;
  FUZZ_CHECK(expand(plain, &form, true) == (fits ? want : ""));
  FUZZ_CHECK(page.find_first_of("<\"") == std::string::npos);

  for (int i = 0; i < form.form_count; ++i) {
    free(form.names[i]);
    free(form.values[i]);
  }
  return 0;
}
