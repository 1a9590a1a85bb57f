// The seam to the operating system for everything but sockets: time, process
// id, the CGI environment, standard input and output, the few file writes.
// One file per platform implements it (os_posix.cc, os_windows.cc).
#pragma once

#include <cstddef>
#include <ctime>

namespace tarvelo {

// Fills *out with the current local time.
void os_local_time(struct tm* out);

// Current process id.
int os_process_id();

// The value of an environment variable, or "" when it is not set.
const char* env_or_empty(const char* name);

// Switches standard input to untranslated (binary) mode where the platform
// has a text mode; nothing elsewhere.
void os_stdin_binary();

// Reads up to max bytes from standard input, ending early only at end of
// input or on a read error. Returns the count read.
int os_read_stdin(char* buffer, int max);

// Appends size bytes to the file at path with one write on a descriptor
// opened with O_APPEND (created when missing). Returns 1 when the whole line
// was written, 0 when the file could not be opened or written.
int os_append_line(const char* path, const char* data, size_t size);

// Pauses for the given number of milliseconds.
void os_sleep_ms(int milliseconds);

}  // namespace tarvelo
