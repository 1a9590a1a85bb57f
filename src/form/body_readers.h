// The request bodies other than URL-encoded ones: multipart/form-data
// (RFC 7578), HTML's text/plain form encoding and a JSON object (RFC 8259),
// each read into the form table. Which one applies follows CONTENT_TYPE.
//
// In every encoding carriage returns are dropped from names and values and a
// NUL ends a name or value; a file's bytes are kept whole.
//
// State owned here: none.
#pragma once

#include <string>
#include <string_view>

#include "form/form_reader.h"

namespace tarvelo {

enum form_encoding {
  FORM_URLENCODED,  // absent, empty or application/x-www-form-urlencoded
  FORM_MULTIPART,   // multipart/form-data
  FORM_TEXT_PLAIN,  // text/plain
  FORM_JSON,        // application/json
  FORM_OTHER,       // anything else: not a form
};

// The encoding a CONTENT_TYPE names: its media type (before any ";"
// parameters, blanks around it ignored) compared without regard to case.
form_encoding form_encoding_of(const char* content_type);

// The media type of content_type as given (blanks trimmed, at most 100
// bytes, control bytes as "?"), for log lines.
std::string media_type_for_log(const char* content_type);

// The boundary parameter of a multipart CONTENT_TYPE, quoted or not
// (RFC 2046 5.1.1: 1 to 70 characters). Returns false, *out untouched, when
// there is none or it is empty or longer.
bool multipart_boundary(const char* content_type, std::string* out);

// Adds a pair after those in table, each text cut at its first NUL and
// without carriage returns, on the heap. Returns false, adding nothing, when
// the table holds kMaxFormPairs pairs.
bool add_pair(form_table* table, std::string_view name, std::string_view value);

// Empties table: frees its names, values and file names and sets the counts
// to zero. The file block is not touched.
void clear_form_table(form_table* table);

// Reads a multipart/form-data body with the given boundary into table (after
// the pairs already there): each text part a pair, in order, its name from
// Content-Disposition (with the %22, %0D, %0A escapes browsers write), its
// value as sent; a part with a filename also a file, whose data points into
// body and whose pair's value reads "<name> (<size> bytes)". A file part with
// an empty filename and no bytes is skipped. Logs one LOG_DEBUG line per file
// part (field, file name, declared type, size). Pairs past kMaxFormPairs are
// ignored. Returns FORM_READ; FORM_MALFORMED when a delimiter, a part's header
// block or its Content-Disposition name is missing; FORM_TOO_LARGE for more
// files than kMaxFormFiles (or a file past kMaxFormPairs). On refusal the
// table is cleared and *why names the fault in a few words.
form_outcome parse_multipart_body(std::string_view body,
                                  std::string_view boundary, form_table* table,
                                  const char** why);

// Reads HTML's text/plain form encoding: each line a pair split at its first
// "=", nothing decoded; a line without "=" continues the value before it
// after a line feed (a text area's line break); a first such line is a name
// with an empty value. The empty text after a final line end is no line.
void parse_text_plain_body(std::string_view body, form_table* table);

// Reads one JSON object: each member a pair in document order; a string with
// its escapes decoded, a number as written, true and false as words, null as
// empty; an array of those one pair per element under the member's name.
// Returns FORM_READ, or FORM_MALFORMED (table cleared, *why set) for invalid
// JSON or UTF-8, a top level that is no object, an object or array below the
// top level, or a string holding \u0000.
form_outcome parse_json_body(std::string_view body, form_table* table,
                             const char** why);

}  // namespace tarvelo
