#include "smtp/tls_names.h"

#include <cstring>

namespace tarvelo {

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

bool same_ignoring_case(const char* a, const char* b, int size) {
  for (int i = 0; i < size; ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// Whether text[0..size) is a sequence of non-empty labels joined by dots,
// and how many there are.
bool labels_of(const char* text, int size, int* count) {
  *count = 0;
  int label = 0;
  for (int i = 0; i <= size; ++i) {
    if (i == size || text[i] == '.') {
      if (label == 0) return false;
      ++*count;
      label = 0;
    } else if (text[i] == '\0') {
      return false;
    } else {
      ++label;
    }
  }
  return true;
}

}  // namespace

bool parse_ipv4_host(const char* host, unsigned char address[4]) {
  const char* at = host;
  for (int part = 0; part < 4; ++part) {
    if (part > 0 && *at++ != '.') return false;
    int value = 0;
    int digits = 0;
    while (*at >= '0' && *at <= '9' && digits < 4) {
      value = value * 10 + (*at++ - '0');
      ++digits;
    }
    if (digits == 0 || digits > 3 || value > 255) return false;
    address[part] = static_cast<unsigned char>(value);
  }
  return *at == '\0';
}

bool dns_name_matches(const char* pattern, int size, const char* host) {
  int host_size = static_cast<int>(strlen(host));
  int pattern_labels = 0;
  int host_labels = 0;
  if (size <= 0 || !labels_of(pattern, size, &pattern_labels) ||
      !labels_of(host, host_size, &host_labels)) {
    return false;
  }
  if (memchr(pattern, '*', size) == nullptr) {
    return size == host_size && same_ignoring_case(pattern, host, size);
  }
  // RFC 6125 6.4.3, as strict as the Linux build's host check: "*" only as
  // the whole left-most label, over at least two more labels.
  if (size < 2 || pattern[0] != '*' || pattern[1] != '.' ||
      memchr(pattern + 1, '*', size - 1) != nullptr || pattern_labels < 3) {
    return false;
  }
  const char* host_rest = strchr(host, '.');
  if (host_rest == nullptr) return false;
  int rest_size = size - 1;  // ".rest"
  return host_labels == pattern_labels &&
         static_cast<int>(strlen(host_rest)) == rest_size &&
         same_ignoring_case(pattern + 1, host_rest, rest_size);
}

bool ip_entry_matches(const unsigned char* entry, int size,
                      const unsigned char address[4]) {
  return size == 4 && memcmp(entry, address, 4) == 0;
}

}  // namespace tarvelo
