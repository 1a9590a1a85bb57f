#include "pages/reply_page.h"

#include <cstdarg>
#include <cstring>

#include "support/html_escape.h"
#include "support/log.h"
#include "support/os.h"

namespace tarvelo {
namespace {

// The page line buffer; see the header for why it is this module's own.
char page_line_buffer[kPageLineBufferSize];

struct kind_texts {
  const char* setting_name;
  const char* built_in_head;
  const char* not_set_message;
};

const kind_texts& texts_of(page_kind kind) {
  static const kind_texts success = {
      "success_html_page",
      "<HTML><BODY>\nemail sent.\n",
      "\"success_html_page\" message file is not set in tarvelo ini file.",
  };
  static const kind_texts failure = {
      "failure_html_page",
      "<HTML><BODY>\nemail NOT sent.\n",
      "\"failure_html_page\" message file is not set in tarvelo ini file.",
  };
  static const kind_texts queued = {
      "queued_html_page",
      "<HTML><BODY>\nemail queued.\n",
      // Not shown: without the setting the failure page stands in.
      "\"queued_html_page\" message file is not set in tarvelo ini file.",
  };
  static const kind_texts invalid = {
      "invalid_html_page",
      "<HTML><BODY>\nemail NOT sent.\n",
      // Not shown: without the setting the failure page stands in.
      "\"invalid_html_page\" message file is not set in tarvelo ini file.",
  };
  switch (kind) {
    case PAGE_SUCCESS:
      return success;
    case PAGE_QUEUED:
      return queued;
    case PAGE_INVALID:
      return invalid;
    case PAGE_FAILURE:
      break;
  }
  return failure;
}

const char* setting_of(page_kind kind, const mail_settings& settings) {
  switch (kind) {
    case PAGE_SUCCESS:
      return settings.success_html_page;
    case PAGE_QUEUED:
      return settings.queued_html_page;
    case PAGE_INVALID:
      return settings.invalid_html_page;
    case PAGE_FAILURE:
      break;
  }
  return settings.failure_html_page;
}

constexpr const char kBuiltInTail[] = "</BODY></HTML>\n";
constexpr const char kHttpHint[] =
    "The setting is not a web address setting, it is a local file name "
    "setting.\n";

// Prints the line with the footer link in front of the first closing html
// tag. The lower-case tag is looked for first, so a line holding both forms
// gets the footer before "</html>"; a mixed-case tag gets none.
void print_line_with_footer(FILE* out, form_table* form, page_context* context,
                            char* line, bool add_footer) {
  char* tag = nullptr;
  if (add_footer) {
    tag = strstr(line, "</html>");
    if (tag == nullptr) tag = strstr(line, "</HTML>");
  }
  if (tag == nullptr) {
    print_page_line(out, form, context, "%s", line);
    return;
  }
  *tag = '\0';
  // Everything after the tag's "<" comes out unchanged behind the footer.
  print_page_line(out, form, context,
                  "%s<br><center><font size=-2><A HREF=\"%s\">%s</A>"
                  "<font size=+2></center><%s",
                  line, kProductUrl, kProductCredit, tag + 1);
}

void print_not_readable_page(FILE* out, const kind_texts& texts,
                             const char* setting, int error) {
  char message[kPageReadBufferSize];
  // Cut to 9998 characters by the buffer.
  snprintf(message, sizeof message,
           "\"%s\" message file (%s) is not readable for the reason (%d)(%s).",
           texts.setting_name, setting, error, strerror(error));
  fputs(texts.built_in_head, out);
  fputs(message, out);
  // Someone gave a web address where a file path belongs; say so.
  if (strncmp(setting, "http", 4) == 0) fputs(kHttpHint, out);
  fputs(kBuiltInTail, out);
  log_event(LOG_ERRORS, "%s", message);
}

}  // namespace

namespace {

// An unquoted value ends at a blank or ">", and browsers also stop at other
// signs; as references none of them can end it.
void append_as_references(std::string* out, const char* text) {
  for (; *text != '\0'; ++text) {
    unsigned char c = static_cast<unsigned char>(*text);
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
        (c >= 'A' && c <= 'Z') || c >= 0x80) {
      *out += *text;
    } else {
      char reference[8];
      snprintf(reference, sizeof reference, "&#%d;", c);
      *out += reference;
    }
  }
}

void flush_held(page_context* c, FILE* out) {
  fwrite(c->held.data(), 1, c->held.size(), out);
  c->held.clear();
}

bool is_text_run(const html_tokenizer& t) {
  return (t.state == HTML_DATA || t.state == HTML_RCDATA) &&
         t.foreign_depth == 0 && !t.lost;
}

bool is_value_state(html_state s) {
  return s == HTML_ATTR_VALUE_DOUBLE || s == HTML_ATTR_VALUE_SINGLE ||
         s == HTML_ATTR_VALUE_UNQUOTED;
}

// The states a run of text passes through without ending: a "<" that turns
// out not to start a tag, or in title and textarea any "<" but their own
// end tag.
bool stays_in_run(html_state s, html_state base) {
  if (s == base) return true;
  if (base == HTML_DATA) return s == HTML_TAG_OPEN;
  if (base == HTML_RCDATA) {
    return s == HTML_RCDATA_LESS_THAN || s == HTML_RCDATA_END_TAG_OPEN ||
           s == HTML_RCDATA_END_TAG_NAME;
  }
  return false;
}

// A tag being read stays in held until it ends: its values may still turn
// into "#".
bool holds_tag(html_state s) {
  return s >= HTML_TAG_NAME && s <= HTML_SELF_CLOSING;
}

bool is_url_attribute(const html_name& name) {
  static const char* const kUrl[] = {
      "href", "src",  "action", "formaction", "cite",   "data",
      "poster", "background", "ping", "srcset", "xlink:href", nullptr};
  for (const char* const* u = kUrl; *u != nullptr; ++u) {
    if (html_name_is(name, *u)) return true;
  }
  return false;
}

value_use use_of_value(const html_tokenizer& t) {
  if (t.end_tag || t.foreign_depth > 0 || t.lost) return VALUE_KEPT;
  if (html_name_is(t.tag, "script") || html_name_is(t.tag, "style")) {
    return VALUE_KEPT;
  }
  const html_name& a = t.attribute;
  // An event handler is script; a name too long to keep still starts so.
  if (a.length >= 2 && a.text[0] == 'o' && a.text[1] == 'n') return VALUE_KEPT;
  if (html_name_is(a, "style") || html_name_is(a, "srcdoc")) return VALUE_KEPT;
  if (is_url_attribute(a)) return VALUE_URL;
  if (html_name_is(t.tag, "meta") && html_name_is(a, "content")) {
    return VALUE_REFRESH;
  }
  return VALUE_FILLED;
}

void begin_value(page_context* c, bool quoted) {
  c->value = use_of_value(c->html);
  c->value_quoted = quoted;
  c->value_start = c->held.size();
  c->value_supplied = false;
}

std::string trimmed_lower(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t\n\f\r");
  size_t end = text.find_last_not_of(" \t\n\f\r");
  std::string out;
  if (begin == std::string::npos) return out;
  for (size_t i = begin; i <= end; ++i) {
    char ch = text[i];
    out += ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch + 32) : ch;
  }
  return out;
}

