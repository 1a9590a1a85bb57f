// The run's call to the CAPTCHA provider: the request of captcha_check.h
// posted through an http_poster, so a test drives it with a stand-in.
//
// State owned here: none.
#pragma once

#include <string>

#include "compose/captcha_check.h"
#include "config/ini_reader.h"
#include "smtp/http_client.h"

namespace tarvelo {

// Verifies token for a post from remote_ip: posts captcha_request_body
// with captcha_secret as Content-Type application/x-www-form-urlencoded to
// captcha_url_of(settings), trusting captcha_tls_ca alone when set, by
// deadline_ms (the run's services deadline), through post. Returns the
// verdict of captcha_answer_verdict with its *words; a call that came to no
// whole response gives CAPTCHA_UNCHECKED with "<http_failure_name>: <the
// detail>" (printable_append), a URL that does not parse or a null post
// CAPTCHA_UNCHECKED with the reason. Logs nothing; neither the secret nor
// the request body reach *words.
captcha_verdict check_captcha(const mail_settings& settings, const char* token,
                              const char* remote_ip, long long deadline_ms,
                              http_poster post, std::string* words);

}  // namespace tarvelo
