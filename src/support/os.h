// The seam to the operating system for everything but sockets: time, process
// id, the CGI environment, standard input and output, the few file writes.
// One file per platform implements it (os_posix.cc, os_windows.cc).
#pragma once

#include <cstddef>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace tarvelo {

// Fills *out with the current local time.
void os_local_time(struct tm* out);

// Current process id.
int os_process_id();

// Fills *local with the current local time and *unix_seconds with the same
// moment as seconds since 1970 UTC. Returns the local zone's offset from UTC
// at that moment in minutes, east positive (-300 for New York in winter).
int os_local_time_with_offset(struct tm* local, long long* unix_seconds);

// Stores this machine's host name in out, NUL-terminated and cut to size - 1
// bytes; "" when it cannot be found. REQUIRES: size > 0.
void os_host_name(char* out, size_t size);

// Fills size bytes with unpredictable bytes from the operating system.
// Returns 1 on success, 0 when none could be had (out is then undefined).
int os_random_bytes(unsigned char* out, size_t size);

// The value of an environment variable, or "" when it is not set.
const char* env_or_empty(const char* name);

// Switches standard input to untranslated (binary) mode where the platform
// has a text mode; nothing elsewhere.
void os_stdin_binary();

// Appends size bytes to the file at path with one write on a descriptor
// opened with O_APPEND (created when missing). Returns 1 when the whole line
// was written, 0 when the file could not be opened or written.
int os_append_line(const char* path, const char* data, size_t size);

// Opens path for appending (created when missing, with mode 0640 less the
// umask where files have modes) and returns a descriptor for os_append_fd,
// or -1 when it cannot be opened.
int os_open_append(const char* path);

// Appends size bytes with one write on a descriptor of os_open_append.
// Returns 1 when the whole line was written.
int os_append_fd(int fd, const char* data, size_t size);

// Seconds since the epoch.
long long os_time_seconds();

// Reads the whole file behind fd from its start into *out. Returns 1 on
// success, 0 on a read error.
int os_read_whole(int fd, std::string* out);

// Replaces the whole content of the file behind fd. Returns 1 on success.
int os_replace_content(int fd, const char* data, size_t size);

// Closes fd, releasing its lock.
void os_file_close(int fd);

// Microseconds since the epoch.
long long os_time_microseconds();

// Writes a new file so that final_path appears only complete: creates
// temp_path (failing when it exists), takes an exclusive lock on it, writes
// size bytes of data, forces them to the disk, renames the file to final_path
// (failing when that exists) and forces the folder entry to the disk. Returns
// the descriptor, still holding the lock until os_file_close; or -1 with
// *error naming the failed step and the system's reason, the temporary file
// removed.
int os_write_new_locked(const char* temp_path, const char* final_path,
                        const char* data, size_t size, std::string* error);

enum os_lock_result { OS_LOCKED, OS_LOCK_BUSY, OS_LOCK_GONE, OS_LOCK_FAILED };

// Opens the existing file at path and takes an exclusive lock on it without
// waiting, then checks that path still names the locked file (it was not
// removed or renamed by the holder of an earlier lock). Returns the
// descriptor with *result OS_LOCKED (os_file_close releases the lock); or -1
// with *result OS_LOCK_BUSY (another holds a lock), OS_LOCK_GONE (no longer
// there) or OS_LOCK_FAILED (any other failure).
int os_lock_existing(const char* path, os_lock_result* result);

// Fills *names with the entries of folder, without "." and "..", in no
// particular order. Returns 1, or 0 with *error (the system's reason) when
// the folder cannot be read.
int os_list_folder(const char* folder, std::vector<std::string>* names,
                   std::string* error);

// Renames a file, replacing one of the new name. Returns 1, or 0 with
// *error (the system's reason).
int os_rename(const char* from, const char* to, std::string* error);

// Removes a file. Returns 1, or 0 with *error (the system's reason).
int os_remove_file(const char* path, std::string* error);

// --- Run control: the CGI environment, the form's time limit, signals ---

// The value of an environment variable, or null when it is not set (an
// empty value is set).
const char* env_or_null(const char* name);

// Milliseconds on a clock that never jumps (not the time of day), for
// deadlines.
long long os_monotonic_ms();

// Reads up to max bytes from standard input, ending early at end of input,
// on a read error, or when os_monotonic_ms() reaches deadline_ms while it
// waits for more. Returns the count read.
int os_read_stdin_until(char* buffer, int max, long long deadline_ms);

// Calls handler once when the process is ended by a signal it can catch
// (termination, interrupt, hang-up, a crash), then lets the signal end the
// process as it would have. Signals set to be ignored, or handled by
// someone else, are left alone. handler may only do what is safe within a
// signal handler (open, write, close).
void os_on_fatal_signal(void (*handler)());

// --- Files a run or a tool must not reach through a planted link ----------

// The system's folder for temporary files: TMPDIR when set and not empty,
// else "/tmp" (on Windows the user's %TEMP%), without a trailing separator.
std::string os_temp_folder();

// The absolute, link-free path of the existing file at path; path itself
// when it cannot be resolved.
std::string os_full_path(const char* path);

// Makes sure folder is a folder only this process's user can use: creates it
// with mode 0700 when missing, then checks with lstat that it is a folder,
// not a link, owned by the effective user, with no group or other
// permission bits. Returns 1, or 0 with *error (the reason in words).
int os_private_folder(const char* folder, std::string* error);

