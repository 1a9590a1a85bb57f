// Message assembly and the decision to send: turns the header list, the body
// list and the submitted form into the header text and body text of one
// e-mail, fills the envelope on the way, and hands the message to the SMTP
// dialogue when the envelope is complete.
//
// State owned here: the header and body text buffers of the run, created by
// compose_and_send and kept until the process exits.
#pragma once

#include "compose/envelope.h"
#include "config/ini_reader.h"
#include "form/form_reader.h"
#include "support/dyn_text.h"

namespace tarvelo {

struct message_stamp;  // compose/mime.h

// Widest blank run a composed line needs: a continuation indent of a 498
// character name plus one, with room to spare.
constexpr int kBlankTemplateWidth = 501;

// Body entries whose name is this long or longer are left out silently.
constexpr int kMaxBodyNameLength = 499;

// Composes the message into header_text and body_text, appending to what they
// hold (normally both are empty):
// - every header entry goes through classify_header_kind, in list order, and
//   an accepted one is written as name, separator, blank, value, line end;
//   the separator is ":" when add_headerline_colon is set and the name does
//   not already end in ":". A BCC entry fills the envelope but is not written
//   (RFC 5322 3.6.3: every recipient would read the blind copy). A carriage
//   return or line feed in a written header line becomes a blank, so a
//   submitted value cannot start a header of its own;
// - logs "generated headers {%s}" with the header text, then appends the
//   Reply-To line and the X-TARVELO line;
// - writes each body entry as label column, name, blank, value, line end; a
//   value with line feeds continues on lines indented by the name's length
//   plus two blanks, a carriage return before each line feed dropped;
// - appends the block of all submitted pairs when sendall is exactly "true",
//   leaving out empty values when remove_empty_variables is set;
// - with add_standard_headers, makes the message standards-complete
//   (make_standard_message: encoded header lines, Date, Message-ID and MIME
//   headers, a quoted-printable body where 7bit will not do) before the
//   X-TARVELO line, which then comes last. stamp gives the Date and
//   Message-ID; when null they are read from the system.
// Reads nothing but its arguments (and, as said, the system's time) and
// fills env; stored values are not changed. Allocation failures end the
// process in dyn_text.
void compose_message(const mail_settings& settings, const entry_list& headers,
                     const entry_list& body, const form_table& form,
                     envelope* env, dyn_text* header_text,
                     dyn_text* body_text,
                     const message_stamp* stamp = nullptr);

// The signature of smtp_send_mail, so the send decision can be driven with a
// stand-in.
using mail_sender = int (*)(const char* server, const char* from,
                            const char* to, const char* header_text,
                            const char* body_text);

// The send decision over a composed message. With a From and a To address and
// a Subject in env: logs "about to send email to smtp server ..." and calls
// send once with the smtp setting, the two addresses and the texts; returns 1
// (after "email sent! (1)") when it returns non-zero, else 0 (after "Email not
// sent."). Otherwise sends nothing, logs the whole message with the reason at
// LOG_ERRORS and returns 0. Absent texts are logged as "(null)".
int send_composed(const mail_settings& settings, const envelope& env,
                  const char* header_text, const char* body_text,
                  mail_sender send);

// What became of a run's message; the run sequence picks the page by it.
enum delivery_outcome {
  DELIVERY_FAILED = 0,   // not sent: the failure page
  DELIVERY_SENT = 1,     // the server accepted it: the success page
  DELIVERY_DROPPED = 2,  // a robot's form dropped quietly: the success page
  DELIVERY_QUEUED = 3,   // not sent now but kept in the spool folder
};

// One CGI run's composition and delivery: compose_message over the
// process-wide tables into the_envelope, then, when the envelope is complete,
// the abuse checks (honeypot, allow-list, rate limit for REMOTE_ADDR), then
// send_composed with smtp_send_mail. With spool_folder and smtp set, a message
// cleared to send is first kept in the spool (spool_store_now); when its
// delivery then fails it stays there and the outcome is DELIVERY_QUEUED. A
// spool file that cannot be written changes nothing but an error line. Call
// once.
delivery_outcome compose_and_deliver();

// One CGI run's composition and delivery: compose_message over
// the_mail_settings, the_header_list, the_body_list and the_form_table into
// the_envelope, then send_composed with smtp_send_mail. Returns 1 when the
// server accepted the message (the success page), 0 otherwise. Call once.
int compose_and_send();

}  // namespace tarvelo
