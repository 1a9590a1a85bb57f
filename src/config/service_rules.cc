#include "config/service_rules.h"

#include <cstring>

#include "support/http_url.h"

namespace tarvelo {

namespace {

struct captcha_service {
  captcha_kind kind;
  const char* name;
  const char* url;
  const char* field;
};

// Each provider takes secret, response and remoteip as a URL-encoded POST
// and answers with JSON holding "success".
constexpr captcha_service kCaptchaServices[] = {
    {CAPTCHA_TURNSTILE, "turnstile",
     "https://challenges.cloudflare.com/turnstile/v0/siteverify",
     "cf-turnstile-response"},
    {CAPTCHA_HCAPTCHA, "hcaptcha", "https://api.hcaptcha.com/siteverify",
     "h-captcha-response"},
    {CAPTCHA_RECAPTCHA, "recaptcha",
     "https://www.google.com/recaptcha/api/siteverify",
     "g-recaptcha-response"},
};

const captcha_service* service_of(captcha_kind kind) {
  for (const captcha_service& service : kCaptchaServices) {
    if (service.kind == kind) return &service;
  }
  return nullptr;
}

}  // namespace

captcha_kind captcha_kind_named(const char* value) {
  for (const captcha_service& service : kCaptchaServices) {
    if (strcmp(value, service.name) == 0) return service.kind;
  }
  return CAPTCHA_NONE;
}

const char* captcha_default_url(captcha_kind kind) {
  const captcha_service* service = service_of(kind);
  return service != nullptr ? service->url : nullptr;
}

const char* captcha_form_field(captcha_kind kind) {
  const captcha_service* service = service_of(kind);
  return service != nullptr ? service->field : nullptr;
}

const char* captcha_url_of(const mail_settings& settings) {
  if (settings.captcha_provider == CAPTCHA_NONE) return nullptr;
  return settings.captcha_verify_url != nullptr
             ? settings.captcha_verify_url
             : captcha_default_url(settings.captcha_provider);
}

bool service_url_usable(const char* text) {
  http_url url;
  return parse_http_url(text, &url);
}

bool webhook_url_usable(const char* text) {
  http_url url;
  if (!parse_http_url(text, &url)) return false;
  return url.tls || url.host == "127.0.0.1";
}

}  // namespace tarvelo
