// tarvelo -render FILE: what a form's post would produce, shown to the site
// owner before the form goes live. The post is judged as a run judges it
// (file types, honeypot, field rules, aliases, allow-list; not the rate
// limit), composed as a run composes it, and printed instead of sent: no
// connection, no spool file, no rate-limit state.
//
// State owned here: none.
#pragma once

#include <cstdio>
#include <string>

#include "compose/envelope.h"
#include "compose/message.h"
#include "config/ini_reader.h"
#include "form/form_reader.h"
#include "pages/http_reply.h"

namespace tarvelo {

// Everything one rendering reads; the run fills it from the ini, the body
// file and the environment.
struct render_inputs {
  const mail_settings* settings = nullptr;
  const entry_list* headers = nullptr;
  const entry_list* body = nullptr;
  form_table* form = nullptr;     // as read_form filled it
  form_outcome read = FORM_READ;  // what read_form returned
  message_stamp stamp;            // Date and Message-ID values
  const char* client = "";        // REMOTE_ADDR, "" when unset
  reply_request request;          // HTTP_ACCEPT and HTTP_ORIGIN
};

// Prints to out, each section after its header line:
//   "-- envelope --\n"  "MAIL FROM:<from>\n" and "RCPT TO:<addr>\n" for To,
//                       BCC and CC in the order a delivery names them;
//   "-- data --\n"      the message as it goes between DATA's reply and the
//                       server's last reply: header, empty line, body,
//                       wire-encoded with the ini's line end, and the
//                       end-of-data marker "\r\n.\r\n";
//   "-- verdict --\n"   one line "verdict: <what a run would do>\n";
//   "-- reply --\n"     the reply as send_reply writes it for the outcome.
// A post refused before it is composed (the body not read, a file type, the
// field rules, a honeypot with invalid fields) has "(no message)\n" in the
// first two sections. The verdicts: "sent", "form not read (<why>)",
// "file type not allowed (<field>)", "honeypot filled: dropped quietly",
// "invalid fields (<name>: <reason>, ...)", "no From, To or Subject: not
// sent", "recipient not allowed (<address>)". With captcha_provider set a
// run's CAPTCHA step is judged without the call: a filled honeypot is
// dropped, a missing token gives "invalid fields (captcha: required): no
// CAPTCHA token in <field>", and a post with its token gets its verdict
// followed by " (CAPTCHA token in <field> not checked by -render)". The
// form's files are kept.
// Allocation failures end the process; log lines of the checks go through
// log_event (the switch turns the log off first).
void render_post(const render_inputs& in, FILE* out);

// Whether the file at path can be read to its end; fills *size with its
// byte count, or *why with the reason it cannot.
bool file_readable(const char* path, long long* size, std::string* why);

// Checks that path is a file whose bytes can be read, then reopens standard
// input on it, so read_form takes it as a request body. Fills *size with
// its byte count. Returns false with the reason in *why when it cannot be
// read (standard input is then untouched, unless the reopening itself
// failed).
bool reopen_stdin_on(const char* path, long long* size, std::string* why);

}  // namespace tarvelo
