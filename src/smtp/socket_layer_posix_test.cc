// The POSIX sockets over real loopback connections: pieces marked as having
// more to follow are kept and sent with the next one, and whatever the
// kernel takes in part, the bytes arrive whole and in order.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "smtp/socket_layer.h"

namespace tarvelo {
namespace {

class LoopbackTest : public testing::Test {
 protected:
  void SetUp() override {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener_, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, bind(listener_, reinterpret_cast<sockaddr*>(&address),
                      sizeof address));
    ASSERT_EQ(0, listen(listener_, 1));
    socklen_t length = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    net_ = platform_net();
    net_->set_more_follows(false);
  }
  void TearDown() override {
    net_->set_more_follows(false);
    for (int fd : {client_, server_, listener_}) {
      if (fd >= 0) close(fd);
    }
    for (int fd : extra_) close(fd);
  }

  // Another connection through the layer, closed at the end of the test
  // unless the test closes it (and then sets it to -1 in extra_).
  void open_another(int* client, int* server) {
    connect_failure failure = CONNECT_FAILED;
    *client = net_->connect_to("127.0.0.1", true, port_,
                               net_->now_ms() + 5000, &failure);
    ASSERT_EQ(CONNECT_DONE, failure);
    ASSERT_GE(*client, 0);
    extra_.push_back(*client);
    *server = accept(listener_, nullptr, nullptr);
    ASSERT_GE(*server, 0);
    extra_.push_back(*server);
  }

  // Connects through the layer: client_ is the layer's socket, server_ the
  // other end.
  void open_connection() {
    connect_failure failure = CONNECT_FAILED;
    client_ = net_->connect_to("127.0.0.1", true, port_,
                               net_->now_ms() + 5000, &failure);
    ASSERT_EQ(CONNECT_DONE, failure);
    ASSERT_GE(client_, 0);
    server_ = accept(listener_, nullptr, nullptr);
    ASSERT_GE(server_, 0);
  }

  // Sends every piece whole, as socket_write_all does, without its pauses.
  void send_all(int socket, const std::string& piece, bool more) {
    net_->set_more_follows(more);
    size_t done = 0;
    do {
      int n = net_->send(socket, piece.data() + done,
                         static_cast<int>(piece.size() - done),
                         net_->now_ms() + 5000);
      ASSERT_GT(n, piece.empty() ? -1 : 0);
      done += static_cast<size_t>(n);
    } while (done < piece.size());
  }

