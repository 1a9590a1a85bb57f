#include "run/run.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "testing/test_support.h"

namespace tarvelo {
namespace {

TEST(RunPathsTest, IniAndLogBesideTheExecutable) {
  struct {
    const char* argv0;
    const char* ini;
    const char* log;
  } cases[] = {
      {"C:\\scripts\\mailer.exe", "C:\\scripts\\mailer.ini",
       "C:\\scripts\\mailer.log"},
      {"/cgi-bin/mailer.cgi", "/cgi-bin/mailer.ini", "/cgi-bin/mailer.log"},
      {"mailer", "mailer.ini", "mailer.log"},
      {"MAILER.EXE", "MAILER.EXE.ini", "MAILER.EXE.log"},
      {"mailer.exe.bak", "mailer.ini", "mailer.log"},
      // Only the file name is searched: folders stay whole.
      {"C:\\site.cgi\\mailer.exe", "C:\\site.cgi\\mailer.ini",
       "C:\\site.cgi\\mailer.log"},
      {"/var/www/www.exeter.example/cgi-bin/mailer.cgi",
       "/var/www/www.exeter.example/cgi-bin/mailer.ini",
       "/var/www/www.exeter.example/cgi-bin/mailer.log"},
      {"/srv/forms.cgi/tarvelo", "/srv/forms.cgi/tarvelo.ini",
       "/srv/forms.cgi/tarvelo.log"},
      {"C:\\a.exe/b\\mailer.cgi.exe", "C:\\a.exe/b\\mailer.ini",
       "C:\\a.exe/b\\mailer.log"},
      {"/srv/www/cgi-bin/tarvelo", "/srv/www/cgi-bin/tarvelo.ini",
       "/srv/www/cgi-bin/tarvelo.log"},
      {"", ".ini", ".log"},
  };
  static char out[kPathStorage];
  for (const auto& c : cases) {
    SCOPED_TRACE(c.argv0);
    derive_path(c.argv0, ".ini", out);
    EXPECT_STREQ(c.ini, out);
    derive_path(c.argv0, ".log", out);
    EXPECT_STREQ(c.log, out);
  }
}

TEST(RunPathsTest, OverlongPathIsCut) {
  static char out[kPathStorage];
  std::string argv0(70000, 'd');
  derive_path(argv0.c_str(), ".ini", out);
  EXPECT_EQ(static_cast<size_t>(kPathMax), std::string(out).size());
}

// "-blanklog" empties the log beside the executable and ends the process
// with the tool's exit code; it never goes on into a run (whose held lines
// would land in the emptied log).
TEST(RunMainTest, BlankLogSwitchEndsTheProcessWithItsCode) {
  const struct {
    bool log_is_folder;
    int code;
  } cases[] = {{false, 0}, {true, 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    std::string program = fresh_temp_dir() + "/mailer.cgi";
    std::string log = program.substr(0, program.size() - 4) + ".log";
    if (c.log_is_folder) {
      ASSERT_EQ(0, mkdir(log.c_str(), 0755));
    } else {
      write_file(log, "old line\n");
    }
    fflush(nullptr);  // the child must not repeat buffered test output
    pid_t child = fork();
    ASSERT_NE(-1, child);
    if (child == 0) {
      unsetenv("GATEWAY_INTERFACE");
      unsetenv("REQUEST_METHOD");
      char* argv[] = {program.data(), const_cast<char*>("-blanklog"), nullptr};
      // Returning at all is the fault: the switch must end the process.
      _exit(100 + run_main(2, argv));
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(c.code, WEXITSTATUS(status));
    if (!c.log_is_folder) {
      EXPECT_EQ("This is the log file for tarvelo\n", read_file(log));
    }
  }
}

}  // namespace
}  // namespace tarvelo

namespace tarvelo {
namespace {

TEST(ReplyOutcomeTest, EveryRunEndHasItsReply) {
  mail_settings plain;
  mail_settings json;
  json.json_replies = true;
  mail_settings invalid_page;
  invalid_page.invalid_html_page = const_cast<char*>("/x/invalid.html");
  mail_settings invalid_redirect;
  invalid_redirect.invalid_redirect = const_cast<char*>("/invalid");
  mail_settings redirects_only;
  redirects_only.failure_redirect = const_cast<char*>("/sorry");
  const struct {
    bool may_send;
    form_outcome form;
    delivery_outcome delivery;
    const mail_settings& settings;
    reply_outcome expected;
  } cases[] = {
      {false, FORM_READ, DELIVERY_FAILED, plain, REPLY_METHOD},
      {false, FORM_MALFORMED, DELIVERY_FAILED, plain, REPLY_METHOD},
      {true, FORM_UNSUPPORTED, DELIVERY_FAILED, plain, REPLY_UNSUPPORTED},
      {true, FORM_TOO_LARGE, DELIVERY_FAILED, plain, REPLY_TOO_LARGE},
      {true, FORM_MALFORMED, DELIVERY_FAILED, plain, REPLY_MALFORMED},
      {true, FORM_READ, DELIVERY_SENT, plain, REPLY_SENT},
      {true, FORM_READ, DELIVERY_DROPPED, plain, REPLY_SENT},
      {true, FORM_READ, DELIVERY_QUEUED, plain, REPLY_QUEUED},
      {true, FORM_READ, DELIVERY_INVALID, plain, REPLY_INVALID},
      {true, FORM_READ, DELIVERY_FILES_REFUSED, plain, REPLY_FAILED},
      {true, FORM_READ, DELIVERY_FILES_REFUSED, redirects_only, REPLY_FAILED},
      {true, FORM_READ, DELIVERY_FILES_REFUSED, json, REPLY_INVALID},
      {true, FORM_READ, DELIVERY_FILES_REFUSED, invalid_page, REPLY_INVALID},
      {true, FORM_READ, DELIVERY_FILES_REFUSED, invalid_redirect,
       REPLY_INVALID},
      {true, FORM_READ, DELIVERY_NOT_ALLOWED, plain, REPLY_FAILED},
      {true, FORM_READ, DELIVERY_FAILED, plain, REPLY_FAILED},
      {true, FORM_READ, DELIVERY_RATE_LIMITED, plain, REPLY_RATE_LIMITED},
      {true, FORM_READ, DELIVERY_RATE_UNUSABLE, plain, REPLY_UNAVAILABLE},
      {true, FORM_READ, DELIVERY_UNCHECKED, redirects_only, REPLY_UNAVAILABLE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.may_send << " " << c.form << " "
                                    << c.delivery);
    EXPECT_EQ(c.expected,
              reply_outcome_for(c.may_send, c.form, c.delivery, c.settings));
  }
}

}  // namespace
}  // namespace tarvelo

namespace tarvelo {
namespace {

TEST(PreflightTest, OnlyOptionsWithACorsOrigin) {
  static char origin[] = "https://www.example.com";
  mail_settings cors;
  cors.cors_origins[0] = origin;
  cors.cors_origin_count = 1;
  mail_settings plain;
  const struct {
    const char* method;
    const mail_settings& settings;
    bool expected;
  } cases[] = {
      {"OPTIONS", cors, true},   {"OPTIONS", plain, false},
      {"options", cors, false},  {"POST", cors, false},
      {nullptr, cors, false},    {"OPTIONS ", cors, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method != nullptr ? c.method : "(run by hand)");
    EXPECT_EQ(c.expected, is_preflight(c.method, c.settings));
  }
}

}  // namespace
}  // namespace tarvelo
