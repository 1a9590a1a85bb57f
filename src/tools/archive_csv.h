// tarvelo -archive_csv ARCHIVE: the submissions archive (one JSON record a
// line, see spool/archive.h) as CSV (RFC 4180) for a spreadsheet program.
//
// The sheet: a UTF-8 byte-order mark (so spreadsheet programs read accents
// as UTF-8), a header line "time,outcome", then "client" when any record has
// one, then one column per field name in the order the names first appear.
// A name that comes back within one record gets further columns: its second
// value goes to "Name (2)", its third to "Name (3)". A file field reads
// "cv.pdf (1234 bytes)". Lines end with CRLF; a cell holding a comma, a
// quote, CR or LF is quoted with its quotes doubled. A cell that begins
// with = + - @, a tab or a CR gets a leading "'" so a spreadsheet shows it
// as text instead of running it as a formula (OWASP's advice against CSV
// injection: visitors write these cells).
//
// State owned here: none.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarvelo {

// One archive line as read.
struct archive_record {
  std::string time;
  std::string outcome;
  bool has_client = false;
  std::string client;
  // [name, value] in the record's order; a file field's value is
  // "NAME (SIZE bytes)".
  std::vector<std::pair<std::string, std::string>> fields;
};

// Reads one line (without its line end) into *out. Returns false when the
// line is no record: not one JSON object of valid UTF-8, or "time",
// "outcome" or "fields" missing or of the wrong kind; *out is then
// unspecified.
bool archive_record_of(std::string_view line, archive_record* out);

// One CSV cell: the formula guard, then quoting where RFC 4180 needs it.
std::string csv_cell(std::string_view text);

// The whole sheet for the archive's text, byte-order mark first. Every line
// that is no record is left out, its number (from 1) added to *skipped. An
// unfinished last line (a run still writing it, or cut off) is such a line.
std::string archive_csv_of(std::string_view archive, std::vector<int>* skipped);

// The switch: reads the file at path, prints the sheet to out and a note
// per skipped line to err ("-archive_csv: line N is no record; skipped").
// Returns EXIT_RUN_DONE once the file could be read, else prints why to err
// and returns EXIT_TOOL_FAILED.
int archive_csv_command(const char* path, FILE* out, FILE* err);

}  // namespace tarvelo
