// HTML escaping of text that must never become markup: submitted values on
// the reply pages and the FAQ's answers. One entity table serves all. No
// state.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace tarvelo {

// Which characters are escaped. Both sets turn & < > and the double quote
// into &amp; &lt; &gt; &quot;; the reply pages also turn the apostrophe
// into &#39; (a value may stand in an attribute quoted with it), the FAQ
// leaves it as it is.
enum html_escape_set {
  HTML_ESCAPE_MARKUP,
  HTML_ESCAPE_MARKUP_AND_APOSTROPHE,
};

// The entity for c under set, or null when c goes out as it is.
const char* html_entity(char c, html_escape_set set);

// Writes the NUL-terminated text escaped to out. Output errors are ignored.
void html_escape_write(FILE* out, const char* text, html_escape_set set);

// Appends the NUL-terminated text escaped to *out.
void html_escape_append(std::string* out, const char* text,
                        html_escape_set set);

// Writes the escaped text into out while it holds fewer than max_length
// characters; an entity that would not fit whole ends the text there.
// Writes a NUL after it (out has room for max_length + 1 bytes) and returns
// its length.
size_t html_escape_bounded(const char* text, html_escape_set set, char* out,
                           size_t max_length);

}  // namespace tarvelo
