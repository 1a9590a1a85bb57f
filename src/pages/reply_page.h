// Reply pages: the CGI response printed at the end of every run.
#pragma once

namespace tarvelo {

enum page_kind { PAGE_SUCCESS, PAGE_FAILURE };

// Prints the whole response for the run on standard output: the response
// head, then the configured page of the kind with its "||name||" tokens
// replaced by HTML-escaped submitted values and the footer link before the
// closing html tag, or a built-in page when the setting is missing or the
// file cannot be opened. Never ends the process.
void send_reply_page(page_kind kind);

}  // namespace tarvelo
