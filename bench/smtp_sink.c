/* A fast SMTP sink for the benchmark. It accepts any number of connections
 * on 127.0.0.1, answers 220 on connect, 354 to DATA, 221 to QUIT and 250 to
 * everything else, throws the mail away and counts it.
 *
 * For each message it times the DATA phase: from the moment its 354 reply
 * was handed to the kernel to the moment the end-of-data marker
 * (RFC 5321 4.1.1.4: CRLF "." CRLF) arrived. A client that writes the
 * message in several pieces without TCP_NODELAY waits here for the sink's
 * delayed acknowledgement, and this time shows it.
 *
 * Two extra commands serve the harness on any connection:
 *   XSTAT  -> "250 messages=N data_n=K data_p50_us=.. data_p90_us=..
 * data_max_us=.." XRESET -> "250 reset": forgets the counts and the times.
 *
 * Usage: smtp_sink [--port N] [--port-file FILE]
 * Port 0 (the default) takes a free port; it is printed as "port N" on
 * standard output and written to FILE. SIGTERM or SIGINT stop the sink. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { kMaxConnections = 1024, kLineMax = 4096, kMaxSamples = 1 << 20 };

struct connection {
  int fd;
  int in_data;  /* between 354 and the end-of-data marker */
  int closing;  /* QUIT answered: close once read side is done */
  char tail[4]; /* the last bytes of data seen, to find the marker */
  long long data_start_ns;
  size_t held; /* bytes of an unfinished command line */
  char line[kLineMax];
};

static struct connection connections[kMaxConnections];
static struct pollfd watches[kMaxConnections + 1];
static int connection_count;

static long long message_count;
static unsigned int* data_us;
static long long data_count;

static volatile sig_atomic_t stop_requested;

static void on_stop(int signal_number) {
  (void)signal_number;
  stop_requested = 1;
}

