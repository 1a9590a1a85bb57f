// The log file beside the executable, and the fatal-error reply.
//
// State owned here (process-wide, set by the run sequence and the ini reader):
// the log path, the `logging` verbosity setting and the in-progress flag that
// makes log_event non-reentrant.
//
// Each line is built whole in memory and written with one write() on a file
// opened with O_APPEND, so concurrent runs never interleave or split a line.
// While lines are held (log_hold_lines), several whole lines go out in one
// write() instead.
//
// The log holds what visitors typed, so no visitor may write a line of it
// that reads as a record of its own (escape_log_text), a log file created
// here is readable by its owner and group only, and the lines that carry
// submitted data (LOG_DEBUG_DATA) written before the ini is read are kept
// only when the ini's final `logging` value asks for debug lines.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>

#include "support/dyn_text.h"

namespace tarvelo {

// LOG_DEBUG_DATA is a debug line that carries submitted data (the form's
// pairs, or ini entries filled from them). While lines are held it is held
// whatever the `logging` value, and log_release_lines keeps it only when the
// final value enables debug lines; otherwise it is a LOG_DEBUG line.
enum log_level { LOG_ERRORS = 1, LOG_DEBUG = 2, LOG_DEBUG_DATA = 6 };

// Sets the file that log_event and fail_with_page append to. The text is
// referenced, not copied; it must live until the process exits. A null path
// turns log_event off (fuzzing, benchmarks of the parsers).
void log_set_path(const char* path);
const char* log_path();

// Sets the verbosity: absent (null) writes debug lines; otherwise debug lines
// are written only when the first five characters are "debug" in any case.
// The text is referenced, not copied.
void log_set_logging(const char* logging);

// Returns 1 when a line of this level would be written under `logging`.
int log_level_enabled(const char* logging, int level);

// Writes the date stamp for the given local time into out (at least 64
// bytes): "%d%s %s %04d, % 2d:%02d:%02d %s", e.g. "18th March 2002,  9:10:55 am".
void format_log_stamp(const struct tm& when, char* out, int out_size);

// Writes one line "<stamp> - pid(<pid>) - <message>\n" when the level is
// enabled. Never fails to its caller: a log that cannot be opened silences it.
// A call made while another log_event is running writes nothing.
void log_event(int level, const char* format, ...) TARVELO_PRINTF(2, 3);

// Copies size bytes of a log message into out so that no line of it after
// the first can pass for a record: a line feed followed by a digit gets a
// TAB between them, and a carriage return not followed by a line feed is
// written as the two characters \r (the message's end counts as a line
// feed, since the record's own follows). Returns the size of the result;
// with a null out it only counts.
size_t escape_log_text(const char* text, size_t size, char* out);

// Holds the lines log_event writes in memory from now on, without a limit of
// size, to be written by log_flush or log_release_lines. A run holds every
// line until its ini has been read. Should the process end first, through
// exit(), a return from main or a signal that can be caught (a crash, a
// web server's SIGTERM, Ctrl-C at a prompt), every held line is written.
// When memory for holding runs out, the held lines and this one are written
// at once.
void log_hold_lines();

// Writes every held line, if any, and goes on holding.
void log_flush();

// Writes the held lines in order, leaving out the LOG_DEBUG_DATA lines
// unless the `logging` value now set enables debug lines, and writes each
// later line at once again.
void log_release_lines();

// The `logging` value the log now follows (see log_set_logging).
const char* log_logging();

// Writes message + "\n" to the log (no stamp) after any held lines, prints
// the minimal error page on standard output, logs "ended" and exits with
// code 1. When the log cannot be opened it exits with code 2 and prints
// nothing. Does not return.
[[noreturn]] void fail_with_page(const char* message);

// Hands the held lines to the caller instead of the log: appends them to
// *out as they would have been written, and drops them; holding goes on. A
// tool that must write nothing (the -check switch) hears what the ini
// reader says this way.
void log_take_held_lines(std::string* out);

}  // namespace tarvelo
