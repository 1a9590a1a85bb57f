#include "support/html_escape.h"

#include <cstring>

namespace tarvelo {

namespace {

struct entity {
  char character;
  const char* text;
};

// The apostrophe's row comes last, so the markup set is a prefix.
constexpr entity kEntities[] = {{'&', "&amp;"},
                                {'<', "&lt;"},
                                {'>', "&gt;"},
                                {'"', "&quot;"},
                                {'\'', "&#39;"}};

// The characters of each set, for strcspn: runs without them go out whole.
const char* special_characters(html_escape_set set) {
  return set == HTML_ESCAPE_MARKUP ? "&<>\"" : "&<>\"'";
}

}  // namespace

const char* html_entity(char c, html_escape_set set) {
  if (c == '\0' || strchr(special_characters(set), c) == nullptr) {
    return nullptr;
  }
  for (const entity& e : kEntities) {
    if (e.character == c) return e.text;
  }
  return nullptr;
}

void html_escape_write(FILE* out, const char* text, html_escape_set set) {
  const char* special = special_characters(set);
  for (;;) {
    size_t plain = strcspn(text, special);
    fwrite(text, 1, plain, out);
    text += plain;
    if (*text == '\0') return;
    fputs(html_entity(*text, set), out);
    ++text;
  }
}

void html_escape_append(std::string* out, const char* text,
                        html_escape_set set) {
  const char* special = special_characters(set);
  for (;;) {
    size_t plain = strcspn(text, special);
    out->append(text, plain);
    text += plain;
    if (*text == '\0') return;
    *out += html_entity(*text, set);
    ++text;
  }
}

size_t html_escape_bounded(const char* text, html_escape_set set, char* out,
                           size_t max_length) {
  size_t length = 0;
  for (const char* p = text; *p != '\0' && length < max_length; ++p) {
    const char* replacement = html_entity(*p, set);
    if (replacement == nullptr) {
      out[length++] = *p;
      continue;
    }
    size_t n = strlen(replacement);
    // Half an entity would print as text; stop before it instead.
    if (length + n > max_length) break;
    memcpy(out + length, replacement, n);
    length += n;
  }
  out[length] = '\0';
  return length;
}

}  // namespace tarvelo
