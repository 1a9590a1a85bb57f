#include "run/archive_post.h"

#include "config/service_rules.h"
#include "spool/archive.h"

namespace tarvelo {

submission_head submission_head_for(const mail_settings& settings,
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

void archive_post(const mail_settings& settings, const char* argv0,
                  delivery_outcome outcome, const run_moment& moment,
                  const form_table& form) {
  if (settings.archive_file == nullptr) return;
  if (outcome != DELIVERY_SENT && outcome != DELIVERY_QUEUED) return;
  submission_head head =
      submission_head_for(settings, argv0, outcome == DELIVERY_QUEUED,
                       moment.unix_microseconds, moment.client);
  archive_submission(settings.archive_file, submission_json(head, form));
}

}  // namespace tarvelo
