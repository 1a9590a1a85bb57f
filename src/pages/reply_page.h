// Reply pages: the CGI response printed at the end of every run.
//
// State owned here: the page line buffer (63000 bytes), scratch for one
// formatted page line at a time. It is not the log's formatting scratch,
// because a token lookup may write a log line while a page line is still
// being read from this buffer.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "config/ini_reader.h"
#include "form/form_reader.h"
#include "pages/html_context.h"
#include "support/dyn_text.h"

namespace tarvelo {

// PAGE_QUEUED: the delivery failed but the message waits in the spool
// folder; without a queued_html_page setting it is shown as PAGE_FAILURE.
// PAGE_INVALID: a field rule refused the post; without an invalid_html_page
// setting it is shown as PAGE_FAILURE.
enum page_kind { PAGE_SUCCESS, PAGE_FAILURE, PAGE_QUEUED, PAGE_INVALID };

// The product's information page and the credit line that links to it; the
// page footer, the help text and anything else that names the product's home
// use these, so they are changed in one place.
constexpr const char* kProductUrl = "https://tarvelo.org/";
constexpr const char* kProductCredit = "Form mail by TARVELO";

constexpr int kPageLineBufferSize = 63000;
constexpr int kPageReadBufferSize = 9999;  // one read takes <= 9998 chars

// Writes the whole response for the run to out (standard output in a run):
// the response head, then the configured page of the kind (the setting of
// the kind in settings) with its "||name||" tokens replaced by HTML-escaped
// values looked up in form (with form_value) and, when add_kolvex_link is
// set, the footer link before the closing html tag. A missing setting or a
// page file that cannot be opened gives the built-in page and one
// LOG_ERRORS line; a read error part way through ends the page silently.
// Flushes out; never ends the process.
void send_reply_page(page_kind kind, const mail_settings& settings,
                     form_table* form, FILE* out);

// What a reply adds to a page beyond what send_reply_page prints.
struct page_additions {
  // A whole head line ("Status: ...\n") printed before everything else, or
  // null.
  const char* status_line = nullptr;
  // Whole head lines printed after "Pragma: no-cache" and before the
  // Content-type line ("" for none).
  const char* head_lines = "";
  // When not null, the text of the ||_invalid_fields|| token, filled and
  // escaped like every token; a form field of that name then never fills
  // it. Null: the token is looked up in the form like any other.
  const char* invalid_fields = nullptr;
};

// As send_reply_page, with the additions.
void send_reply_page(page_kind kind, const mail_settings& settings,
                     form_table* form, const page_additions& additions,
                     FILE* out);

// The name of the token whose text page_additions.invalid_fields gives.
constexpr const char* kInvalidFieldsToken = "_invalid_fields";

// How a token in the attribute value being read is filled.
enum value_use : unsigned char {
  VALUE_KEPT,     // not at all: "||" stays as written
  VALUE_FILLED,   // HTML-escaped (quoted) or as character references
  VALUE_URL,      // as VALUE_FILLED, then "#" if the scheme is not allowed
  VALUE_REFRESH,  // <meta content>: checked when the tag shows http-equiv
};

// A <meta content> value in held: [start, end), and whether a token
// supplied any of it.
struct held_value {
  size_t start;
  size_t end;
  bool supplied;
};

// Where a page stands between two pieces of page text, so that a token is
// filled only where the HTML around it makes that safe.
struct page_context {
  html_tokenizer html;
  // Output not printed yet: the tag being read (its values may still turn
  // into "#"), or the text since the last token (an unterminated token
  // shows it inside its notice).
  std::string held;
  value_use value = VALUE_KEPT;
  bool value_quoted = false;
  size_t value_start = 0;     // where the open value begins in held
  bool value_supplied = false;
  bool refresh = false;       // the meta tag being read says http-equiv=refresh
  std::vector<held_value> contents;
  // page_additions.invalid_fields of the page being printed, or null.
  const char* invalid_fields = nullptr;
};

// Formats into the page line buffer and hands the result to
// expand_page_tokens. Prints nothing, and leaves context as it was, when
// the result is empty or does not fit in 63000 bytes. Page text must only
// ever be an argument, never the format, so a "%" in it is printed
// unchanged.
void print_page_line(FILE* out, form_table* form, page_context* context,
                     const char* format, ...) TARVELO_PRINTF(4, 5);

// Prints one piece of page text, reading it as the continuation of the
// HTML in context, with each "||name||" token replaced by the value of the
// first form field of that exact name ("" when there is none); when
// context->invalid_fields is set, ||_invalid_fields|| takes that text
// instead, whatever the form holds. A token
// exists only when both markers stand in the same run of text or the same
// attribute value of this piece; everywhere else "||" is printed as written.
//   - text (also in title and textarea): the HTML-escaped value;
//   - a quoted attribute value: the same;
//   - an unquoted attribute value: every character but ASCII letters,
//     digits and bytes beyond ASCII as a numeric character reference;
//   - never in script, style and other raw text elements, comments, svg
//     or math content, a tag outside its values, end tags, the values of
//     on... event handlers, style and srcdoc, nor in the attributes of
//     script and style tags;
//   - a URL attribute (href, src, action, formaction, cite, data, poster,
//     background, ping, srcset, xlink:href, and content of a meta refresh)
//     to which a token supplied text becomes "#" when the filled value has
//     a scheme other than http, https or mailto.
// In text, an opening marker without a closing one before the run ends (at
// a "<" that starts a tag, or the end of the piece) prints "token not
// terminated {%s}" around the run's text since the last token. Writes
// terminators into text at the markers: text must be scratch that nobody
// reads afterwards. A tag still open at the end of the piece is held in
// context and printed when it ends.
void expand_page_tokens(FILE* out, form_table* form, page_context* context,
                        char* text);

// Prints what context still holds at the end of the page.
void finish_page(FILE* out, page_context* context);

}  // namespace tarvelo
