// Windows side of the operating-system seam. Descriptors handed out here are
// C runtime descriptors, as on POSIX; the Win32 calls work on the handles
// behind them.
#include <windows.h>
// ntsecapi.h needs windows.h first.
#include <ntsecapi.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/calendar.h"
#include "support/os.h"

namespace tarvelo {

void os_local_time(struct tm* out) {
  time_t now = time(nullptr);
  localtime_s(out, &now);
}

int os_process_id() { return static_cast<int>(GetCurrentProcessId()); }

int os_local_time_with_offset(struct tm* local, long long* unix_seconds) {
  __time64_t now = _time64(nullptr);
  _localtime64_s(local, &now);
  *unix_seconds = static_cast<long long>(now);
  // The local fields read as if they were UTC, minus the moment itself, is
  // the zone's offset; struct tm has no offset field here.
  long long shifted =
      days_from_civil(local->tm_year + 1900, local->tm_mon + 1,
                      local->tm_mday) * 86400LL +
      local->tm_hour * 3600LL + local->tm_min * 60LL + local->tm_sec;
  return static_cast<int>((shifted - static_cast<long long>(now)) / 60);
}

void os_host_name(char* out, size_t size) {
  // A DNS label set is at most 255 bytes; gethostname would need the
  // sockets layer started.
  char name[256];
  DWORD length = sizeof name;
  if (!GetComputerNameExA(ComputerNameDnsHostname, name, &length)) {
    out[0] = '\0';
    return;
  }
  size_t keep = length < size - 1 ? length : size - 1;
  memcpy(out, name, keep);
  out[keep] = '\0';
}

int os_random_bytes(unsigned char* out, size_t size) {
  while (size > 0) {
    ULONG piece = size > 0x10000 ? 0x10000 : static_cast<ULONG>(size);
    if (!RtlGenRandom(out, piece)) return 0;
    out += piece;
    size -= piece;
  }
  return 1;
}

const char* env_or_empty(const char* name) {
  const char* value = getenv(name);
  return value ? value : "";
}

// The web server sends the body as bytes; text mode would drop carriage
// returns from it and end it early at a Ctrl-Z.
void os_stdin_binary() { _setmode(_fileno(stdin), _O_BINARY); }

namespace {

// Reads up to max bytes from standard input, ending early only at end of
// input or on a read error. Returns the count read.
int read_stdin_to_end(char* buffer, int max) {
  int got = 0;
  while (got < max) {
    int n = _read(_fileno(stdin), buffer + got,
                  static_cast<unsigned>(max - got));
    if (n <= 0) break;
    got += n;
  }
  return got;
}

}  // namespace

int os_open_append(const char* path) {
  // Append access alone (no FILE_WRITE_DATA) makes every write land at the
  // end of the file in one step, so lines of runs that log at once never
  // overwrite or split each other.
  HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ |
                            FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return -1;
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_APPEND);
  if (fd < 0) CloseHandle(file);
  return fd;
}

int os_append_fd(int fd, const char* data, size_t size) {
  DWORD written = 0;
  BOOL ok = WriteFile(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), data,
                      static_cast<DWORD>(size), &written, nullptr);
  return ok && written == size;
}

int os_append_line(const char* path, const char* data, size_t size) {
  int fd = os_open_append(path);
  if (fd < 0) return 0;
  int whole = os_append_fd(fd, data, size);
  _close(fd);
  return whole;
}

long long os_time_seconds() { return static_cast<long long>(_time64(nullptr)); }

namespace {

HANDLE handle_of(int fd) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

// The lock covers every byte the file may ever hold.
constexpr DWORD kWholeRange = 0xffffffff;

// Opens path for reading and writing with every sharing mode, delete
// included: as on POSIX, a file that a run holds open and locked can still
// be renamed or removed (the spool does both to files it holds). Returns
// INVALID_HANDLE_VALUE with GetLastError set on failure.
HANDLE open_shared(const char* path, DWORD disposition) {
  return CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Hands the handle to the C runtime, which closes it with the descriptor.
// Returns -1 (the handle closed) when the runtime has no room.
int descriptor_of(HANDLE file) {
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_BINARY);
  if (fd < 0) CloseHandle(file);
  return fd;
}

bool lock_whole(HANDLE file, DWORD flags) {
  OVERLAPPED from_start;
  memset(&from_start, 0, sizeof from_start);
  return LockFileEx(file, flags, 0, kWholeRange, kWholeRange, &from_start);
}

// Stores "<step>: <the system's words for code>" when the caller wants it.
void set_error(std::string* error, const char* step, DWORD code) {
  if (error == nullptr) return;
  char words[256];
  DWORD length = FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      code, 0, words, sizeof words, nullptr);
  // The system's texts end with a full stop and a line end.
  while (length > 0 && (words[length - 1] == '\r' ||
                        words[length - 1] == '\n' ||
                        words[length - 1] == '.' ||
                        words[length - 1] == ' ')) {
    --length;
  }
  *error = step;
  *error += ": ";
  if (length == 0) {
    *error += "error " + std::to_string(code);
  } else {
    error->append(words, length);
  }
}

}  // namespace

