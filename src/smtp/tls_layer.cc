#include "smtp/tls_layer.h"

#include "support/log.h"

namespace tarvelo {

const char* tls_failure_name(tls_failure failure) {
  switch (failure) {
    case TLS_DONE: return "TLS started";
    case TLS_UNAVAILABLE: return "TLS not available";
    case TLS_CA_UNREADABLE: return "TLS CA file unreadable";
    case TLS_NOT_TRUSTED: return "TLS certificate not trusted";
    case TLS_NAME_MISMATCH: return "TLS host name mismatch";
    case TLS_HANDSHAKE_FAILED: return "TLS handshake failed";
  }
  return "TLS failed";
}

void report_tls_failure(const tls_outcome& outcome, const char* host,
                        const char* ca_file) {
  const char* name = tls_failure_name(outcome.failure);
  switch (outcome.failure) {
    case TLS_DONE:
      break;
    case TLS_UNAVAILABLE:
      log_event(LOG_ERRORS,
                "%s: this build of the program has no TLS, so smtp_tls cannot "
                "be used; the mail is never sent in plain text instead.",
                name);
      break;
    case TLS_CA_UNREADABLE:
      log_event(LOG_ERRORS,
                "%s: smtp_tls_ca (%s) could not be read as a file of CA "
                "certificates: %s",
                name, ca_file ? ca_file : "(null)", outcome.detail);
      break;
    case TLS_NOT_TRUSTED:
      log_event(LOG_ERRORS,
                "%s: the certificate of the SMTP server (%s) does not lead to "
                "a CA in %s: %s",
                name, host, ca_file ? ca_file : "the system's CA store",
                outcome.detail);
      break;
    case TLS_NAME_MISMATCH:
      log_event(LOG_ERRORS,
                "%s: the certificate of the SMTP server is not made out for "
                "%s, the host of the smtp line: %s",
                name, host, outcome.detail);
      break;
    case TLS_HANDSHAKE_FAILED:
      log_event(LOG_ERRORS, "%s with the SMTP server (%s): %s", name, host,
                outcome.detail);
      break;
  }
}

}  // namespace tarvelo
