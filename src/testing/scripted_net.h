// A scripted stand-in for the platform's sockets, for unit tests: the server
// side is a list of chunks handed out one per receive, writes can be cut
// short or fail, and every call is recorded in order.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "smtp/socket_layer.h"

namespace tarvelo {

class scripted_net final : public net_ops {
 public:
  // What one receive call gets: bytes (at most the room asked for; the rest
  // stays for the next call), or, when error is set, -1 with that error.
  // A receive with nothing left in the script finds the connection closed.
  struct chunk {
    std::string bytes;
    int error = 0;
  };

  // Script: the server side.
  std::deque<chunk> incoming;
  // Per send call in order: the most bytes that call takes, or -1 for a
  // failure with send_error. Calls beyond the list take everything.
  std::vector<int> send_caps;
  int send_error = 10054;
  int start_result = 0;
  int granted_version = 0x0101;
  int connect_socket = 7;  // -1: connect fails with connect_why
  connect_failure connect_why = CONNECT_FAILED;
  int connect_error = 10061;
  long long clock_ms = 5000000;

  // Record: what happened.
  std::string sent;                     // all bytes taken by send
  std::vector<std::string> transcript;  // "C:" + each piece taken, "S:" + each piece received
  std::vector<int> pauses;
  int start_calls = 0;
  int send_calls = 0;
  int recv_calls = 0;
  std::string connected_host;
  bool connected_dotted = false;
  int connected_port = -1;
  long long connect_deadline = 0;

  int start(int version, int* granted) override {
    ++start_calls;
    requested_version = version;
    *granted = granted_version;
    return start_result;
  }
  int requested_version = 0;

  long long now_ms() override { return clock_ms; }

  int connect_to(const char* host, bool dotted, int port,
                 long long deadline_ms, connect_failure* failure) override {
    connected_host = host;
    connected_dotted = dotted;
    connected_port = port;
    connect_deadline = deadline_ms;
    *failure = connect_socket == -1 ? connect_why : CONNECT_DONE;
    if (connect_socket == -1 && connect_why != CONNECT_NO_NAME) {
      last = connect_error;
    }
    return connect_socket;
  }

  int send(int, const char* data, int size, long long deadline_ms) override {
    int call = send_calls++;
    // A write that takes send_advance_ms of the clock, failing like a real
    // socket when that passes the deadline.
    clock_ms += send_advance_ms;
    if (send_advance_ms > 0 && clock_ms > deadline_ms) {
      last = 10060;
      return -1;
    }
    int cap = call < static_cast<int>(send_caps.size()) ? send_caps[call]
                                                         : size;
    if (cap < 0) {
      last = send_error;
      return -1;
    }
    int taken = cap < size ? cap : size;
    sent.append(data, taken);
    transcript.push_back("C:" + std::string(data, taken));
    return taken;
  }

  int recv(int, char* area, int room, long long) override {
    ++recv_calls;
    if (incoming.empty()) return 0;
    chunk& next = incoming.front();
    if (next.error != 0) {
      last = next.error;
      incoming.pop_front();
      return -1;
    }
    int n = static_cast<int>(next.bytes.size()) < room
                ? static_cast<int>(next.bytes.size())
                : room;
    next.bytes.copy(area, n);
    transcript.push_back("S:" + next.bytes.substr(0, n));
    next.bytes.erase(0, n);
    if (next.bytes.empty()) incoming.pop_front();
    return n;
  }

  int last_error() override { return last; }
  void pause_ms(int milliseconds) override { pauses.push_back(milliseconds); }
  void close_socket(int socket) override { closed.push_back(socket); }
  std::vector<int> closed;

  int last = 0;

  // How long each send takes on clock_ms (0: no time, and no deadline
  // checked).
  long long send_advance_ms = 0;

  // Appends server chunks.
  void replies(std::initializer_list<const char*> texts) {
    for (const char* text : texts) incoming.push_back({text, 0});
  }
};

}  // namespace tarvelo
