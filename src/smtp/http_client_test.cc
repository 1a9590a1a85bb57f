// The HTTP client over a scripted server: the request's bytes, how each kind
// of answer or failure ends, and that the connection is always closed. The
// TLS layer is a stand-in that records the handshake; the real one is tested
// end to end.
#include "smtp/http_client.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "testing/scripted_net.h"

namespace tarvelo {
namespace {

class fake_tls final : public tls_layer {
 public:
  net_ops* secure(net_ops* net, int, const char* for_host, const char* ca_file,
                  long long deadline_ms, tls_outcome* outcome) override {
    ++calls;
    host = for_host;
    ca = ca_file != nullptr ? ca_file : "(system)";
    deadline = deadline_ms;
    outcome->failure = failure;
    snprintf(outcome->detail, sizeof outcome->detail, "%s", detail);
    return failure == TLS_DONE ? net : nullptr;
  }
  tls_failure failure = TLS_DONE;
  const char* detail = "";
  int calls = 0;
  std::string host, ca;
  long long deadline = 0;
};

http_request request_to(const char* url) {
  http_request request;
  EXPECT_TRUE(parse_http_url(url, &request.url));
  request.body = "{\"a\":1}";
  request.deadline_ms = 5000000 + 10000;
  return request;
}

TEST(HttpClientTest, SendsTheRequestAndReadsAnAnswerInPieces) {
  scripted_net net;
  fake_tls tls;
  net.replies({"HTTP/1.1 200 OK\r\nContent-Ty", "pe: application/json\r\n",
               "Content-Length: 16\r\n\r\n{\"succ", "ess\":true}"});
  http_request request = request_to("https://Verify.Example:8443/v0/siteverify?x=1");
  request.ca_file = "/etc/test-ca.pem";
  request.version = "1.0y";
  request.headers = {{"X-Tarvelo-Signature", "sha256=ab"}};
  http_response response;
  bool started = false;
  ASSERT_TRUE(http_post(request, &net, &tls, &started, &response));
  EXPECT_EQ(
      "POST /v0/siteverify?x=1 HTTP/1.1\r\n"
      "Host: Verify.Example:8443\r\n"
      "User-Agent: TARVELO/1.0y\r\n"
      "Content-Type: application/json\r\n"
      "Content-Length: 7\r\n"
      "Connection: close\r\n"
      "X-Tarvelo-Signature: sha256=ab\r\n"
      "\r\n"
      "{\"a\":1}",
      net.sent);
  EXPECT_EQ(HTTP_DONE, response.failure);
  EXPECT_EQ(200, response.status);
  EXPECT_EQ("application/json", response.content_type);
  EXPECT_EQ("{\"success\":true}", response.body);
  EXPECT_EQ("", response.detail);
  EXPECT_EQ("Verify.Example", net.connected_host);
  EXPECT_FALSE(net.connected_dotted);
  EXPECT_EQ(8443, net.connected_port);
  EXPECT_EQ(request.deadline_ms, net.connect_deadline);
  EXPECT_EQ("Verify.Example", tls.host);
  EXPECT_EQ("/etc/test-ca.pem", tls.ca);
  EXPECT_EQ(request.deadline_ms, tls.deadline);
  EXPECT_EQ(std::vector<int>{7}, net.closed);
  EXPECT_TRUE(started);
  EXPECT_EQ(1, net.start_calls);

  // The sockets layer starts once; plain http needs no TLS, and the usual
  // port stays out of Host.
  scripted_net again;
  again.replies({"HTTP/1.0 204 No Content\r\n\r\n"});
  request = request_to("http://127.0.0.1/hook");
  ASSERT_TRUE(http_post(request, &again, &tls, &started, &response));
  EXPECT_EQ(0, again.start_calls);
  EXPECT_EQ(1, tls.calls);
  EXPECT_TRUE(again.connected_dotted);
  EXPECT_EQ(80, again.connected_port);
  EXPECT_EQ(0u, again.sent.find("POST /hook HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                "User-Agent: TARVELO\r\n"));
  EXPECT_EQ(204, response.status);
}

TEST(HttpClientTest, EndsEachWayWithTheSocketClosed) {
  struct {
    const char* name;
    std::vector<scripted_net::chunk> server;
    int connect_socket = 7;
    connect_failure connect_why = CONNECT_FAILED;
    tls_failure tls = TLS_DONE;
    std::vector<int> send_caps;
    http_failure failure;
    std::string detail;
    std::string body = "";
    long long send_ms = 0;  // how long the request takes to write
  } cases[] = {
      {"chunked",
       {{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r"},
        {"\n0\r\n\r\n"}},
       7, CONNECT_FAILED, TLS_DONE, {}, HTTP_DONE, "", "abc"},
      {"unframed body to the end",
       {{"HTTP/1.1 500 Oops\r\n\r\nsorry"}},
       7, CONNECT_FAILED, TLS_DONE, {}, HTTP_DONE, "", "sorry"},
      {"closes early",
       {{"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nshort"}},
       7, CONNECT_FAILED, TLS_DONE, {}, HTTP_BAD_RESPONSE,
       "closed before the response ended"},
      {"answers nothing", {}, 7, CONNECT_FAILED, TLS_DONE, {},
       HTTP_BAD_RESPONSE, "closed without a response"},
      {"reset", {{"HTTP/1.1 2"}, {"", 10054}}, 7, CONNECT_FAILED, TLS_DONE,
       {}, HTTP_BAD_RESPONSE,
       "connection broke: The virtual circuit was reset by the remote side."},
      {"recv times out", {{"HTTP/1.1 200 OK\r\n"}, {"", 10060}}, 7,
       CONNECT_FAILED, TLS_DONE, {}, HTTP_TIMED_OUT,
       "no whole response in time"},
      {"deadline passed while writing", {{"HTTP/1.1 200 OK\r\n\r\n"}}, 7,
       CONNECT_FAILED, TLS_DONE, {}, HTTP_TIMED_OUT,
       "no whole response in time", "", 10000},
      {"not HTTP", {{"SSH-2.0-OpenSSH\r\n"}}, 7, CONNECT_FAILED, TLS_DONE, {},
       HTTP_BAD_RESPONSE, "no HTTP/1.x status line"},
      {"body of 64 kB and one byte",
       {{"HTTP/1.1 200 OK\r\n\r\n"}, {std::string(64 * 1024 + 1, 'x')}},
       7, CONNECT_FAILED, TLS_DONE, {}, HTTP_TOO_LARGE, "body over 64 kB"},
      {"write fails", {}, 7, CONNECT_FAILED, TLS_DONE, {10, -1},
       HTTP_WRITE_FAILED,
       "The virtual circuit was reset by the remote side."},
      {"refused", {}, -1, CONNECT_FAILED, TLS_DONE, {}, HTTP_NO_CONNECTION,
       "Connection Refused"},
      {"no such host", {}, -1, CONNECT_NO_NAME, TLS_DONE, {}, HTTP_NO_NAME,
       "h.example does not resolve"},
      {"certificate not trusted", {}, 7, CONNECT_FAILED, TLS_NOT_TRUSTED, {},
       HTTP_TLS_FAILED, "TLS certificate not trusted: self-signed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    scripted_net net;
    for (const auto& piece : c.server) net.incoming.push_back(piece);
    net.connect_socket = c.connect_socket;
    net.connect_why = c.connect_why;
    net.send_caps = c.send_caps;
    net.send_advance_ms = c.send_ms;
    fake_tls tls;
    tls.failure = c.tls;
    tls.detail = "self-signed";
    bool started = true;
    http_response response;
    EXPECT_EQ(c.failure == HTTP_DONE,
              http_post(request_to("https://h.example/"), &net, &tls,
                        &started, &response));
    EXPECT_EQ(c.failure, response.failure);
    EXPECT_EQ(c.detail, response.detail);
    EXPECT_EQ(c.body, response.body);
    if (c.connect_socket != -1) {
      EXPECT_EQ(std::vector<int>{7}, net.closed);
    }
    // Nothing goes out on a connection whose handshake failed.
    if (c.tls != TLS_DONE) {
      EXPECT_EQ("", net.sent);
    }
  }
}

TEST(HttpClientTest, RefusesAHeaderThatBreaksTheLine) {
  for (const auto& header : std::vector<std::pair<std::string, std::string>>{
           {"X-A", "1\r\nX-Evil: 2"}, {"X-A", std::string("1\0", 2)},
           {"X A", "1"}, {"", "1"}, {"X-A:", "1"}}) {
    SCOPED_TRACE(header.first + "|" + header.second);
    scripted_net net;
    fake_tls tls;
    http_request request = request_to("https://h.example/");
    request.headers = {header};
    bool started = false;
    http_response response;
    EXPECT_FALSE(http_post(request, &net, &tls, &started, &response));
    EXPECT_EQ(HTTP_WRITE_FAILED, response.failure);
    EXPECT_EQ("", net.connected_host);
  }
}

TEST(HttpClientTest, ProbeConnectsAndShakesHandsOnly) {
  scripted_net net;
  fake_tls tls;
  http_url url;
  ASSERT_TRUE(parse_http_url("https://10.0.0.5:8443/verify", &url));
  bool started = false;
  http_response response;
  EXPECT_TRUE(http_probe(url, "/ca.pem", 5001000, &net, &tls, &started,
                         &response));
  EXPECT_EQ("", net.sent);
  EXPECT_EQ(0, net.recv_calls);
  EXPECT_EQ(std::vector<int>{7}, net.closed);
  EXPECT_TRUE(net.connected_dotted);
  EXPECT_EQ("/ca.pem", tls.ca);

  tls.failure = TLS_NAME_MISMATCH;
  tls.detail = "";
  scripted_net other;
  EXPECT_FALSE(http_probe(url, nullptr, 5001000, &other, &tls, &started,
                          &response));
  EXPECT_EQ(HTTP_TLS_FAILED, response.failure);
  EXPECT_EQ("TLS host name mismatch", response.detail);
  EXPECT_EQ(std::vector<int>{7}, other.closed);
}

}  // namespace
}  // namespace tarvelo