int os_read_whole(int fd, std::string* out) {
  return os_read_limited(fd, SIZE_MAX, out) == 1;
}

int os_replace_content(int fd, const char* data, size_t size) {
  if (_chsize_s(fd, 0) != 0) return 0;
  if (_lseeki64(fd, 0, SEEK_SET) != 0) return 0;
  size_t done = 0;
  while (done < size) {
    size_t left = size - done;
    unsigned piece = left > 0x40000000 ? 0x40000000u
                                       : static_cast<unsigned>(left);
    int n = _write(fd, data + done, piece);
    if (n <= 0) return 0;
    done += static_cast<size_t>(n);
  }
  return 1;
}

void os_file_close(int fd) {
  // Closing releases a lock too, but only when the system gets round to it;
  // the next run waiting for it should not wait for that. A descriptor
  // without a lock just fails to unlock.
  OVERLAPPED from_start;
  memset(&from_start, 0, sizeof from_start);
  UnlockFileEx(handle_of(fd), 0, kWholeRange, kWholeRange, &from_start);
  _close(fd);
}

long long os_time_microseconds() {
  FILETIME now;
  GetSystemTimePreciseAsFileTime(&now);
  // 100-nanosecond steps since 1601; 11644473600 seconds lie before 1970.
  long long steps = static_cast<long long>(now.dwHighDateTime) << 32 |
                    now.dwLowDateTime;
  return (steps - 116444736000000000LL) / 10;
}

int os_write_new_locked(const char* temp_path, const char* final_path,
                        const char* data, size_t size, std::string* error) {
  HANDLE file = open_shared(temp_path, CREATE_NEW);
  if (file == INVALID_HANDLE_VALUE) {
    set_error(error, "create", GetLastError());
    return -1;
  }
  const char* step = nullptr;
  DWORD written = 0;
  // Locked before the file gets its final name: whoever finds it there finds
  // it locked until this run has delivered it or given up for now.
  if (!lock_whole(file, LOCKFILE_EXCLUSIVE_LOCK)) {
    step = "lock";
  } else if (!WriteFile(file, data, static_cast<DWORD>(size), &written,
                        nullptr) ||
             written != size) {
    step = "write";
  } else if (!FlushFileBuffers(file)) {
    step = "sync";
  } else if (!MoveFileExA(temp_path, final_path, MOVEFILE_WRITE_THROUGH)) {
    // Without MOVEFILE_REPLACE_EXISTING an existing final_path is never
    // replaced: another run's message would be lost. WRITE_THROUGH returns
    // only when the new name is on the disk.
    step = "rename";
  }
  if (step != nullptr) {
    DWORD code = GetLastError();
    set_error(error, step, code);
    CloseHandle(file);
    DeleteFileA(temp_path);
    SetLastError(code);
    return -1;
  }
  return descriptor_of(file);
}

namespace {

// Whether two handles are the same file: same volume, same file index.
bool same_file(HANDLE a, HANDLE b) {
  BY_HANDLE_FILE_INFORMATION one;
  BY_HANDLE_FILE_INFORMATION two;
  return GetFileInformationByHandle(a, &one) &&
         GetFileInformationByHandle(b, &two) &&
         one.dwVolumeSerialNumber == two.dwVolumeSerialNumber &&
         one.nFileIndexHigh == two.nFileIndexHigh &&
         one.nFileIndexLow == two.nFileIndexLow;
}

bool delete_pending(HANDLE file) {
  FILE_STANDARD_INFO info;
  return GetFileInformationByHandleEx(file, FileStandardInfo, &info,
                                      sizeof info) &&
         info.DeletePending;
}

}  // namespace

