// The EHLO capability reader, two ways, against a model written here with
// std::string: the whole input as one reply text (parse_ehlo_reply), and the
// same bytes as a server's reply read by read_reply in pieces whose size the
// first input byte chooses, with the capabilities noted line by line as they
// arrive. Both must find exactly what the model finds: STARTTLS, and the
// PLAIN and LOGIN mechanisms of AUTH, in any case, on every line but the
// first. The reply read also notes SIZE (RFC 1870) and its limit as a
// model of the keyword and its number finds them.
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "smtp/smtp_auth.h"
#include "smtp/smtp_dialogue_internal.h"
#include "smtp/socket_layer.h"
#include "support/log.h"

using namespace tarvelo;

namespace {

struct model_caps {
  bool starttls = false, plain = false, login = false;
  bool size = false;
  long long size_limit = 0;
};


std::string lowered(std::string text) {
  for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
}

void model_size(std::string line, bool first, model_caps* caps) {
  if (first) return;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.size() < 8 || line.compare(0, 3, "250") != 0) return;
  if (line[3] != '-' && line[3] != ' ') return;
  if (lowered(line.substr(4, 4)) != "size") return;
  if (line.size() > 8 && line[8] != ' ') return;
  caps->size = true;
  caps->size_limit = 0;
  size_t at = line.find_first_not_of(' ', 8);
  long long limit = 0;
  for (; at != std::string::npos && at < line.size() && isdigit(static_cast<unsigned char>(line[at])); ++at) {
    if (limit > (1LL << 50)) return;
    limit = limit * 10 + (line[at] - '0');
  }
  caps->size_limit = limit;
}

std::vector<std::string> split(const std::string& text, const char* marks) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at <= text.size()) {
    size_t next = text.find_first_of(marks, at);
    if (next == std::string::npos) next = text.size();
    out.push_back(text.substr(at, next - at));
    at = next + 1;
  }
  return out;
}

void model_line(std::string line, bool first, model_caps* caps) {
  if (first) return;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.size() < 4 || line.compare(0, 3, "250") != 0) return;
  if (line[3] != '-' && line[3] != ' ') return;
  std::string rest = line.substr(4);
  size_t cut = rest.find_first_of(" \t=");
  std::string keyword = lowered(rest.substr(0, cut));
  if (keyword == "starttls") caps->starttls = true;
  if (keyword != "auth" || cut == std::string::npos) return;
  for (const std::string& word : split(rest.substr(cut + 1), " \t")) {
    std::string w = lowered(word);
    if (w == "plain") caps->plain = true;
    if (w == "login") caps->login = true;
  }
}

void check_same(const ehlo_capabilities& got, const model_caps& want) {
  FUZZ_CHECK(got.starttls == want.starttls);
  FUZZ_CHECK(got.auth_plain == want.plain);
  FUZZ_CHECK(got.auth_login == want.login);
}

// The server side for read_reply: the stream in pieces of a fixed size.
class stream_net final : public net_ops {
 public:
  stream_net(const std::string& stream, size_t piece)
      : stream_(stream), piece_(piece) {}
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
  int recv(int, char* area, int room, long long) override {
    size_t n = stream_.size() - at_;
    if (n > piece_) n = piece_;
    if (n > static_cast<size_t>(room)) n = static_cast<size_t>(room);
    memcpy(area, stream_.data() + at_, n);
    at_ += n;
    return static_cast<int>(n);
  }
  int last_error() override { return WSA_ESHUTDOWN; }
  void pause_ms(int) override {}
  void close_socket(int) override {}

 private:
  std::string stream_;
  size_t piece_;
  size_t at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  log_set_path(nullptr);
  if (size == 0) return 0;
  size_t piece = 1 + data[0] % 64;
  std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);

  // The whole text as one reply, every line noted.
  std::vector<std::string> lines = split(text, "\n");
  if (!text.empty() && text.back() == '\n') lines.pop_back();
  model_caps whole;
  for (size_t i = 0; i < lines.size(); ++i) model_line(lines[i], i == 0, &whole);
  check_same(parse_ehlo_reply(text.data(), text.size()), whole);

  // The same bytes read as a reply: lines up to the one that ends it.
  stream_net net(text, piece);
  static smtp_connection connection;
  connection = smtp_connection();
  connection.net = &net;
  connection.socket = 3;
  ehlo_capabilities noted;
  connection.capabilities = &noted;
  if (read_reply(&connection, FACE_REPLY) != 1) return 0;
  model_caps read;
  for (size_t i = 0; i < lines.size(); ++i) {
    model_line(lines[i], i == 0, &read);
    model_size(lines[i], i == 0, &read);
    std::string line = lines[i].c_str();
    if (line.size() < 4 || line[3] != '-') break;
  }
  check_same(noted, read);
  FUZZ_CHECK(connection.size_listed == read.size);
  FUZZ_CHECK(connection.size_limit == read.size_limit);
  return 0;
}
