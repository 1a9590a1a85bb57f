#include "run/captcha_call.h"

#include "config/service_rules.h"
#include "support/http_url.h"

namespace tarvelo {

captcha_verdict check_captcha(const mail_settings& settings, const char* token,
                              const char* remote_ip, long long deadline_ms,
                              http_poster post, std::string* words) {
  words->clear();
  http_request request;
  const char* url = captcha_url_of(settings);
  if (url == nullptr || !parse_http_url(url, &request.url)) {
    *words = "not a usable URL";
    return CAPTCHA_UNCHECKED;
  }
  if (post == nullptr) {
    *words = "no HTTP client";
    return CAPTCHA_UNCHECKED;
  }
  request.content_type = "application/x-www-form-urlencoded";
  request.body = captcha_request_body(settings.captcha_secret, token, remote_ip);
  request.ca_file = settings.captcha_tls_ca;
  request.deadline_ms = deadline_ms;
  http_response response;
  // A poster that fails must say why; one that does not is no answer.
  if (!post(request, &response) && response.failure == HTTP_DONE) {
    response.failure = HTTP_BAD_RESPONSE;
  }
  if (response.failure != HTTP_DONE) {
    *words = http_failure_name(response.failure);
    if (!response.detail.empty()) {
      *words += ": ";
      printable_append(words, response.detail.data(), response.detail.size());
    }
    return CAPTCHA_UNCHECKED;
  }
  return captcha_answer_verdict(response.status, response.body, words);
}

}  // namespace tarvelo
