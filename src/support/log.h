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
#pragma once

#include <ctime>

#include "support/dyn_text.h"

namespace tarvelo {

enum log_level { LOG_ERRORS = 1, LOG_DEBUG = 2 };

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

// Holds the lines log_event writes in memory from now on, to be written
// together by log_flush or log_release_lines, or as the process exits through
// exit() or a return from main. A run holds the burst of lines it writes
// before its ini sets the logging level. Callers flush before anything that
// may wait (standard input, a prompt), so a run stopped while it waits has
// its lines in the log.
void log_hold_lines();

// Writes the held lines, if any, and goes on holding.
void log_flush();

// Writes the held lines, if any, and writes each later line at once again.
void log_release_lines();

// Writes message + "\n" to the log (no stamp) after any held lines, prints
// the minimal error page on standard output, logs "ended" and exits with
// code 1. When the log cannot be opened it exits with code 2 and prints
// nothing. Does not return.
[[noreturn]] void fail_with_page(const char* message);

}  // namespace tarvelo
