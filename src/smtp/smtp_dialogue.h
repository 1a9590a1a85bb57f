// The SMTP dialogue: delivers one composed message over one connection.
//
// State owned here: none; the caller keeps the once-only start of the
// sockets layer (sockets_started) for its process.
#pragma once

#include "smtp/smtp_auth.h"
#include "smtp/socket_layer.h"
#include "smtp/tls_layer.h"
#include "support/smtp_options.h"

namespace tarvelo {

constexpr int kCommandBufferSize = 10000;
// The longest command sent; a longer one is never sent cut.
constexpr int kMaxCommandLength = kCommandBufferSize - 2;
constexpr int kReplyAreaSize = 1000;
constexpr int kDefaultSmtpPort = 25;

// How a delivery ended, for a caller that treats a refused message otherwise
// than a server it could not reach (the spool's resend). The delivery itself
// is the same whether or not anyone asks.
enum smtp_end {
  SMTP_END_ACCEPTED,         // the server accepted the end of data
  SMTP_END_NO_SERVER,        // no server text: nothing attempted
  SMTP_END_NO_CONNECTION,    // no connection could be made
  SMTP_END_BROKEN,           // a reply unread (time limit included) or
                             // malformed, a write failed, a command too long
  SMTP_END_SESSION_REFUSED,  // refused before the mail transaction (greeting, hello)
  SMTP_END_MESSAGE_REFUSED,  // MAIL FROM, the To recipient, DATA or the end of data refused
};

constexpr int kSmtpReasonSize = 300;

struct smtp_report {
  smtp_end end = SMTP_END_NO_SERVER;
  int reply_code = -1;  // the code of the refusing reply; -1 for the others
  char reason[kSmtpReasonSize] = "";  // one line in words, cut to fit
};

// An attachment's base64 lines in a job's body text: traced as
// "[attachment NAME, BYTES bytes]", never as they are.
struct smtp_attachment {
  size_t start = 0;  // offset in body_text
  size_t size = 0;
  const char* name = "";
  long long bytes = 0;  // the file's own size
};

// A body_ready_from that marks no part of the body as ready.
constexpr size_t kNoReadyPart = static_cast<size_t>(-1);

// Everything one delivery reads.
struct smtp_job {
  const char* server = nullptr;  // host[:port]; null when there is none
  const char* from = nullptr;
  const char* to = nullptr;
  const char* bcc = nullptr;  // null when the envelope has none
  const char* cc = nullptr;   // null when the envelope has none
  const char* header_text = "";
  const char* body_text = "";
  // A message with attachments: from this offset on the body text is sent
  // as it stands (every line ends in line_end, none begins with "."), in
  // pieces straight from the text, and its attachments' lines are traced as
  // their names and sizes. The DATA phase then makes no pause after a
  // partial write, and its time limit counts time without progress.
  size_t body_ready_from = kNoReadyPart;
  const smtp_attachment* attachments = nullptr;
  int attachment_count = 0;
  const char* line_end = "\r\n";
  hello_kind hello_method = HELLO_HELO;
  int timeout_seconds = kDefaultSmtpTimeout;  // not positive: the default
  smtp_report* report = nullptr;  // when set, filled with how it ended
  // Transport security and authentication; without them the dialogue is
  // plain SMTP.
  tls_mode tls = TLS_NONE;
  const char* tls_ca = nullptr;    // trusted CA file; null: the system's
  const char* user = nullptr;      // AUTH with user and password; null: none
  const char* password = nullptr;
};


// Does one whole delivery of job over net: starts the sockets layer unless
// *sockets_started (and then sets it), connects within the job's time limit,
// and runs the dialogue (RFC 5321): greeting, hello, MAIL FROM, RCPT TO for
// To, BCC and CC in that order, DATA, the message, QUIT. Every command
// waits for the reply to the one before it.
//
// Returns 1 when the server accepted the end of data (2xx), else 0:
// - no server text: an error line, nothing attempted;
// - no connection: "SMTP email server (%s) did not respond.\n" with the
//   lower-cased host;
// - a reply that refuses the greeting, hello, MAIL FROM, the To recipient,
//   DATA (anything but 354) or the end of data: an error line naming the step
//   and the server's reply line, then QUIT and its reply. A 5xx to EHLO is
//   answered with HELO first. A refused BCC or CC recipient is only logged;
// - a reply that cannot be read (closed, error, time limit, a line over 1000
//   bytes): an error line, then QUIT without waiting for its reply;
// - a reply whose lines carry different codes (550-... then 250 ok): an error
//   line "SMTP server gave a malformed reply to ...", QUIT and its reply; a
//   temporary failure (SMTP_END_BROKEN), whatever the codes;
// - a MAIL FROM or RCPT TO command longer than kMaxCommandLength: nothing of
//   it is sent; an error line "SMTP command ... not sent: ...", QUIT and its
//   reply (SMTP_END_BROKEN);
// - a write that fails: its reports, nothing more is sent.
// The time limit covers everything from connecting to the reply to QUIT;
// when it strikes, the step in progress fails with 10060 ("Timedout").
// With attachments (body_ready_from set) it counts, from the message on,
// only time without progress: each piece written and the reply to the end
// of data get the whole limit from the moment before them.
//
// SIZE (RFC 1870), when the EHLO reply lists it: MAIL FROM carries
// " SIZE=<n>", n the bytes sent between DATA's reply and the end-of-data
// marker. When SIZE names a limit (not 0) below n, the message is refused
// before MAIL FROM: the error line "Email not sent: the message is N bytes,
// over the server's limit of N bytes (SIZE)." and QUIT
// (SMTP_END_MESSAGE_REFUSED, code 552). HELO sessions carry no SIZE.
// When job.report is set it says which of these ended the delivery.
//
// With job.tls or job.user set the hello is always EHLO, and:
// - before connecting, an smtp_tls value not understood (TLS_INVALID), a
//   user without TLS, a user without a password or a password without a
//   user: an error line, nothing attempted;
// - TLS_IMPLICIT (RFC 8314): the TLS handshake comes first, the whole
//   dialogue runs inside it;
// - TLS_STARTTLS (RFC 3207): after EHLO, STARTTLS (2xx wanted), the
//   handshake, EHLO again; a server that does not list STARTTLS, or that
//   refuses it, gets QUIT and nothing else;
// - a handshake that fails (see tls_layer.h): an error line in words, the
//   connection is dropped without another byte;
// - a user: AUTH PLAIN after the (last) EHLO, or AUTH LOGIN when only that
//   is listed (RFC 4954); 235 wanted in the end. A server listing neither,
//   or refusing: an error line with its reply, QUIT. The AUTH data is
//   traced as kPasswordMask, and so is, in every reply line traced or
//   quoted in an error line, the password, its base64 and the AUTH PLAIN
//   argument, with or without "=" padding, wherever they stand.
// The time limit covers the handshake too.
int deliver_mail(const smtp_job& job, net_ops* net, bool* sockets_started);

// deliver_mail with the TLS layer to use; the one above uses platform_tls().
int deliver_mail(const smtp_job& job, net_ops* net, tls_layer* tls,
                 bool* sockets_started);

}  // namespace tarvelo