// The value that began at value_start ends at the end of held.
void end_value(page_context* c) {
  const html_tokenizer& t = c->html;
  size_t start = c->value_start;
  if (c->value == VALUE_URL && c->value_supplied &&
      !html_url_is_allowed(c->held.substr(start))) {
    c->held.resize(start);
    c->held += '#';
  } else if (c->value == VALUE_REFRESH) {
    c->contents.push_back({start, c->held.size(), c->value_supplied});
  }
  if (!t.end_tag && html_name_is(t.tag, "meta") &&
      html_name_is(t.attribute, "http-equiv") &&
      trimmed_lower(html_decode_references(c->held.substr(start))) ==
          "refresh") {
    c->refresh = true;
  }
  c->value = VALUE_KEPT;
}

// A meta tag's content is known to be a refresh address only once the
// whole tag is read, since http-equiv may come after it.
void end_tag(page_context* c) {
  if (c->refresh) {
    for (auto v = c->contents.rbegin(); v != c->contents.rend(); ++v) {
      if (!v->supplied) continue;
      std::string value = c->held.substr(v->start, v->end - v->start);
      if (!html_refresh_is_allowed(value)) {
        c->held.erase(v->start, v->end - v->start);
        c->held.insert(v->start, 1, '#');
      }
    }
  }
  c->refresh = false;
  c->contents.clear();
}

