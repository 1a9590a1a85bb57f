#include "smtp/smtp_probe.h"

#include <cstdio>
#include <cstdlib>

#include "smtp/smtp_dialogue_internal.h"

namespace tarvelo {

namespace {

void add_step(std::vector<probe_step>* steps, std::string step, bool ok,
              std::string detail) {
  steps->push_back(probe_step{std::move(step), ok, std::move(detail)});
}

// A failed step's detail: how the dialogue noted its end, with the code of
// the refusing reply when there was one.
std::string failure_detail(const smtp_report& report) {
  std::string detail = report.reason;
  if (report.reply_code > 0 &&
      detail.find(std::to_string(report.reply_code)) == std::string::npos) {
    detail += " (reply " + std::to_string(report.reply_code) + ")";
  }
  return detail;
}

// The dialogue of a probe on an open connection. Returns true when every
// step succeeded; a step that ends the dialogue has taken leave of the
// server as a delivery would (end_dialogue).
bool run_probe(smtp_connection* c, const smtp_job& job,
               const std::vector<std::string>& recipients, tls_layer* tls,
               const char* host, std::vector<probe_step>* steps) {
  const smtp_report& report = *c->report;
  // RFC 8314 3.3: implicit TLS, the handshake before any SMTP byte.
  if (job.tls == TLS_IMPLICIT) {
    bool secured = secure_connection(c, job, tls, host) == 1;
    add_step(steps, "tls", secured,
             secured ? "TLS handshake done, certificate accepted"
                     : failure_detail(report));
    if (!secured) return false;
  }
  step_result result = read_greeting(c);
  if (result != STEP_ACCEPTED) {
    end_dialogue(c, result, "the connection");
    add_step(steps, "greeting", false, failure_detail(report));
    return false;
  }
  add_step(steps, "greeting", true, c->final_line);

  ehlo_capabilities caps;
  const char* hello = nullptr;
  result = say_hello(c, job, &caps, &hello);
  if (result != STEP_ACCEPTED) {
    end_dialogue(c, result, hello);
    add_step(steps, "hello", false, failure_detail(report));
    return false;
  }
  add_step(steps, "hello", true, c->final_line);

  if (job.tls == TLS_STARTTLS) {
    if (!start_tls(c, job, tls, host, caps)) {
      add_step(steps, "starttls", false, failure_detail(report));
      return false;
    }
    add_step(steps, "starttls", true,
             std::string(c->final_line) +
                 "; TLS handshake done, certificate accepted");
    // RFC 3207 4.2: what the server said before TLS is forgotten.
    result = say_hello(c, job, &caps, &hello);
    if (result != STEP_ACCEPTED) {
      end_dialogue(c, result, hello);
      add_step(steps, "hello", false, failure_detail(report));
      return false;
    }
    add_step(steps, "hello", true, c->final_line);
  }
  if (job.user != nullptr && *job.user != '\0') {
    if (!authenticate(c, job, caps)) {
      add_step(steps, "auth", false, failure_detail(report));
      return false;
    }
    add_step(steps, "auth", true, c->final_line);
  }

  // No SIZE parameter: there is no message to measure.
  c->in_transaction = true;
  std::string command = std::string("MAIL FROM:<") + job.from + ">";
  result = command.size() > kMaxCommandLength ? STEP_TOO_LONG
                                              : exchange(c, command.c_str(), 2);
  if (result != STEP_ACCEPTED) {
    end_dialogue(c, result, "MAIL FROM");
    add_step(steps, "mail from", false, failure_detail(report));
    return false;
  }
  add_step(steps, "mail from", true, c->final_line);

  // Every recipient is asked, so one refusal does not hide the next.
  bool all_ok = true;
  for (const std::string& address : recipients) {
    std::string step = "rcpt to <" + address + ">";
    command = "RCPT TO:<" + address + ">";
    if (command.size() > kMaxCommandLength) {
      add_step(steps, step, false, "the address is too long to be sent");
      all_ok = false;
      continue;
    }
    result = exchange(c, command.c_str(), 2);
    if (result == STEP_REFUSED) {
      add_step(steps, step, false, c->final_line);
      all_ok = false;
      continue;
    }
    if (result != STEP_ACCEPTED) {
      end_dialogue(c, result, "RCPT TO");
      add_step(steps, step, false, failure_detail(report));
      return false;
    }
    add_step(steps, step, true, c->final_line);
  }

  // RFC 5321 4.1.1.5: RSET drops the transaction, so nothing is sent.
  result = exchange(c, "RSET", 2);
  if (result != STEP_ACCEPTED) {
    end_dialogue(c, result, "RSET");
    add_step(steps, "rset", false, failure_detail(report));
    return false;
  }
  add_step(steps, "rset", true, c->final_line);

  result = exchange(c, "QUIT", 2);
  add_step(steps, "quit", result == STEP_ACCEPTED,
           result == STEP_NO_REPLY || result == STEP_NO_WRITE
               ? "no complete reply to QUIT"
               : c->final_line);
  return all_ok && result == STEP_ACCEPTED;
}

}  // namespace

bool probe_mail_server(const smtp_job& job,
                       const std::vector<std::string>& recipients, net_ops* net,
                       tls_layer* tls, bool* sockets_started,
                       std::vector<probe_step>* steps) {
  smtp_report report;
  smtp_job probe_job = job;
  probe_job.report = &report;
  if (probe_job.from == nullptr) probe_job.from = "";
  smtp_connection c;
  char* host = open_connection(probe_job, net, sockets_started, &c);
  if (host == nullptr) {
    add_step(steps, "connect", false, report.reason);
    return false;
  }
  add_step(steps, "connect", true,
           std::string("connected to ") + probe_job.server);
  bool ok = run_probe(&c, probe_job, recipients, tls, host, steps);
  net->close_socket(c.socket);
  forget_secrets(&c);
  free(host);
  return ok;
}

}  // namespace tarvelo
