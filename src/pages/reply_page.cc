#include "pages/reply_page.h"

#include <cstdarg>
#include <cstring>

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
  switch (kind) {
    case PAGE_SUCCESS:
      return success;
    case PAGE_QUEUED:
      return queued;
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
void print_line_with_footer(FILE* out, form_table* form, char* line,
                            bool add_footer) {
  char* tag = nullptr;
  if (add_footer) {
    tag = strstr(line, "</html>");
    if (tag == nullptr) tag = strstr(line, "</HTML>");
  }
  if (tag == nullptr) {
    print_page_line(out, form, "%s", line);
    return;
  }
  *tag = '\0';
  // Everything after the tag's "<" comes out unchanged behind the footer.
  print_page_line(out, form,
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

void print_html_escaped(FILE* out, const char* text) {
  for (;;) {
    size_t plain = strcspn(text, "&<>\"'");
    fwrite(text, 1, plain, out);
    text += plain;
    switch (*text) {
      case '\0':
        return;
      case '&':
        fputs("&amp;", out);
        break;
      case '<':
        fputs("&lt;", out);
        break;
      case '>':
        fputs("&gt;", out);
        break;
      case '"':
        fputs("&quot;", out);
        break;
      default:  // the apostrophe
        fputs("&#39;", out);
        break;
    }
    ++text;
  }
}

void expand_page_tokens(FILE* out, form_table* form, char* text) {
  for (;;) {
    char* open = strstr(text, "||");
    if (open == nullptr) {
      fputs(text, out);
      return;
    }
    char* close = strstr(open + 2, "||");
    if (close == nullptr) {
      fprintf(out, "token not terminated {%s}", text);
      return;
    }
    *open = '\0';
    *close = '\0';
    fputs(text, out);
    // Escaped, and never expanded again: a value is the visitor's text, not
    // the site owner's page.
    print_html_escaped(out, form_table_value(form, open + 2));
    text = close + 2;
    if (*text == '\0') return;
  }
}

void print_page_line(FILE* out, form_table* form, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int length =
      format_text_v(page_line_buffer, sizeof page_line_buffer, format, args);
  va_end(args);
  if (length <= 0 || length >= kPageLineBufferSize) return;
  expand_page_tokens(out, form, page_line_buffer);
}

void render_reply_page(page_kind kind, const mail_settings& settings,
                       form_table* form, FILE* out) {
  // CGI response head (RFC 3875 6.2): no status line, the server adds it.
  fputs("Pragma: no-cache\n", out);
  // A page in another charset than the form's would garble what it shows;
  // the ini's charset names the one the owner's pages use.
  if (settings.charset_set) {
    fprintf(out, "Content-type: text/html; charset=%s\n\n", settings.charset);
  } else {
    fputs("Content-type: text/html\n\n", out);
  }

  // A site without a queued page shows its failure page, as before the
  // spool existed.
  if (kind == PAGE_QUEUED && settings.queued_html_page == nullptr) {
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
  // A line longer than the buffer arrives in pieces, each handled as a line.
  while (fgets(line, sizeof line, page) != nullptr) {
    print_line_with_footer(out, form, line, settings.add_kolvex_link);
  }
  fclose(page);
  fflush(out);
}

void send_reply_page(page_kind kind) {
  render_reply_page(kind, the_mail_settings, &the_form_table, stdout);
}

}  // namespace tarvelo
