// The outside services a post may meet besides the mail server: the CAPTCHA
// providers' verify URLs and form fields, and the checks on the URLs the ini
// gives for them.
//
// State owned here: none.
#pragma once

#include "config/ini_reader.h"

namespace tarvelo {

// The provider captcha_provider names by value ("turnstile", "hcaptcha",
// "recaptcha", byte for byte), or CAPTCHA_NONE.
captcha_kind captcha_kind_named(const char* value);

// The provider's verify URL, and the form field its widget fills
// ("cf-turnstile-response", "h-captcha-response", "g-recaptcha-response").
// Both null for CAPTCHA_NONE.
const char* captcha_default_url(captcha_kind kind);
const char* captcha_form_field(captcha_kind kind);

// The URL a run verifies tokens at: captcha_verify_url when set, else the
// provider's; null without a provider.
const char* captcha_url_of(const mail_settings& settings);

// Whether text is an http or https URL the client can call (parse_http_url).
bool service_url_usable(const char* text);

// Whether text is usable as webhook_url: an https URL, or an http URL whose
// host is 127.0.0.1 (a receiver on the same machine, where nothing travels
// the network in clear).
bool webhook_url_usable(const char* text);

}  // namespace tarvelo
