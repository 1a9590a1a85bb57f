// The seam to the operating system for everything but sockets: time, process
// id, the CGI environment, standard input and output, the few file writes.
// One file per platform implements it (os_posix.cc, os_windows.cc).
#pragma once

#include <cstddef>
#include <ctime>
#include <string>

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

// Seconds since the epoch.
long long os_time_seconds();

// Opens (creating when missing) a small state file for reading and writing
// and waits for an exclusive lock on it, which lasts until os_file_close.
// Returns a descriptor, or -1 when the file cannot be opened or locked.
int os_lock_file(const char* path);

// Reads the whole file behind fd from its start into *out. Returns 1 on
// success, 0 on a read error.
int os_read_whole(int fd, std::string* out);

// Replaces the whole content of the file behind fd. Returns 1 on success.
int os_replace_content(int fd, const char* data, size_t size);

// Closes fd, releasing its lock.
void os_file_close(int fd);

// Pauses for the given number of milliseconds.
void os_sleep_ms(int milliseconds);

}  // namespace tarvelo