int os_lock_existing(const char* path, os_lock_result* result) {
  HANDLE file = open_shared(path, OPEN_EXISTING);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    // A file removed by another run while it still held it open stays
    // there, refusing every open, until that run closes it.
    bool gone = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ||
                (code == ERROR_ACCESS_DENIED &&
                 GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES);
    *result = gone ? OS_LOCK_GONE : OS_LOCK_FAILED;
    return -1;
  }
  if (!lock_whole(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY)) {
    DWORD code = GetLastError();
    *result = code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING
                  ? OS_LOCK_BUSY
                  : OS_LOCK_FAILED;
    CloseHandle(file);
    return -1;
  }
  // The holder of an earlier lock may have removed or renamed the file
  // between our open and our lock; then it is not ours to handle.
  HANDLE named = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE |
                             FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  bool ours = named != INVALID_HANDLE_VALUE && !delete_pending(file) &&
              same_file(file, named);
  if (named != INVALID_HANDLE_VALUE) CloseHandle(named);
  if (!ours) {
    *result = OS_LOCK_GONE;
    CloseHandle(file);
    return -1;
  }
  int fd = descriptor_of(file);
  *result = fd < 0 ? OS_LOCK_FAILED : OS_LOCKED;
  return fd;
}

int os_list_folder(const char* folder, std::vector<std::string>* names,
                   std::string* error) {
  names->clear();
  std::string pattern = folder;
  if (!pattern.empty() && pattern.back() != '\\' && pattern.back() != '/') {
    pattern += '\\';
  }
  pattern += '*';
  WIN32_FIND_DATAA entry;
  HANDLE search = FindFirstFileA(pattern.c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) {
    set_error(error, "open folder", GetLastError());
    return 0;
  }
  do {
    const char* name = entry.cFileName;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    names->push_back(name);
  } while (FindNextFileA(search, &entry));
  DWORD code = GetLastError();
  FindClose(search);
  if (code != ERROR_NO_MORE_FILES) {
    set_error(error, "read folder", code);
    return 0;
  }
  return 1;
}

int os_rename(const char* from, const char* to, std::string* error) {
  if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING)) return 1;
  set_error(error, "rename", GetLastError());
  return 0;
}

int os_remove_file(const char* path, std::string* error) {
  if (DeleteFileA(path)) return 1;
  set_error(error, "remove", GetLastError());
  return 0;
}

// --- Run control: the CGI environment, the form's time limit, signals ---

const char* env_or_null(const char* name) { return getenv(name); }

long long os_monotonic_ms() { return static_cast<long long>(GetTickCount64()); }

int os_read_stdin_until(char* buffer, int max, long long deadline_ms) {
  int fd = _fileno(stdin);
  HANDLE input = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (GetFileType(input) != FILE_TYPE_PIPE) {
    return read_stdin_to_end(buffer, max);
  }
  // An anonymous pipe cannot be waited on with a time limit: look how much
  // is there, and read only that, until the deadline.
  int got = 0;
  while (got < max) {
    DWORD available = 0;
    if (!PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr)) {
      // A broken pipe: the writer closed its end and everything was read.
      if (GetLastError() == ERROR_BROKEN_PIPE) break;
      // A pipe that cannot be peeked at (Wine's pipes to a POSIX parent):
      // read to the end without the time limit; IIS's CGITimeout still ends
      // such a run.
      return got + read_stdin_to_end(buffer + got, max - got);
    }
    if (available == 0) {
      if (os_monotonic_ms() >= deadline_ms) break;
      Sleep(10);
      continue;
    }
    unsigned want = static_cast<unsigned>(max - got);
    if (available < want) want = available;
    int n = _read(fd, buffer + got, want);
    if (n <= 0) break;
    got += n;
  }
  return got;
}

