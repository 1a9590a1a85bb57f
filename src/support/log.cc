#include "support/log.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/exit_codes.h"
#include "support/os.h"

namespace tarvelo {

namespace {

// Process-wide: set by the run sequence (path) and the ini reader (logging);
// read by every log line. It also keeps the start of a log line
// ("<stamp> - pid(<pid>) - ") as last formatted. Its initial values put the
// record among the initialised data, whose pages every run touches anyway,
// rather than on a page of its own.
struct log_state {
  const char* path = "";
  // The log stays open from a run's first line to its last: one write per
  // line instead of an open, a write and a close. -1 until a line was
  // written; a failed open is tried again at the next line.
  int fd = -1;
  const char* logging = nullptr;
  bool in_progress = false;
  long long head_second = -1;
  size_t head_length = 0;
  char head[160] = {};
  // Whole lines waiting for log_flush while holding.
  bool holding = false;
  bool flush_at_exit = false;
  size_t held = 0;
};
log_state the_log;

// The log's own scratch set, so a log line never clobbers text that a
// dyn_text is still formatting.
format_scratch log_scratch;

// Room for the lines held at once; a longer burst is written in parts.
char held_lines[8192];

const char* const kMonths[12] = {"January", "February", "March",
                                 "April",   "May",      "June",
                                 "July",    "August",   "September",
                                 "October", "November", "December"};
const char* const kDaySuffix[10] = {"th", "st", "nd", "rd", "th",
                                    "th", "th", "th", "th", "th"};

// Writes size bytes of whole lines to the log in one write.
void write_lines(const char* lines, size_t size) {
  if (the_log.path == nullptr || size == 0) return;
  if (the_log.fd < 0) the_log.fd = os_open_append(the_log.path);
  if (the_log.fd >= 0) os_append_fd(the_log.fd, lines, size);
}

void flush_at_exit() { log_flush(); }

}  // namespace

void log_hold_lines() {
  the_log.holding = true;
  if (!the_log.flush_at_exit) {
    the_log.flush_at_exit = atexit(flush_at_exit) == 0;
  }
}

void log_flush() {
  size_t size = the_log.held;
  the_log.held = 0;
  write_lines(held_lines, size);
}

void log_release_lines() {
  log_flush();
  the_log.holding = false;
}

void log_set_path(const char* path) {
  log_flush();
  if (the_log.fd >= 0) os_file_close(the_log.fd);
  the_log.fd = -1;
  the_log.path = path;
}
const char* log_path() { return the_log.path; }
void log_set_logging(const char* logging) { the_log.logging = logging; }

int log_level_enabled(const char* logging, int level) {
  if (level == LOG_ERRORS) return 1;
  if (level != LOG_DEBUG) return 0;
  return logging == nullptr || strncasecmp(logging, "debug", 5) == 0;
}

void format_log_stamp(const struct tm& when, char* out, int out_size) {
  int day = when.tm_mday;
  const char* suffix = (day >= 10 && day <= 19) ? "th" : kDaySuffix[day % 10];
  int hour = when.tm_hour > 12 ? when.tm_hour - 12 : when.tm_hour;
  const char* meridiem = when.tm_hour < 12 ? "am" : "pm";
  int month = when.tm_mon >= 0 && when.tm_mon < 12 ? when.tm_mon : 0;
  format_text(out, out_size, "%d%s %s %04d, % 2d:%02d:%02d %s", day, suffix,
              kMonths[month], when.tm_year + 1900, hour, when.tm_min,
              when.tm_sec, meridiem);
}

void log_event(int level, const char* format, ...) {
  if (the_log.in_progress || the_log.path == nullptr) return;
  the_log.in_progress = true;
  if (!log_level_enabled(the_log.logging, level)) {
    the_log.in_progress = false;
    return;
  }
  // A run writes all its lines within a second or two, so the stamp and the
  // pid (a system call) are taken and formatted again only when the second
  // changes. This program never forks.
  long long second = os_time_seconds();
  if (second != the_log.head_second) {
    int pid = os_process_id();
    struct tm now;
    os_local_time(&now);
    format_log_stamp(now, the_log.head, 96);
    size_t length = strlen(the_log.head);
    length += format_text(the_log.head + length,
                          static_cast<int>(sizeof the_log.head - length),
                          " - pid(%d) - ", pid);
    the_log.head_length = length;
    the_log.head_second = second;
  }
  const char* head = the_log.head;
  size_t head_length = the_log.head_length;

  va_list args;
  va_start(args, format);
  int n = 0;
  const char* message = format_with_scratch(&log_scratch, &n, format, args);
  va_end(args);

  // The whole line goes out in one write, so it is assembled first.
  static char line_buffer[kScratchFixedSize + 192];
  size_t size = head_length + n + 1;
  char* line = size <= sizeof line_buffer ? line_buffer
                                          : static_cast<char*>(malloc(size));
  if (line != nullptr) {
    memcpy(line, head, head_length);
    memcpy(line + head_length, message, n);
    line[size - 1] = '\n';
    if (the_log.holding && size <= sizeof held_lines - the_log.held) {
      memcpy(held_lines + the_log.held, line, size);
      the_log.held += size;
    } else {
      log_flush();
      if (the_log.holding && size <= sizeof held_lines) {
        memcpy(held_lines, line, size);
        the_log.held = size;
      } else {
        write_lines(line, size);
      }
    }
    if (line != line_buffer) free(line);
  }
  the_log.in_progress = false;
}

void fail_with_page(const char* message) {
  // Reached when memory ran out, too: the line is built on the stack.
  log_flush();
  char line[512];
  size_t n = strnlen(message, sizeof line - 2);
  memcpy(line, message, n);
  line[n] = '\n';
  if (the_log.path == nullptr || !os_append_line(the_log.path, line, n + 1)) {
    exit(EXIT_NO_LOG);
  }
  fputs("Pragma: no-cache\n", stdout);
  fputs("Content-type: text/html\n\n", stdout);
  printf("<HTML><BODY>\nerror: %s.\n</BODY></HTML>\n", message);
  log_event(LOG_DEBUG, "ended");
  exit(EXIT_FATAL_PAGE);
}

}  // namespace tarvelo
