#include "pages/html_context.h"

#include <cstring>
#include <string_view>

namespace tarvelo {
namespace {

bool is_space(unsigned char c) {
  // The parser turns CR into LF before the tokenizer sees it.
  return c == '\t' || c == '\n' || c == '\f' || c == ' ' || c == '\r';
}

bool is_alpha(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

unsigned char lower(unsigned char c) {
  return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
}

void name_clear(html_name* n) { *n = html_name(); }

void name_append(html_name* n, unsigned char c) {
  if (n->length + 1 >= kHtmlNameSize) {
    n->too_long = true;
    return;
  }
  n->text[n->length++] = static_cast<char>(lower(c));
}

bool name_in(const html_name& n, const char* const* list) {
  for (; *list != nullptr; ++list) {
    if (html_name_is(n, *list)) return true;
  }
  return false;
}

const char* const kRawTextElements[] = {"style",   "xmp",      "iframe",
                                        "noembed", "noframes", "noscript",
                                        nullptr};

// Start tags that, inside svg or math, make the parser leave foreign
// content or treat what follows as HTML again.
const char* const kLeavesForeign[] = {
    "b", "big", "blockquote", "body", "br", "center", "code", "dd", "div",
    "dl", "dt", "em", "embed", "h1", "h2", "h3", "h4", "h5", "h6", "head",
    "hr", "i", "img", "li", "listing", "menu", "meta", "nobr", "ol", "p",
    "pre", "ruby", "s", "small", "span", "strong", "strike", "sub", "sup",
    "table", "tt", "u", "ul", "var", "font",
    // integration points
    "foreignobject", "desc", "title", "mi", "mo", "mn", "ms", "mtext",
    "annotation-xml",
    // elements whose content is raw text in HTML
    "script", "style", "textarea", "xmp", "iframe", "noembed", "noframes",
    "noscript", "plaintext", nullptr};

// A start or end tag is complete: the tree builder's part that decides the
// tokenizer's next state.
void tag_done(html_tokenizer* t) {
  t->state = HTML_DATA;
  bool foreign_root = html_name_is(t->tag, "svg") || html_name_is(t->tag, "math");
  if (t->foreign_depth > 0) {
    if (t->end_tag) {
      if (foreign_root) {
        --t->foreign_depth;
      } else if (html_name_is(t->tag, "p") || html_name_is(t->tag, "br")) {
        t->lost = true;
      }
    } else if (foreign_root) {
      if (!t->self_closing) ++t->foreign_depth;
    } else if (name_in(t->tag, kLeavesForeign)) {
      t->lost = true;
    }
    return;
  }
  if (t->end_tag) return;
  if (foreign_root) {
    if (!t->self_closing) t->foreign_depth = 1;
    return;
  }
  // HTML ignores "/>" on these: the element still opens.
  if (html_name_is(t->tag, "script")) {
    t->state = HTML_SCRIPT;
  } else if (name_in(t->tag, kRawTextElements)) {
    t->state = HTML_RAWTEXT;
  } else if (html_name_is(t->tag, "title") ||
             html_name_is(t->tag, "textarea")) {
    t->state = HTML_RCDATA;
  } else if (html_name_is(t->tag, "plaintext")) {
    t->state = HTML_PLAINTEXT;
    return;
  } else {
    return;
  }
  t->raw_element = t->tag;
}

void start_tag(html_tokenizer* t, bool end) {
  t->end_tag = end;
  t->self_closing = false;
  name_clear(&t->tag);
  name_clear(&t->attribute);
  t->state = HTML_TAG_NAME;
}

// The candidate end tag in buffer closes the raw element: it becomes a real
// end tag whose name is already read.
bool appropriate_end(html_tokenizer* t, unsigned char c, int* events) {
  if (!is_space(c) && c != '/' && c != '>') return false;
  if (t->buffer.too_long ||
      !html_name_is(t->raw_element, t->buffer.text) ||
      t->raw_element.too_long) {
    return false;
  }
  t->end_tag = true;
  t->self_closing = false;
  t->tag = t->buffer;
  name_clear(&t->attribute);
  if (c == '>') {
    tag_done(t);
    *events |= HTML_TAG_END;
  } else {
    t->state = c == '/' ? HTML_SELF_CLOSING : HTML_BEFORE_ATTR_NAME;
  }
  return true;
}

// True when seen is the start of word (lower case), case ignored.
bool starts_folded(std::string_view seen, const char* word) {
  if (seen.size() > strlen(word)) return false;
  for (size_t i = 0; i < seen.size(); ++i) {
    if (lower(static_cast<unsigned char>(seen[i])) != word[i]) return false;
  }
  return true;
}

}  // namespace

bool html_name_is(const html_name& n, const char* s) {
  return !n.too_long && strcmp(n.text, s) == 0;
}

bool html_unquoted_value_begins(const html_tokenizer& t, unsigned char c) {
  return t.state == HTML_BEFORE_ATTR_VALUE && !is_space(c) && c != '"' &&
         c != '\'' && c != '>';
}

int html_step(html_tokenizer* t, unsigned char c) {
  int events = 0;
  // A state that hands the character on to another ("reconsume") loops.
  for (;;) {
    switch (t->state) {
      case HTML_DATA:
        if (c == '<') t->state = HTML_TAG_OPEN;
        return events;
      case HTML_PLAINTEXT:
        return events;
      case HTML_TAG_OPEN:
        if (c == '!') {
          t->declaration_length = 0;
          t->state = HTML_MARKUP_DECLARATION;
        } else if (c == '/') {
          t->state = HTML_END_TAG_OPEN;
        } else if (is_alpha(c)) {
          start_tag(t, false);
          continue;
        } else if (c == '?') {
          t->state = HTML_BOGUS_COMMENT;
        } else {
          t->state = HTML_DATA;
          continue;
        }
        return events;
      case HTML_END_TAG_OPEN:
        if (is_alpha(c)) {
          start_tag(t, true);
          continue;
        }
        t->state = c == '>' ? HTML_DATA : HTML_BOGUS_COMMENT;
        return events;
      case HTML_TAG_NAME:
        if (is_space(c)) {
          t->state = HTML_BEFORE_ATTR_NAME;
        } else if (c == '/') {
          t->state = HTML_SELF_CLOSING;
        } else if (c == '>') {
          tag_done(t);
          events |= HTML_TAG_END;
        } else {
          name_append(&t->tag, c);
        }
        return events;
      case HTML_BEFORE_ATTR_NAME:
        if (is_space(c)) return events;
        if (c == '/' || c == '>') {
          t->state = HTML_AFTER_ATTR_NAME;
          continue;
        }
        name_clear(&t->attribute);
        if (c == '=') {
          name_append(&t->attribute, c);
          t->state = HTML_ATTR_NAME;
          return events;
        }
        t->state = HTML_ATTR_NAME;
        continue;
      case HTML_ATTR_NAME:
        if (is_space(c) || c == '/' || c == '>') {
          t->state = HTML_AFTER_ATTR_NAME;
          continue;
        }
        if (c == '=') {
          t->state = HTML_BEFORE_ATTR_VALUE;
        } else {
          name_append(&t->attribute, c);
        }
        return events;
      case HTML_AFTER_ATTR_NAME:
        if (is_space(c)) return events;
        if (c == '/') {
          t->state = HTML_SELF_CLOSING;
        } else if (c == '=') {
          t->state = HTML_BEFORE_ATTR_VALUE;
        } else if (c == '>') {
          tag_done(t);
          events |= HTML_TAG_END;
        } else {
          name_clear(&t->attribute);
          t->state = HTML_ATTR_NAME;
          continue;
        }
        return events;
      case HTML_BEFORE_ATTR_VALUE:
        if (is_space(c)) return events;
        if (c == '"') {
          t->state = HTML_ATTR_VALUE_DOUBLE;
          events |= HTML_VALUE_START;
        } else if (c == '\'') {
          t->state = HTML_ATTR_VALUE_SINGLE;
          events |= HTML_VALUE_START;
        } else if (c == '>') {
          tag_done(t);
          events |= HTML_TAG_END;
        } else {
          // The caller normally moved here first; see
          // html_unquoted_value_begins.
          t->state = HTML_ATTR_VALUE_UNQUOTED;
        }
        return events;
      case HTML_ATTR_VALUE_DOUBLE:
      case HTML_ATTR_VALUE_SINGLE:
        if (c == (t->state == HTML_ATTR_VALUE_DOUBLE ? '"' : '\'')) {
          t->state = HTML_AFTER_ATTR_VALUE;
          events |= HTML_VALUE_END;
        }
        return events;
      case HTML_ATTR_VALUE_UNQUOTED:
        if (is_space(c)) {
          t->state = HTML_BEFORE_ATTR_NAME;
          events |= HTML_VALUE_END;
        } else if (c == '>') {
          events |= HTML_VALUE_END;
          tag_done(t);
          events |= HTML_TAG_END;
        }
        return events;
      case HTML_AFTER_ATTR_VALUE:
        if (is_space(c)) {
          t->state = HTML_BEFORE_ATTR_NAME;
        } else if (c == '/') {
          t->state = HTML_SELF_CLOSING;
        } else if (c == '>') {
          tag_done(t);
          events |= HTML_TAG_END;
        } else {
          t->state = HTML_BEFORE_ATTR_NAME;
          continue;
        }
        return events;
      case HTML_SELF_CLOSING:
        if (c == '>') {
          t->self_closing = true;
          tag_done(t);
          events |= HTML_TAG_END;
          return events;
        }
        t->state = HTML_BEFORE_ATTR_NAME;
        continue;
      case HTML_MARKUP_DECLARATION: {
        // "<!" is decided by at most seven characters.
        if (t->declaration_length < sizeof t->declaration) {
          t->declaration[t->declaration_length++] = static_cast<char>(c);
        }
        std::string_view seen(t->declaration, t->declaration_length);
        // "[CDATA[" opens a section only inside svg or math, and only in
        // upper case; elsewhere it is a bogus comment.
        bool cdata_allowed = t->foreign_depth > 0;
        if (seen == "--") {
          t->state = HTML_COMMENT_START;
        } else if (starts_folded(seen, "doctype") && seen.size() == 7) {
          t->state = HTML_DOCTYPE;
        } else if (cdata_allowed && seen == "[CDATA[") {
          t->state = HTML_CDATA;
        } else if (!std::string_view("--").starts_with(seen) &&
                   !starts_folded(seen, "doctype") &&
                   !(cdata_allowed &&
                     std::string_view("[CDATA[").starts_with(seen))) {
          t->state = HTML_BOGUS_COMMENT;
          continue;
        }
        return events;
      }
      case HTML_BOGUS_COMMENT:
      case HTML_DOCTYPE:
        if (c == '>') t->state = HTML_DATA;
        return events;
      case HTML_COMMENT_START:
        if (c == '-') {
          t->state = HTML_COMMENT_START_DASH;
        } else if (c == '>') {
          t->state = HTML_DATA;  // "<!-->" is a whole comment
        } else {
          t->state = HTML_COMMENT;
          continue;
        }
        return events;
      case HTML_COMMENT_START_DASH:
        if (c == '-') {
          t->state = HTML_COMMENT_END;
        } else if (c == '>') {
          t->state = HTML_DATA;  // so is "<!--->"
        } else {
          t->state = HTML_COMMENT;
          continue;
        }
        return events;
      case HTML_COMMENT:
        if (c == '-') t->state = HTML_COMMENT_END_DASH;
        return events;
      case HTML_COMMENT_END_DASH:
        if (c == '-') {
          t->state = HTML_COMMENT_END;
          return events;
        }
        t->state = HTML_COMMENT;
        continue;
      case HTML_COMMENT_END:
        if (c == '>') {
          t->state = HTML_DATA;
        } else if (c == '!') {
          t->state = HTML_COMMENT_END_BANG;
        } else if (c != '-') {
          t->state = HTML_COMMENT;
          continue;
        }
        return events;
      case HTML_COMMENT_END_BANG:
        if (c == '-') {
          t->state = HTML_COMMENT_END_DASH;
        } else if (c == '>') {
          t->state = HTML_DATA;  // "--!>" ends a comment too
        } else {
          t->state = HTML_COMMENT;
          continue;
        }
        return events;
      case HTML_CDATA:
        if (c == ']') t->state = HTML_CDATA_BRACKET;
        return events;
      case HTML_CDATA_BRACKET:
        if (c == ']') {
          t->state = HTML_CDATA_END;
          return events;
        }
        t->state = HTML_CDATA;
        continue;
      case HTML_CDATA_END:
        if (c == '>') {
          t->state = HTML_DATA;
        } else if (c != ']') {
          t->state = HTML_CDATA;
          continue;
        }
        return events;

      // RCDATA, raw text and script data share the end tag check; each
      // falls back to its own base state.
      case HTML_RCDATA:
        if (c == '<') t->state = HTML_RCDATA_LESS_THAN;
        return events;
      case HTML_RAWTEXT:
        if (c == '<') t->state = HTML_RAWTEXT_LESS_THAN;
        return events;
      case HTML_RCDATA_LESS_THAN:
      case HTML_RAWTEXT_LESS_THAN: {
        bool rc = t->state == HTML_RCDATA_LESS_THAN;
        if (c == '/') {
          name_clear(&t->buffer);
          t->state = rc ? HTML_RCDATA_END_TAG_OPEN : HTML_RAWTEXT_END_TAG_OPEN;
          return events;
        }
        t->state = rc ? HTML_RCDATA : HTML_RAWTEXT;
        continue;
      }
      case HTML_RCDATA_END_TAG_OPEN:
      case HTML_RAWTEXT_END_TAG_OPEN:
      case HTML_SCRIPT_END_TAG_OPEN:
      case HTML_SCRIPT_ESCAPED_END_TAG_OPEN: {
        static const html_state next_of[][3] = {
            {HTML_RCDATA_END_TAG_OPEN, HTML_RCDATA_END_TAG_NAME, HTML_RCDATA},
            {HTML_RAWTEXT_END_TAG_OPEN, HTML_RAWTEXT_END_TAG_NAME,
             HTML_RAWTEXT},
            {HTML_SCRIPT_END_TAG_OPEN, HTML_SCRIPT_END_TAG_NAME, HTML_SCRIPT},
            {HTML_SCRIPT_ESCAPED_END_TAG_OPEN,
             HTML_SCRIPT_ESCAPED_END_TAG_NAME, HTML_SCRIPT_ESCAPED},
        };
        for (const auto& row : next_of) {
          if (row[0] == t->state) {
            t->state = is_alpha(c) ? row[1] : row[2];
            break;
          }
        }
        continue;
      }
      case HTML_RCDATA_END_TAG_NAME:
      case HTML_RAWTEXT_END_TAG_NAME:
      case HTML_SCRIPT_END_TAG_NAME:
      case HTML_SCRIPT_ESCAPED_END_TAG_NAME: {
        if (appropriate_end(t, c, &events)) return events;
        if (is_alpha(c)) {
          name_append(&t->buffer, c);
          return events;
        }
        t->state = t->state == HTML_RCDATA_END_TAG_NAME    ? HTML_RCDATA
                   : t->state == HTML_RAWTEXT_END_TAG_NAME ? HTML_RAWTEXT
                   : t->state == HTML_SCRIPT_END_TAG_NAME  ? HTML_SCRIPT
                                                           : HTML_SCRIPT_ESCAPED;
        continue;
      }

      // Script data and its escapes: "<!--" and a nested "<script" decide
      // which "</script>" really ends the element.
      case HTML_SCRIPT:
        if (c == '<') t->state = HTML_SCRIPT_LESS_THAN;
        return events;
      case HTML_SCRIPT_LESS_THAN:
        if (c == '/') {
          name_clear(&t->buffer);
          t->state = HTML_SCRIPT_END_TAG_OPEN;
        } else if (c == '!') {
          t->state = HTML_SCRIPT_ESCAPE_START;
        } else {
          t->state = HTML_SCRIPT;
          continue;
        }
        return events;
      case HTML_SCRIPT_ESCAPE_START:
        if (c == '-') {
          t->state = HTML_SCRIPT_ESCAPE_START_DASH;
          return events;
        }
        t->state = HTML_SCRIPT;
        continue;
      case HTML_SCRIPT_ESCAPE_START_DASH:
        if (c == '-') {
          t->state = HTML_SCRIPT_ESCAPED_DASH_DASH;
          return events;
        }
        t->state = HTML_SCRIPT;
        continue;
      case HTML_SCRIPT_ESCAPED:
        if (c == '-') {
          t->state = HTML_SCRIPT_ESCAPED_DASH;
        } else if (c == '<') {
          t->state = HTML_SCRIPT_ESCAPED_LESS_THAN;
        }
        return events;
      case HTML_SCRIPT_ESCAPED_DASH:
      case HTML_SCRIPT_ESCAPED_DASH_DASH:
        if (c == '-') {
          t->state = HTML_SCRIPT_ESCAPED_DASH_DASH;
        } else if (c == '<') {
          t->state = HTML_SCRIPT_ESCAPED_LESS_THAN;
        } else if (c == '>' && t->state == HTML_SCRIPT_ESCAPED_DASH_DASH) {
          t->state = HTML_SCRIPT;
        } else {
          t->state = HTML_SCRIPT_ESCAPED;
        }
        return events;
      case HTML_SCRIPT_ESCAPED_LESS_THAN:
        if (c == '/') {
          name_clear(&t->buffer);
          t->state = HTML_SCRIPT_ESCAPED_END_TAG_OPEN;
          return events;
        }
        if (is_alpha(c)) {
          name_clear(&t->buffer);
          t->state = HTML_SCRIPT_DOUBLE_ESCAPE_START;
          continue;
        }
        t->state = HTML_SCRIPT_ESCAPED;
        continue;
      case HTML_SCRIPT_DOUBLE_ESCAPE_START:
      case HTML_SCRIPT_DOUBLE_ESCAPE_END: {
        bool start = t->state == HTML_SCRIPT_DOUBLE_ESCAPE_START;
        html_state inside =
            start ? HTML_SCRIPT_ESCAPED : HTML_SCRIPT_DOUBLE_ESCAPED;
        if (is_space(c) || c == '/' || c == '>') {
          bool script = html_name_is(t->buffer, "script");
          if (start) {
            t->state = script ? HTML_SCRIPT_DOUBLE_ESCAPED : inside;
          } else {
            t->state = script ? HTML_SCRIPT_ESCAPED : inside;
          }
          return events;
        }
        if (is_alpha(c)) {
          name_append(&t->buffer, c);
          return events;
        }
        t->state = inside;
        continue;
      }
      case HTML_SCRIPT_DOUBLE_ESCAPED:
        if (c == '-') {
          t->state = HTML_SCRIPT_DOUBLE_ESCAPED_DASH;
        } else if (c == '<') {
          t->state = HTML_SCRIPT_DOUBLE_ESCAPED_LESS_THAN;
        }
        return events;
      case HTML_SCRIPT_DOUBLE_ESCAPED_DASH:
      case HTML_SCRIPT_DOUBLE_ESCAPED_DASH_DASH:
        if (c == '-') {
          t->state = HTML_SCRIPT_DOUBLE_ESCAPED_DASH_DASH;
        } else if (c == '<') {
          t->state = HTML_SCRIPT_DOUBLE_ESCAPED_LESS_THAN;
        } else if (c == '>' &&
                   t->state == HTML_SCRIPT_DOUBLE_ESCAPED_DASH_DASH) {
          t->state = HTML_SCRIPT;
        } else {
          t->state = HTML_SCRIPT_DOUBLE_ESCAPED;
        }
        return events;
      case HTML_SCRIPT_DOUBLE_ESCAPED_LESS_THAN:
        if (c == '/') {
          name_clear(&t->buffer);
          t->state = HTML_SCRIPT_DOUBLE_ESCAPE_END;
          return events;
        }
        t->state = HTML_SCRIPT_DOUBLE_ESCAPED;
        continue;
    }
    return events;
  }
}

std::string html_decode_references(const std::string& value) {
  static const struct {
    const char* name;
    char c;
  } kNamed[] = {
      {"colon;", ':'}, {"sol;", '/'},    {"quest;", '?'},   {"num;", '#'},
      {"plus;", '+'},  {"period;", '.'}, {"Tab;", '\t'},    {"NewLine;", '\n'},
      {"amp;", '&'},   {"lt;", '<'},     {"gt;", '>'},      {"quot;", '"'},
      {"apos;", '\''},
  };
  std::string out;
  size_t i = 0;
  while (i < value.size()) {
    if (value[i] != '&') {
      out += value[i++];
      continue;
    }
    if (i + 1 < value.size() && value[i + 1] == '#') {
      size_t at = i + 2;
      bool hex = at < value.size() && (value[at] == 'x' || value[at] == 'X');
      if (hex) ++at;
      size_t digits_start = at;
      unsigned long code = 0;
      while (at < value.size()) {
        unsigned char d = static_cast<unsigned char>(value[at]);
        int digit = -1;
        if (d >= '0' && d <= '9') {
          digit = d - '0';
        } else if (hex && lower(d) >= 'a' && lower(d) <= 'f') {
          digit = lower(d) - 'a' + 10;
        }
        if (digit < 0) break;
        if (code <= 0x10FFFF) code = code * (hex ? 16 : 10) + digit;
        ++at;
      }
      if (at == digits_start) {  // "&#" alone stays as written
        out += value[i++];
        continue;
      }
      if (at < value.size() && value[at] == ';') ++at;
      // NUL, surrogates and beyond become U+FFFD, and 0x80-0x9F map to
      // windows-1252: none of them is ASCII.
      out += code >= 1 && code < 0x80 ? static_cast<char>(code) : '\x80';
      i = at;
      continue;
    }
    bool matched = false;
    for (const auto& named : kNamed) {
      size_t length = strlen(named.name);
      if (value.compare(i + 1, length, named.name) == 0) {
        out += named.c;
        i += 1 + length;
        matched = true;
        break;
      }
    }
    if (!matched) out += value[i++];
  }
  return out;
}

namespace {

// What the URL parser keeps of a value before it looks for a scheme.
std::string url_cleaned(const std::string& decoded) {
  std::string out;
  for (char c : decoded) {
    if (c == '\t' || c == '\n' || c == '\r') continue;
    if (out.empty() && static_cast<unsigned char>(c) <= ' ') continue;
    out += c;
  }
  return out;
}

bool scheme_is_allowed(const std::string& url) {
  // RFC 3986 3.1: the scheme is letters, digits, "+", "-" and "." before
  // the first ":"; a "/", "?" or "#" before it means there is none.
  size_t end = 0;
  while (end < url.size()) {
    unsigned char c = static_cast<unsigned char>(url[end]);
    if (!(is_alpha(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' ||
          c == '.')) {
      break;
    }
    ++end;
  }
  if (end == 0 || end == url.size() || url[end] != ':') return true;
  std::string scheme;
  for (size_t i = 0; i < end; ++i) {
    scheme += static_cast<char>(lower(static_cast<unsigned char>(url[i])));
  }
  return scheme == "http" || scheme == "https" || scheme == "mailto";
}

}  // namespace

bool html_url_is_allowed(const std::string& value) {
  return scheme_is_allowed(url_cleaned(html_decode_references(value)));
}

bool html_refresh_is_allowed(const std::string& value) {
  if (!html_url_is_allowed(value)) return false;
  // The refresh value: a time, then ";" or "," and "url=" before the
  // address, each part optional and blanks between.
  std::string s = html_decode_references(value);
  size_t i = 0;
  auto skip_space = [&] {
    while (i < s.size() && is_space(static_cast<unsigned char>(s[i]))) ++i;
  };
  skip_space();
  while (i < s.size() && ((s[i] >= '0' && s[i] <= '9') || s[i] == '.')) ++i;
  skip_space();
  if (i < s.size() && (s[i] == ';' || s[i] == ',')) ++i;
  skip_space();
  if (s.size() - i >= 3 && lower(s[i]) == 'u' && lower(s[i + 1]) == 'r' &&
      lower(s[i + 2]) == 'l') {
    size_t after = i + 3;
    while (after < s.size() && is_space(static_cast<unsigned char>(s[after])))
      ++after;
    if (after < s.size() && s[after] == '=') {
      i = after + 1;
      skip_space();
    }
  }
  if (i < s.size() && (s[i] == '"' || s[i] == '\'')) ++i;
  return scheme_is_allowed(url_cleaned(s.substr(i)));
}

}  // namespace tarvelo
