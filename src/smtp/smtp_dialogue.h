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

// Everything one delivery reads.
struct smtp_job {
  const char* server = nullptr;  // host[:port]; null when there is none
  const char* from = nullptr;
  const char* to = nullptr;
  const char* bcc = nullptr;  // null when the envelope has none
  const char* cc = nullptr;   // null when the envelope has none
  const char* header_text = "";
  const char* body_text = "";
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

// Splits a server text into a new heap copy of the host (the text before the
// first ":", or all of it) and the port: 25 without ":", else the decimal
// number at the start of the text after it (leading white space skipped, an
// optional sign, digits up to the first other character; no digits give 0),
// taken as a 16-bit value. On allocation failure:
// fail_with_page("Unable to malloc memory.").
char* split_server_text(const char* server, int* port);

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

// One open connection of a delivery.
struct smtp_connection {
  net_ops* net = nullptr;
  int socket = -1;
  long long deadline_ms = 0;
  const char* line_end = "\r\n";
  // The reply area of the last read: the received lines, each cut at its
  // line feed. final_line points at the line that ended the reply, without
  // its carriage return; reply_code is its code (-1 when it has none).
  char area[kReplyAreaSize + 1];
  const char* final_line = "";
  int reply_code = -1;
  smtp_report* report = nullptr;  // the job's, or null
  bool in_transaction = false;    // set once MAIL FROM is about to be sent
  // When set, read_reply notes every line it receives in it.
  ehlo_capabilities* capabilities = nullptr;
  // The password in each form it may take on this connection (as it is, its
  // base64 and the AUTH PLAIN argument, each with and without "=" padding)
  // and the AUTH data sent. Should a server echo any of them, read_reply
  // shows it as kPasswordMask in its trace lines and in final_line, and so
  // in every error line that quotes a reply. Heap copies, wiped and freed
  // when the delivery ends.
  static constexpr int kMaxSecrets = 10;  // 7 at most are kept
  const char* secrets[kMaxSecrets] = {};
  int secret_count = 0;
  // Set by read_reply when the lines of the reply carry different codes;
  // reply_code is then -1.
  bool malformed = false;
  char masked_line[2 * kReplyAreaSize + 1];  // final_line when masked
};

// Who a read is for; only the trace line differs.
enum reply_face {
  FACE_GREETING,  // "RECV(%d): {%s}\n"
  FACE_REPLY,     // "RECV(%d):[%d] {%s}\n" with the offset of the line feed
};

// Reads one reply: receives until a line arrives whose fourth character is
// not "-" (or that is shorter than four characters), tracing every complete
// line received at LOG_DEBUG, and fills final_line, reply_code and
// malformed (the reply's lines do not all begin with the same three
// characters; reply_code is then -1). Complete
// lines that do not end the reply are dropped when the area runs full, so a
// long multi-line reply is read to its end; logged offsets count from the
// first byte of the reply. Returns 1 when the reply was complete; 0 after
// report_socket_error("TCPdoread failed") when the connection closed, a
// receive failed or the deadline passed, or a single line filled all 1000
// bytes.
int read_reply(smtp_connection* connection, reply_face face);

// Writes command and the line end, after the trace "SEND(%d): {%s\n}\n".
// Returns 1 when both were written; 0 after report_socket_error with
// "TCPwrite failed in sendr(1)" (the command; the line end is then not
// written) or "TCPwrite failed in sendr(2)" (the line end).
int sendr(smtp_connection* connection, const char* command);

// sendr for a command that carries AUTH data: the SEND and SENT trace lines
// show `shown` in place of the command.
int sendr_secret(smtp_connection* connection, const char* command,
                 const char* shown);

}  // namespace tarvelo
