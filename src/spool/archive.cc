#include "spool/archive.h"

#include "config/service_rules.h"
#include "support/log.h"
#include "support/os.h"

namespace tarvelo {

bool archive_submission(const char* path, const std::string& line) {
  std::string piece = line;
  piece += '\n';
  std::string why;
  if (!os_append_whole(path, piece.data(), piece.size(), &why)) {
    log_event(LOG_ERRORS, "archive: could not add the submission to %s: %s",
              path, why.c_str());
    return false;
  }
  log_event(LOG_DEBUG, "archive: added a line to %s.", path);
  return true;
}

submission_head archive_head_for(const mail_settings& settings,
                                 const char* argv0, bool queued,
                                 long long unix_microseconds,
                                 const char* client) {
  submission_head head;
  head.form = form_name_of(argv0);
  head.outcome = queued ? "queued" : "sent";
  head.unix_seconds = unix_microseconds / 1000000;
  if (settings.client_ip_header && client != nullptr) head.client = client;
  if (settings.captcha_provider != CAPTCHA_NONE) {
    head.hidden_field = captcha_form_field(settings.captcha_provider);
  }
  return head;
}

}  // namespace tarvelo
