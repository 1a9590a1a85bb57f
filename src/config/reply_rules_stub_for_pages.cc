// TEMPORARY: cors_origin_index for the reply's branch only, until the real
// checks of reply_rules.h arrive; drop this file when they do.
#include <cstring>

#include "config/reply_rules.h"

namespace tarvelo {
namespace {

char ascii_lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

}  // namespace

// Scheme, host and port of a listed origin hold no letters outside scheme
// and host, so one comparison without regard to case covers all three.
int cors_origin_index(const mail_settings& settings, const char* origin) {
  for (int i = 0; i < settings.cors_origin_count; ++i) {
    const char* listed = settings.cors_origins[i];
    size_t k = 0;
    while (listed[k] != '\0' &&
           ascii_lower(listed[k]) == ascii_lower(origin[k])) {
      ++k;
    }
    if (listed[k] == '\0' && origin[k] == '\0') return i;
  }
  return -1;
}

}  // namespace tarvelo
