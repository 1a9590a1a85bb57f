#include "run/webhook_call.h"

#include <string>

#include "compose/webhook_body.h"
#include "support/http_url.h"
#include "support/log.h"

namespace tarvelo {

bool post_webhook(const mail_settings& settings, const submission_head& head,
                  const form_table& form, long long now_ms,
                  long long deadline_ms, http_poster post) {
  if (settings.webhook_url == nullptr) return false;
  std::string shown = url_for_log(settings.webhook_url);
  const char* url = shown.c_str();
  http_request request;
  // The ini reader kept only a URL this reader takes.
  if (!parse_http_url(settings.webhook_url, &request.url)) {
    log_event(LOG_ERRORS, "webhook %s not called: the URL is not usable",
              url);
    return false;
  }
  // The delivery may have used up the run's time; the webhook gets only
  // what remains of it, so a slow receiver never holds up the page.
  if (now_ms >= deadline_ms) {
    log_event(LOG_ERRORS,
              "webhook %s not called: the run's time limit (smtp_timeout) "
              "has passed",
              url);
    return false;
  }
  request.body = webhook_body(settings.webhook_format, head, form);
  if (settings.webhook_secret != nullptr) {
    std::string signature =
        webhook_signature(settings.webhook_secret, request.body);
    // An unsigned body would be refused by a receiver that checks; one
    // that does not check must not be taught to accept unsigned posts.
    if (signature.empty()) {
      log_event(LOG_ERRORS,
                "webhook %s not called: the body could not be signed", url);
      return false;
    }
    request.headers.emplace_back(kWebhookSignatureHeader, signature);
  }
  request.content_type = "application/json";
  request.deadline_ms = deadline_ms;
  http_response response;
  if (!post(request, &response)) {
    if (response.detail.empty()) {
      log_event(LOG_ERRORS, "webhook %s failed: %s", url,
                http_failure_name(response.failure));
    } else {
      log_event(LOG_ERRORS, "webhook %s failed: %s (%s)", url,
                http_failure_name(response.failure), response.detail.c_str());
    }
    return false;
  }
  if (response.status < 200 || response.status > 299) {
    log_event(LOG_ERRORS, "webhook %s failed: status %d", url,
              response.status);
    return false;
  }
  log_event(LOG_DEBUG, "webhook %s answered status %d", url, response.status);
  return true;
}

}  // namespace tarvelo
