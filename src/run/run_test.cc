#include "run/run.h"

#include <gtest/gtest.h>

#include <string>

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

}  // namespace
}  // namespace tarvelo
