// Includes rapidjson: listed in CMakeLists for the sanitizer builds.
#include "compose/captcha_check.h"

#include <cstdio>
#include <cstring>

#include <rapidjson/document.h>

#include "config/service_rules.h"
#include "support/http_url.h"

namespace tarvelo {

namespace {

// The error codes are the provider's words, not ours: kept short and
// printable so they cannot bend a log line.
constexpr size_t kMaxCodesLength = 200;

void append_printable(std::string* out, const char* text, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      *out += static_cast<char>(c);
    } else {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\x%02X", c);
      *out += escaped;
    }
  }
}

std::string error_codes_of(const rapidjson::Value& answer) {
  std::string codes;
  auto member = answer.FindMember("error-codes");
  if (member == answer.MemberEnd() || !member->value.IsArray()) return codes;
  for (const rapidjson::Value& code : member->value.GetArray()) {
    if (!code.IsString()) continue;
    if (!codes.empty()) codes += ", ";
    append_printable(&codes, code.GetString(), code.GetStringLength());
    if (codes.size() > kMaxCodesLength) {
      codes.resize(kMaxCodesLength);
      codes += "...";
      break;
    }
  }
  return codes;
}

}  // namespace

void percent_encode_append(std::string* out, const char* text) {
  static const char kHex[] = "0123456789ABCDEF";
  for (const char* p = text; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                      (c >= '0' && c <= '9') || c == '-' || c == '.' ||
                      c == '_' || c == '~';
    if (unreserved) {
      *out += static_cast<char>(c);
    } else {
      *out += '%';
      *out += kHex[c >> 4];
      *out += kHex[c & 0x0F];
    }
  }
}

std::string captcha_request_body(const char* secret, const char* token,
                                 const char* remote_ip) {
  std::string body = "secret=";
  percent_encode_append(&body, secret != nullptr ? secret : "");
  body += "&response=";
  percent_encode_append(&body, token != nullptr ? token : "");
  if (remote_ip != nullptr && *remote_ip != '\0') {
    body += "&remoteip=";
    percent_encode_append(&body, remote_ip);
  }
  return body;
}

captcha_verdict captcha_answer_verdict(const http_response& response,
                                       std::string* words) {
  words->clear();
  if (response.failure != HTTP_DONE) {
    *words = http_failure_name(response.failure);
    if (!response.detail.empty()) {
      *words += ": ";
      append_printable(words, response.detail.data(), response.detail.size());
    }
    return CAPTCHA_UNCHECKED;
  }
  if (response.status < 200 || response.status > 299) {
    *words = "status " + std::to_string(response.status);
    return CAPTCHA_UNCHECKED;
  }
  rapidjson::Document answer;
  answer.Parse(response.body.data(), response.body.size());
  if (answer.HasParseError() || !answer.IsObject()) {
    *words = "the answer is not JSON";
    return CAPTCHA_UNCHECKED;
  }
  auto success = answer.FindMember("success");
  if (success == answer.MemberEnd() || !success->value.IsBool()) {
    *words = "no boolean success in the answer";
    return CAPTCHA_UNCHECKED;
  }
  if (success->value.GetBool()) return CAPTCHA_PASSED;
  *words = error_codes_of(answer);
  return CAPTCHA_REFUSED;
}

captcha_verdict check_captcha(const mail_settings& settings, const char* token,
                              const char* remote_ip, long long deadline_ms,
                              http_poster post, std::string* words) {
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
  return captcha_answer_verdict(response, words);
}

}  // namespace tarvelo
