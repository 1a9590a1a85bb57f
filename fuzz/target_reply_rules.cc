// The ini's reply checks: whatever they accept must be safe to use as it is.
// A redirect stays on this site or goes to an http(s) URL; an origin is
// found again in any case and never with a path; one address is what the
// envelope's own scan extracts from it, whole.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "compose/envelope.h"
#include "config/reply_rules.h"
#include "fuzz_check.h"
#include "support/log.h"

using namespace tarvelo;

namespace {

std::string ascii_upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

bool begins_http(const std::string& text) {
  std::string lower = text.substr(0, 8);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower.rfind("http://", 0) == 0 || lower.rfind("https://", 0) == 0;
}

void check_redirect(const std::string& text) {
  if (!redirect_url_usable(text.c_str())) return;
  FUZZ_CHECK(!text.empty());
  for (unsigned char c : text) FUZZ_CHECK(c > 0x20 && c < 0x7F);
  if (text[0] == '/') {
    FUZZ_CHECK(text.size() == 1 || (text[1] != '/' && text[1] != '\\'));
  } else {
    FUZZ_CHECK(begins_http(text));
    size_t host = text.find("://") + 3;
    FUZZ_CHECK(host < text.size() && text[host] != '/' && text[host] != '\\');
  }
}

void check_origin(const std::string& text) {
  if (!cors_origin_usable(text.c_str())) return;
  FUZZ_CHECK(begins_http(text));
  FUZZ_CHECK(text.find('/', text.find("://") + 3) == std::string::npos);
  FUZZ_CHECK(text.find('*') == std::string::npos);
  static mail_settings settings;
  std::string listed = text;
  settings.cors_origins[0] = listed.data();
  settings.cors_origin_count = 1;
  FUZZ_CHECK(cors_origin_index(settings, text.c_str()) == 0);
  FUZZ_CHECK(cors_origin_index(settings, ascii_upper(text).c_str()) == 0);
  FUZZ_CHECK(cors_origin_index(settings, (text + "/").c_str()) == -1);
  FUZZ_CHECK(cors_origin_index(settings, (text + "0").c_str()) == -1);
  settings.cors_origin_count = 0;
  settings.cors_origins[0] = nullptr;
}

void check_address(const std::string& bytes) {
  if (!is_one_address(bytes.data(), bytes.size())) return;
  FUZZ_CHECK(bytes.size() <= 254);
  size_t at = bytes.find('@');
  FUZZ_CHECK(at >= 1 && at <= 64 && bytes.find('@', at + 1) == bytes.npos);
  std::string domain = bytes.substr(at + 1);
  FUZZ_CHECK(domain.find('.') != domain.npos);
  FUZZ_CHECK(domain.find("..") == domain.npos);
  FUZZ_CHECK(domain.front() != '.' && domain.back() != '.');
  // The envelope must read the very same address out of it.
  char* found = extract_address(bytes.c_str());
  FUZZ_CHECK(found != nullptr && bytes == found);
  free(found);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  log_set_path(nullptr);
  std::string bytes(reinterpret_cast<const char*>(data), size);
  std::string text = bytes.c_str();
  check_redirect(text);
  check_origin(text);
  check_address(bytes);
  return 0;
}
