// Token filling by where a page stands in its HTML. The input is a page and
// a submitted value, split at the first "\xff\xff". The fields "a" and ""
// hold the value between the marks \x07 and \x08, "j" holds a script
// address behind a control character; the page is cut in lines and pieces
// as a page file is read. The output is then read again by the
// tokenizer, and wherever a mark shows (as written, or as the reference an
// unquoted value gives) it must stand in text or in a value that may be
// filled, and its closing mark in the same run or value: nothing is filled
// in script, style, comments, tags or on..., style and srcdoc values, and no
// filled value ends its attribute. A URL value holding a mark must carry no
// scheme but http, https or mailto.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "form/form_reader.h"
#include "fuzz_check.h"
#include "pages/html_context.h"
#include "pages/reply_page.h"
#include "support/log.h"

using namespace tarvelo;

namespace {

std::string replace_all(std::string text, const std::string& from,
                        const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

std::string render(const std::string& page, form_table* form,
                   size_t piece_size) {
  char* data = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&data, &size);
  FUZZ_CHECK(out != nullptr);
  page_context context;
  // As fgets gives them: up to and including a line feed, at most
  // piece_size.
  size_t at = 0;
  while (at < page.size()) {
    size_t end = page.find('\n', at);
    end = end == std::string::npos ? page.size() : end + 1;
    if (end - at > piece_size) end = at + piece_size;
    std::string piece = page.substr(at, end - at);
    print_page_line(out, form, &context, "%s", piece.c_str());
    at = end;
  }
  finish_page(out, &context);
  fclose(out);
  std::string text(data, size);
  free(data);
  return text;
}

bool is_value(html_state s) {
  return s == HTML_ATTR_VALUE_DOUBLE || s == HTML_ATTR_VALUE_SINGLE ||
         s == HTML_ATTR_VALUE_UNQUOTED;
}

// Where a filled value may stand, told from the tokenizer alone.
bool may_hold_value(const html_tokenizer& t) {
  if (t.foreign_depth > 0 || t.lost) return false;
  if (t.state == HTML_DATA || t.state == HTML_RCDATA) return true;
  if (!is_value(t.state) || t.end_tag) return false;
  if (html_name_is(t.tag, "script") || html_name_is(t.tag, "style")) {
    return false;
  }
  const html_name& a = t.attribute;
  if (a.length >= 2 && a.text[0] == 'o' && a.text[1] == 'n') return false;
  return !html_name_is(a, "style") && !html_name_is(a, "srcdoc");
}

bool is_url(const html_name& a) {
  for (const char* name : {"href", "src", "action", "formaction", "cite",
                           "data", "poster", "background", "ping", "srcset",
                           "xlink:href"}) {
    if (html_name_is(a, name)) return true;
  }
  return false;
}

// Blanks around it and case do not matter.
bool says_refresh(const std::string& value) {
  size_t begin = value.find_first_not_of(" \t\n\r\f");
  size_t end = value.find_last_not_of(" \t\n\r\f");
  if (begin == std::string::npos || end - begin + 1 != 7) return false;
  for (size_t i = 0; i < 7; ++i) {
    if ((value[begin + i] | 0x20) != "refresh"[i]) return false;
  }
  return true;
}

struct seen_value {
  bool content;
  bool refresh_name;
  bool marked;
  std::string text;
};

void check_output(const std::string& out) {
  html_tokenizer t;
  bool in_mark = false;
  html_state mark_state = HTML_DATA;
  std::string value;
  bool value_marked = false;
  std::vector<seen_value> tag_values;
  for (size_t i = 0; i < out.size(); ++i) {
    size_t mark = 0;
    bool opening = false;
    if (out[i] == '\x07' || out.compare(i, 4, "&#7;") == 0) {
      opening = true;
      mark = out[i] == '\x07' ? 1 : 4;
    } else if (out[i] == '\x08' || out.compare(i, 4, "&#8;") == 0) {
      mark = out[i] == '\x08' ? 1 : 4;
    }
    if (mark != 0) {
      if (opening) {
        FUZZ_CHECK(!in_mark);
        FUZZ_CHECK(may_hold_value(t) ||
                   html_unquoted_value_begins(t, '\x07'));
        if (html_unquoted_value_begins(t, '\x07')) {
          t.state = HTML_ATTR_VALUE_UNQUOTED;
          value.clear();
          FUZZ_CHECK(may_hold_value(t));
        }
        // The reference form belongs to unquoted values only.
        FUZZ_CHECK((mark == 4) == (t.state == HTML_ATTR_VALUE_UNQUOTED));
        in_mark = true;
        mark_state = t.state;
        if (is_value(t.state)) value_marked = true;
      } else {
        FUZZ_CHECK(in_mark && t.state == mark_state);
        in_mark = false;
      }
    }
    for (size_t k = 0; k < (mark == 0 ? 1 : mark); ++k) {
      unsigned char c = static_cast<unsigned char>(out[i + k]);
      if (html_unquoted_value_begins(t, c)) {
        t.state = HTML_ATTR_VALUE_UNQUOTED;
        value.clear();
        value_marked = false;
      }
      int events = html_step(&t, c);
      if (in_mark) {
        // Nothing the visitor sent may end the run or value it stands in.
        FUZZ_CHECK(events == 0 && t.state == mark_state);
      }
      if (events & HTML_VALUE_END) {
        if (value_marked && is_url(t.attribute) && !t.end_tag &&
            t.foreign_depth == 0 && !t.lost) {
          FUZZ_CHECK(html_url_is_allowed(value));
        }
        tag_values.push_back(
            {html_name_is(t.attribute, "content"),
             html_name_is(t.attribute, "http-equiv") &&
                 says_refresh(html_decode_references(value)),
             value_marked, value});
      }
      if (is_value(t.state) && !(events & HTML_VALUE_START)) {
        value += static_cast<char>(c);
      }
      if (events & HTML_VALUE_START) {
        value.clear();
        value_marked = false;
      }
      if (events & HTML_TAG_END) {
        bool refresh = false;
        for (const seen_value& v : tag_values) refresh |= v.refresh_name;
        if (refresh && html_name_is(t.tag, "meta")) {
          for (const seen_value& v : tag_values) {
            if (v.content && v.marked) {
              FUZZ_CHECK(html_refresh_is_allowed(v.text));
            }
          }
        }
        tag_values.clear();
      }
    }
    i += mark == 0 ? 0 : mark - 1;
  }
}

void add_field(form_table* form, const char* name, const std::string& value) {
  form->names[form->form_count] = strdup(name);
  form->values[form->form_count] = strdup(value.c_str());
  ++form->form_count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  log_set_path(nullptr);
  std::string input(reinterpret_cast<const char*>(data), size);
  // Pieces of 9998 as a page file gives them; an input that starts with
  // "\xfe" and a byte n is cut every 1 + n % 97 bytes, so that tags,
  // values, comments and scripts often run on into the next piece.
  size_t piece_size = 9998;
  if (input.size() >= 2 && input[0] == '\xfe') {
    piece_size = 1 + static_cast<unsigned char>(input[1]) % 97;
    input.erase(0, 2);
  }
  size_t cut = input.find("\xff\xff");
  // Page text ends at a NUL, as fgets gives it; the marks are ours alone.
  std::string page = input.substr(0, cut).c_str();
  std::string payload =
      cut == std::string::npos ? "\"'<>&=` -->" : input.substr(cut + 2).c_str();
  for (char& c : page) {
    if (c == '\x07' || c == '\x08') c = '_';
  }
  for (char& c : payload) {
    if (c == '\x07' || c == '\x08') c = '_';
  }
  // No page reference may read as a mark; none of the letters of a scheme
  // is written with a 7 or 8 first.
  page = replace_all(replace_all(page, "&#7", "&#0"), "&#8", "&#0");

  static form_table form;
  form = form_table();
  std::string value = "\x07" + payload + "\x08";
  add_field(&form, "a", value);
  add_field(&form, "", value);
  add_field(&form, "j", "\x07javascript:alert(1)\x08");

  check_output(render(page, &form, piece_size));

  for (int i = 0; i < form.form_count; ++i) {
    free(form.names[i]);
    free(form.values[i]);
  }
  return 0;
}
