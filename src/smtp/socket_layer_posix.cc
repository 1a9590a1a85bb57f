// The sockets of POSIX systems behind net_ops. The only file that calls the
// socket functions of the operating system.
#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "smtp/socket_layer.h"

namespace tarvelo {

namespace {

class posix_net final : public net_ops {
 public:
  int start(int version, int* granted) override {
    // Nothing to start here; the version asked for is what the callers
    // expect, and it is granted.
    *granted = version;
    return 0;
  }

  long long now_ms() override {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
  }

  int connect_to(const char* host, bool dotted, int port,
                 long long deadline_ms, connect_failure* failure) override {
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    if (dotted) {
      address.sin_addr.s_addr = inet_addr(host);
    } else {
      struct addrinfo hints;
      memset(&hints, 0, sizeof hints);
      hints.ai_family = AF_INET;
      hints.ai_socktype = SOCK_STREAM;
      struct addrinfo* found = nullptr;
      if (getaddrinfo(host, nullptr, &hints, &found) != 0 ||
          found == nullptr) {
        *failure = CONNECT_NO_NAME;
        return -1;
      }
      memcpy(&address.sin_addr,
             &reinterpret_cast<struct sockaddr_in*>(found->ai_addr)->sin_addr,
             sizeof address.sin_addr);
      freeaddrinfo(found);
    }
    address.sin_port = htons(static_cast<uint16_t>(port));

    // Non-blocking, so that connect, send and recv all end by the deadline
    // of the delivery.
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd == -1) {
      fail_with_errno();
      *failure = CONNECT_NO_SOCKET;
      return -1;
    }
    // The message goes out in several writes; without this each one after
    // the first waits for the server's delayed acknowledgement. (The
    // benchmark builds once without it to show that wait.)
#ifndef TARVELO_NO_NODELAY
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
#endif

    if (connect(fd, reinterpret_cast<struct sockaddr*>(&address),
                sizeof address) != 0) {
      bool connected = false;
      if (errno == EINPROGRESS) {
        connected = finish_connect(fd, deadline_ms);
      } else {
        fail_with_errno();
      }
      if (!connected) {
        close(fd);
        *failure = CONNECT_FAILED;
        return -1;
      }
    }
    *failure = CONNECT_DONE;
    return fd;
  }

  // A piece with more to follow is kept here, when it fits, and goes out
  // with the next piece in one system call (MSG_MORE tells the kernel the
  // same for what cannot be kept). A command and its line end, or the
  // header, empty line, body and end-of-data mark of a short message, then
  // leave as one write and one segment, which shortens the DATA phase
  // measurably (README, Performance).
  int send(int socket, const char* data, int size,
           long long deadline_ms) override {
    if (held_ > 0 && socket != held_socket_) held_ = 0;  // a closed one's
    if (more_ && size >= 0 &&
        static_cast<size_t>(size) <= sizeof hold_ - held_) {
      memcpy(hold_ + held_, data, static_cast<size_t>(size));
      held_ += static_cast<size_t>(size);
      held_socket_ = socket;
      return size;
    }
    for (;;) {
      struct iovec pieces[2];
      int count = 0;
      if (held_ > 0) pieces[count++] = {hold_, held_};
      pieces[count++] = {const_cast<char*>(data), static_cast<size_t>(size)};
      struct msghdr message;
      memset(&message, 0, sizeof message);
      message.msg_iov = pieces;
      message.msg_iovlen = static_cast<size_t>(count);
      // MSG_NOSIGNAL: a write to a closed connection fails with EPIPE and is
      // reported; it must never kill the run with SIGPIPE.
      ssize_t n = sendmsg(socket, &message,
                          MSG_NOSIGNAL | MSG_DONTWAIT | (more_ ? MSG_MORE : 0));
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
          held_ = 0;
          return fail_with_errno();
        }
        if (!wait_for(socket, POLLOUT, deadline_ms)) {
          held_ = 0;
          return -1;
        }
        continue;
      }
      size_t sent = static_cast<size_t>(n);
      if (sent < held_) {
        // The kept pieces were taken in part: the rest of them first.
        memmove(hold_, hold_ + sent, held_ - sent);
        held_ -= sent;
        continue;
      }
      sent -= held_;
      held_ = 0;
      if (sent > 0 || size == 0) return static_cast<int>(sent);
    }
  }

  int recv(int socket, char* area, int room, long long deadline_ms) override {
    // No answer comes to bytes still kept here: they go out first.
    if (held_ > 0 && socket == held_socket_ && !flush_kept(deadline_ms)) {
      return -1;
    }
    // A reply is read right after a command went out, so it has rarely
    // arrived yet: wait first rather than try a receive that would fail.
    for (;;) {
      if (!wait_for(socket, POLLIN, deadline_ms)) return -1;
      ssize_t n = ::recv(socket, area, static_cast<size_t>(room), MSG_DONTWAIT);
      if (n >= 0) return static_cast<int>(n);
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return fail_with_errno();
    }
  }

  void close_socket(int socket) override {
    if (socket == held_socket_) held_ = 0;
    close(socket);
  }

  int last_error() override { return last_; }

  // Each piece written alone wakes the server once and costs a segment of
  // its own under TCP_NODELAY; the last piece of a step flushes them all.
  void set_more_follows(bool more) override { more_ = more; }

  void pause_ms(int milliseconds) override {
    struct timespec pause;
    pause.tv_sec = milliseconds / 1000;
    pause.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000;
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
  }

 private:
  int fail_with_errno() {
    last_ = wsa_error_from_errno(errno);
    return -1;
  }

  // Sends the kept bytes on their own. Returns false, with the last error
  // set, when they could not be sent.
  bool flush_kept(long long deadline_ms) {
    bool more = more_;
    more_ = false;
    int sent = send(held_socket_, "", 0, deadline_ms);
    more_ = more;
    return sent == 0;
  }

  // Waits until the socket is ready for `events` or the deadline passes.
  // Returns false, with the last error set, when it is not ready in time or
  // poll fails.
  bool wait_for(int socket, short events, long long deadline_ms) {
    for (;;) {
      long long left = deadline_ms - now_ms();
      if (left <= 0) {
        last_ = WSA_ETIMEDOUT;
        return false;
      }
      struct pollfd watch = {socket, events, 0};
      int ready =
          poll(&watch, 1, left > 1000000 ? 1000000 : static_cast<int>(left));
      if (ready > 0) return true;
      if (ready < 0 && errno != EINTR) {
        fail_with_errno();
        return false;
      }
    }
  }

  // Finishes a non-blocking connect. Returns true when connected; false,
  // with the last error set, when it failed or the deadline passed.
  bool finish_connect(int fd, long long deadline_ms) {
    if (!wait_for(fd, POLLOUT, deadline_ms)) return false;
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
      error = errno;
    }
    if (error == 0) return true;
    last_ = wsa_error_from_errno(error);
    return false;
  }

  int last_ = 0;
  bool more_ = false;  // set_more_follows
  // The bytes taken but not yet written (see send): held_ of them in hold_,
  // for held_socket_. Enough for the commands and a short message.
  int held_socket_ = -1;
  size_t held_ = 0;
  char hold_[2048];
};

// The process-wide sockets: the last error, the hint and the kept bytes.
posix_net the_posix_net;

}  // namespace

net_ops* platform_net() { return &the_posix_net; }

}  // namespace tarvelo
