// Reply pages: the CGI response printed at the end of every run.
//
// State owned here: the page line buffer (63000 bytes), scratch for one
// formatted page line at a time. It is not the log's formatting scratch,
// because a token lookup may write a log line while a page line is still
// being read from this buffer.
#pragma once

#include <cstdio>

#include "config/ini_reader.h"
#include "form/form_reader.h"
#include "support/dyn_text.h"

namespace tarvelo {

// PAGE_QUEUED: the delivery failed but the message waits in the spool
// folder; without a queued_html_page setting it is shown as PAGE_FAILURE.
enum page_kind { PAGE_SUCCESS, PAGE_FAILURE, PAGE_QUEUED };

// The product's information page and the credit line that links to it; the
// page footer, the help text and anything else that names the product's home
// use these, so they are changed in one place.
constexpr const char* kProductUrl = "https://tarvelo.org/";
constexpr const char* kProductCredit = "Form mail by TARVELO";

constexpr int kPageLineBufferSize = 63000;
constexpr int kPageReadBufferSize = 9999;  // one read takes <= 9998 chars

// Prints the whole response for the run on standard output: the response
// head, then the configured page of the kind with its "||name||" tokens
// replaced by HTML-escaped submitted values and the footer link before the
// closing html tag, or a built-in page when the setting is missing or the
// file cannot be opened. Never ends the process.
void send_reply_page(page_kind kind);

// send_reply_page over explicit inputs: reads the page setting of the kind
// and add_kolvex_link from settings, looks token values up in form (with
// form_table_value) and writes everything to out. A missing setting or a
// page file that cannot be opened gives the built-in page and one LOG_ERRORS
// line; a read error part way through ends the page silently. Flushes out.
void render_reply_page(page_kind kind, const mail_settings& settings,
                       form_table* form, FILE* out);

// Formats into the page line buffer and hands the result to
// expand_page_tokens. Prints nothing when the result is empty or does not
// fit in 63000 bytes. Page text must only ever be an argument, never the
// format, so a "%" in it is printed unchanged.
void print_page_line(FILE* out, form_table* form, const char* format, ...)
    TARVELO_PRINTF(3, 4);

// Prints text with each "||name||" token replaced by the HTML-escaped value
// of the first form field of that exact name ("" when there is none). An
// opening marker without a closing one prints "token not terminated {%s}"
// around the rest of the text, including what stands before that marker.
// Writes terminators into text at the markers: text must be scratch that
// nobody reads afterwards.
void expand_page_tokens(FILE* out, form_table* form, char* text);

// Prints text with & < > " and ' as &amp; &lt; &gt; &quot; &#39;, so that
// a submitted value can never become markup or script in the page.
void print_html_escaped(FILE* out, const char* text);

}  // namespace tarvelo