  int listener_ = -1;
  int client_ = -1;
  int server_ = -1;
  int port_ = 0;
  net_ops* net_ = nullptr;
  std::vector<int> extra_;
};

// What reaches `server` within a short wait, at most `size` bytes.
std::string read_some(int server, size_t size) {
  std::string got;
  char area[256];
  struct pollfd ready = {server, POLLIN, 0};
  while (got.size() < size && poll(&ready, 1, 500) == 1) {
    ssize_t n = recv(server, area, sizeof area, MSG_DONTWAIT);
    if (n <= 0) break;
    got.append(area, static_cast<size_t>(n));
  }
  return got;
}

std::string read_to_end(int socket) {
  std::string got;
  char area[65536];
  for (;;) {
    ssize_t n = recv(socket, area, sizeof area, 0);
    if (n <= 0) return got;
    got.append(area, static_cast<size_t>(n));
  }
}

TEST_F(LoopbackTest, KeptPiecesArriveInOrderWithTheNext) {
  struct piece {
    std::string text;
    bool more;
  };
  std::vector<std::vector<piece>> steps = {
      {{"HELO TARVELO", true}, {"\r\n", false}},
      {{"", true}, {"MAIL FROM:<a@b.example>", true}, {"\r\n", false}},
      // Larger than what is kept: goes out with the kept bytes before it.
      {{"To: x\r\n", true}, {std::string(5000, 'b'), true}, {"\r\n.\r\n", false}},
      {{std::string(2047, 'k'), true}, {"z", true}, {"!", false}},
      {{"QUIT\r\n", false}},
  };
  ASSERT_NO_FATAL_FAILURE(open_connection());
  int client = client_;
  int server = server_;
  std::string expected;
  for (const auto& step : steps) {
    std::string step_bytes;
    for (const auto& p : step) {
      send_all(client, p.text, p.more);
      step_bytes += p.text;
    }
    expected += step_bytes;
    // Each step is out once its last piece is: the server can read it all.
    std::string got;
    while (got.size() < step_bytes.size()) {
      char area[8192];
      ssize_t n = recv(server, area, sizeof area, 0);
      ASSERT_GT(n, 0);
      got.append(area, static_cast<size_t>(n));
    }
    EXPECT_EQ(step_bytes, got);
  }
}

TEST_F(LoopbackTest, WaitingForAnAnswerSendsWhatIsKept) {
  ASSERT_NO_FATAL_FAILURE(open_connection());
  int client = client_;
  int server = server_;
  // A step left marked "more follows": the receive must not wait for an
  // answer to bytes that never left.
  send_all(client, "NOOP\r\n", true);
  std::thread answer([server] {
    struct pollfd ready = {server, POLLIN, 0};
    char area[16];
    if (poll(&ready, 1, 2000) == 1 && recv(server, area, sizeof area, 0) == 6) {
      send(server, "250 ok\r\n", 8, 0);
    }
  });
  char reply[16] = {};
  int n = net_->recv(client, reply, sizeof reply - 1, net_->now_ms() + 3000);
  answer.join();
  EXPECT_EQ(8, n);
  EXPECT_STREQ("250 ok\r\n", reply);
}

TEST_F(LoopbackTest, PartialSendsKeepEveryByteInOrder) {
  ASSERT_NO_FATAL_FAILURE(open_connection());
  int client = client_;
  int server = server_;
  // Small buffers on both ends, and a reader that starts late: the kernel
  // takes the kept bytes and the big piece a little at a time.
  int small = 8192;
  setsockopt(client, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  setsockopt(server, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  std::string got;
  std::thread reader([&] {
    usleep(50 * 1000);
    got = read_to_end(server);
  });
  std::string expected;
  std::string big;
  for (int i = 0; big.size() < 60000; ++i) big += std::to_string(i) + ",";
  // The first big piece fills the buffers, so the kept piece behind it
  // meets a full buffer and waits, kept, until there is room.
  const struct {
    std::string text;
    bool more;
  } pieces[] = {{"354 follows", true}, {"\r\n", true}, {big, false},
                {std::string(2047, 'k'), true}, {big, false},
                {"\r\n.\r\n", false}};
  for (const auto& piece : pieces) {
    send_all(client, piece.text, piece.more);
    expected += piece.text;
  }
  shutdown(client, SHUT_WR);
  reader.join();
  EXPECT_EQ(expected.size(), got.size());
  EXPECT_TRUE(expected == got);
}

// Kept bytes belong to their connection: neither a send on another one nor
// a new connection on the number of a closed one may carry them.
TEST_F(LoopbackTest, KeptBytesNeverLeaveOnAnotherConnection) {
  for (bool close_first : {false, true}) {
    SCOPED_TRACE(close_first ? "kept, closed, then a new connection"
                             : "kept, then a send on another connection");
    int first = -1, first_server = -1;
    ASSERT_NO_FATAL_FAILURE(open_another(&first, &first_server));
    send_all(first, "MAIL FROM:<kept@a.example>", true);
    if (close_first) {
      net_->close_socket(first);
      extra_.erase(std::find(extra_.begin(), extra_.end(), first));
    }
    int second = -1, second_server = -1;
    ASSERT_NO_FATAL_FAILURE(open_another(&second, &second_server));
    // Sockets are numbered lowest first: the new one reuses the number.
    if (close_first) {
      EXPECT_EQ(first, second);
    }
    send_all(second, "QUIT\r\n", false);
    EXPECT_EQ("QUIT\r\n", read_some(second_server, 6));
  }
}

// A write that sends kept bytes fails for them too: the step's last piece
// reports the failure of the whole step, and no signal is raised.
TEST_F(LoopbackTest, KeptBytesFailWithTheWriteThatSendsThem) {
  ASSERT_NO_FATAL_FAILURE(open_connection());
  int client = client_;
  send_all(client, "RCPT TO:<b@c.example>", true);
  // The server resets the connection before the line end follows.
  struct linger abort_at_once = {1, 0};
  setsockopt(server_, SOL_SOCKET, SO_LINGER, &abort_at_once,
             sizeof abort_at_once);
  close(server_);
  server_ = -1;
  struct pollfd reset = {client, POLLIN, 0};
  ASSERT_EQ(1, poll(&reset, 1, 2000));
  net_->set_more_follows(false);
  EXPECT_EQ(-1, net_->send(client, "\r\n", 2, net_->now_ms() + 2000));
  int error = net_->last_error();
  EXPECT_TRUE(error == WSA_ESHUTDOWN || error == 10054) << error;
}

}  // namespace
}  // namespace tarvelo
