// The CAPTCHA check of a post: the visitor's token sent to the provider's
// verify URL (Cloudflare Turnstile, hCaptcha and Google reCAPTCHA all take
// the same form-encoded request and give the same JSON answer), and the
// answer read into a verdict. Pure over an http_poster, so a test drives it
// with a stand-in.
//
// State owned here: none.
#pragma once

#include <string>

#include "config/ini_reader.h"
#include "smtp/http_client.h"

namespace tarvelo {

// The field reason a refused token gets in the reply (beside "required"
// for a missing one); the reply names the field kCaptchaFieldName.
constexpr const char* kFieldNotVerified = "not verified";
constexpr const char* kCaptchaFieldName = "captcha";

enum captcha_verdict {
  CAPTCHA_PASSED,     // the provider answered "success": true
  CAPTCHA_REFUSED,    // the provider answered "success": false
  CAPTCHA_UNCHECKED,  // no usable answer: the post must not be mailed
};

// Appends text to *out percent-encoded as RFC 3986 2.1 asks: every byte but
// the unreserved ones (letters, digits, "-", ".", "_", "~") as "%XX" with
// capital hex digits.
void percent_encode_append(std::string* out, const char* text);

// The request body "secret=S&response=T&remoteip=R", each value
// percent-encoded; "&remoteip=R" is left out when remote_ip is empty (the
// providers take it as optional). Null texts count as empty.
std::string captcha_request_body(const char* secret, const char* token,
                                 const char* remote_ip);

// Reads the provider's answer. A response with failure HTTP_DONE, a 2xx
// status and a body that is one JSON object (RFC 8259) with a boolean
// "success" gives CAPTCHA_PASSED or CAPTCHA_REFUSED; anything else
// CAPTCHA_UNCHECKED. Fills *words for the log: for UNCHECKED why ("no
// connection: <detail>", "status 500", "the answer is not JSON", "no
// boolean success in the answer"); for REFUSED the answer's "error-codes"
// strings joined by ", " (bytes outside printable ASCII as \xNN, at most
// 200 bytes) or "" when it has none; for PASSED "".
captcha_verdict captcha_answer_verdict(const http_response& response,
                                       std::string* words);

// Verifies token for a post from remote_ip: posts captcha_request_body
// with captcha_secret as Content-Type application/x-www-form-urlencoded to
// captcha_url_of(settings), trusting captcha_tls_ca alone when set, by
// deadline_ms (the run's services deadline), through post. Returns the
// verdict of captcha_answer_verdict with its *words; a URL that does not
// parse or a null post give CAPTCHA_UNCHECKED with the reason. Logs
// nothing; neither the secret nor the request body reach *words.
captcha_verdict check_captcha(const mail_settings& settings, const char* token,
                              const char* remote_ip, long long deadline_ms,
                              http_poster post, std::string* words);

}  // namespace tarvelo