// Reads one character of the page as written.
void feed(page_context* c, unsigned char ch, FILE* out) {
  html_state before = c->html.state;
  int events = html_step(&c->html, ch);
  if (events & HTML_VALUE_END) end_value(c);
  c->held += static_cast<char>(ch);
  if (events & HTML_VALUE_START) begin_value(c, true);
  if (events & HTML_TAG_END) {
    end_tag(c);
    flush_held(c, out);
  } else if (is_text_run(c->html) && !stays_in_run(before, c->html.state)) {
    // A new run of text begins: what came before is not part of it.
    flush_held(c, out);
  }
}

// Looks for the marker that closes the token opening at text[open], while
// a copy of the tokenizer stays in the run or value it stands in. Returns
// true with *close at the closing marker; or false with *run_end where the
// run or value ends (the first character that leaves it).
bool find_closing_marker(const html_tokenizer& t, const char* text,
                         size_t open, size_t length, size_t* close,
                         size_t* run_end) {
  html_tokenizer copy = t;
  html_state base = t.state;
  size_t settled = open + 2;
  for (size_t k = open + 2; k < length; ++k) {
    if (copy.state == base) {
      if (text[k] == '|' && text[k + 1] == '|') {
        *close = k;
        return true;
      }
      settled = k;
    }
    html_step(&copy, static_cast<unsigned char>(text[k]));
    if (!stays_in_run(copy.state, base)) {
      *run_end = settled;
      return false;
    }
  }
  *run_end = copy.state == base ? length : settled;
  return false;
}

// When the reply gives the text of ||_invalid_fields||, the form never
// fills it: the page must never list as refused what a visitor typed.
const char* token_value(form_table* form, const page_context* c,
                        const char* name) {
  if (c->invalid_fields != nullptr && strcmp(name, kInvalidFieldsToken) == 0) {
    return c->invalid_fields;
  }
  return form_value(form, name);
}

}  // namespace

void expand_page_tokens(FILE* out, form_table* form, page_context* c,
                        char* text) {
  size_t length = strlen(text);
  size_t i = 0;
  while (i < length) {
    if (c->html.state == HTML_DATA) {
      // In text only "<" changes the state and only "||" opens a token: the
      // characters before either are held as they stand, all at once.
      size_t plain = strcspn(text + i, "<|");
      if (plain > 0) {
        c->held.append(text + i, plain);
        i += plain;
        continue;
      }
    }
    unsigned char ch = static_cast<unsigned char>(text[i]);
    if (html_unquoted_value_begins(c->html, ch)) {
      c->html.state = HTML_ATTR_VALUE_UNQUOTED;
      begin_value(c, false);
    }
    bool in_text = is_text_run(c->html);
    bool in_value = is_value_state(c->html.state) && c->value != VALUE_KEPT;
    if (ch == '|' && text[i + 1] == '|' && (in_text || in_value)) {
      size_t close = 0;
      size_t run_end = 0;
      if (find_closing_marker(c->html, text, i, length, &close, &run_end)) {
        text[close] = '\0';
        // Escaped, and never expanded again: a value is the visitor's
        // text, not the site owner's page.
        const char* value = token_value(form, c, text + i + 2);
        if (in_text) {
          flush_held(c, out);
          // The apostrophe too: a value may stand in an attribute quoted
          // with it.
          html_escape_write(out, value, HTML_ESCAPE_MARKUP_AND_APOSTROPHE);
        } else {
          if (*value != '\0') c->value_supplied = true;
          if (c->value_quoted) {
            html_escape_append(&c->held, value,
                               HTML_ESCAPE_MARKUP_AND_APOSTROPHE);
          } else {
            append_as_references(&c->held, value);
            // An unquoted value still empty has not begun for the browser:
            // the next character may open a quoted value or skip a blank,
            // so it is read as the browser will read it.
            if (c->held.size() == c->value_start) {
              c->html.state = HTML_BEFORE_ATTR_VALUE;
              c->value = VALUE_KEPT;
            }
          }
        }
        i = close + 2;
        continue;
      }
      if (in_text) {
        std::string rest(text + i, run_end - i);
        fprintf(out, "token not terminated {%s%s}", c->held.c_str(),
                rest.c_str());
        c->held.clear();
        for (; i < run_end; ++i) {
          html_step(&c->html, static_cast<unsigned char>(text[i]));
        }
        continue;
      }
      // In a value the markers are printed as written.
    }
    feed(c, ch, out);
    ++i;
  }
  if (c->html.state == HTML_TAG_OPEN) {
    // Keep the "<" signs at the end: if a notice came first in the next
    // piece, its text would follow a "<" and start a tag the page never had.
    size_t keep = c->held.find_last_not_of('<');
    keep = keep == std::string::npos ? 0 : keep + 1;
    fwrite(c->held.data(), 1, keep, out);
    c->held.erase(0, keep);
  } else if (!holds_tag(c->html.state)) {
    flush_held(c, out);
  }
}

