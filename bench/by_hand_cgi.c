/* The yardstick of the benchmark: the least a static C program must do to
 * turn the benchmark's form into a mail, written by hand for this one form.
 * It reads its ini (the smtp line and the success page), reads the body,
 * decodes the four fields, writes one log line, delivers the mail with
 * HELO, MAIL, RCPT, DATA and QUIT, each reply checked, and prints the
 * success page. It has none of the gateway's settings, checks or trace, so
 * the gateway can only come near it; the table shows how near.
 *
 * Its ini and log lie beside it, named after it as the gateway's are. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

static char body[100001];
static char ini[65536];
static char message[200000];
static char page[65536];

static int hex(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

/* Decodes one application/x-www-form-urlencoded piece in place. */
static void decode(char* text) {
  char* out = text;
  for (char* in = text; *in != '\0'; ++in) {
    if (*in == '+') {
      *out++ = ' ';
    } else if (in[0] == '%' && in[1] != '\0' && in[2] != '\0') {
      *out++ = (char)(hex(in[1]) * 16 + hex(in[2]));
      in += 2;
    } else {
      *out++ = *in;
    }
  }
  *out = '\0';
}

static size_t read_file(const char* path, char* into, size_t room) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  size_t got = 0;
  ssize_t n;
  while (got < room - 1 && (n = read(fd, into + got, room - 1 - got)) > 0) {
    got += (size_t)n;
  }
  close(fd);
  into[got] = '\0';
  return got;
}

/* A copy of the value of the ini line "keyword value", or NULL. */
static char* setting(const char* keyword) {
  size_t length = strlen(keyword);
  for (const char* line = ini; *line != '\0';) {
    const char* end = strchr(line, '\n');
    if (end == NULL) end = line + strlen(line);
    if (strncmp(line, keyword, length) == 0 && line[length] == ' ') {
      return strndup(line + length + 1, (size_t)(end - line) - length - 1);
    }
    line = *end == '\n' ? end + 1 : end;
  }
  return NULL;
}

static int reply_code(int fd) {
  char reply[1024];
  ssize_t n = recv(fd, reply, sizeof reply - 1, 0);
  if (n < 4) return -1;
  return atoi(reply);
}

static int step(int fd, const char* text, size_t size, int want) {
  if (send(fd, text, size, MSG_NOSIGNAL) != (ssize_t)size) return 0;
  return reply_code(fd) == want;
}

int main(int argc, char** argv) {
  (void)argc;
  char path[4096];
  snprintf(path, sizeof path, "%s", argv[0]);
  char* dot = strrchr(path, '.');
  if (dot == NULL) return 1;
  strcpy(dot, ".ini");
  read_file(path, ini, sizeof ini);
  char* smtp = setting("smtp");
  char* success = setting("success_html_page");
  if (smtp == NULL || success == NULL) return 1;
  char* colon = strchr(smtp, ':');
  int port = colon != NULL ? atoi(colon + 1) : 25;
  if (colon != NULL) *colon = '\0';

  const char* length_text = getenv("CONTENT_LENGTH");
  long want = length_text != NULL ? atol(length_text) : 0;
  if (want < 0 || want > (long)sizeof body - 1) want = sizeof body - 1;
  long got = 0;
  ssize_t n;
  while (got < want && (n = read(0, body + got, (size_t)(want - got))) > 0) {
    got += n;
  }
  body[got] = '\0';

  size_t size = (size_t)snprintf(message, sizeof message,
                                 "To: <me@example.com>\r\n"
                                 "From: <me@example.com>\r\n"
                                 "Subject: Form Submission Data\r\n\r\n");
  for (char* pair = strtok(body, "&"); pair != NULL; pair = strtok(NULL, "&")) {
    decode(pair);
    char* equals = strchr(pair, '=');
    if (equals != NULL) *equals = ' ';
    size += (size_t)snprintf(message + size, sizeof message - size, "%s\r\n",
                             pair);
  }
  memcpy(message + size, ".\r\n", 3);
  size += 3;

  strcpy(dot, ".log");
  int log = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (log >= 0) {
    char line[256];
    time_t now = time(NULL);
    struct tm local;
    localtime_r(&now, &local);
    int length = (int)strftime(line, sizeof line, "%d %B %Y %H:%M:%S", &local);
    length += snprintf(line + length, sizeof line - (size_t)length,
                       " - pid(%d) - sending\n", (int)getpid());
    if (write(log, line, (size_t)length) != length) return 1;
    close(log);
  }

  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  struct sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons((uint16_t)port);
  address.sin_addr.s_addr = inet_addr(smtp);
  if (connect(fd, (struct sockaddr*)&address, sizeof address) != 0) return 1;
  static const char helo[] = "HELO by-hand\r\n";
  static const char from[] = "MAIL FROM:<me@example.com>\r\n";
  static const char to[] = "RCPT TO:<me@example.com>\r\n";
  static const char data[] = "DATA\r\n";
  static const char quit[] = "QUIT\r\n";
  int sent = reply_code(fd) == 220 &&
             step(fd, helo, sizeof helo - 1, 250) &&
             step(fd, from, sizeof from - 1, 250) &&
             step(fd, to, sizeof to - 1, 250) &&
             step(fd, data, sizeof data - 1, 354) &&
             step(fd, message, size, 250) &&
             step(fd, quit, sizeof quit - 1, 221);
  close(fd);
  if (!sent) return 1;

  static const char head[] = "Pragma: no-cache\nContent-type: text/html\n\n";
  memcpy(page, head, sizeof head - 1);
  size_t page_size = sizeof head - 1;
  page_size += read_file(success, page + page_size, sizeof page - page_size);
  return write(1, page, page_size) == (ssize_t)page_size ? 0 : 1;
}
