// Includes rapidjson: listed in CMakeLists for the sanitizer builds.
#include "compose/captcha_check.h"

#include <cstdio>
#include <cstring>

#include <rapidjson/document.h>

namespace tarvelo {

namespace {

// The error codes are the provider's words, not ours: kept short and
// printable so they cannot bend a log line.
constexpr size_t kMaxCodesLength = 200;

std::string error_codes_of(const rapidjson::Value& answer) {
  std::string codes;
  // HasMember rather than FindMember: comparing rapidjson's member
  // iterators is ambiguous to clang in C++20.
  if (!answer.HasMember("error-codes")) return codes;
  const rapidjson::Value& list = answer["error-codes"];
  if (!list.IsArray()) return codes;
  for (const rapidjson::Value& code : list.GetArray()) {
    if (!code.IsString()) continue;
    if (!codes.empty()) codes += ", ";
    printable_append(&codes, code.GetString(), code.GetStringLength());
    if (codes.size() > kMaxCodesLength) {
      codes.resize(kMaxCodesLength);
      codes += "...";
      break;
    }
  }
  return codes;
}

}  // namespace

void printable_append(std::string* out, const char* text, size_t size) {
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

captcha_verdict captcha_answer_verdict(int status, const std::string& body,
                                       std::string* words) {
  words->clear();
  if (status < 200 || status > 299) {
    *words = "status " + std::to_string(status);
    return CAPTCHA_UNCHECKED;
  }
  rapidjson::Document answer;
  answer.Parse(body.data(), body.size());
  if (answer.HasParseError() || !answer.IsObject()) {
    *words = "the answer is not JSON";
    return CAPTCHA_UNCHECKED;
  }
  if (!answer.HasMember("success") || !answer["success"].IsBool()) {
    *words = "no boolean success in the answer";
    return CAPTCHA_UNCHECKED;
  }
  if (answer["success"].GetBool()) return CAPTCHA_PASSED;
  *words = error_codes_of(answer);
  return CAPTCHA_REFUSED;
}

}  // namespace tarvelo
