// The SMTP dialogue: delivers one composed message over one connection.
//
// State owned here: sockets_started, the once-only start of the sockets
// layer (set by the first delivery of the process, never cleared).
#pragma once

#include "config/ini_reader.h"
#include "smtp/socket_layer.h"

namespace tarvelo {

// Delivers the message to the server of the `smtp` setting (host, optionally
// ":" and a port; port 25 otherwise), announcing from, to, and the envelope's
// BCC and CC addresses as further recipients. Reads the_mail_settings (line
// end, hello method, time limit) and the_envelope. Returns 1 when the server
// accepted the end of data, 0 otherwise (no connection, a refused step, a
// failed write or read, the time limit, no server text).
int smtp_send_mail(const char* server, const char* from, const char* to,
                   const char* header_text, const char* body_text);

constexpr int kCommandBufferSize = 10000;  // a command holds 9998 characters
constexpr int kReplyAreaSize = 1000;
constexpr int kDefaultSmtpPort = 25;

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
// - a write that fails: its reports, nothing more is sent.
// The time limit covers everything from connecting to the reply to QUIT;
// when it strikes, the step in progress fails with 10060 ("Timedout").
int deliver_mail(const smtp_job& job, net_ops* net, bool* sockets_started);

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
};

// Who a read is for; only the trace line differs.
enum reply_face {
  FACE_GREETING,  // "RECV(%d): {%s}\n"
  FACE_REPLY,     // "RECV(%d):[%d] {%s}\n" with the offset of the line feed
};

// Reads one reply: receives until a line arrives whose fourth character is
// not "-" (or that is shorter than four characters), tracing every complete
// line received at LOG_DEBUG, and fills final_line and reply_code. Complete
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

}  // namespace tarvelo
