#include "smtp/smtp_dialogue.h"
#include "smtp/smtp_dialogue_internal.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "smtp/wire_encoder.h"
#include "support/alloc.h"
#include "support/decimal.h"
#include "support/dyn_text.h"
#include "support/log.h"

namespace tarvelo {

namespace {

// RFC 5321 4.1.1.4: always CR LF, whatever line end the message uses.
constexpr char kEndOfData[] = "\r\n.\r\n";
constexpr int kEndOfDataSize = sizeof kEndOfData - 1;

// The reply code of a line: its first three characters as a number when all
// three are digits, else -1.
int reply_code_of(const char* line) {
  for (int i = 0; i < 3; ++i) {
    if (line[i] < '0' || line[i] > '9') return -1;
  }
  return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

bool is_positive(int code) { return code >= 200 && code <= 299; }

// Formats a command into the command buffer. Returns false when it does not
// fit whole: a cut "RCPT TO:<...@example.com.au>" would name another
// mailbox than the one the checks passed, so it is never sent.
bool format_command(char* out, const char* format, ...) TARVELO_PRINTF(2, 3);
bool format_command(char* out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int length = format_text_v(out, kCommandBufferSize - 1, format, args);
  va_end(args);
  return length >= 0 && length <= kMaxCommandLength;
}

// Records how the delivery ended for a caller that asked (job.report).
void note_end(smtp_report* report, smtp_end end, int code, const char* format,
              ...) TARVELO_PRINTF(4, 5);
void note_end(smtp_report* report, smtp_end end, int code, const char* format,
              ...) {
  if (report == nullptr) return;
  report->end = end;
  report->reply_code = code;
  va_list args;
  va_start(args, format);
  vsnprintf(report->reason, sizeof report->reason, format, args);
  va_end(args);
}

}  // namespace

// Reads a reply and checks its code: wanted 2 takes any 2xx, a full code
// (354, 334) only itself.
step_result check_reply(smtp_connection* c, int wanted) {
  if (!read_reply(c, FACE_REPLY)) return STEP_NO_REPLY;
  if (c->malformed) return STEP_MALFORMED;
  bool accepted = wanted >= 100 ? c->reply_code == wanted
                                : is_positive(c->reply_code);
  return accepted ? STEP_ACCEPTED : STEP_REFUSED;
}

// Sends one command and reads its reply (RFC 5321 4.3.2: 2xx wanted, 354
// for DATA).
step_result exchange(smtp_connection* c, const char* command, int wanted) {
  if (!sendr(c, command)) return STEP_NO_WRITE;
  return check_reply(c, wanted);
}

// Logs why the dialogue ends at the step named `what` and takes leave of
// the server as far as the connection still allows. Returns 0, the result
// of the delivery.
int end_dialogue(smtp_connection* c, step_result result, const char* what) {
  switch (result) {
    case STEP_REFUSED:
      log_event(LOG_ERRORS, "SMTP server refused %s: {%s}", what,
                c->final_line);
      // Noted before QUIT's reply takes the place of the refusing one.
      note_end(c->report,
               c->in_transaction ? SMTP_END_MESSAGE_REFUSED
                                 : SMTP_END_SESSION_REFUSED,
               c->reply_code, "%s refused: %s", what, c->final_line);
      // The server is listening: RFC 5321 4.1.1.10 wants QUIT and its reply.
      if (sendr(c, "QUIT")) read_reply(c, FACE_REPLY);
      break;
    case STEP_NO_REPLY:
      log_event(LOG_ERRORS, "SMTP server gave no complete reply to %s", what);
      note_end(c->report, SMTP_END_BROKEN, -1, "no complete reply to %s",
               what);
      // Whatever is still to come would arrive after the time limit or not
      // at all, so QUIT is sent without waiting for its answer.
      sendr(c, "QUIT");
      break;
    case STEP_NO_WRITE:
      note_end(c->report, SMTP_END_BROKEN, -1, "%s could not be written",
               what);
      break;
    case STEP_MALFORMED:
      // RFC 5321 4.2.1: every line of a reply carries the same code. Which
      // one the server meant is unknown, so the failure is temporary: a
      // spooled message stays queued.
      log_event(LOG_ERRORS,
                "SMTP server gave a malformed reply to %s (its lines carry "
                "different codes): {%s}",
                what, c->final_line);
      note_end(c->report, SMTP_END_BROKEN, -1, "malformed reply to %s: %s",
               what, c->final_line);
      if (sendr(c, "QUIT")) read_reply(c, FACE_REPLY);
      break;
    case STEP_TOO_LONG:
      log_event(LOG_ERRORS,
                "SMTP command %s not sent: it is longer than %d characters, "
                "and cut it would name another address. The mail is not "
                "sent.",
                what, kMaxCommandLength);
      note_end(c->report, SMTP_END_BROKEN, -1, "%s command too long", what);
      if (sendr(c, "QUIT")) read_reply(c, FACE_REPLY);
      break;
    case STEP_ACCEPTED:
      break;
  }
  return 0;
}

step_result read_greeting(smtp_connection* c) {
  if (!read_reply(c, FACE_GREETING)) return STEP_NO_REPLY;
  if (c->malformed) return STEP_MALFORMED;
  return is_positive(c->reply_code) ? STEP_ACCEPTED : STEP_REFUSED;
}

namespace {

// Writes one part of the message text (RFC 5321 4.5.2 transparency, 2.3.8
// line ends) and traces the text as composed. Returns 1 when all was
// written.
int write_message_part(smtp_connection* c, const char* text, char* wire) {
  size_t size = wire_encode(text, strlen(text), c->line_end, wire);
  wire[size] = '\0';
  int written = socket_write_all(c->net, c->socket, wire,
                                 static_cast<int>(size), c->deadline_ms);
  log_event(LOG_DEBUG, "SEND(%d): {%s\n}\n", c->socket, text);
  return written == static_cast<int>(size);
}

bool has_attachments(const smtp_job& job) {
  return job.body_ready_from != kNoReadyPart;
}

// The deadline of the next step: fixed for the whole dialogue, or, with
// attachments from the message on, the time limit from now.
void refresh_deadline(smtp_connection* c) {
  if (c->progress_ms > 0) c->deadline_ms = c->net->now_ms() + c->progress_ms;
}

// Writes size bytes straight from data, each piece as soon as the one
// before is taken: no pause (a big message would wait seconds for
// nothing), and the deadline counts from the last progress. Traces each
// piece as socket_write_all does, or as `shown`. Returns 1 when all was
// written, else 0 after report_socket_error.
int write_ready(smtp_connection* c, const char* data, size_t size,
                const char* shown) {
  size_t written = 0;
  while (written < size) {
    size_t left = size - written;
    int piece = left > (1u << 30) ? (1 << 30) : static_cast<int>(left);
    refresh_deadline(c);
    int taken = c->net->send(c->socket, data + written, piece, c->deadline_ms);
    if (taken <= 0) {
      report_socket_error(c->net, "Socket Error, could not write.");
      return 0;
    }
    if (shown != nullptr) {
      log_event(LOG_DEBUG, "SENT(%d): (%d/%lld bytes) {%s}", c->socket, taken,
                static_cast<long long>(size), shown);
    } else {
      log_event(LOG_DEBUG, "SENT(%d): (%d/%lld bytes) {%.*s}", c->socket,
                taken, static_cast<long long>(size), taken, data + written);
    }
    written += static_cast<size_t>(taken);
  }
  return 1;
}

// The trace of an attachment in place of its lines.
void format_attachment_trace(const smtp_attachment& a, char* out,
                             size_t room) {
  snprintf(out, room, "[attachment %s, %lld bytes]", a.name, a.bytes);
}

// The body as the trace shows it: the attachments' lines as their names.
// Built only when debug lines are written.
void trace_body(smtp_connection* c, const smtp_job& job, size_t body_size) {
  if (!log_level_enabled(log_logging(), LOG_DEBUG)) return;
  dyn_text* shown = dyn_text_new("");
  size_t pos = 0;
  char placeholder[kSmtpReasonSize];
  for (int i = 0; i < job.attachment_count; ++i) {
    const smtp_attachment& a = job.attachments[i];
    dyn_text_append_bytes(shown, job.body_text + pos,
                          static_cast<int>(a.start - pos));
    format_attachment_trace(a, placeholder, sizeof placeholder);
    dyn_text_append(shown, "%s", placeholder);
    pos = a.start + a.size;
  }
  dyn_text_append_bytes(shown, job.body_text + pos,
                        static_cast<int>(body_size - pos));
  log_event(LOG_DEBUG, "SEND(%d): {%s\n}\n", c->socket, shown->data);
  dyn_text_free(shown);
}

// Writes size bytes of text wire-encoded (RFC 5321 4.5.2 transparency, 2.3.8
// line ends) through write_ready. Returns 1 when all was written.
int write_encoded(smtp_connection* c, const char* text, size_t size,
                  char* wire) {
  size_t wire_size = wire_encode(text, size, c->line_end, wire);
  wire[wire_size] = '\0';
  return write_ready(c, wire, wire_size, nullptr);
}

// Rows 8 to 11 for a message with attachments: the header text and the
// body up to body_ready_from wire-encoded, the rest straight from the body
// text in pieces, so a big message is never copied again.
int write_message_with_attachments(smtp_connection* c, const smtp_job& job) {
  size_t header_size = strlen(job.header_text);
  size_t body_size = strlen(job.body_text);
  size_t ready = job.body_ready_from < body_size ? job.body_ready_from
                                                 : body_size;
  size_t larger = header_size > ready ? header_size : ready;
  char* wire = static_cast<char*>(
      malloc_or_fail(wire_encoded_max(larger) + 1, kNoMemoryStop));
  c->net->set_more_follows(true);
  int ok = write_encoded(c, job.header_text, header_size, wire);
  if (ok) {
    log_event(LOG_DEBUG, "SEND(%d): {%s\n}\n", c->socket, job.header_text);
  }
  ok = ok && write_ready(c, c->line_end, strlen(c->line_end), nullptr) &&
       write_encoded(c, job.body_text, ready, wire);
  free(wire);
  size_t pos = ready;
  char placeholder[kSmtpReasonSize];
  for (int i = 0; ok && i < job.attachment_count; ++i) {
    const smtp_attachment& a = job.attachments[i];
    format_attachment_trace(a, placeholder, sizeof placeholder);
    ok = write_ready(c, job.body_text + pos, a.start - pos, nullptr) &&
         write_ready(c, job.body_text + a.start, a.size, placeholder);
    pos = a.start + a.size;
  }
  ok = ok && write_ready(c, job.body_text + pos, body_size - pos, nullptr);
  if (ok) trace_body(c, job, body_size);
  c->net->set_more_follows(false);
  ok = ok && write_ready(c, kEndOfData, kEndOfDataSize, nullptr);
  return ok;
}

// Rows 8 to 11 of the dialogue: header text, the empty line, body text and
// the end-of-data marker. Returns 1 when all was written.
int write_message(smtp_connection* c, const smtp_job& job) {
  if (has_attachments(job)) return write_message_with_attachments(c, job);
  size_t header_size = strlen(job.header_text);
  size_t body_size = strlen(job.body_text);
  size_t larger = header_size > body_size ? header_size : body_size;
  // One buffer serves both texts, since each is written before the next is
  // encoded.
  char* wire = static_cast<char*>(
      malloc_or_fail(wire_encoded_max(larger) + 1, kNoMemoryStop));
  int line_end_size = static_cast<int>(strlen(c->line_end));
  c->net->set_more_follows(true);
  int ok = write_message_part(c, job.header_text, wire) &&
           socket_write_all(c->net, c->socket, c->line_end, line_end_size,
                            c->deadline_ms) == line_end_size &&
           write_message_part(c, job.body_text, wire);
  c->net->set_more_follows(false);
  ok = ok && socket_write_all(c->net, c->socket, kEndOfData, kEndOfDataSize,
                              c->deadline_ms) == kEndOfDataSize;
  free(wire);
  return ok;
}

// RFC 1870 3: the message's size as it goes between DATA's reply and the
// end-of-data marker.
long long message_wire_size(const smtp_job& job, const char* line_end) {
  size_t header_size = strlen(job.header_text);
  size_t body_size = strlen(job.body_text);
  size_t ready = job.body_ready_from < body_size ? job.body_ready_from
                                                 : body_size;
  size_t total = wire_encoded_size(job.header_text, header_size, line_end) +
                 strlen(line_end) +
                 wire_encoded_size(job.body_text, ready, line_end) +
                 (body_size - ready);
  return static_cast<long long>(total);
}

// Announces one further recipient. A refusal is logged and the message
// still goes to the others. Returns STEP_ACCEPTED unless the dialogue has to
// end.
step_result add_copy_recipient(smtp_connection* c, const char* address,
                               const char* kind, char* command) {
  if (address == nullptr) return STEP_ACCEPTED;
  if (!format_command(command, "RCPT TO:<%s>", address)) {
    // The error line names the step, never a cut address.
    strcpy(command, "RCPT TO");
    return STEP_TOO_LONG;
  }
  step_result result = exchange(c, command, 2);
  if (result == STEP_REFUSED) {
    log_event(LOG_ERRORS,
              "SMTP server refused the %s recipient, sending to the others: "
              "%s {%s}",
              kind, command, c->final_line);
    return STEP_ACCEPTED;
  }
  return result;
}

bool has_text(const char* text) { return text != nullptr && *text != '\0'; }

// Whether the dialogue needs what the server lists in its EHLO reply.
bool needs_capabilities(const smtp_job& job) {
  return job.tls == TLS_STARTTLS || has_text(job.user);
}

// Takes leave of a server that is still listening, after an error line that
// said why: QUIT and its reply (RFC 5321 4.1.1.10). Returns 0.
int quit_after(smtp_connection* c, int code, const char* reason) {
  note_end(c->report, SMTP_END_SESSION_REFUSED, code, "%s", reason);
  if (sendr(c, "QUIT")) read_reply(c, FACE_REPLY);
  return 0;
}

}  // namespace

// Says hello, noting the server's capabilities in *caps. EHLO whenever TLS
// or AUTH is asked for, since both need to know what the server offers.
// Returns how it went; *hello is the command the reply answers.
step_result say_hello(smtp_connection* c, const smtp_job& job,
                      ehlo_capabilities* caps, const char** hello) {
  bool ehlo = job.hello_method == HELLO_EHLO || job.tls != TLS_NONE ||
              has_text(job.user);
  *hello = ehlo ? "EHLO TARVELO" : "HELO TARVELO";
  *caps = ehlo_capabilities();
  c->size_listed = false;
  c->size_limit = 0;
  c->capabilities = caps;
  step_result result = exchange(c, *hello, 2);
  c->capabilities = nullptr;
  if (result == STEP_REFUSED && ehlo && !needs_capabilities(job) &&
      c->reply_code >= 500 && c->reply_code <= 599) {
    // RFC 5321 3.2: a server that does not know EHLO is greeted with HELO.
    log_event(LOG_DEBUG, "SMTP server refused EHLO, saying HELO instead: {%s}",
              c->final_line);
    *hello = "HELO TARVELO";
    result = exchange(c, *hello, 2);
  }
  return result;
}

// Runs the TLS handshake on the connection and moves it onto the secured
// net. Returns 1, or 0 after the error line; the connection is then dropped
// without another byte, since the server expects TLS records now.
int secure_connection(smtp_connection* c, const smtp_job& job,
                      tls_layer* tls, const char* host) {
  tls_outcome outcome;
  net_ops* secured = tls->secure(c->net, c->socket, host, job.tls_ca,
                                 c->deadline_ms, &outcome);
  if (secured == nullptr) {
    report_tls_failure(outcome, host, job.tls_ca);
    note_end(c->report, SMTP_END_SESSION_REFUSED, -1, "%s: %s",
             tls_failure_name(outcome.failure), outcome.detail);
    return 0;
  }
  c->net = secured;
  return 1;
}

// RFC 3207 4: STARTTLS, and the handshake after its 220. Never falls back
// to plain text. Returns 1 when the connection is secured, else 0 with the
// dialogue ended.
int start_tls(smtp_connection* c, const smtp_job& job, tls_layer* tls,
              const char* host, const ehlo_capabilities& caps) {
  if (!caps.starttls) {
    log_event(LOG_ERRORS,
              "STARTTLS not offered by the SMTP server (%s): the mail is not "
              "sent, since smtp_tls starttls never sends it without TLS.",
              host);
    return quit_after(c, -1, "STARTTLS not offered");
  }
  step_result result = exchange(c, "STARTTLS", 2);
  if (result != STEP_ACCEPTED) return end_dialogue(c, result, "STARTTLS");
  return secure_connection(c, job, tls, host);
}

namespace {

// Sends a command carrying AUTH data, traced as `shown`, and checks the
// reply against wanted.
step_result exchange_secret(smtp_connection* c, const char* command,
                            const char* shown, int wanted) {
  if (!sendr_secret(c, command, shown)) return STEP_NO_WRITE;
  return check_reply(c, wanted);
}

// Keeps text as AUTH data of the connection, to be masked wherever it
// would be shown; freed by forget_secrets.
char* keep_secret(smtp_connection* c, char* text) {
  c->secrets[c->secret_count++] = text;
  return text;
}

}  // namespace

void forget_secrets(smtp_connection* c) {
  for (int i = 0; i < c->secret_count; ++i) {
    char* text = const_cast<char*>(c->secrets[i]);
    memset(text, 0, strlen(text));
    free(text);
    c->secrets[i] = nullptr;
  }
  c->secret_count = 0;
}

namespace {

// A new heap copy of text without the "=" padding at its end.
char* without_padding(const char* text) {
  size_t size = strlen(text);
  while (size > 0 && text[size - 1] == '=') --size;
  return copy_or_fail(text, size, kNoMemoryStop);
}

}  // namespace

// Keeps every form the job's password takes on the wire as a secret of the
// connection, before the first reply is read: the password itself, its
// base64 (AUTH LOGIN) and the AUTH PLAIN argument, each also without its
// "=" padding, since a server quoting them need not keep it. The user's
// base64 alone is no secret.
void keep_password_forms(smtp_connection* c, const smtp_job& job) {
  if (!has_text(job.password)) return;
  keep_secret(c, copy_text_or_fail(job.password, kNoMemoryStop));
  const char* encoded = keep_secret(c, base64_text(job.password));
  keep_secret(c, without_padding(encoded));
  if (!has_text(job.user)) return;
  const char* plain =
      keep_secret(c, auth_plain_argument(job.user, job.password));
  keep_secret(c, without_padding(plain));
}

// RFC 4954: logs in with the job's user and password, by PLAIN (RFC 4616,
// the initial response in the AUTH command) or else LOGIN (the user and the
// password each answering a 334 challenge). Returns 1 after 2xx (235), else
// 0 with the dialogue ended.
int authenticate(smtp_connection* c, const smtp_job& job,
                 const ehlo_capabilities& caps) {
  if (!caps.auth_plain && !caps.auth_login) {
    log_event(LOG_ERRORS,
              "SMTP authentication not possible: the server offers neither "
              "AUTH PLAIN nor AUTH LOGIN, so smtp_user %s cannot log in; the "
              "mail is not sent.",
              job.user);
    return quit_after(c, -1, "no AUTH PLAIN or AUTH LOGIN offered");
  }
  step_result result;
  const char* step = "AUTH LOGIN";
  if (caps.auth_plain) {
    step = "AUTH PLAIN";
    const char* argument =
        keep_secret(c, auth_plain_argument(job.user, job.password));
    size_t size = strlen("AUTH PLAIN ") + strlen(argument) + 1;
    char* command = static_cast<char*>(malloc_or_fail(size, kNoMemoryStop));
    keep_secret(c, command);
    snprintf(command, size, "AUTH PLAIN %s", argument);
    result = exchange_secret(c, command, "AUTH PLAIN ********", 2);
  } else {
    result = exchange(c, "AUTH LOGIN", 334);
    if (result == STEP_ACCEPTED) {
      result = exchange_secret(c, keep_secret(c, base64_text(job.user)),
                               kPasswordMask, 334);
    }
    if (result == STEP_ACCEPTED) {
      result = exchange_secret(c, keep_secret(c, base64_text(job.password)),
                               kPasswordMask, 2);
    }
  }
  if (result == STEP_ACCEPTED) {
    log_event(LOG_DEBUG, "SMTP authentication accepted for smtp_user %s",
              job.user);
    return 1;
  }
  if (result != STEP_REFUSED) return end_dialogue(c, result, step);
  log_event(LOG_ERRORS,
            "SMTP authentication refused for smtp_user %s (%s): {%s}",
            job.user, step, c->final_line);
  return quit_after(c, c->reply_code, "authentication refused");
}

namespace {

int run_dialogue(smtp_connection* c, const smtp_job& job, tls_layer* tls,
                 const char* host) {
  char command[kCommandBufferSize];

  step_result result = read_greeting(c);
  if (result != STEP_ACCEPTED) return end_dialogue(c, result, "the connection");

  // RFC 5321 4.3.1: every command waits for the reply to the one before.
  ehlo_capabilities caps;
  const char* hello = nullptr;
  result = say_hello(c, job, &caps, &hello);
  if (result != STEP_ACCEPTED) return end_dialogue(c, result, hello);

  if (job.tls == TLS_STARTTLS) {
    if (!start_tls(c, job, tls, host, caps)) return 0;
    // RFC 3207 4.2: what the server said before TLS is forgotten; it is
    // asked again.
    result = say_hello(c, job, &caps, &hello);
    if (result != STEP_ACCEPTED) return end_dialogue(c, result, hello);
  }
  if (has_text(job.user) && !authenticate(c, job, caps)) return 0;

  c->in_transaction = true;
  char size_parameter[40] = "";
  if (c->size_listed) {
    long long size = message_wire_size(job, c->line_end);
    if (c->size_limit > 0 && size > c->size_limit) {
      log_event(LOG_ERRORS,
                "Email not sent: the message is %lld bytes, over the "
                "server's limit of %lld bytes (SIZE).",
                size, c->size_limit);
      note_end(c->report, SMTP_END_MESSAGE_REFUSED, 552,
               "the message is %lld bytes, over the server's limit of %lld "
               "bytes",
               size, c->size_limit);
      if (sendr(c, "QUIT")) read_reply(c, FACE_REPLY);
      return 0;
    }
    snprintf(size_parameter, sizeof size_parameter, " SIZE=%lld", size);
  }
  if (!format_command(command, "MAIL FROM:<%s>%s", job.from,
                      size_parameter)) {
    return end_dialogue(c, STEP_TOO_LONG, "MAIL FROM");
  }
  result = exchange(c, command, 2);
  if (result != STEP_ACCEPTED) return end_dialogue(c, result, command);

  if (!format_command(command, "RCPT TO:<%s>", job.to)) {
    return end_dialogue(c, STEP_TOO_LONG, "RCPT TO");
  }
  result = exchange(c, command, 2);
  if (result != STEP_ACCEPTED) return end_dialogue(c, result, command);

  result = add_copy_recipient(c, job.bcc, "BCC", command);
  if (result != STEP_ACCEPTED) return end_dialogue(c, result, command);
  result = add_copy_recipient(c, job.cc, "CC", command);
  if (result != STEP_ACCEPTED) return end_dialogue(c, result, command);

  result = exchange(c, "DATA", 354);
  if (result != STEP_ACCEPTED) return end_dialogue(c, result, "DATA");

  // A big message takes as long as the line allows; what must not pass is
  // the time limit without progress.
  if (has_attachments(job)) c->progress_ms = c->timeout_ms;

  if (!write_message(c, job)) {
    note_end(c->report, SMTP_END_BROKEN, -1,
             "the message could not be written");
    return 0;
  }
  refresh_deadline(c);
  result = check_reply(c, 2);
  if (result != STEP_ACCEPTED) return end_dialogue(c, result, "the message");
  refresh_deadline(c);

  // The message is accepted; what QUIT brings changes nothing.
  note_end(c->report, SMTP_END_ACCEPTED, c->reply_code, "accepted: %s",
           c->final_line);
  if (sendr(c, "QUIT")) read_reply(c, FACE_REPLY);
  return 1;
}

}  // namespace

char* split_server_text(const char* server, int* port) {
  const char* colon = strchr(server, ':');
  size_t host_size = colon ? static_cast<size_t>(colon - server)
                           : strlen(server);
  char* host = copy_or_fail(server, host_size, kNoMemoryStop);

  *port = kDefaultSmtpPort;
  if (colon == nullptr) return host;
  const char* p = colon + 1;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  // The low 16 bits of the number however long it is: 2^16 divides the
  // 2^64 the digits are counted modulo.
  unsigned value =
      static_cast<unsigned>(read_decimal(p, kNoDecimalLimit).value & 0xffffu);
  if (negative) value = (0x10000u - value) & 0xffffu;
  *port = static_cast<int>(value);
  return host;
}

void note_size_line(const char* line, size_t size, int lines,
                    smtp_connection* c) {
  if (size > 0 && line[size - 1] == '\r') --size;
  if (lines == 0 || size < 8 || strncmp(line, "250", 3) != 0 ||
      (line[3] != '-' && line[3] != ' ') || strncasecmp(line + 4, "SIZE", 4) != 0) {
    return;
  }
  if (size > 8 && line[8] != ' ') return;  // another keyword, SIZEX
  c->size_listed = true;
  c->size_limit = 0;
  const char* p = line + 8;
  const char* end = line + size;
  while (p < end && *p == ' ') ++p;
  long long limit = 0;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) {
    // A limit past what any message here reaches counts as none.
    if (limit > (1LL << 50)) return;
    limit = limit * 10 + (*p - '0');
  }
  c->size_limit = limit;
}

int read_reply(smtp_connection* c, reply_face face) {
  char* area = c->area;
  int held = 0;      // bytes in the area
  int examined = 0;  // bytes of complete lines already traced
  int dropped = 0;   // bytes of this reply dropped from the area's front
  char* final_line = nullptr;
  // The code of the reply's first line, to hold every later line to it.
  char first_code[4] = "";
  bool first_seen = false;
  c->final_line = "";
  c->reply_code = -1;
  c->malformed = false;
  area[0] = '\0';

  for (;;) {
    if (held == kReplyAreaSize) {
      // A single line longer than the area.
      report_socket_error(c->net, "TCPdoread failed");
      return 0;
    }
    int n = c->net->recv(c->socket, area + held, kReplyAreaSize - held,
                         c->deadline_ms);
    if (n <= 0) {
      report_socket_error(c->net, "TCPdoread failed");
      return 0;
    }
    held += n;
    area[held] = '\0';

    char* line_feed;
    while ((line_feed = static_cast<char*>(
                memchr(area + examined, '\n', held - examined))) != nullptr) {
      char* line = area + examined;
      *line_feed = '\0';
      // Bytes after the reply's last line are no part of it.
      if (c->capabilities != nullptr && final_line == nullptr) {
        note_size_line(line, static_cast<size_t>(line_feed - line),
                       c->capabilities->lines, c);
        note_ehlo_line(line, static_cast<size_t>(line_feed - line),
                       c->capabilities);
      }
      const char* shown = line;
      if (c->secret_count > 0 &&
          mask_secrets(line, c->secrets, c->secret_count, c->masked_line,
                       sizeof c->masked_line)) {
        shown = c->masked_line;
      }
      if (face == FACE_GREETING) {
        log_event(LOG_DEBUG, "RECV(%d): {%s}\n", c->socket, shown);
      } else {
        log_event(LOG_DEBUG, "RECV(%d):[%d] {%s}\n", c->socket,
                  dropped + static_cast<int>(line_feed - area), shown);
      }
      if (final_line == nullptr) {
        // RFC 5321 4.2.1: each line of a multi-line reply carries the same
        // code.
        if (!first_seen) {
          strncpy(first_code, line, 3);
          first_seen = true;
        } else if (strncmp(line, first_code, 3) != 0) {
          c->malformed = true;
        }
        // "-" after the code marks a line that is not the last.
        if (strlen(line) < 4 || line[3] != '-') final_line = line;
      }
      examined = static_cast<int>(line_feed - area) + 1;
    }
    if (final_line != nullptr) {
      char* end = final_line + strlen(final_line);
      if (end > final_line && end[-1] == '\r') end[-1] = '\0';
      c->final_line = final_line;
      c->reply_code = c->malformed ? -1 : reply_code_of(final_line);
      // A server that echoes AUTH data must not put it into the error line
      // that quotes its reply.
      if (c->secret_count > 0 &&
          mask_secrets(final_line, c->secrets, c->secret_count,
                       c->masked_line, sizeof c->masked_line)) {
        c->final_line = c->masked_line;
      }
      return 1;
    }
    // Lines already traced make room for the rest of a long reply.
    if (examined > 0) {
      memmove(area, area + examined, static_cast<size_t>(held - examined));
      dropped += examined;
      held -= examined;
      examined = 0;
      area[held] = '\0';
    }
  }
}

int sendr(smtp_connection* c, const char* command) {
  return sendr_secret(c, command, nullptr);
}

int sendr_secret(smtp_connection* c, const char* command, const char* shown) {
  log_event(LOG_DEBUG, "SEND(%d): {%s\n}\n", c->socket,
            shown ? shown : command);
  int size = static_cast<int>(strlen(command));
  c->net->set_more_follows(true);
  int written = size > 0 ? socket_write_shown(c->net, c->socket, command, size,
                                              c->deadline_ms, shown)
                         : 0;
  c->net->set_more_follows(false);
  if (written < size) {
    report_socket_error(c->net, "TCPwrite failed in sendr(1)");
    return 0;
  }
  int line_end_size = static_cast<int>(strlen(c->line_end));
  if (socket_write_all(c->net, c->socket, c->line_end, line_end_size,
                       c->deadline_ms) < line_end_size) {
    report_socket_error(c->net, "TCPwrite failed in sendr(2)");
    return 0;
  }
  return 1;
}

int check_security_settings(const smtp_job& job) {
  const char* why = nullptr;
  if (job.tls == TLS_INVALID) {
    why = "smtp_tls is neither starttls nor implicit, and the mail is never "
          "sent in plain text instead";
  } else if (has_text(job.user) && !has_text(job.password)) {
    why = "smtp_user is set without smtp_password";
  } else if (!has_text(job.user) && has_text(job.password)) {
    why = "smtp_password is set without smtp_user";
  } else if (has_text(job.user) && job.tls == TLS_NONE) {
    why = "smtp_user is set without smtp_tls, and a password is never sent "
          "without TLS (add smtp_tls starttls or smtp_tls implicit)";
  }
  if (why == nullptr) return 1;
  log_event(LOG_ERRORS, "No mail sent: %s.", why);
  note_end(job.report, SMTP_END_SESSION_REFUSED, -1, "%s", why);
  return 0;
}

int deliver_mail(const smtp_job& job, net_ops* net, bool* started) {
  return deliver_mail(job, net, platform_tls(), started);
}

char* open_connection(const smtp_job& job, net_ops* net, bool* started,
                      smtp_connection* c) {
  if (job.server == nullptr) {
    note_end(job.report, SMTP_END_NO_SERVER, -1, "no smtp setting");
    log_event(LOG_ERRORS,
              "No smtp setting in the ini file: there is no server to send "
              "the email to.");
    return nullptr;
  }
  if (!check_security_settings(job)) return nullptr;
  int port = kDefaultSmtpPort;
  char* host = split_server_text(job.server, &port);
  if (!*started) {
    winsock_start(net);
    *started = true;
  }
  int seconds =
      job.timeout_seconds > 0 ? job.timeout_seconds : kDefaultSmtpTimeout;
  c->net = net;
  c->line_end = job.line_end;
  c->report = job.report;
  c->timeout_ms = static_cast<long long>(seconds) * 1000;
  c->deadline_ms = net->now_ms() + c->timeout_ms;
  c->socket = connect_to_server(net, host, port, c->deadline_ms);
  if (c->socket == -1) {
    log_event(LOG_ERRORS, "SMTP email server (%s) did not respond.\n", host);
    note_end(job.report, SMTP_END_NO_CONNECTION, -1,
             "the SMTP email server (%s) did not respond", host);
    free(host);
    return nullptr;
  }
  keep_password_forms(c, job);
  return host;
}

int deliver_mail(const smtp_job& job, net_ops* net, tls_layer* tls,
                 bool* started) {
  smtp_connection c;
  char* host = open_connection(job, net, started, &c);
  if (host == nullptr) return 0;
  int delivered = 0;
  // RFC 8314 3.3: implicit TLS, the handshake before any SMTP byte.
  if (job.tls != TLS_IMPLICIT || secure_connection(&c, job, tls, host)) {
    delivered = run_dialogue(&c, job, tls, host);
  }
  // A resend delivers many messages in one process: each connection ends
  // here, so their sockets never pile up to the process's limit.
  net->close_socket(c.socket);
  forget_secrets(&c);
  free(host);
  return delivered;
}

}  // namespace tarvelo
