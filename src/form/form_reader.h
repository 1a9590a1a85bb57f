// Form intake: the URL-encoded request body, decoded into a table of named
// values in body order.
//
// State owned here: the_form_table, filled once by read_form and read-only
// afterwards.
#pragma once

namespace tarvelo {

constexpr int kMaxFormPairs = 1000;
constexpr int kMaxFormBody = 99999;

// The counts come before the arrays: a run with a few pairs then touches
// two pages of the table, not three.
struct form_table {
  int form_count = 0;
  int form_dumped = 0;  // set by the first lookup, which logs the table
  char* names[kMaxFormPairs];
  char* values[kMaxFormPairs];
};

// The process-wide table of this run; written once by read_form.
extern form_table the_form_table;

// Cuts the text before the first delimiter off the front of text and returns
// it as a new heap block; the rest (after the delimiter) moves to the front of
// text in place. On allocation failure: fail_with_page("out of memory.").
char* split_token(char* text, char delimiter);

// In place: each "%" with two characters after it becomes one byte (the two
// characters are not checked; see hex_pair_value in the .cc).
void url_decode(char* text);

// In place: removes every carriage return, so text-area line breaks arrive as
// bare line feeds.
void drop_carriage_returns(char* text);

// Parses a zero-terminated body into table (up to 1000 pairs; later pairs
// are ignored). The body is consumed. Logs "val [%d] (%s)\n" per pair.
void parse_form_body(char* body, form_table* table);

// Reads CONTENT_LENGTH and at most min(CONTENT_LENGTH, 99999) bytes of
// standard input into the_form_table, logging "FORM SIZE %d\n" and, when the
// count read differs, "FORM DATA SIZE != CONTENT_LENGTH, got(%d), CL(%d)".
void read_form();

// Reads a CONTENT_LENGTH text like atoi: blanks, optional sign, digits.
int parse_content_length(const char* text);

// The value of the first entry named exactly key, or "" when there is none.
// The first lookup on a table logs "Form stuff %d" and every pair.
const char* form_table_value(form_table* table, const char* key);

// The value of the first entry named exactly key, or "" when there is none;
// logs nothing.
const char* form_table_lookup(const form_table& table, const char* key);

// form_table_value on the_form_table.
const char* form_value(const char* key);

}  // namespace tarvelo
