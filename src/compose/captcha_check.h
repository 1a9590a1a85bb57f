// The CAPTCHA check of a post, short of the call itself: the request that
// sends the visitor's token to the provider's verify URL (Cloudflare
// Turnstile, hCaptcha and Google reCAPTCHA all take the same form-encoded
// request and give the same JSON answer), and the answer read into a
// verdict. The run makes the call (src/run/captcha_call.h).
//
// State owned here: none.
#pragma once

#include <string>


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

// Reads the answer to a whole response: a 2xx status and a body that is
// one JSON object (RFC 8259) with a boolean "success" give CAPTCHA_PASSED
// or CAPTCHA_REFUSED; anything else CAPTCHA_UNCHECKED. Fills *words for
// the log: for UNCHECKED why ("status 500", "the answer is not JSON", "no
// boolean success in the answer"); for REFUSED the answer's "error-codes"
// strings joined by ", " (bytes outside printable ASCII and the backslash
// as \xNN, about 200 bytes at most) or "" when it has none; for PASSED "".
captcha_verdict captcha_answer_verdict(int status, const std::string& body,
                                       std::string* words);

// Appends size bytes of text to *out with every byte outside printable
// ASCII, and the backslash, as \xNN: words from another service that
// cannot bend a log line.
void printable_append(std::string* out, const char* text, size_t size);

}  // namespace tarvelo
