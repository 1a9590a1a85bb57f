#include "smtp/socket_layer.h"

#include <gtest/gtest.h>

#include <string>

#include "support/log.h"
#include "testing/scripted_net.h"
#include "testing/test_support.h"

namespace tarvelo {
namespace {

// Each trace line shows the bytes its write took, not the rest of the data:
// against a slow reader a big message would be logged again per piece.
TEST(SocketWriteAll, PartialWritesTraceOnlyTheirOwnBytes) {
  struct {
    std::vector<int> caps;
    std::vector<int> pauses;
    const char* trace;
  } cases[] = {
      {{10},
       {100},
       "SENT(7): (10/25 bytes) {abcdefghij}\n"
       "SENT(7): (15/25 bytes) {klmnopqrstuvwxy}\n"},
      {{10, 10},
       {100, 100},
       "SENT(7): (10/25 bytes) {abcdefghij}\n"
       "SENT(7): (10/25 bytes) {klmnopqrst}\n"
       "SENT(7): (5/25 bytes) {uvwxy}\n"},
  };
  const char* data = "abcdefghijklmnopqrstuvwxy";  // 25 bytes
  for (const auto& c : cases) {
    SCOPED_TRACE(c.trace);
    scoped_test_log log;
    scripted_net net;
    net.send_caps = c.caps;
    EXPECT_EQ(25, socket_write_all(&net, 7, data, 25, 0));
    EXPECT_EQ(data, net.sent);
    EXPECT_EQ(c.pauses, net.pauses);
    EXPECT_EQ(c.trace, log.messages());
  }
}

TEST(SocketWriteAll, WholeWriteIsOneTraceWithoutPause) {
  scoped_test_log log;
  scripted_net net;
  EXPECT_EQ(4, socket_write_all(&net, 7, "QUIT", 4, 0));
  EXPECT_TRUE(net.pauses.empty());
  EXPECT_EQ("SENT(7): (4/4 bytes) {QUIT}\n", log.messages());
}

TEST(SocketWriteAll, SizeZeroWritesAndLogsNothing) {
  scoped_test_log log;
  scripted_net net;
  EXPECT_EQ(0, socket_write_all(&net, 7, "", 0, 0));
  EXPECT_EQ(0, net.send_calls);
  EXPECT_EQ("", log.messages());
}

TEST(SocketWriteAll, NoSocketIsAFailure) {
  scripted_net net;
  EXPECT_EQ(-1, socket_write_all(&net, -1, "x", 1, 0));
  EXPECT_EQ(0, net.send_calls);
}

TEST(SocketWriteAll, FailedWriteIsReportedAfterTheBytesTaken) {
  scoped_test_log log;
  scripted_net net;
  net.send_caps = {3, -1};
  net.send_error = 10058;
  EXPECT_EQ(-1, socket_write_all(&net, 7, "abcdef", 6, 0));
  EXPECT_EQ("abc", net.sent);
  EXPECT_EQ(
      "SENT(7): (3/6 bytes) {abc}\n"
      "wsock: (Socket Error, could not write.) The socket has been shutdown; "
      "it is not possible to sendln on a socket after shutdown has been "
      "invoked with how set to 1 or 2.\n\n",
      log.messages());
}

TEST(ReportSocketError, Texts) {
  struct {
    int code;
    const char* context;
    const char* logged;
  } cases[] = {
      {10061, "mail.example", "wsock: (mail.example) Connection Refused\n\n"},
      {10060, "TCPdoread failed", "wsock: (TCPdoread failed) Timedout\n\n"},
      {10004, "c",
       "wsock: (c) The (blocking) call was canceled via "
       "WSACancelBlockingCall.\n\n"},
      {10093, "c",
       "wsock: (c) A successful WSAStartup must occur before using this "
       "API.\n\n"},
      {10066, "c", "wsock: (c) Not Empty\n\n"},
      {10062, "ctx", "wsock: (ctx) Socket Unkown error code 10062 \n\n"},
      {12345, "ctx", "wsock: (ctx) Socket Unkown error code 12345 \n\n"},
      {0, "ctx", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    scoped_test_log log;
    scripted_net net;
    net.last = c.code;
    report_socket_error(&net, c.context);
    EXPECT_EQ(c.logged, log.messages());
    EXPECT_EQ(c.code, net.last_error());  // reporting does not clear it
  }
}

TEST(ConnectToServer, LowerCasesHostAndTellsDottedFromName) {
  struct {
    const char* host;
    const char* looked_up;
    bool dotted;
  } cases[] = {
      {"Mail.EXAMPLE.org", "mail.example.org", false},
      {"127.0.0.1", "127.0.0.1", true},
      {"1und1.DE", "1und1.de", true},  // a digit first is taken as dotted
      {"_x", "_x", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host);
    scoped_test_log log;
    scripted_net net;
    std::string host = c.host;
    EXPECT_EQ(7, connect_to_server(&net, host.data(), 0x10000 + 25, 99));
    EXPECT_EQ(c.looked_up, host);  // changed in place
    EXPECT_EQ(c.looked_up, net.connected_host);
    EXPECT_EQ(c.dotted, net.connected_dotted);
    EXPECT_EQ(25, net.connected_port);
    EXPECT_EQ(99, net.connect_deadline);
    EXPECT_EQ("", log.messages());
  }
}

TEST(ConnectToServer, FailuresAndTheirReports) {
  struct {
    connect_failure why;
    int error;
    const char* logged;
  } cases[] = {
      {CONNECT_NO_NAME, 0, ""},
      {CONNECT_FAILED, 10061, "wsock: (mail.example) Connection Refused\n\n"},
      {CONNECT_FAILED, 10060, "wsock: (mail.example) Timedout\n\n"},
      {CONNECT_NO_SOCKET, 10055,
       "wsock: (*** Error *** Can't connect to {mail.example}) The Windows "
       "Sockets implementation reports a buffer deadlock.\n\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.logged);
    scoped_test_log log;
    scripted_net net;
    net.connect_socket = -1;
    net.connect_why = c.why;
    net.connect_error = c.error;
    char host[] = "Mail.Example";
    EXPECT_EQ(-1, connect_to_server(&net, host, 25, 0));
    EXPECT_EQ(c.logged, log.messages());
  }
}

TEST(WinsockStart, VersionChecks) {
  struct {
    int result;
    int granted;
    const char* logged;
  } cases[] = {
      {0, 0x0101, ""},
      {0, 0x0001,
       "*** Error *** No winsock found of correct version, trying to "
       "continue\n\n"},
      {0, 0x0202,
       "*** Error *** No winsock found of correct version, trying to "
       "continue\n\n"},
      {10091, 0x0101, "No winsock found of correct version\n\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.granted);
    scoped_test_log log;
    scripted_net net;
    net.start_result = c.result;
    net.granted_version = c.granted;
    winsock_start(&net);
    EXPECT_EQ(0x0101, net.requested_version);
    EXPECT_EQ(c.logged, log.messages());
  }
}

}  // namespace
}  // namespace tarvelo
