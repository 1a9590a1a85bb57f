#include "support/log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include "testing/test_support.h"

namespace tarvelo {
namespace {

struct tm at(int year, int month, int day, int hour, int minute, int second) {
  struct tm t = {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return t;
}

std::string stamp(const struct tm& t) {
  char out[96];
  format_log_stamp(t, out, sizeof out);
  return out;
}

TEST(LogStampTest, SuffixesAndTwelveHourClock) {
  struct {
    struct tm when;
    const char* expected;
  } cases[] = {
      {at(2002, 3, 18, 9, 10, 55), "18th March 2002,  9:10:55 am"},
      {at(2002, 1, 1, 0, 5, 9), "1st January 2002,  0:05:09 am"},
      {at(2002, 2, 2, 12, 0, 0), "2nd February 2002,  12:00:00 pm"},
      {at(2002, 4, 3, 13, 7, 0), "3rd April 2002,  1:07:00 pm"},
      {at(2002, 5, 4, 23, 59, 59), "4th May 2002,  11:59:59 pm"},
      {at(2002, 6, 11, 11, 0, 0), "11th June 2002,  11:00:00 am"},
      {at(2002, 7, 12, 1, 0, 0), "12th July 2002,  1:00:00 am"},
      {at(2002, 8, 13, 1, 0, 0), "13th August 2002,  1:00:00 am"},
      {at(2002, 9, 21, 1, 0, 0), "21st September 2002,  1:00:00 am"},
      {at(2002, 10, 22, 1, 0, 0), "22nd October 2002,  1:00:00 am"},
      {at(2002, 11, 23, 1, 0, 0), "23rd November 2002,  1:00:00 am"},
      {at(2026, 12, 31, 1, 0, 0), "31st December 2026,  1:00:00 am"},
      {at(2026, 12, 10, 1, 0, 0), "10th December 2026,  1:00:00 am"},
      {at(2026, 12, 20, 1, 0, 0), "20th December 2026,  1:00:00 am"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(c.expected, stamp(c.when));
  }
}

TEST(LogLevelTest, LoggingSettingGovernsDebugOnly) {
  struct {
    const char* logging;
    int level;
    int written;
  } cases[] = {
      {nullptr, LOG_DEBUG, 1},       {nullptr, LOG_ERRORS, 1},
      {"errors", LOG_DEBUG, 0},      {"errors", LOG_ERRORS, 1},
      {"debug", LOG_DEBUG, 1},       {"DEBUG", LOG_DEBUG, 1},
      {"Debugging", LOG_DEBUG, 1},   {"debu", LOG_DEBUG, 0},
      {"", LOG_DEBUG, 0},            {" debug", LOG_DEBUG, 0},
      {nullptr, 0, 0},               {nullptr, 3, 0},
      {"errors", LOG_DEBUG_DATA, 0}, {"debug", LOG_DEBUG_DATA, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.logging ? c.logging : "(absent)") + " " +
                 std::to_string(c.level));
    EXPECT_EQ(c.written, log_level_enabled(c.logging, c.level));
  }
}

TEST(LogEventTest, WritesOneDatedLineWithPid) {
  scoped_test_log log;
  log_event(LOG_ERRORS, "value %d and %s", 7, "50%off");
  std::string text = read_file(log.path());
  ASSERT_FALSE(text.empty());
  EXPECT_NE(std::string::npos,
            text.find(" - pid(" + std::to_string(getpid()) +
                      ") - value 7 and 50%off\n"));
  EXPECT_EQ(text.size() - 1, text.find('\n'));  // exactly one line
}

TEST(LogEventTest, MessageEndingInLineFeedLeavesEmptyLine) {
  scoped_test_log log;
  log_event(LOG_DEBUG, "FORM SIZE %d\n", 3);
  EXPECT_EQ("FORM SIZE 3\n\n", log.messages());
}

TEST(LogEventTest, VerbosityFollowsSetting) {
  scoped_test_log log;
  log_event(LOG_DEBUG, "before");
  log_set_logging("errors");
  log_event(LOG_DEBUG, "hidden");
  log_event(LOG_ERRORS, "shown");
  log_set_logging("Debugging");
  log_event(LOG_DEBUG, "again");
  EXPECT_EQ("before\nshown\nagain\n", log.messages());
}

TEST(LogEventTest, LongLineStaysWhole) {
  scoped_test_log log;
  std::string big(150000, 'z');
  log_event(LOG_ERRORS, "%s", big.c_str());
  EXPECT_EQ(big + "\n", log.messages());
}

TEST(LogEventTest, UnopenableLogIsSilent) {
  std::string dir = fresh_temp_dir();
  log_set_path(dir.c_str());  // a folder where the file should be
  log_event(LOG_ERRORS, "nobody hears this");
  struct stat st;
  ASSERT_EQ(0, stat(dir.c_str(), &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST(LogHoldTest, HeldLinesWaitForFlushInOrder) {
  scoped_test_log log;
  log_event(LOG_DEBUG, "before holding");
  log_hold_lines();
  log_event(LOG_DEBUG, "one");
  log_event(LOG_ERRORS, "two");
  EXPECT_EQ("before holding\n", log.messages());
  log_flush();
  EXPECT_EQ("before holding\none\ntwo\n", log.messages());
  log_event(LOG_DEBUG, "three");
  EXPECT_EQ("before holding\none\ntwo\n", log.messages());
  log_release_lines();
  log_event(LOG_DEBUG, "four");
  EXPECT_EQ("before holding\none\ntwo\nthree\nfour\n", log.messages());
}

TEST(LogHoldTest, LinesBeyondTheRoomGoOutInOrder) {
  scoped_test_log log;
  log_hold_lines();
  std::string expected;
  // Lines of 3,000 bytes fill the room in a few lines; one of 20,000 bytes
  // never fits. Every line arrives whole and in order.
  for (int i = 0; i < 8; ++i) {
    std::string text(i == 5 ? 20000 : 3000, static_cast<char>('a' + i));
    log_event(LOG_DEBUG, "%s", text.c_str());
    expected += text + "\n";
  }
  // Held without a limit: nothing reaches the file before the release.
  EXPECT_EQ("", read_file(log.path()));
  log_release_lines();
  EXPECT_EQ(expected, log.messages());
}

// The ini decides on the lines with submitted data only once it has been
// read; a run that ends before (a fatal page, a crash) writes them all.
TEST(LogHoldTest, SubmittedDataFollowsTheFinalLoggingValue) {
  struct {
    const char* during;  // set while the ini is read
    const char* final_value;
    bool ini_read;
    const char* expected;
  } cases[] = {
      {"errors", "errors", true, "start\nerror\n"},
      {"errors", "debug", true, "start\nval\nadd\nerror\nlater\n"},
      {"debug", "errors", true, "start\nline used\nerror\n"},
      {nullptr, nullptr, true, "start\nval\nadd\nline used\nerror\nlater\n"},
      {"errors", "errors", false, "start\nval\nadd\nerror\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.during ? c.during : "(absent)") + " then " +
                 (c.final_value ? c.final_value : "(absent)"));
    scoped_test_log log;
    log_hold_lines();
    log_event(LOG_DEBUG, "start");
    log_event(LOG_DEBUG_DATA, "val");
    log_set_logging(c.during);
    log_event(LOG_DEBUG_DATA, "add");
    log_event(LOG_DEBUG, "line used");
    log_event(LOG_ERRORS, "error");
    log_set_logging(c.final_value);
    if (c.ini_read) {
      log_release_lines();
      log_event(LOG_DEBUG_DATA, "later");
    } else {
      log_flush();
    }
    EXPECT_EQ(c.expected, log.messages());
  }
}

TEST(LogEscapeTest, NoLineOfAMessageReadsAsARecord) {
  struct {
    const char* message;
    const char* written;
  } cases[] = {
      {"plain", "plain"},
      {"9 on the first line", "9 on the first line"},
      {"a\n1st January 2001,  9:10:55 am - pid(4242) - email sent! (1)",
       "a\n\t1st January 2001,  9:10:55 am - pid(4242) - email sent! (1)"},
      {"a\n\n22\nb", "a\n\n\t22\nb"},
      {"x\r1st", "x\\r1st"},
      {"x\r\n1", "x\r\n\t1"},
      {"x\r\r\n", "x\\r\r\n"},
      {"x\r", "x\r"},  // the record's own line feed follows
      {"val [0] (a=1)\n", "val [0] (a=1)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    scoped_test_log log;
    log_event(LOG_ERRORS, "%s", c.message);
    std::string text = read_file(log.path());
    size_t head_end = text.find(") - ");
    ASSERT_NE(std::string::npos, head_end);
    EXPECT_EQ(std::string(c.written) + "\n", text.substr(head_end + 4));
  }
}

TEST(LogEventTest, NewLogFileIsForOwnerAndGroup) {
  std::string dir = fresh_temp_dir();
  std::string path = dir + "/new.log";
  mode_t old_mask = umask(022);
  log_set_path(path.c_str());
  log_event(LOG_ERRORS, "first");
  log_set_path(nullptr);
  umask(old_mask);
  struct stat st;
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 0777u);
  unlink(path.c_str());
  rmdir(dir.c_str());
}

TEST(LogHoldDeathTest, HeldLinesReachTheLogAtExit) {
  scoped_test_log log;
  EXPECT_EXIT(
      {
        log_hold_lines();
        log_event(LOG_DEBUG, "held at exit");
        exit(9);
      },
      testing::ExitedWithCode(9), "");
  EXPECT_EQ("held at exit\n", log.messages());
}

TEST(LogHoldDeathTest, HeldLinesReachTheLogWhenASignalEndsTheRun) {
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizer handles crashes itself, and the log leaves it alone.
  const int signals[] = {SIGTERM};
#else
  const int signals[] = {SIGTERM, SIGSEGV};
#endif
  for (int signal_number : signals) {
    SCOPED_TRACE(signal_number);
    scoped_test_log log;
    EXPECT_EXIT(
        {
          log_hold_lines();
          log_event(LOG_DEBUG_DATA, "held at a signal");
          raise(signal_number);
        },
        testing::KilledBySignal(signal_number), "");
    EXPECT_EQ("held at a signal\n", log.messages());
  }
}

TEST(FailWithPageDeathTest, HeldLinesComeBeforeTheMessage) {
  scoped_test_log log;
  EXPECT_EXIT(
      {
        log_hold_lines();
        log_event(LOG_DEBUG, "loading config file.");
        fail_with_page("The ini file could not be opened.");
      },
      testing::ExitedWithCode(1), "");
  EXPECT_EQ("loading config file.\nThe ini file could not be opened.\nended\n",
            log.messages());
}

TEST(FailWithPageDeathTest, PrintsPageAndExitsOne) {
  scoped_test_log log;
  EXPECT_EXIT(
      {
        fail_with_page("The ini file could not be opened.");
      },
      testing::ExitedWithCode(1), "");
  EXPECT_EQ("The ini file could not be opened.\nended\n", log.messages());
}

TEST(FailWithPageDeathTest, UnopenableLogExitsTwo) {
  std::string dir = fresh_temp_dir();
  log_set_path(dir.c_str());
  EXPECT_EXIT(fail_with_page("out of memory."), testing::ExitedWithCode(2),
              "");
}

}  // namespace
}  // namespace tarvelo
