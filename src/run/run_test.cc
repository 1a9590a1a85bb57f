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
