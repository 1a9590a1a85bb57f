#include "support/log.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/calendar.h"
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

// The held lines. A run's usual burst fits the first room; a longer one
// moves to the heap, which grows as needed.
char held_first_room[8192];
char* held_lines = held_first_room;
size_t held_capacity = sizeof held_first_room;

// Where the held LOG_DEBUG_DATA lines lie in held_lines, in order.
struct held_span {
  size_t begin;
  size_t end;
};
held_span* data_spans = nullptr;
size_t data_span_count = 0;
size_t data_span_capacity = 0;

const char* const kDaySuffix[10] = {"th", "st", "nd", "rd", "th",
                                    "th", "th", "th", "th", "th"};

// Writes size bytes of whole lines to the log in one write.
void write_lines(const char* lines, size_t size) {
  if (the_log.path == nullptr || size == 0) return;
  if (the_log.fd < 0) the_log.fd = os_open_append(the_log.path);
  if (the_log.fd >= 0) os_append_fd(the_log.fd, lines, size);
}

void flush_at_exit() { log_flush(); }

// Makes room for more held bytes. Returns false when memory ran out.
bool make_held_room(size_t more) {
  if (more <= held_capacity - the_log.held) return true;
  size_t capacity = held_capacity * 2;
  if (capacity - the_log.held < more) capacity = the_log.held + more;
  char* grown = held_lines == held_first_room
                    ? static_cast<char*>(malloc(capacity))
                    : static_cast<char*>(realloc(held_lines, capacity));
  if (grown == nullptr) return false;
  if (held_lines == held_first_room) {
    memcpy(grown, held_first_room, the_log.held);
  }
  held_lines = grown;
  held_capacity = capacity;
  return true;
}

bool note_data_span(size_t begin, size_t end) {
  if (data_span_count == data_span_capacity) {
    size_t capacity = data_span_capacity == 0 ? 64 : data_span_capacity * 2;
    void* grown = realloc(data_spans, capacity * sizeof *data_spans);
    if (grown == nullptr) return false;
    data_spans = static_cast<held_span*>(grown);
    data_span_capacity = capacity;
  }
  data_spans[data_span_count++] = {begin, end};
  return true;
}

// Holds one whole line; a LOG_DEBUG_DATA line is noted as such. Returns
// false, holding nothing, when memory ran out.
bool hold_line(const char* line, size_t size, bool carries_data) {
  if (!make_held_room(size)) return false;
  if (carries_data && !note_data_span(the_log.held, the_log.held + size)) {
    return false;
  }
  memcpy(held_lines + the_log.held, line, size);
  the_log.held += size;
  return true;
}

// Closes up the held lines over the LOG_DEBUG_DATA lines among them.
void drop_held_data_lines() {
  size_t out = 0;
  size_t at = 0;
  for (size_t i = 0; i < data_span_count; ++i) {
    memmove(held_lines + out, held_lines + at, data_spans[i].begin - at);
    out += data_spans[i].begin - at;
    at = data_spans[i].end;
  }
  memmove(held_lines + out, held_lines + at, the_log.held - at);
  the_log.held = out + (the_log.held - at);
  data_span_count = 0;
}

}  // namespace

void log_hold_lines() {
  the_log.holding = true;
  if (!the_log.flush_at_exit) {
    the_log.flush_at_exit = atexit(flush_at_exit) == 0;
    // A run stopped while it waits (standard input, a prompt) or one that
    // crashes still leaves its lines in the log.
    os_on_fatal_signal(flush_at_exit);
  }
}

void log_flush() {
  size_t size = the_log.held;
  the_log.held = 0;
  data_span_count = 0;
  write_lines(held_lines, size);
}

void log_release_lines() {
  if (!log_level_enabled(the_log.logging, LOG_DEBUG)) drop_held_data_lines();
  log_flush();
  the_log.holding = false;
}

