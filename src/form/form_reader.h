// Form intake: the request body, decoded into a table of named values in
// body order (the encodings other than URL-encoding: body_readers.h).
//
// State owned here: none; the run keeps the one table of the process.
#pragma once

namespace tarvelo {

constexpr int kMaxFormPairs = 1000;
constexpr int kMaxFormBody = 99999;
constexpr int kMaxFormFiles = 100;
// All files of one post together, unless the ini says otherwise: the
// base64 message then stays under Postfix's default message_size_limit
// (10,240,000 bytes).
constexpr long long kDefaultMaxAttachmentBytes = 7000000;

// A file a multipart post carried (RFC 7578 4.2: a part with a filename).
// Its field's value in the table reads "<file_name> (<size> bytes)".
struct form_file {
  int pair = -1;               // index of its field in names/values
  char* file_name = nullptr;   // heap; cut after its last '/' or '\\',
                               // control bytes removed
  const char* data = nullptr;  // the bytes as sent; null once released
  long long size = 0;
};

// The pairs in body order: the first form_count entries of names and values.
struct form_table {
  int form_count = 0;
  int form_dumped = 0;  // set by the first lookup, which logs the table
  char* names[kMaxFormPairs] = {};
  char* values[kMaxFormPairs] = {};
  // Files, in body order; their bytes live in a block the table owns until
  // form_release_files (the composer encodes them, then lets them go).
  int file_count = 0;
  form_file files[kMaxFormFiles];
  char* file_block = nullptr;
};

// Frees the files' bytes (the names stay); their data pointers become null.
void form_release_files(form_table* table);

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

// What became of the request body. Each refusal is its own kind, so the
// answer to the client can tell them apart.
enum form_outcome {
  FORM_READ,         // the table holds the form
  FORM_UNSUPPORTED,  // a CONTENT_TYPE that is no form encoding
  FORM_TOO_LARGE,    // CONTENT_LENGTH over the limit, or too many files
  FORM_MALFORMED,    // not readable in its encoding, or cut short
};

// What read_form takes from the CGI environment and the ini.
struct form_request {
  const char* content_length = "";  // CONTENT_LENGTH, "" when unset
  const char* content_type = "";    // CONTENT_TYPE, "" when unset
  // With a multipart body: the most all its files may hold together; the
  // body may be this plus kMaxFormBody bytes.
  long long max_attachment_bytes = kDefaultMaxAttachmentBytes;
  long long deadline_ms = 0;  // on os_monotonic_ms, for bodies up to 99999
  // Longer bodies: the longest wait for the next byte.
  long long idle_limit_ms = 0;
};

// Reads the body announced by request.content_length (parse_content_length)
// from standard input into *table, logging "FORM SIZE %d\n". The encoding
// follows request.content_type (form_encoding_of in body_readers.h):
// - URL-encoded (also when the type is absent or empty): read_form_body
//   until deadline_ms and parse_form_body, logging
//   "FORM DATA SIZE != CONTENT_LENGTH, got(%d), CL(%d)" when the count kept
//   differs and going on with what arrived; returns FORM_READ.
// - multipart/form-data, text/plain, application/json: a CONTENT_LENGTH over
//   the limit (kMaxFormBody; for multipart max_attachment_bytes more) is
//   refused before anything is read. The body is read once into one block;
//   a body that arrives short is refused. Multipart files point into that
//   block, which the table then owns (file_block); otherwise it is freed.
// - any other type is refused, nothing read.
// A refusal leaves the table empty and logs one LOG_ERRORS line saying why.
// Call once per process.
form_outcome read_form(const form_request& request, form_table* table);

// Reads a CONTENT_LENGTH text like atoi: blanks, optional sign, digits.
int parse_content_length(const char* text);

// The value of the first entry named exactly key, or "" when there is none.
// The first lookup on a table logs "Form stuff %d" and every pair
// (LOG_DEBUG_DATA) and sets form_dumped, hence the table is not const.
const char* form_value(form_table* table, const char* key);

// The value of the first entry named exactly key, or "" when there is none;
// logs nothing.
const char* form_table_lookup(const form_table& table, const char* key);

}  // namespace tarvelo
