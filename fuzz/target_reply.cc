// The SMTP reply reader over a server byte stream that arrives in pieces
// the fuzzer chooses. The input is the stream with the piece boundaries
// marked by "\xff\xfe" (the marks are not part of the stream); an empty piece
// is a receive that fails. Replies are read one after another, as the
// dialogue does, until a read fails.
//
// Each read is held against a model of RFC 5321 4.2.1 replies on the bytes
// still unread: it ends with the first line whose fourth character is not
// "-", having received no byte past that line's line feed that the receive
// delivering it did not bring along; a line of 1000 or more characters fails
// after exactly 1000 of them; a closed or failed connection fails. The
// final line and code must match that line; a reply whose lines begin with
// different codes is malformed and has the code -1.
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_check.h"
#include "smtp/smtp_dialogue_internal.h"
#include "smtp/socket_layer.h"
#include "support/log.h"

using namespace tarvelo;

namespace {

struct piece {
  std::string bytes;  // empty: the receive fails
};

// The server side: hands out the pieces in order, each receive at most the
// room asked for; the rest of a piece stays for the next receive.
class piece_net final : public net_ops {
 public:
  explicit piece_net(std::vector<piece> pieces) : pieces_(std::move(pieces)) {
    for (const piece& p : pieces_) {
      starts_.push_back(total_);
      total_ += static_cast<long long>(p.bytes.size());
    }
    // Backwards: the first failing piece at or after each piece.
    failing_from_.resize(pieces_.size() + 1, pieces_.size());
    for (size_t i = pieces_.size(); i-- > 0;) {
      failing_from_[i] = pieces_[i].bytes.empty() ? i : failing_from_[i + 1];
    }
  }

  int start(int, int* granted) override {
    *granted = kSocketsVersion;
    return 0;
  }
  long long now_ms() override { return 0; }
  int connect_to(const char*, bool, int, long long,
                 connect_failure* failure) override {
    *failure = CONNECT_DONE;
    return 3;
  }
  int send(int, const char*, int size, long long) override { return size; }
  int recv(int socket, char* area, int room, long long) override {
    FUZZ_CHECK(socket == 3);
    FUZZ_CHECK(room > 0 && room <= kReplyAreaSize);
    ++recv_calls;
    delivered_before_last = delivered;
    if (next_ >= pieces_.size()) {
      ++calls_after_end;
      return 0;
    }
    piece& p = pieces_[next_];
    if (p.bytes.empty()) {
      ++next_;
      last_ = WSA_ETIMEDOUT;
      return -1;
    }
    int n = static_cast<int>(p.bytes.size() - offset_);
    if (n > room) n = room;
    memcpy(area, p.bytes.data() + offset_, n);
    offset_ += n;
    delivered += n;
    if (offset_ == p.bytes.size()) {
      ++next_;
      offset_ = 0;
    }
    return n;
  }
  int last_error() override { return last_; }
  void pause_ms(int) override {}
  void close_socket(int) override {}

  // Where the stream's bytes stop next: the stream position of the next
  // failing receive, or the end of the stream; *fails says which.
  long long next_stop(bool* fails) const {
    size_t i = failing_from_[next_];
    *fails = i < pieces_.size();
    return i < pieces_.size() ? starts_[i] : total_;
  }

  // Every byte the pieces hold, in order.
  std::string stream() const {
    std::string out;
    for (const piece& p : pieces_) out += p.bytes;
    return out;
  }

  long long delivered = 0;             // stream bytes handed out so far
  long long delivered_before_last = 0;  // ... before the latest receive
  int recv_calls = 0;
  int calls_after_end = 0;

