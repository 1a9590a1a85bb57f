// A trial of the mail server a run would deliver to: the dialogue of a
// delivery up to the recipients, without a message. A site owner learns
// that the server, its certificate, the login and the recipients are
// accepted before a visitor's mail depends on them.
//
// State owned here: none.
#pragma once

#include <string>
#include <vector>

#include "smtp/smtp_dialogue.h"
#include "smtp/socket_layer.h"
#include "smtp/tls_layer.h"

namespace tarvelo {

// One step of a probe and how it went.
struct probe_step {
  std::string step;  // "connect", "greeting", "hello", "tls", "starttls",
                     // "auth", "mail from", "rcpt to <addr>", "rset", "quit"
  bool ok = false;
  std::string detail;  // the server's reply line, or the failure in words
};

// Probes the server of job (server, smtp_tls, user and password, time limit,
// hello method, as deliver_mail uses them) over net, securing with tls:
// connect, greeting, hello, STARTTLS and the certificate (or, with
// TLS_IMPLICIT, the handshake as step "tls" right after "connect"), AUTH,
// MAIL FROM:<job.from>, RCPT TO for each of recipients in order (a refused
// recipient is noted and the next one still asked), then RSET and QUIT.
// job.to, bcc, cc, the header and body texts are not read. Never sends DATA.
// The password never appears in a step's detail nor in a log line (replies
// that echo it are masked as in a delivery).
//
// Appends one probe_step per step taken to *steps; a step that fails ends
// the probe, except a refused recipient, and the server is left as a
// delivery leaves it at that step (QUIT when it is still listening; that
// QUIT is no step of its own). Settings a delivery would refuse
// (no server, TLS_INVALID, user without password ...) give one failed step
// "connect" with the reason and no connection. Log lines go through
// log_event as a delivery's do (the dialogue's trace at LOG_DEBUG, errors at
// LOG_ERRORS); a caller that writes nothing points the log nowhere first.
// Starts the sockets layer unless *sockets_started (then sets it).
// Returns true when every step succeeded.
bool probe_mail_server(const smtp_job& job,
                       const std::vector<std::string>& recipients, net_ops* net,
                       tls_layer* tls, bool* sockets_started,
                       std::vector<probe_step>* steps);

}  // namespace tarvelo