void finish_page(FILE* out, page_context* c) {
  if (is_value_state(c->html.state)) end_value(c);
  end_tag(c);
  flush_held(c, out);
}

void print_page_line(FILE* out, form_table* form, page_context* context,
                     const char* format, ...) {
  va_list args;
  va_start(args, format);
  int length =
      format_text_v(page_line_buffer, sizeof page_line_buffer, format, args);
  va_end(args);
  if (length <= 0 || length >= kPageLineBufferSize) return;
  expand_page_tokens(out, form, context, page_line_buffer);
}

void send_reply_page(page_kind kind, const mail_settings& settings,
                     form_table* form, FILE* out) {
  send_reply_page(kind, settings, form, page_additions(), out);
}

void send_reply_page(page_kind kind, const mail_settings& settings,
                     form_table* form, const page_additions& additions,
                     FILE* out) {
  // CGI response head (RFC 3875 6.2): without a Status line the server
  // answers 200.
  if (additions.status_line != nullptr) fputs(additions.status_line, out);
  fputs("Pragma: no-cache\n", out);
  fputs(additions.head_lines, out);
  // A page in another charset than the form's would garble what it shows;
  // the ini's charset names the one the owner's pages use.
  if (settings.charset_set) {
    fprintf(out, "Content-type: text/html; charset=%s\n\n", settings.charset);
  } else {
    fputs("Content-type: text/html\n\n", out);
  }

  // A site without a queued page shows its failure page: to the visitor the
  // mail has not gone yet. The same for a site without an invalid page.
  if ((kind == PAGE_QUEUED && settings.queued_html_page == nullptr) ||
      (kind == PAGE_INVALID && settings.invalid_html_page == nullptr)) {
    kind = PAGE_FAILURE;
  }
  const kind_texts& texts = texts_of(kind);
  const char* setting = setting_of(kind, settings);
  if (setting == nullptr) {
    fputs(texts.built_in_head, out);
    fputs(texts.not_set_message, out);
    fputs(kBuiltInTail, out);
    log_event(LOG_ERRORS, "%s", texts.not_set_message);
    fflush(out);
    return;
  }

  // A device or a FIFO is no page: reading one would never end, or never
  // begin.
  int error = 0;
  FILE* page = os_open_regular_file(setting, &error);
  if (page == nullptr) {
    print_not_readable_page(out, texts, setting, error);
    fflush(out);
    return;
  }
  char line[kPageReadBufferSize];
  // A line longer than the buffer arrives in pieces, each handled as a line
  // for tokens; where the page stands in its HTML carries on through all.
  page_context context;
  context.invalid_fields = additions.invalid_fields;
  while (fgets(line, sizeof line, page) != nullptr) {
    print_line_with_footer(out, form, &context, line,
                           settings.add_kolvex_link);
  }
  fclose(page);
  finish_page(out, &context);
  fflush(out);
}

}  // namespace tarvelo
