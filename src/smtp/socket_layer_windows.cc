// Windows Sockets behind net_ops. The only file of the Windows build that
// calls the sockets layer; its error numbers are the ones the log's table
// is keyed by, so they pass through unchanged.
//
// The delivery is written against the blocking Windows Sockets 1.1 calls
// (WSAStartup, gethostbyname, inet_addr, socket, connect, send, recv,
// WSAGetLastError). Each socket is switched to non-blocking mode
// (ioctlsocket FIONBIO) and waited on with select, so that connect, send and
// recv all end by the delivery's deadline instead of hanging the web
// server's request.
#include <winsock2.h>
#include <windows.h>

#include <cstring>

#include "smtp/socket_layer.h"

namespace tarvelo {

namespace {

class windows_net final : public net_ops {
 public:
  int start(int version, int* granted) override {
    WSADATA data;
    int result = WSAStartup(static_cast<WORD>(version), &data);
    if (result != 0) return result;
    *granted = data.wVersion;
    return 0;
  }

  long long now_ms() override {
    return static_cast<long long>(GetTickCount64());
  }

  int connect_to(const char* host, bool dotted, int port,
                 long long deadline_ms, connect_failure* failure) override {
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    if (dotted) {
      address.sin_addr.s_addr = inet_addr(host);
    } else {
      struct hostent* entry = gethostbyname(host);
      if (entry == nullptr || entry->h_addr_list[0] == nullptr) {
        *failure = CONNECT_NO_NAME;
        return -1;
      }
      // The entry's first address, never more than the address field holds.
      size_t length = static_cast<size_t>(entry->h_length);
      if (length > sizeof address.sin_addr) length = sizeof address.sin_addr;
      memcpy(&address.sin_addr, entry->h_addr_list[0], length);
      address.sin_family = static_cast<short>(entry->h_addrtype);
    }
    address.sin_port = htons(static_cast<u_short>(port));

    SOCKET s = socket(address.sin_family, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) {
      fail_with_last();
      *failure = CONNECT_NO_SOCKET;
      return -1;
    }
    u_long non_blocking = 1;
    ioctlsocket(s, FIONBIO, &non_blocking);
    // The message goes out in several writes; without this each one after
    // the first waits for the server's delayed acknowledgement.
    BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
               sizeof one);

    if (connect(s, reinterpret_cast<struct sockaddr*>(&address),
                sizeof address) != 0) {
      bool connected = false;
      if (WSAGetLastError() == WSAEWOULDBLOCK) {
        connected = finish_connect(s, deadline_ms);
      } else {
        fail_with_last();
      }
      if (!connected) {
        closesocket(s);
        *failure = CONNECT_FAILED;
        return -1;
      }
    }
    *failure = CONNECT_DONE;
    // Socket handles are small kernel handle values; they fit an int.
    return static_cast<int>(s);
  }

  // A write to a connection the peer has closed fails with WSAECONNRESET or
  // WSAECONNABORTED; Windows raises no signal for it. Every piece is written
  // at once: nothing is kept, and the more-follows hint is not used.
  int send(int socket, const char* data, int size,
           long long deadline_ms) override {
    SOCKET s = static_cast<SOCKET>(socket);
    for (;;) {
      int n = ::send(s, data, size, 0);
      if (n != SOCKET_ERROR) return n;
      if (WSAGetLastError() != WSAEWOULDBLOCK) return fail_with_last();
      if (!wait_for(s, false, deadline_ms)) return -1;
    }
  }

  int recv(int socket, char* area, int room, long long deadline_ms) override {
    SOCKET s = static_cast<SOCKET>(socket);
    for (;;) {
      int n = ::recv(s, area, room, 0);
      if (n != SOCKET_ERROR) return n;
      if (WSAGetLastError() != WSAEWOULDBLOCK) return fail_with_last();
      if (!wait_for(s, true, deadline_ms)) return -1;
    }
  }

  void close_socket(int socket) override {
    closesocket(static_cast<SOCKET>(socket));
  }

  int last_error() override { return last_; }

  void pause_ms(int milliseconds) override {
    Sleep(static_cast<DWORD>(milliseconds));
  }

 private:
  // Keeps the sockets layer's code: a later successful call may clear
  // WSAGetLastError, while the log must name the failure.
  int fail_with_last() {
    last_ = WSAGetLastError();
    return -1;
  }

  // Waits until the socket can be read (or written) or the deadline passes.
  // Returns false, with the last error set, when it is not ready in time or
  // select fails.
  bool wait_for(SOCKET s, bool for_reading, long long deadline_ms) {
    long long left = deadline_ms - now_ms();
    if (left <= 0) {
      last_ = WSA_ETIMEDOUT;
      return false;
    }
    fd_set watch;
    FD_ZERO(&watch);
    FD_SET(s, &watch);
    struct timeval limit;
    limit.tv_sec = static_cast<long>(left / 1000);
    limit.tv_usec = static_cast<long>(left % 1000) * 1000;
    int ready = select(0, for_reading ? &watch : nullptr,
                       for_reading ? nullptr : &watch, nullptr, &limit);
    if (ready == SOCKET_ERROR) {
      fail_with_last();
      return false;
    }
    if (ready == 0) {
      last_ = WSA_ETIMEDOUT;
      return false;
    }
    return true;
  }

  // Finishes a non-blocking connect. Windows reports a failed attempt in
  // the exception set, a completed one in the write set; either way the
  // socket's pending error tells which. Returns true when
  // connected; false, with the last error set, when it failed or the
  // deadline passed.
  bool finish_connect(SOCKET s, long long deadline_ms) {
    long long left = deadline_ms - now_ms();
    if (left <= 0) {
      last_ = WSA_ETIMEDOUT;
      return false;
    }
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    struct timeval limit;
    limit.tv_sec = static_cast<long>(left / 1000);
    limit.tv_usec = static_cast<long>(left % 1000) * 1000;
    int ready = select(0, nullptr, &writable, &failed, &limit);
    if (ready == SOCKET_ERROR) {
      fail_with_last();
      return false;
    }
    if (ready == 0) {
      last_ = WSA_ETIMEDOUT;
      return false;
    }
    int error = 0;
    int length = sizeof error;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                   &length) != 0) {
      error = WSAGetLastError();
    }
    if (error == 0) return true;
    last_ = error;
    return false;
  }

  int last_ = 0;
};

// The process-wide sockets; the class holds only the last error.
windows_net the_windows_net;

}  // namespace

net_ops* platform_net() { return &the_windows_net; }

}  // namespace tarvelo
