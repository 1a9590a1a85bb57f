#include "spool/spool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/os.h"
#include "testing/scripted_net.h"
#include "testing/test_support.h"

namespace tarvelo {
namespace {

const char* const kHeader = "To: t@x.y \r\nSubject: Hi \r\n";
const char* const kBody = " Note: hello\r\n";

spool_fields sample_fields() {
  spool_fields fields;
  fields.from = "f@x.y";
  fields.to = "t@x.y";
  fields.cc = "c@x.y";
  fields.header_text = kHeader;
  fields.body_text = kBody;
  return fields;
}

std::string formatted(const spool_fields& fields) {
  std::string out;
  spool_format(fields, &out);
  return out;
}

// The sorted entries of a folder, joined with "|".
std::string folder_listing(const std::string& folder) {
  std::vector<std::string> names;
  std::string error;
  if (!os_list_folder(folder.c_str(), &names, &error)) return "?" + error;
  std::sort(names.begin(), names.end());
  std::string out;
  for (const std::string& name : names) out += name + "|";
  return out;
}

TEST(SpoolFormat, PinsTheReadableLayout) {
  EXPECT_EQ(
      "TARVELO spool file 1\n"
      "from 5\nf@x.y\n"
      "to 5\nt@x.y\n"
      "bcc -\n"
      "cc 5\nc@x.y\n"
      "line_end CRLF\n"
      "header 26\nTo: t@x.y \r\nSubject: Hi \r\n\n"
      "body 14\n Note: hello\r\n\n"
      "end\n",
      formatted(sample_fields()));
}

TEST(SpoolFormat, RoundTripsEveryByte) {
  std::string all_bytes;
  for (int c = 1; c < 256; ++c) all_bytes += static_cast<char>(c);
  struct {
    const char* what;
    std::string header;
    std::string body;
    const char* bcc;
    const char* cc;
    const char* line_end;
  } cases[] = {
      {"plain", kHeader, kBody, nullptr, nullptr, "\r\n"},
      {"every byte but NUL", all_bytes, all_bytes, "b@x", "c@x", "\r\n"},
      {"empty texts", "", "", nullptr, "c@x", "\n"},
      {"lone CR and LF", "A: 1\r", "\n\n\r\r\n", "b@x", nullptr, "\n"},
      {"looks like the format",
       "body 3\nend\n", "end\nbcc -\nTARVELO spool file 1\n", "", "", "\r\n"},
      {"no final line end", "X: y", " last", nullptr, nullptr, "\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    spool_fields fields;
    fields.from = "from@x.y";
    fields.to = "to@x.y";
    fields.bcc = c.bcc;
    fields.cc = c.cc;
    fields.header_text = c.header.c_str();
    fields.body_text = c.body.c_str();
    fields.line_end = c.line_end;
    std::string file = formatted(fields);
    spool_record record;
    ASSERT_EQ(1, spool_parse(file.data(), file.size(), &record));
    EXPECT_EQ("from@x.y", record.from);
    EXPECT_EQ("to@x.y", record.to);
    EXPECT_EQ(c.bcc != nullptr, record.has_bcc);
    EXPECT_EQ(c.bcc != nullptr ? c.bcc : "", record.bcc);
    EXPECT_EQ(c.cc != nullptr, record.has_cc);
    EXPECT_EQ(c.cc != nullptr ? c.cc : "", record.cc);
    EXPECT_EQ(c.header, record.header_text);
    EXPECT_EQ(c.body, record.body_text);
    EXPECT_STREQ(c.line_end, record.line_end);
  }
}

// A run killed while writing could at worst leave a prefix of the file (the
// rename makes even that impossible); no prefix may pass for a message.
TEST(SpoolParse, NoCutFileIsAMessage) {
  std::string file = formatted(sample_fields());
  spool_record record;
  for (size_t size = 0; size < file.size(); ++size) {
    SCOPED_TRACE(size);
    EXPECT_EQ(0, spool_parse(file.data(), size, &record));
  }
  EXPECT_EQ(1, spool_parse(file.data(), file.size(), &record));
}

TEST(SpoolParse, RejectsDamagedFiles) {
  const std::string good = formatted(sample_fields());
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string out = good;
    size_t at = out.find(from);
    EXPECT_NE(std::string::npos, at) << from;
    return out.replace(at, from.size(), to);
  };
  struct {
    const char* what;
    std::string file;
  } cases[] = {
      {"bytes after end", good + "x"},
      {"length too long", replaced("body 14\n", "body 15\n")},
      {"length too short", replaced("body 14\n", "body 13\n")},
      {"no length", replaced("body 14\n", "body \n")},
      {"sign in length", replaced("body 14\n", "body +14\n")},
      {"thirteen digits", replaced("body 14\n", "body 0000000000014\n")},
      {"absent To", replaced("to 5\nt@x.y\n", "to -\n")},
      {"fields out of order", replaced("bcc -\ncc 5\nc@x.y\n",
                                       "cc 5\nc@x.y\nbcc -\n")},
      {"unknown line end", replaced("line_end CRLF\n", "line_end CR\n")},
      {"other version", replaced("spool file 1", "spool file 2")},
      {"NUL in a text", replaced("Hi", std::string("H\0", 2))},
      {"no end line", good.substr(0, good.size() - 4) + "END\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    spool_record record;
    EXPECT_EQ(0, spool_parse(c.file.data(), c.file.size(), &record));
  }
}

TEST(SpoolName, UtcTimePidAndRandom) {
  struct {
    long long micros;
    int pid;
    unsigned random;
    const char* name;
  } cases[] = {
      {0, 1, 0, "19700101-000000-000000-1-00000000.mail"},
      // 2024-02-29 23:59:59.999999 UTC, a leap day.
      {1709251199999999LL, 4242, 0xdeadbeef,
       "20240229-235959-999999-4242-deadbeef.mail"},
      {1709251200000000LL, 7, 0x1, "20240301-000000-000000-7-00000001.mail"},
      // 2000-12-31 12:34:56.000123 UTC: a leap year divisible by 400.
      {978266096000123LL, 99999, 0xffffffff,
       "20001231-123456-000123-99999-ffffffff.mail"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    char name[kSpoolNameSize];
    spool_file_name(c.micros, c.pid, c.random, name);
    EXPECT_STREQ(c.name, name);
  }
}

TEST(SpoolName, LaterMomentsSortLater) {
  // A pid or random part cannot put a later file in front of an earlier
  // one: the time comes first, fixed width.
  char earlier[kSpoolNameSize];
  char later[kSpoolNameSize];
  for (long long step : {1LL, 999999LL, 1000000LL, 86400000000LL}) {
    SCOPED_TRACE(step);
    long long at = 1700000000123456LL;
    spool_file_name(at, 99999, 0xffffffff, earlier);
    spool_file_name(at + step, 1, 0, later);
    EXPECT_LT(std::string(earlier), std::string(later));
  }
}

TEST(SpoolName, OnlyMessageFilesAreTried) {
  struct {
    const char* name;
    bool message;
  } cases[] = {
      {"20240229-235959-999999-4242-deadbeef.mail", true},
      {"renamed back by hand.mail", true},
      {"20240229-235959-999999-4242-deadbeef.mail.refused", false},
      {".20240229-235959-999999-4242-deadbeef.mail.tmp", false},
      {".hidden.mail", false},
      {"notes.txt", false},
      {"mail", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.message, spool_name_is_message(c.name));
  }
}

TEST(SpoolStore, WritesOneCompleteLockedFile) {
  scoped_test_log log;
  std::string folder = fresh_temp_dir();
  spool_hold hold;
  ASSERT_EQ(1, spool_store(folder.c_str(), "a.mail", sample_fields(), &hold));
  EXPECT_EQ("a.mail|", folder_listing(folder));  // no temporary file left
  EXPECT_EQ(formatted(sample_fields()), read_file(folder + "/a.mail"));
  EXPECT_EQ(folder + "/a.mail", hold.path);

  // flock locks belong to the open file: a second open is refused even
  // in this process, as a resend's would be.
  os_lock_result locked;
  EXPECT_EQ(-1, os_lock_existing(hold.path.c_str(), &locked));
  EXPECT_EQ(OS_LOCK_BUSY, locked);

  EXPECT_EQ(1, spool_settle(&hold, 0));
  EXPECT_EQ(-1, hold.fd);
  EXPECT_NE(std::string::npos,
            log.messages().find("Email queued in the spool folder as " +
                                folder + "/a.mail;"));
  int fd = os_lock_existing((folder + "/a.mail").c_str(), &locked);
  EXPECT_EQ(OS_LOCKED, locked);
  os_file_close(fd);
}

TEST(SpoolStore, UnwritableFolderIsAnErrorLineOnly) {
  scoped_test_log log;
  std::string base = fresh_temp_dir();
  write_file(base + "/plain", "a file");
  write_file(base + "/taken.mail", "someone else's");
  struct {
    std::string folder;
    const char* name;
    const char* reason;
  } cases[] = {
      {base + "/missing", "a.mail", "(create: No such file or directory)"},
      {base + "/plain", "a.mail", "(create: Not a directory)"},
      {base, "taken.mail", "(rename: File exists)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder);
    spool_hold hold;
    EXPECT_EQ(0, spool_store(c.folder.c_str(), c.name, sample_fields(),
                             &hold));
    EXPECT_EQ(-1, hold.fd);
    EXPECT_NE(std::string::npos,
              log.messages().find("Could not write the spool file " +
                                  c.folder + "/" + c.name + " " + c.reason +
                                  "; the email is sent without a copy in "
                                  "the spool folder."));
    EXPECT_EQ(0, spool_settle(&hold, 0));  // nothing held: nothing queued
  }
  EXPECT_EQ("plain|taken.mail|", folder_listing(base));
  EXPECT_EQ("someone else's", read_file(base + "/taken.mail"));
}

// --- resend ---------------------------------------------------------------

std::string resend(const std::string& folder, scripted_net* net,
                   resend_counts* counts, const char* line_end = "\r\n") {
  smtp_job base;
  base.server = "127.0.0.1";
  base.line_end = line_end;
  bool started = false;
  int listed = 0;
  char* text = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&text, &size);
  *counts = resend_folder(folder.c_str(), base, net, &started, out, &listed);
  fclose(out);
  std::string printed(text, size);
  free(text);
  EXPECT_EQ(1, listed);
  return printed;
}

void store_file(const std::string& folder, const char* name,
                const spool_fields& fields) {
  write_file(folder + "/" + name, formatted(fields));
}

TEST(ResendFolder, DecisionTable) {
  scoped_test_log log;
  struct {
    const char* what;
    std::vector<const char*> server;  // empty: the connection is refused
    const char* printed;
    const char* left;  // folder listing afterwards
    int sent, kept, refused;
  } cases[] = {
      {"accepted",
       {"220 hi\r\n", "250 hello\r\n", "250 ok\r\n", "250 ok\r\n",
        "250 ok\r\n", "250 ok\r\n", "354 go\r\n", "250 queued\r\n", "221 bye\r\n"},
       "sent m.mail\n", "", 1, 0, 0},
      {"451 at RCPT",
       {"220 hi\r\n", "250 hello\r\n", "250 ok\r\n", "451 try later\r\n",
        "221 bye\r\n"},
       "kept m.mail: RCPT TO:<t@x.y> refused: 451 try later\n", "m.mail|", 0,
       1, 0},
      {"550 at RCPT",
       {"220 hi\r\n", "250 hello\r\n", "250 ok\r\n", "550 no such user\r\n",
        "221 bye\r\n"},
       "refused m.mail: RCPT TO:<t@x.y> refused: 550 no such user\n",
       "m.mail.refused|", 0, 0, 1},
      {"554 at the end of data",
       {"220 hi\r\n", "250 hello\r\n", "250 ok\r\n", "250 ok\r\n",
        "250 ok\r\n", "250 ok\r\n", "354 go\r\n", "554 spam\r\n", "221 bye\r\n"},
       "refused m.mail: the message refused: 554 spam\n", "m.mail.refused|",
       0, 0, 1},
      {"452 at MAIL FROM",
       {"220 hi\r\n", "250 hello\r\n", "452 full\r\n", "221 bye\r\n"},
       "kept m.mail: MAIL FROM:<f@x.y> refused: 452 full\n", "m.mail|", 0, 1,
       0},
      // The server as a whole, not this message: a later try may pass.
      {"554 greeting",
       {"554 no service\r\n", "221 bye\r\n"},
       "kept m.mail: the connection refused: 554 no service\n", "m.mail|", 0,
       1, 0},
      // RFC 5321 4.2.1: a reply whose lines carry different codes is
      // malformed; its last code does not make the refusal permanent.
      {"mixed codes at RCPT",
       {"220 hi\r\n", "250 hello\r\n", "250 ok\r\n",
        "550-no\r\n250 ok\r\n", "221 bye\r\n"},
       "kept m.mail: malformed reply to RCPT TO:<t@x.y>: 250 ok\n", "m.mail|",
       0, 1, 0},
      {"closed after DATA",
       {"220 hi\r\n", "250 hello\r\n", "250 ok\r\n", "250 ok\r\n",
        "250 ok\r\n", "250 ok\r\n", "354 go\r\n"},
       "kept m.mail: no complete reply to the message\n", "m.mail|", 0, 1, 0},
      {"no connection",
       {},
       "kept m.mail: the SMTP email server (127.0.0.1) did not respond\n",
       "m.mail|", 0, 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string folder = fresh_temp_dir();
    spool_fields fields = sample_fields();
    fields.bcc = "b@x.y";
    store_file(folder, "m.mail", fields);
    scripted_net net;
    if (c.server.empty()) net.connect_socket = -1;
    for (const char* reply : c.server) net.replies({reply});
    resend_counts counts;
    EXPECT_EQ(c.printed, resend(folder, &net, &counts));
    EXPECT_EQ(c.left, folder_listing(folder));
    EXPECT_EQ(c.sent, counts.sent);
    EXPECT_EQ(c.kept, counts.kept);
    EXPECT_EQ(c.refused, counts.refused);
  }
}

TEST(ResendFolder, SendsTheStoredMessageWithItsLineEnd) {
  scoped_test_log log;
  std::string folder = fresh_temp_dir();
  spool_fields fields;
  fields.from = "f@x.y";
  fields.to = "t@x.y";
  fields.bcc = "b@x.y";
  fields.cc = "c@x.y";
  fields.header_text = "Subject: s \n";
  fields.body_text = " a\n.dot\n";
  fields.line_end = "\n";
  store_file(folder, "m.mail", fields);
  scripted_net net;
  net.replies({"220 hi\r\n", "250 hello\r\n", "250 ok\r\n", "250 ok\r\n",
               "250 ok\r\n", "250 ok\r\n", "354 go\r\n", "250 queued\r\n",
               "221 bye\r\n"});
  resend_counts counts;
  // The ini now says CRLF; the message was composed for LF and goes so.
  EXPECT_EQ("sent m.mail\n", resend(folder, &net, &counts, "\r\n"));
  EXPECT_EQ(
      "HELO TARVELO\nMAIL FROM:<f@x.y>\nRCPT TO:<t@x.y>\nRCPT TO:<b@x.y>\n"
      "RCPT TO:<c@x.y>\nDATA\nSubject: s \n\n a\n..dot\n\r\n.\r\nQUIT\n",
      net.sent);
}

TEST(ResendFolder, OldestFirstSkippingOthersFiles) {
  scoped_test_log log;
  std::string folder = fresh_temp_dir();
  spool_fields fields = sample_fields();
  fields.cc = nullptr;
  fields.from = "second@x.y";
  store_file(folder, "20240102-000000-000000-1-00000000.mail", fields);
  fields.from = "first@x.y";
  store_file(folder, "20240101-000000-000000-9-ffffffff.mail", fields);
  fields.from = "writing@x.y";
  store_file(folder, ".20240101-000000-000000-2-00000000.mail.tmp", fields);
  store_file(folder, "20231231-000000-000000-3-00000000.mail.refused",
             fields);
  fields.from = "busy@x.y";
  store_file(folder, "20231230-000000-000000-4-00000000.mail", fields);
  os_lock_result locked;
  int busy = os_lock_existing(
      (folder + "/20231230-000000-000000-4-00000000.mail").c_str(), &locked);
  ASSERT_EQ(OS_LOCKED, locked);

  scripted_net net;
  for (int i = 0; i < 2; ++i) {
    net.replies({"220 hi\r\n", "250 hello\r\n", "250 ok\r\n", "250 ok\r\n",
                 "354 go\r\n", "250 queued\r\n", "221 bye\r\n"});
  }
  resend_counts counts;
  EXPECT_EQ(
      "sent 20240101-000000-000000-9-ffffffff.mail\n"
      "sent 20240102-000000-000000-1-00000000.mail\n",
      resend(folder, &net, &counts));
  size_t first = net.sent.find("MAIL FROM:<first@x.y>");
  size_t second = net.sent.find("MAIL FROM:<second@x.y>");
  ASSERT_NE(std::string::npos, first);
  ASSERT_NE(std::string::npos, second);
  EXPECT_LT(first, second);
  EXPECT_EQ(std::string::npos, net.sent.find("writing@x.y"));
  EXPECT_EQ(std::string::npos, net.sent.find("busy@x.y"));
  EXPECT_EQ(
      ".20240101-000000-000000-2-00000000.mail.tmp|"
      "20231230-000000-000000-4-00000000.mail|"
      "20231231-000000-000000-3-00000000.mail.refused|",
      folder_listing(folder));
  os_file_close(busy);
}

TEST(ResendFolder, UnreachableServerIsTriedOnce) {
  scoped_test_log log;
  std::string folder = fresh_temp_dir();
  store_file(folder, "a.mail", sample_fields());
  store_file(folder, "b.mail", sample_fields());
  write_file(folder + "/c.mail", "TARVELO spool file 1\nfrom 5\nf@");
  scripted_net net;
  net.connect_socket = -1;
  resend_counts counts;
  EXPECT_EQ(
      "kept a.mail: the SMTP email server (127.0.0.1) did not respond\n"
      "kept b.mail: not tried, the SMTP email server (127.0.0.1) did not "
      "respond\n"
      "kept c.mail: not tried, the SMTP email server (127.0.0.1) did not "
      "respond\n",
      resend(folder, &net, &counts));
  EXPECT_EQ("127.0.0.1", net.connected_host);
  EXPECT_EQ(1, net.start_calls);
  EXPECT_EQ(3, counts.kept);
  EXPECT_EQ("a.mail|b.mail|c.mail|", folder_listing(folder));
}

TEST(ResendFolder, IncompleteFileIsKeptAndNeverSent) {
  scoped_test_log log;
  std::string folder = fresh_temp_dir();
  std::string whole = formatted(sample_fields());
  write_file(folder + "/cut.mail", whole.substr(0, whole.size() - 1));
  scripted_net net;
  resend_counts counts;
  EXPECT_EQ("kept cut.mail: not a complete spool file\n",
            resend(folder, &net, &counts));
  EXPECT_EQ("", net.connected_host);  // no connection was even made
  EXPECT_EQ("cut.mail|", folder_listing(folder));
}

TEST(ResendFolder, ServerWithoutReplyIsTriedOnce) {
  scoped_test_log log;
  std::string folder = fresh_temp_dir();
  store_file(folder, "a.mail", sample_fields());
  store_file(folder, "b.mail", sample_fields());
  scripted_net net;
  net.incoming.push_back({"", 10060});  // the time limit strikes
  resend_counts counts;
  EXPECT_EQ(
      "kept a.mail: no complete reply to the connection\n"
      "kept b.mail: not tried, no complete reply to the connection\n",
      resend(folder, &net, &counts));
  EXPECT_EQ(2, counts.kept);
  EXPECT_EQ(1, net.recv_calls);  // one wait, not one per message
  EXPECT_EQ("a.mail|b.mail|", folder_listing(folder));
  std::filesystem::remove_all(folder);
}

TEST(ResendFolder, APassFindingTheFolderBusyEndsAtOnce) {
  scoped_test_log log;
  std::string folder = fresh_temp_dir();
  store_file(folder, "a.mail", sample_fields());
  bool busy = true;
  int held = os_try_lock_folder(folder.c_str(), &busy);
  ASSERT_LE(0, held);
  scripted_net net;
  resend_counts counts;
  EXPECT_EQ("Another -resend_spool is at work on the spool folder " + folder +
                "; this one ends.\n",
            resend(folder, &net, &counts));
  EXPECT_TRUE(counts.busy);
  EXPECT_EQ("", net.connected_host);
  os_file_close(held);
  net.replies({"220 hi\r\n", "250 hello\r\n", "250 ok\r\n", "250 ok\r\n",
               "250 ok\r\n", "354 go\r\n", "250 queued\r\n", "221 bye\r\n"});
  EXPECT_EQ("sent a.mail\n", resend(folder, &net, &counts));
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace tarvelo
