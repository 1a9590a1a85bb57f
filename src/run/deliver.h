// Delivery of a run's message: the abuse checks, the spool copy, the SMTP
// job built from the settings and the envelope, and the dialogue itself.
//
// State owned here: sockets_started, the once-only start of the sockets
// layer (set by the first delivery of the process, never cleared).
#pragma once

#include "compose/abuse_checks.h"
#include "compose/attachments.h"
#include "compose/envelope.h"
#include "compose/mime.h"
#include "config/ini_reader.h"
#include "form/field_problems.h"
#include "form/form_reader.h"
#include "smtp/http_client.h"
#include "smtp/smtp_dialogue.h"

namespace tarvelo {

// A job carrying what settings say about the connection (server, line end,
// hello method, time limit, TLS, user and password); the message fields are
// left empty for the caller.
smtp_job smtp_job_for_settings(const mail_settings& settings);

// Delivers job over the platform's sockets (deliver_mail), starting them on
// the first call of the process. Returns 1 when the server accepted the end
// of data, 0 otherwise (no connection, a refused step, a failed write or
// read, the time limit, no server text).
int smtp_send_mail(const smtp_job& job);

// The signature of smtp_send_mail, so the send decision can be driven with a
// stand-in.
using mail_sender = int (*)(const smtp_job& job);

// The send decision over a composed message. With a From and a To address and
// a Subject in env: logs "about to send email to smtp server ..." and calls
// send once with the job of settings (smtp_job_for_settings), the envelope's
// addresses and the texts; returns 1 (after "email sent! (1)") when it
// returns non-zero, else 0 (after "Email not sent."). Otherwise sends
// nothing, logs the whole message with the reason at LOG_ERRORS and returns
// 0. Absent texts are logged as "(null)".
int send_composed(const mail_settings& settings, const envelope& env,
                  const char* header_text, const char* body_text,
                  mail_sender send);

// send_composed for a message with attachments: the job also carries where
// they lie in body_text (layout, as compose_message filled it), so the
// dialogue sends them without copying and traces them by name.
int send_composed(const mail_settings& settings, const envelope& env,
                  const char* header_text, const char* body_text,
                  const message_layout& layout, mail_sender send);

// Fills *out from the operating system: the local time with its offset, the
// process id, the host name and random bytes. When no random bytes can be
// had they stay zero; time and process id still keep the Message-ID apart
// from every other run on this host.
void read_message_stamp(message_stamp* out);

// What became of a run's message; the run sequence picks the page by it.
enum delivery_outcome {
  DELIVERY_FAILED = 0,   // not sent: the failure page
  DELIVERY_SENT = 1,     // the server accepted it: the success page
  DELIVERY_DROPPED = 2,  // a robot's form dropped quietly: the success page
  DELIVERY_QUEUED = 3,   // not sent now but kept in the spool folder
  // Not sent: a file of the post broke the ini's attachment rules. The
  // failure page.
  DELIVERY_FILES_REFUSED = 4,
  // Not sent: a field rule or the recipient alias refused the post (the
  // problems are filled in for the reply). Not counted by the rate limit.
  DELIVERY_INVALID = 5,
  DELIVERY_NOT_ALLOWED = 6,     // a recipient outside allowed_recipient
  DELIVERY_RATE_LIMITED = 7,    // this client's hourly share is used up
  DELIVERY_RATE_UNUSABLE = 8,   // no rate-limit state could be kept
  // Not sent: the CAPTCHA provider gave no usable answer (unreachable, a
  // certificate, the time limit, no JSON). A post that could not be checked
  // is never mailed.
  DELIVERY_UNCHECKED = 9,
};

// What one run's delivery takes from outside its tables; the run reads it
// once.
struct run_moment {
  message_stamp stamp;  // Date and Message-ID, with add_standard_headers
  long long unix_microseconds = 0;  // now: rate limit and spool file name
  const char* client = "";          // REMOTE_ADDR as given, "" when unset
  rate_state_location rate_state;   // used only with a rate limit
  // The run's time limit for calls to other services (a CAPTCHA provider,
  // a webhook), on os_monotonic_ms's clock: smtp_timeout seconds from the
  // moment the form and the ini were read. Such a call never runs past it.
  long long services_deadline_ms = 0;
  // How calls to other services are made (the CAPTCHA check); null makes
  // such a call fail as unchecked.
  http_poster poster = nullptr;
};

// One run's composition and delivery; *problems (count first set to 0)
// receives what the reply names as refused fields. In this order:
// - the form's files are held to the ini's rules (attachments_allowed): a
//   post they refuse composes and sends nothing, counts toward no rate
//   limit and gives DELIVERY_FILES_REFUSED, the refused file's field in
//   *problems as kFieldFileRefused;
// - the field rules (check_fields): with problems, a filled honeypot gives
//   DELIVERY_DROPPED with its line (*problems emptied), else the LOG_ERRORS
//   line "fields not valid (%s): no mail sent" and DELIVERY_INVALID; nothing
//   is composed or counted;
// - with captcha_provider set: a filled honeypot first (DELIVERY_DROPPED
//   with honeypot_caught's line, no call); then the token, the form's
//   captcha_form_field value, checked with check_captcha (captcha_call.h)
//   over moment.poster from moment.client by moment.services_deadline_ms. A
//   missing or empty token (no call) is the field kCaptchaFieldName
//   kFieldRequired, a refused one kFieldNotVerified: both DELIVERY_INVALID
//   with the field rules' line; no answer is DELIVERY_UNCHECKED with the
//   LOG_ERRORS line "CAPTCHA could not be verified at <url> (<why>): no
//   mail sent". None of them composes, sends or counts anything;
// - compose_message into *env and texts of its own, with the alias address
//   the recipient_field's token picks and the client for X-Originating-IP
//   (the files of form encoded into the body, then their bytes released
//   with form_release_files);
// - when the envelope is complete, the abuse checks (run_abuse_checks with
//   the client, blanks and line breaks in it made "_", and the time of
//   moment): DELIVERY_DROPPED, DELIVERY_NOT_ALLOWED, DELIVERY_RATE_LIMITED,
//   DELIVERY_RATE_UNUSABLE;
// - send_composed with send. With spool_folder and smtp set, a message
//   cleared to send is first kept in the spool (spool_store_now); when its
//   delivery then fails it stays there and the outcome is DELIVERY_QUEUED.
//   A spool file that cannot be written changes nothing but an error line.
// An incomplete envelope or a refused delivery is DELIVERY_FAILED.
// Allocation failures end the process.
delivery_outcome compose_and_send(const mail_settings& settings,
                                  const entry_list& headers,
                                  const entry_list& body,
                                  form_table* form,
                                  const run_moment& moment, envelope* env,
                                  field_problems* problems, mail_sender send);

}  // namespace tarvelo