namespace {

void (*fatal_signal_handler)() = nullptr;

void on_fatal_signal(int signal_number) {
  if (fatal_signal_handler != nullptr) fatal_signal_handler();
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

}  // namespace

void os_on_fatal_signal(void (*handler)()) {
  fatal_signal_handler = handler;
  for (int signal_number :
       {SIGTERM, SIGINT, SIGSEGV, SIGABRT, SIGFPE, SIGILL}) {
    // Put back a disposition someone else chose.
    auto previous = signal(signal_number, on_fatal_signal);
    if (previous != SIG_DFL && previous != SIG_ERR) {
      signal(signal_number, previous);
    }
  }
}

// --- Files a run or a tool must not reach through a planted link ----------

namespace {

// A reparse point is how Windows makes symbolic links and junctions.
bool is_reparse_point(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Opens path with every sharing mode, the link itself rather than its
// target, so the caller can refuse a link it finds on the handle.
HANDLE open_no_follow(const char* path, DWORD access, DWORD disposition) {
  return CreateFileA(path, access,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, disposition,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                     nullptr);
}

// Whether the open handle is a plain file, neither a link nor anything else.
bool handle_is_regular(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileType(file) == FILE_TYPE_DISK &&
         GetFileInformationByHandle(file, &info) &&
         (info.dwFileAttributes &
          (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0;
}

}  // namespace

std::string os_temp_folder() {
  char buffer[MAX_PATH + 1];
  DWORD length = GetTempPathA(sizeof buffer, buffer);
  std::string folder =
      length == 0 || length > MAX_PATH ? std::string("C:\\Windows\\Temp")
                                       : std::string(buffer, length);
  while (folder.size() > 3 && (folder.back() == '\\' || folder.back() == '/')) {
    folder.pop_back();
  }
  return folder;
}

std::string os_full_path(const char* path) {
  char buffer[MAX_PATH + 1];
  DWORD length = GetFullPathNameA(path, sizeof buffer, buffer, nullptr);
  if (length == 0 || length > MAX_PATH) return path;
  return std::string(buffer, length);
}

int os_private_folder(const char* folder, std::string* error) {
  // %TEMP% is the user's own folder, so no other account can have made
  // this one first; only a link planted in it is refused.
  if (!CreateDirectoryA(folder, nullptr) &&
      GetLastError() != ERROR_ALREADY_EXISTS) {
    set_error(error, "create folder", GetLastError());
    return 0;
  }
  DWORD attributes = GetFileAttributesA(folder);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    set_error(error, "attributes", GetLastError());
    return 0;
  }
  if (is_reparse_point(attributes)) {
    *error = "a symbolic link";
    return 0;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    *error = "not a folder";
    return 0;
  }
  return 1;
}

int os_lock_private_file(const char* path, std::string* error) {
  HANDLE file = open_no_follow(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
  if (file == INVALID_HANDLE_VALUE) {
    set_error(error, "open", GetLastError());
    return -1;
  }
  if (!handle_is_regular(file)) {
    *error = "not a regular file";
    CloseHandle(file);
    return -1;
  }
  if (!lock_whole(file, LOCKFILE_EXCLUSIVE_LOCK)) {
    set_error(error, "lock", GetLastError());
    CloseHandle(file);
    return -1;
  }
  return descriptor_of(file);
}

os_entry_kind os_entry_at(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    DWORD code = GetLastError();
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND
               ? OS_ENTRY_MISSING
               : OS_ENTRY_UNKNOWN;
  }
  if (is_reparse_point(attributes)) return OS_ENTRY_LINK;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? OS_ENTRY_OTHER
                                                      : OS_ENTRY_REGULAR;
}

int os_lock_existing_regular(const char* path, os_lock_result* result,
                             bool* not_regular) {
  *not_regular = false;
  os_entry_kind kind = os_entry_at(path);
  if (kind == OS_ENTRY_LINK || kind == OS_ENTRY_OTHER) {
    *not_regular = true;
    *result = OS_LOCK_FAILED;
    return -1;
  }
  int fd = os_lock_existing(path, result);
  if (fd < 0) return -1;
  if (!handle_is_regular(handle_of(fd))) {
    *not_regular = true;
    *result = OS_LOCK_FAILED;
    os_file_close(fd);
    return -1;
  }
  return fd;
}

int os_read_limited(int fd, size_t limit, std::string* out) {
  out->clear();
  long long size = _filelengthi64(fd);
  if (size < 0) return 0;
  if (static_cast<unsigned long long>(size) > limit) return -1;
  out->reserve(static_cast<size_t>(size));
  if (_lseeki64(fd, 0, SEEK_SET) != 0) return 0;
  char buffer[8192];
  for (;;) {
    int n = _read(fd, buffer, sizeof buffer);
    if (n < 0) return 0;
    if (n == 0) return 1;
    if (out->size() + static_cast<size_t>(n) > limit) return -1;
    out->append(buffer, static_cast<size_t>(n));
  }
}

int os_create_new(const char* path) {
  // CREATE_NEW fails on anything at the name, a link included.
  HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    errno = GetLastError() == ERROR_FILE_EXISTS ? EEXIST : EACCES;
    return -1;
  }
  // Text mode, as fopen(path, "w") gave before.
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_TEXT);
  if (fd < 0) CloseHandle(file);
  return fd;
}

int os_truncate_no_link(const char* path) {
  if (is_reparse_point(GetFileAttributesA(path))) {
    errno = ELOOP;
    return -1;
  }
  // Text mode, as fopen(path, "w") gave before: the banner ends in CR LF.
  // 0600: _S_IREAD | _S_IWRITE, a file that is not read-only.
  return _open(path, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_TEXT, 0600);
}

int os_try_lock_folder(const char* folder, bool* busy) {
  *busy = false;
  std::string path = folder;
  if (!path.empty() && path.back() != '\\' && path.back() != '/') {
    path += '\\';
  }
  path += ".lock";
  // No sharing: a second pass cannot open it while the first holds it. The
  // file goes with the last handle, so the folder holds only messages.
  HANDLE file = CreateFileA(
      path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr,
      OPEN_ALWAYS,
      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT |
          FILE_FLAG_DELETE_ON_CLOSE,
      nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *busy = GetLastError() == ERROR_SHARING_VIOLATION;
    return -1;
  }
  int fd = descriptor_of(file);
  return fd;
}

FILE* os_open_regular_file(const char* path, int* error) {
  // Names such as CON or NUL open as devices; only a disk file is a page.
  int fd = _open(path, _O_RDONLY | _O_TEXT | _O_NOINHERIT);
  if (fd < 0) {
    *error = errno;
    return nullptr;
  }
  struct _stat64 info;
  if (_fstat64(fd, &info) != 0) {
    *error = errno;
    _close(fd);
    return nullptr;
  }
  if ((info.st_mode & _S_IFMT) != _S_IFREG) {
    *error = (info.st_mode & _S_IFMT) == _S_IFDIR ? EISDIR : EINVAL;
    _close(fd);
    return nullptr;
  }
  FILE* file = _fdopen(fd, "r");
  if (file == nullptr) {
    *error = errno;
    _close(fd);
  }
  return file;
}

int os_read_stdin_idle(char* buffer, int max, long long idle_ms) {
  int got = 0;
  while (got < max) {
    // Each call reads until its deadline; one that brings nothing means the
    // client stalled (or the input ended). A stall thus ends the read after
    // idle_ms to twice that.
    int n = os_read_stdin_until(buffer + got, max - got,
                                os_monotonic_ms() + idle_ms);
    if (n <= 0) break;
    got += n;
  }
  return got;
}

void os_give_back_pages(const void* data, size_t size) {
  // The heap's blocks cannot give back part of themselves; they go whole
  // when freed.
  (void)data;
  (void)size;
}

void os_file_facts_of(const char* path, os_file_facts* out) {
  *out = os_file_facts{};
  struct _stat64 st;
  if (_stat64(path, &st) != 0) return;
  out->exists = true;
  out->is_folder = (st.st_mode & _S_IFDIR) != 0;
  out->is_regular = (st.st_mode & _S_IFREG) != 0;
  out->mode = st.st_mode & 0777;
}

int os_user_ids_of(const char* name, os_user_ids* out) {
  (void)name;
  (void)out;
  return 0;
}

std::string os_current_user_name() {
  const char* name = getenv("USERNAME");
  return name != nullptr ? name : "";
}

const char* os_permissions_not_judged() {
  return "file permissions are not judged on Windows (access control "
         "lists decide there): make sure the web server's account may write "
         "the log and the spool folder";
}

// --- The submissions archive ---------------------------------------------

bool os_append_whole(const char* path, const char* data, size_t size,
                     std::string* why) {
  // Append access alone puts every write at the end of the file; the
  // reparse point itself is opened, so a link is found and refused.
  HANDLE file = CreateFileA(
      path, FILE_APPEND_DATA | SYNCHRONIZE | FILE_READ_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_ALWAYS,
      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    set_error(why, "open", GetLastError());
    return false;
  }
  if (!handle_is_regular(file)) {
    if (why != nullptr) *why = "not a regular file";
    CloseHandle(file);
    return false;
  }
  if (!lock_whole(file, LOCKFILE_EXCLUSIVE_LOCK)) {
    set_error(why, "lock", GetLastError());
    CloseHandle(file);
    return false;
  }
  bool whole = true;
  size_t done = 0;
  while (done < size) {
    size_t left = size - done;
    DWORD piece = left > 0x40000000 ? 0x40000000u : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!WriteFile(file, data + done, piece, &written, nullptr) ||
        written == 0) {
      set_error(why, "write", GetLastError());
      whole = false;
      break;
    }
    done += written;
  }
  OVERLAPPED from_start;
  memset(&from_start, 0, sizeof from_start);
  UnlockFileEx(file, 0, kWholeRange, kWholeRange, &from_start);
  CloseHandle(file);
  return whole;
}

void os_stdout_binary() { _setmode(_fileno(stdout), _O_BINARY); }

}  // namespace tarvelo