namespace {

// The first line feed or carriage return in [at, end), or end.
size_t next_line_break(const char* text, size_t at, size_t end) {
  const void* lf = memchr(text + at, '\n', end - at);
  size_t stop = lf ? static_cast<const char*>(lf) - text : end;
  const void* cr = memchr(text + at, '\r', stop - at);
  return cr ? static_cast<const char*>(cr) - text : stop;
}

}  // namespace

size_t escape_log_text(const char* text, size_t size, char* out) {
  size_t written = 0;
  for (size_t i = 0; i < size; ++i) {
    // Everything up to the next line break goes as it stands.
    size_t brk = next_line_break(text, i, size);
    if (out != nullptr) memcpy(out + written, text + i, brk - i);
    written += brk - i;
    i = brk;
    if (i == size) break;
    char c = text[i];
    bool last = i + 1 == size;
    if (c == '\r' && !last && text[i + 1] != '\n') {
      if (out != nullptr) memcpy(out + written, "\\r", 2);
      written += 2;
      continue;
    }
    if (out != nullptr) out[written] = c;
    ++written;
    if (c == '\n' && !last && text[i + 1] >= '0' && text[i + 1] <= '9') {
      if (out != nullptr) out[written] = '\t';
      ++written;
    }
  }
  return written;
}

namespace {

// Whether the text needs escape_log_text at all; most lines hold neither
// byte.
bool needs_escape(const char* text, size_t size) {
  return memchr(text, '\n', size) != nullptr ||
         memchr(text, '\r', size) != nullptr;
}

}  // namespace

void log_set_path(const char* path) {
  log_flush();
  if (the_log.fd >= 0) os_file_close(the_log.fd);
  the_log.fd = -1;
  the_log.path = path;
}
const char* log_path() { return the_log.path; }
void log_set_logging(const char* logging) { the_log.logging = logging; }
const char* log_logging() { return the_log.logging; }

int log_level_enabled(const char* logging, int level) {
  if (level == LOG_ERRORS) return 1;
  if (level != LOG_DEBUG && level != LOG_DEBUG_DATA) return 0;
  return logging == nullptr || strncasecmp(logging, "debug", 5) == 0;
}

void format_log_stamp(const struct tm& when, char* out, int out_size) {
  int day = when.tm_mday;
  const char* suffix = (day >= 10 && day <= 19) ? "th" : kDaySuffix[day % 10];
  int hour = when.tm_hour > 12 ? when.tm_hour - 12 : when.tm_hour;
  const char* meridiem = when.tm_hour < 12 ? "am" : "pm";
  int month = when.tm_mon >= 0 && when.tm_mon < 12 ? when.tm_mon : 0;
  format_text(out, out_size, "%d%s %s %04d, % 2d:%02d:%02d %s", day, suffix,
              month_name(month), when.tm_year + 1900, hour, when.tm_min,
              when.tm_sec, meridiem);
}

void log_event(int level, const char* format, ...) {
  if (the_log.in_progress || the_log.path == nullptr) return;
  the_log.in_progress = true;
  bool carries_data = level == LOG_DEBUG_DATA;
  if (carries_data) level = LOG_DEBUG;
  // While held, a line with submitted data waits for the final `logging`
  // value: log_release_lines decides.
  bool held_for_later = carries_data && the_log.holding;
  if (!held_for_later && !log_level_enabled(the_log.logging, level)) {
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
  size_t length = static_cast<size_t>(n);
  bool escape = needs_escape(message, length);
  if (escape) length = escape_log_text(message, length, nullptr);
  size_t size = head_length + length + 1;
  char* line = size <= sizeof line_buffer ? line_buffer
                                          : static_cast<char*>(malloc(size));
  if (line != nullptr) {
    memcpy(line, head, head_length);
    if (escape) {
      escape_log_text(message, static_cast<size_t>(n), line + head_length);
    } else {
      memcpy(line + head_length, message, length);
    }
    line[size - 1] = '\n';
    if (!the_log.holding || !hold_line(line, size, carries_data)) {
      log_flush();
      write_lines(line, size);
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

void log_take_held_lines(std::string* out) {
  out->append(held_lines, the_log.held);
  the_log.held = 0;
  data_span_count = 0;
}

}  // namespace tarvelo