 private:
  std::vector<piece> pieces_;
  std::vector<long long> starts_;  // stream position of each piece
  std::vector<size_t> failing_from_;
  long long total_ = 0;
  size_t next_ = 0;
  size_t offset_ = 0;
  int last_ = 0;
};

std::vector<piece> split_pieces(const std::string& input) {
  std::vector<piece> pieces;
  size_t at = 0;
  for (;;) {
    size_t mark = input.find("\xff\xfe", at);
    pieces.push_back({input.substr(at, mark == std::string::npos
                                           ? std::string::npos
                                           : mark - at)});
    if (mark == std::string::npos) break;
    at = mark + 2;
  }
  // A stream without marks is one piece; an input ending in a mark does not
  // end in a failing receive.
  if (pieces.back().bytes.empty()) pieces.pop_back();
  return pieces;
}

int expected_code(const std::string& line) {
  if (line.size() < 3) return -1;
  for (int i = 0; i < 3; ++i) {
    if (line[i] < '0' || line[i] > '9') return -1;
  }
  return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

// Checks one read that started at stream position start against the model;
// stop is where the bytes available to it end. Returns whether it should
// have succeeded.
bool check_read(int result, const smtp_connection& c, const piece_net& net,
                const std::string& stream, long long start, long long stop,
                bool fails_after, int recv_calls_before) {
  size_t at = static_cast<size_t>(start);
  size_t end = static_cast<size_t>(stop);
  // RFC 5321 4.2.1: every line of a reply carries the code of its first;
  // a reply that mixes them has no code.
  std::string first_code;
  bool mixed = false;
  for (bool first = true;; first = false) {
    const void* found = memchr(stream.data() + at, '\n', end - at);
    size_t line_feed = found ? static_cast<const char*>(found) - stream.data()
                             : end;
    if (line_feed - at >= static_cast<size_t>(kReplyAreaSize)) {
      // The area is full of one line: fail without receiving more.
      FUZZ_CHECK(result == 0);
      FUZZ_CHECK(net.delivered ==
                 static_cast<long long>(at) + kReplyAreaSize);
      return false;
    }
    if (found == nullptr) {
      // The bytes end inside the reply: all were read, then the closed or
      // failed connection ended the read.
      FUZZ_CHECK(result == 0);
      FUZZ_CHECK(net.delivered == stop);
      FUZZ_CHECK(fails_after || net.calls_after_end == 1);
      return false;
    }
    // The line as a C text: a NUL inside ends it.
    std::string line = stream.substr(at, line_feed - at).c_str();
    if (first) first_code = line.substr(0, 3);
    mixed = mixed || line.substr(0, 3) != first_code;
    if (line.size() < 4 || line[3] != '-') {
      FUZZ_CHECK(result == 1);
      // The receive that brought the final line feed was the last one.
      long long feed = static_cast<long long>(line_feed);
      FUZZ_CHECK(net.delivered_before_last <= feed && feed < net.delivered);
      FUZZ_CHECK(net.calls_after_end == 0);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      FUZZ_CHECK(c.final_line >= c.area &&
                 c.final_line < c.area + kReplyAreaSize);
      FUZZ_CHECK(line == c.final_line);
      FUZZ_CHECK(c.malformed == mixed);
      FUZZ_CHECK(c.reply_code == (mixed ? -1 : expected_code(line)));
      // Every receive brought at least one byte.
      FUZZ_CHECK(net.recv_calls - recv_calls_before <= net.delivered - start);
      return true;
    }
    at = line_feed + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  log_set_path(nullptr);
  std::string input(reinterpret_cast<const char*>(data), size);
  piece_net net(split_pieces(input));
  const std::string stream = net.stream();

  static smtp_connection connection;
  smtp_connection* c = &connection;
  *c = smtp_connection();
  c->net = &net;
  c->socket = 3;
  for (int read = 0;; ++read) {
    long long start = net.delivered;
    bool fails_after = false;
    long long stop = net.next_stop(&fails_after);
    int recv_calls_before = net.recv_calls;
    int result = read_reply(c, read == 0 ? FACE_GREETING : FACE_REPLY);
    if (!check_read(result, *c, net, stream, start, stop, fails_after,
                    recv_calls_before)) {
      break;
    }
  }
  return 0;
}
