// The SMTP dialogue's own pieces below deliver_mail: the open connection,
// reading one reply, writing one command, the server text split, and the
// steps before the mail transaction (hello, STARTTLS, AUTH) that the server
// probe shares with a delivery. Only smtp_dialogue.cc, smtp_probe.cc, their
// unit tests and the fuzz targets that drive read_reply include this header;
// everyone else delivers through smtp_dialogue.h.
#pragma once

#include "smtp/smtp_auth.h"
#include "smtp/smtp_dialogue.h"
#include "smtp/socket_layer.h"
#include "smtp/tls_layer.h"

namespace tarvelo {

// Splits a server text into a new heap copy of the host (the text before the
// first ":", or all of it) and the port: 25 without ":", else the decimal
// number at the start of the text after it (leading white space skipped, an
// optional sign, digits up to the first other character; no digits give 0),
// taken as a 16-bit value. On allocation failure:
// fail_with_page("Unable to malloc memory.").
char* split_server_text(const char* server, int* port);

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
  // RFC 1870, from the last EHLO reply: SIZE listed, and its limit (0:
  // none named).
  bool size_listed = false;
  long long size_limit = 0;
  // With attachments: each write and read gets the time limit afresh.
  long long progress_ms = 0;  // 0: the deadline is fixed
  long long timeout_ms = 0;   // the job's time limit
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

// Notes one line of an EHLO reply (size bytes, no line feed) in c: a later
// line "250-SIZE" or "250 SIZE", with or without a number after a blank,
// sets size_listed and size_limit. The first line names the server;
// lines is the count of lines of the reply noted before this one.
void note_size_line(const char* line, size_t size, int lines,
                    smtp_connection* c);

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

// How one step of the dialogue went.
enum step_result {
  STEP_ACCEPTED,
  STEP_REFUSED,    // a complete reply with another code than wanted
  STEP_NO_REPLY,   // the reply could not be read
  STEP_NO_WRITE,   // the command could not be written
  STEP_MALFORMED,  // a reply whose lines carry different codes
  STEP_TOO_LONG,   // the command does not fit the command buffer
};

// Reads a reply and checks its code: wanted 2 takes any 2xx, a full code
// (354, 334) only itself.
step_result check_reply(smtp_connection* connection, int wanted);

// Sends one command and reads its reply (check_reply).
step_result exchange(smtp_connection* connection, const char* command,
                     int wanted);

// Reads the server's greeting (RFC 5321 4.3.1: 2xx wanted).
step_result read_greeting(smtp_connection* connection);

// Logs why the dialogue ends at the step named `what` (an error line with
// the server's reply, notes the end in the job's report) and takes leave of
// the server as far as the connection still allows: QUIT and its reply
// after a refusal or a malformed reply, QUIT alone after a reply that could
// not be read, nothing after a failed write. Returns 0.
int end_dialogue(smtp_connection* connection, step_result result,
                 const char* what);

// Settings that cannot work end a delivery before anything is sent: a TLS
// mode not understood must not become plain text, and a password is only
// ever sent inside TLS. Returns 1 when the job may go ahead, else 0 after
// the error line "No mail sent: <why>." (and the job's report).
int check_security_settings(const smtp_job& job);

// Everything before the first byte on the connection: the server setting
// and check_security_settings (error line when not usable), the sockets
// layer started unless *started, the connection made within the job's time
// limit ("SMTP email server (%s) did not respond.\n" when not), and the
// password's forms kept as secrets of *connection. Returns the lower-cased
// host as a heap text the caller frees, with *connection open; nullptr when
// nothing is open. The caller closes the socket on net and calls
// forget_secrets.
char* open_connection(const smtp_job& job, net_ops* net, bool* started,
                      smtp_connection* connection);

// Wipes and frees the secrets kept on the connection.
void forget_secrets(smtp_connection* connection);

// Says hello (EHLO whenever TLS or AUTH is asked for; HELO again after a
// 5xx to EHLO when neither is), noting the server's capabilities in *caps
// and the SIZE extension on the connection. Returns how it went; *hello is
// the command the last reply answers. Does not end the dialogue.
step_result say_hello(smtp_connection* connection, const smtp_job& job,
                      ehlo_capabilities* caps, const char** hello);

// Runs the TLS handshake on the connection and moves it onto the secured
// net. Returns 1, or 0 after the error line and the job's report; the
// connection is then to be dropped without another byte.
int secure_connection(smtp_connection* connection, const smtp_job& job,
                      tls_layer* tls, const char* host);

// RFC 3207: STARTTLS when caps lists it, and the handshake after its 2xx.
// Returns 1 when the connection is secured, else 0 with the dialogue ended
// (an error line, QUIT when the server is still listening).
int start_tls(smtp_connection* connection, const smtp_job& job,
              tls_layer* tls, const char* host,
              const ehlo_capabilities& caps);

// RFC 4954: AUTH PLAIN, else AUTH LOGIN, with the job's user and password,
// the AUTH data traced as kPasswordMask. Returns 1 after 235, else 0 with
// the dialogue ended (an error line, QUIT when the server is still
// listening).
int authenticate(smtp_connection* connection, const smtp_job& job,
                 const ehlo_capabilities& caps);

}  // namespace tarvelo
