#include "compose/envelope.h"

#include <cstdlib>
#include <cstring>

#include "support/alloc.h"
#include "support/log.h"

namespace tarvelo {

char* extract_address(const char* text) {
  address_scan_state state = SCAN_SEEK;
  const char* start = nullptr;
  const char* p = text;
  for (;; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    int address_char = is_address_char(c);
    if (state == SCAN_DOMAIN && !address_char) break;
    switch (state) {
      case SCAN_SEEK:
        if (address_char) {
          start = p;
          state = SCAN_LOCAL;
        }
        break;
      case SCAN_LOCAL:
        if (c == '@') {
          state = SCAN_AT;
        } else if (!address_char) {
          state = SCAN_SEEK;
        }
        break;
      case SCAN_AT:
        state = address_char ? SCAN_DOMAIN : SCAN_SEEK;
        break;
      case SCAN_DOMAIN:
        break;
    }
    if (c == '\0') {
      log_event(LOG_DEBUG, "no email address in this line (%s)", text);
      return nullptr;
    }
  }
  size_t length = static_cast<size_t>(p - start);
  char* copy = static_cast<char*>(malloc_or_fail(length + 5, kNoMemory));
  memcpy(copy, start, length);
  copy[length] = '\0';
  return copy;
}

namespace {

char ascii_lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// A name shorter than the prefix ends in its NUL, which differs from every
// prefix character, so it never matches.
int starts_with_ignoring_case(const char* name, const char* prefix,
                              int prefix_length) {
  for (int i = 0; i < prefix_length; ++i) {
    if (ascii_lower(name[i]) != ascii_lower(prefix[i])) return 0;
  }
  return 1;
}

// Without its colon a header word must stand alone: the whole name, or the
// name's first word. As a bare prefix, "To" would make a submitted field
// named "Topic" the recipient.
bool is_bare_header_word(const char* name, const char* word) {
  int length = static_cast<int>(strlen(word));
  return starts_with_ignoring_case(name, word, length) &&
         (name[length] == '\0' || name[length] == ' ');
}

// Tries the prefix with its colon, then, when the setting allows, the word
// without it.
int match_with_optional_colon(const char* name, const char* value,
                              const char* prefix, const char* word,
                              bool add_headerline_colon, char** field) {
  int length = static_cast<int>(strlen(prefix));
  if (match_address_header(name, value, prefix, length, field)) return 1;
  return add_headerline_colon && is_bare_header_word(name, word) &&
         match_address_header(name, value, word, length - 1, field);
}

// extract_address for the envelope: RFC 5321 4.5.3.1.3 limits a path to
// 256 octets with its angle brackets, so a longer address is no address.
char* extract_envelope_address(const char* text) {
  char* address = extract_address(text);
  if (address != nullptr && strlen(address) > kMaxEnvelopeAddressLength) {
    log_event(LOG_DEBUG,
              "email address longer than %d characters not used (%s)",
              static_cast<int>(kMaxEnvelopeAddressLength), text);
    free(address);
    address = nullptr;
  }
  return address;
}

}  // namespace

int match_address_header(const char* name, const char* value,
                         const char* prefix, int prefix_length,
                         char** field) {
  if (!starts_with_ignoring_case(name, prefix, prefix_length)) return 0;
  // The name first: a static entry carries its address in the header text
  // itself, a dynamic one in the submitted value.
  *field = extract_envelope_address(name);
  if (*field == nullptr && value != nullptr) {
    *field = extract_envelope_address(value);
  }
  return *field != nullptr;
}

header_kind classify_header(const char* name, const char* value,
                                 bool add_headerline_colon, envelope* env) {
  struct address_header {
    const char* prefix;
    const char* word;
    char** field;
    header_kind kind;
  };
  // The order of the tests is part of the behaviour: a name is tried against
  // every kind whose field is still empty, first match wins.
  const address_header kinds[] = {
      {"From:", "From", &env->from_address, HEADER_FROM},
      {"To:", "To", &env->to_address, HEADER_TO},
      {"CC:", "CC", &env->cc_address, HEADER_CC},
      {"BCC:", "BCC", &env->bcc_address, HEADER_BCC},
  };
  for (const address_header& h : kinds) {
    if (*h.field != nullptr) continue;
    if (match_with_optional_colon(name, value, h.prefix, h.word,
                                  add_headerline_colon, h.field)) {
      return h.kind;
    }
  }
  static const char kSubject[] = "Subject:";
  if (starts_with_ignoring_case(name, kSubject, sizeof kSubject - 1) ||
      (add_headerline_colon && is_bare_header_word(name, "Subject"))) {
    env->subject_found = 1;
    return HEADER_SUBJECT;
  }
  return HEADER_NONE;
}

bool is_to_header_name(const char* name, bool add_headerline_colon) {
  return starts_with_ignoring_case(name, "To:", 3) ||
         (add_headerline_colon && is_bare_header_word(name, "To"));
}

}  // namespace tarvelo
