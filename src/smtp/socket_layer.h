// The socket layer under the SMTP dialogue: starting the sockets layer,
// connecting a TCP client, writing a byte range completely, and turning the
// last socket error into a log line in words.
//
// Every operating-system socket call lives behind net_ops, implemented once
// per platform (socket_layer_posix.cc, socket_layer_windows.cc); tests replace
// it with a scripted one. Errors are kept as Windows Sockets numbers on every
// platform, so the log shows the same texts everywhere. The functions here
// keep no state of their own.
#pragma once

#include "support/wsa_errors.h"

namespace tarvelo {

// The version asked of the sockets layer: 1.1, major version in the low
// byte, minor version in the high byte.
constexpr int kSocketsVersion = 0x0101;

// The pause between two partial writes of one range.
constexpr int kPartialWritePauseMs = 100;

// Room for the context of a failed socket creation (199 characters + NUL).
constexpr int kConnectContextSize = 200;

// Why connect_to made no connection.
enum connect_failure {
  CONNECT_DONE = 0,
  CONNECT_NO_NAME,    // the host name does not resolve; nothing to report
  CONNECT_NO_SOCKET,  // no socket could be created; last_error says why
  CONNECT_FAILED,     // refused, unreachable or out of time; last_error says
};

// The platform's sockets. Every call that fails leaves a Windows Sockets
// error number for last_error; a successful call does not clear it. Times
// are milliseconds on now_ms's clock; an operation that cannot finish by its
// deadline fails with WSA_ETIMEDOUT.
class net_ops {
 public:
  // Starts the sockets layer asking for `version`. Returns 0 on success and
  // stores the version granted (same layout) in *granted; anything else on
  // failure.
  virtual int start(int version, int* granted) = 0;

  // A clock that never goes back, in milliseconds.
  virtual long long now_ms() = 0;

  // Connects a TCP client socket to port (16 bits) of host. When `dotted` the
  // host is converted as a dotted IPv4 text (inet_addr: whatever the
  // conversion yields is used), else looked up by name (IPv4, the first
  // address). The connection sends small writes at once (TCP_NODELAY).
  // Returns the socket number, or -1 with *failure saying why.
  virtual int connect_to(const char* host, bool dotted, int port,
                         long long deadline_ms, connect_failure* failure) = 0;

  // Writes at most size bytes. Returns the count taken (possibly fewer than
  // size), or -1. Never raises a signal on a connection the peer has closed.
  // Taken is not yet written: while set_more_follows(true) is in force the
  // platform may keep a piece in the process, report it taken, and write it
  // later in one call with what follows (POSIX does, see
  // socket_layer_posix.cc; Windows writes every piece at once). Kept bytes
  // leave, ahead of the piece that sends them,
  //   - with the next send on the same socket that is not kept itself (the
  //     hint is false, or the piece does not fit beside them), or
  //   - before a recv on the same socket waits for an answer.
  // When that write fails, the kept bytes fail with it: the failure shows on
  // that later call, and they are dropped. close_socket drops them, and so
  // does a send on another socket (one connection at a time).
  virtual int send(int socket, const char* data, int size,
                   long long deadline_ms) = 0;

  // Receives at most room bytes. Returns the count, 0 when the peer has
  // closed the connection, -1 on error or when the deadline passes first.
  virtual int recv(int socket, char* area, int room, long long deadline_ms) = 0;

  // Closes a socket that connect_to returned; bytes kept for it (see send)
  // are dropped.
  virtual void close_socket(int socket) = 0;
  // The last error as a Windows Sockets number; 0 when there was none.
  virtual int last_error() = 0;

  virtual void pause_ms(int milliseconds) = 0;

  // Says whether the sends that follow are at once followed by another piece
  // of the same step (a command and its line end; the parts of the message),
  // so the platform may keep them back and send one segment (see send;
  // Linux also tells the kernel, MSG_MORE). Set it back to false before the
  // last piece of every step: that piece sends what was kept. The bytes on
  // the wire are the same either way; only the count of writes differs.
  virtual void set_more_follows(bool more) { (void)more; }

 protected:
  ~net_ops() = default;
};

// The process-wide sockets of this platform.
net_ops* platform_net();

// Starts the sockets layer with version 1.1. Logs at LOG_ERRORS
// "No winsock found of correct version\n" when it does not start, or
// "*** Error *** No winsock found of correct version, trying to continue\n"
// when it grants another version. The caller goes on in either case.
void winsock_start(net_ops* net);

// Lower-cases host in place (A-Z only), then connects to port of it: a host
// whose first character is an ASCII digit is taken as a dotted IPv4 address,
// any other host is looked up by name. Returns the socket number, or -1:
// silently when the name does not resolve; after report_socket_error with
// "*** Error *** Can't connect to {host}" when no socket could be made; after
// report_socket_error with the host itself as context when the connection
// failed (refused, unreachable, deadline passed).
int connect_to_server(net_ops* net, char* host, int port,
                      long long deadline_ms);

// Writes the first size bytes of data (a NUL-terminated text) completely,
// pausing 100 ms between partial writes. Each piece taken is traced at
// LOG_DEBUG as "SENT(%d): (%d/%d bytes) {%s}" with the socket, the bytes
// taken, size, and the bytes that piece took (up to a NUL among them).
// Returns size
// (0 when size is 0, with nothing written or logged), or -1 when the socket
// is -1 or a write fails or takes nothing; a failed write is reported with
// the context "Socket Error, could not write.". Bytes already taken stay sent.
int socket_write_all(net_ops* net, int socket, const char* data, int size,
                     long long deadline_ms);

// socket_write_all whose trace lines show `shown` in place of the text from
// each piece's start, for data that must not reach the log; shown null
// traces the data as socket_write_all does.
int socket_write_shown(net_ops* net, int socket, const char* data, int size,
                       long long deadline_ms, const char* shown);

// Logs net->last_error() at LOG_ERRORS with its socket_error_text,
// the context in place of "%s"; an unknown code as
// "wsock: (%s) Socket Unkown error code %d \n". Logs nothing when the code is
// 0. The code is not cleared.
void report_socket_error(net_ops* net, const char* context);

}  // namespace tarvelo