// Opens (creating with mode 0600 when missing) a small state file for
// reading and writing without following a link at path, checks that it is
// a regular file, takes away group and other permission bits of a file this
// user owns, and waits for an exclusive lock that lasts until os_file_close.
// Returns a descriptor, or -1 with *error (the failed step and the reason).
int os_lock_private_file(const char* path, std::string* error);

enum os_entry_kind {
  OS_ENTRY_MISSING,  // nothing stands at the name
  OS_ENTRY_REGULAR,  // a regular file
  OS_ENTRY_LINK,     // a symbolic link, dangling or not
  OS_ENTRY_OTHER,    // a folder, a device, a pipe, ...
  OS_ENTRY_UNKNOWN,  // lstat failed for another reason
};

// What stands at path itself (lstat: a link is reported, not followed).
os_entry_kind os_entry_at(const char* path);

// os_lock_existing for a file that must be a regular file of its own: the
// name is checked with lstat first, opened without following a link and
// without waiting on a pipe, and the type is checked again on the open
// descriptor. Anything else gives -1 with *result OS_LOCK_FAILED and
// *not_regular set; the other results are those of os_lock_existing.
int os_lock_existing_regular(const char* path, os_lock_result* result,
                             bool* not_regular);

// Reads the file behind fd from its start into *out when it holds at most
// limit bytes. Returns 1 when read whole, -1 (without reading it whole) when
// it holds more than limit bytes, 0 on a read error.
int os_read_limited(int fd, size_t limit, std::string* out);

// Creates the file at path for writing, failing when anything (a file, a
// link, dangling or not) stands at that name: O_CREAT | O_EXCL | O_NOFOLLOW,
// mode 0644. Returns a descriptor for fdopen, or -1 with errno set.
int os_create_new(const char* path);

// Opens the file at path for writing from its start, emptied, created with
// mode 0640 when missing, without following a link at path (then errno is
// ELOOP). Returns a descriptor for fdopen, or -1 with errno set.
int os_truncate_no_link(const char* path);

// Takes an exclusive lock on folder itself without waiting, held until
// os_file_close (on Windows a lock file ".lock" inside it, removed with the
// lock). Returns a descriptor; or -1 with *busy set when another process
// holds the lock, or with *busy clear when the folder cannot be opened or
// locked.
int os_try_lock_folder(const char* folder, bool* busy);

// Opens the file at path for reading as text, but only when it is a regular
// file: the open does not wait (a FIFO with no writer would block it) and
// the kind is checked on the opened descriptor, so nothing can be swapped in
// between. Returns the stream; or nullptr with *error set to the system's
// error number, EISDIR for a folder and EINVAL for any other kind that is not
// a regular file (a device, a FIFO, a socket).
FILE* os_open_regular_file(const char* path, int* error);

// Reads up to max bytes of standard input into buffer, as
// os_read_stdin_until, but the time limit counts only time without
// progress: reading stops when no byte arrived for idle_ms. Returns the
// count read (less than max at end of input, on an error or when the
// client stalled).
int os_read_stdin_idle(char* buffer, int max, long long idle_ms);

// Gives the memory of the whole pages inside size bytes at data back to the
// system at once: bytes that will never be read again (a file already
// encoded into the message), so a big post does not hold them twice. Their
// content is lost (they read as zeros). The bytes must lie in memory the
// process allocated. Windows keeps them until they are freed.
void os_give_back_pages(const void* data, size_t size);

// --- What a user may do with a file: the -check switch --------------------

// What stat (following links, as the web server's open does) says of a path.
struct os_file_facts {
  bool exists = false;
  bool is_folder = false;
  bool is_regular = false;
  unsigned mode = 0;  // the permission bits, 07777
  unsigned uid = 0;
  unsigned gid = 0;
};

// Fills *out for path; exists stays false when stat fails (then the other
// fields are zero).
void os_file_facts_of(const char* path, os_file_facts* out);

// A user as the permission bits see it.
struct os_user_ids {
  std::string name;
  unsigned uid = 0;
  std::vector<unsigned> groups;  // the primary group first
};

// Looks the user up by name in /etc/passwd, and its groups in /etc/group
// (the primary group first). Returns 1 and fills *out, or 0 when there is
// no such user or permissions are not judged here.
int os_user_ids_of(const char* name, os_user_ids* out);

// The name of the user running this process; "" when unknown.
std::string os_current_user_name();

// Null where modes, owners and groups decide who may write a file; on
// Windows (ACLs) the sentence that says they are not judged.
const char* os_permissions_not_judged();

// --- The submissions archive ---------------------------------------------

// Appends size bytes of data to the file at path as one whole piece: opens
// it for appending (creating it with mode 0600, owner only), never through a
// symbolic link (nor a reparse point on Windows) and only when it is a
// regular file, takes an exclusive lock on it (flock; LockFileEx), writes
// the bytes in one write (looping only should the system write fewer),
// unlocks and closes. Runs that append at once never split or interleave
// each other's pieces. Returns true; or false with *why (when not null) in
// words, "<step>: <the system's words>", and the file as it was but for a
// piece cut short by a full disk.
bool os_append_whole(const char* path, const char* data, size_t size,
                     std::string* why);

// Switches standard output to untranslated (binary) mode where the platform
// has a text mode, so a "\r\n" written stays two bytes; nothing elsewhere.
void os_stdout_binary();

}  // namespace tarvelo
