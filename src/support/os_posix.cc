// POSIX side of the operating-system seam.
#include <fcntl.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "support/os.h"

namespace tarvelo {

void os_local_time(struct tm* out) {
  time_t now = time(nullptr);
  localtime_r(&now, out);
}

int os_process_id() { return static_cast<int>(getpid()); }

const char* env_or_empty(const char* name) {
  const char* value = getenv(name);
  return value ? value : "";
}

void os_stdin_binary() {}

int os_read_stdin(char* buffer, int max) {
  int got = 0;
  while (got < max) {
    ssize_t n = read(STDIN_FILENO, buffer + got, max - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<int>(n);
  }
  return got;
}

int os_append_line(const char* path, const char* data, size_t size) {
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return 0;
  // O_APPEND makes the seek and the write one step, so a line lands whole
  // even when many runs append at once. A regular file takes the whole write.
  ssize_t n;
  do {
    n = write(fd, data, size);
  } while (n < 0 && errno == EINTR);
  close(fd);
  return n == static_cast<ssize_t>(size);
}

long long os_time_seconds() { return static_cast<long long>(time(nullptr)); }

int os_lock_file(const char* path) {
  int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      close(fd);
      return -1;
    }
  }
  return fd;
}

int os_read_whole(int fd, std::string* out) {
  out->clear();
  char buffer[8192];
  off_t at = 0;
  for (;;) {
    ssize_t n = pread(fd, buffer, sizeof buffer, at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return 0;
    if (n == 0) return 1;
    out->append(buffer, static_cast<size_t>(n));
    at += n;
  }
}

int os_replace_content(int fd, const char* data, size_t size) {
  if (ftruncate(fd, 0) != 0) return 0;
  size_t done = 0;
  while (done < size) {
    ssize_t n = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    done += static_cast<size_t>(n);
  }
  return 1;
}

void os_file_close(int fd) { close(fd); }

void os_sleep_ms(int milliseconds) {
  struct timespec ts;
  ts.tv_sec = milliseconds / 1000;
  ts.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

}  // namespace tarvelo