static long long now_ns(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

static void reply(struct connection* c, const char* text) {
  size_t size = strlen(text);
  size_t done = 0;
  while (done < size) {
    ssize_t n = send(c->fd, text + done, size - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      struct pollfd w = {c->fd, POLLOUT, 0};
      poll(&w, 1, 1000);
      continue;
    }
    if (n <= 0) {
      c->closing = 1;
      return;
    }
    done += (size_t)n;
  }
}

static int compare_unsigned(const void* a, const void* b) {
  unsigned int x = *(const unsigned int*)a;
  unsigned int y = *(const unsigned int*)b;
  return x < y ? -1 : x > y;
}

static void reply_stats(struct connection* c) {
  char text[256];
  unsigned int p50 = 0, p90 = 0, max = 0;
  long long n = data_count < kMaxSamples ? data_count : kMaxSamples;
  if (n > 0) {
    unsigned int* sorted = malloc((size_t)n * sizeof *sorted);
    if (sorted != NULL) {
      memcpy(sorted, data_us, (size_t)n * sizeof *sorted);
      qsort(sorted, (size_t)n, sizeof *sorted, compare_unsigned);
      p50 = sorted[(n - 1) / 2];
      p90 = sorted[(n * 9 - 1) / 10];
      max = sorted[n - 1];
      free(sorted);
    }
  }
  snprintf(text, sizeof text,
           "250 messages=%lld data_n=%lld data_p50_us=%u data_p90_us=%u "
           "data_max_us=%u\r\n",
           message_count, n, p50, p90, max);
  reply(c, text);
}

static void command(struct connection* c, char* line) {
  size_t length = strlen(line);
  while (length > 0 && (line[length - 1] == '\r' || line[length - 1] == '\n')) {
    line[--length] = '\0';
  }
  if (strncasecmp(line, "DATA", 4) == 0 && length == 4) {
    reply(c, "354 go ahead\r\n");
    c->in_data = 1;
    /* The data may start with the marker itself (an empty message): the
     * 354 line's own line feed counts as the one before the ".". */
    memcpy(c->tail, "\0\0\r\n", 4);
    c->data_start_ns = now_ns();
  } else if (strncasecmp(line, "QUIT", 4) == 0) {
    reply(c, "221 bye\r\n");
    c->closing = 1;
  } else if (strcasecmp(line, "XSTAT") == 0) {
    reply_stats(c);
  } else if (strcasecmp(line, "XRESET") == 0) {
    message_count = 0;
    data_count = 0;
    reply(c, "250 reset\r\n");
  } else if (strncasecmp(line, "EHLO", 4) == 0) {
    reply(c, "250 sink\r\n");
  } else {
    reply(c, "250 OK\r\n");
  }
}

/* Feeds received bytes to the connection: data bytes are scanned for the
 * marker, command bytes are cut into lines. */
static void feed(struct connection* c, const char* bytes, size_t size) {
  size_t i = 0;
  while (i < size && !c->closing) {
    if (c->in_data) {
      for (; i < size; ++i) {
        c->tail[0] = c->tail[1];
        c->tail[1] = c->tail[2];
        c->tail[2] = c->tail[3];
        c->tail[3] = bytes[i];
        /* The marker ends a line that holds only "." (the tail keeps the
         * four bytes before the last "\n"). */
        if (memcmp(c->tail, "\n.\r\n", 4) == 0) {
          long long spent = now_ns() - c->data_start_ns;
          if (data_count < kMaxSamples) {
            data_us[data_count] = (unsigned int)(spent / 1000);
          }
          ++data_count;
          ++message_count;
          c->in_data = 0;
          ++i;
          reply(c, "250 OK queued\r\n");
          break;
        }
      }
      continue;
    }
    const char* feed_end = memchr(bytes + i, '\n', size - i);
    size_t take =
        feed_end != NULL ? (size_t)(feed_end - (bytes + i)) + 1 : size - i;
    if (c->held + take >= kLineMax) {
      /* An over-long line: keep its end only. */
      c->held = 0;
      if (take >= kLineMax) {
        i += take;
        continue;
      }
    }
    memcpy(c->line + c->held, bytes + i, take);
    c->held += take;
    i += take;
    if (feed_end != NULL) {
      c->line[c->held] = '\0';
      c->held = 0;
      command(c, c->line);
    }
  }
}

static void close_connection(int index) {
  close(connections[index].fd);
  --connection_count;
  connections[index] = connections[connection_count];
  watches[index + 1] = watches[connection_count + 1];
}

int main(int argc, char** argv) {
  int port = 0;
  const char* port_file = NULL;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
      port = atoi(argv[++i]);
    } else if (strcmp(argv[i], "--port-file") == 0 && i + 1 < argc) {
      port_file = argv[++i];
    } else {
      fprintf(stderr, "usage: smtp_sink [--port N] [--port-file FILE]\n");
      return 2;
    }
  }
  data_us = calloc(kMaxSamples, sizeof *data_us);
  if (data_us == NULL) return 1;

  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = on_stop;
  sigaction(SIGTERM, &action, NULL);
  sigaction(SIGINT, &action, NULL);
  signal(SIGPIPE, SIG_IGN);

  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  int one = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons((unsigned short)port);
  if (bind(listener, (struct sockaddr*)&address, sizeof address) != 0 ||
      listen(listener, 512) != 0) {
    perror("smtp_sink: bind/listen");
    return 1;
  }
  socklen_t length = sizeof address;
  getsockname(listener, (struct sockaddr*)&address, &length);
  port = ntohs(address.sin_port);
  if (port_file != NULL) {
    char temporary[4096];
    snprintf(temporary, sizeof temporary, "%s.tmp", port_file);
    FILE* f = fopen(temporary, "w");
    if (f == NULL) return 1;
    fprintf(f, "%d\n", port);
    fclose(f);
    rename(temporary, port_file); /* appears whole, never half-written */
  }
  printf("port %d\n", port);
  fflush(stdout);

  watches[0].fd = listener;
  watches[0].events = POLLIN;
  static char buffer[65536];
  while (!stop_requested) {
    int ready = poll(watches, (nfds_t)connection_count + 1, 1000);
    if (ready < 0) {
      if (errno == EINTR) continue;
      perror("smtp_sink: poll");
      return 1;
    }
    if (watches[0].revents & POLLIN) {
      for (;;) {
        int fd = accept4(listener, NULL, NULL, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) break;
        if (connection_count == kMaxConnections) {
          close(fd);
          continue;
        }
        struct connection* c = &connections[connection_count];
        memset(c, 0, offsetof(struct connection, line));
        c->fd = fd;
        watches[connection_count + 1].fd = fd;
        watches[connection_count + 1].events = POLLIN;
        watches[connection_count + 1].revents = 0;
        ++connection_count;
        reply(c, "220 sink ready\r\n");
      }
    }
    for (int i = connection_count - 1; i >= 0; --i) {
      if (watches[i + 1].revents == 0) continue;
      struct connection* c = &connections[i];
      ssize_t n = recv(c->fd, buffer, sizeof buffer, 0);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n > 0) feed(c, buffer, (size_t)n);
      if (n <= 0 || c->closing) close_connection(i);
    }
  }
  return 0;
}
