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
// are ignored). The body is consumed. Logs "val [%d] (%s)\n" per pair
// (LOG_DEBUG_DATA).
void parse_form_body(char* body, form_table* table);

// Reads at most min(content_length, 99999) bytes of standard input into body
// (kMaxFormBody + 1 bytes) and returns the count kept. The rest of the
// body, up to content_length, is read and dropped, so the web server can
// finish writing it. Reading stops early at end of input, on a read error,
// or when os_monotonic_ms() reaches deadline_ms. Nothing is read for a
// content_length of 0 or less.
int read_form_body(int content_length, long long deadline_ms, char* body);

// Reads CONTENT_LENGTH and the body (read_form_body, until deadline_ms on
// the os_monotonic_ms clock) into the_form_table, logging "FORM SIZE %d\n"
// and, when the count kept differs, "FORM DATA SIZE != CONTENT_LENGTH,
// got(%d), CL(%d)"; then goes on with what arrived.
void read_form(long long deadline_ms);

// Reads a CONTENT_LENGTH text like atoi: blanks, optional sign, digits.
int parse_content_length(const char* text);

// The value of the first entry named exactly key, or "" when there is none.
// The first lookup on a table logs "Form stuff %d" and every pair
// (LOG_DEBUG_DATA).
const char* form_table_value(form_table* table, const char* key);

// The value of the first entry named exactly key, or "" when there is none;
// logs nothing.
const char* form_table_lookup(const form_table& table, const char* key);

// form_table_value on the_form_table.
const char* form_value(const char* key);

}  // namespace tarvelo
