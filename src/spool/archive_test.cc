#include "spool/archive.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "testing/test_support.h"

namespace tarvelo {
namespace {

TEST(ArchiveTest, AppendsWholeLinesToAPrivateFile) {
  scoped_test_log log;
  std::string path = fresh_temp_dir() + "/archive.jsonl";
  EXPECT_TRUE(archive_submission(path.c_str(), "{\"a\":1}"));
  EXPECT_TRUE(archive_submission(path.c_str(), "{\"b\":2}"));
  EXPECT_EQ("{\"a\":1}\n{\"b\":2}\n", read_file(path));
  struct stat st;
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 07777);
  EXPECT_EQ(std::string::npos, log.messages().find("could not"));
}

TEST(ArchiveTest, RefusesWhatIsNoRegularFile) {
  struct row {
    const char* name;
    const char* why;
  };
  const row rows[] = {{"link", "a symbolic link, not followed"},
                      {"folder", "open: Is a directory"},
                      {"fifo", "open: No such device or address"}};
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    scoped_test_log log;
    std::string folder = fresh_temp_dir();
    std::string path = folder + "/archive.jsonl";
    std::string target = folder + "/target";
    write_file(target, "kept\n");
    if (std::string(r.name) == "link") {
      ASSERT_EQ(0, symlink(target.c_str(), path.c_str()));
    } else if (std::string(r.name) == "folder") {
      ASSERT_EQ(0, mkdir(path.c_str(), 0700));
    } else {
      ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
    }
    EXPECT_FALSE(archive_submission(path.c_str(), "{}"));
    EXPECT_EQ("kept\n", read_file(target));
    EXPECT_NE(std::string::npos,
              log.messages().find("archive: could not add the submission to " +
                                  path + ": " + r.why));
  }
}

TEST(ArchiveTest, HeadFollowsTheIni) {
  struct row {
    const char* name;
    bool client_ip_header;
    captcha_kind provider;
    bool queued;
    const char* client;
    const char* hidden;
    const char* outcome;
  };
  const row rows[] = {
      {"plain", false, CAPTCHA_NONE, false, "", nullptr, "sent"},
      {"client asked", true, CAPTCHA_NONE, true, "192.0.2.1", nullptr,
       "queued"},
      {"captcha token left out", false, CAPTCHA_HCAPTCHA, false, "",
       "h-captcha-response", "sent"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    mail_settings settings;
    settings.client_ip_header = r.client_ip_header;
    settings.captcha_provider = r.provider;
    submission_head head = archive_head_for(
        settings, "/srv/cgi-bin/contact.cgi", r.queued, 1796754605999999LL,
        "192.0.2.1");
    EXPECT_EQ("contact.cgi", head.form);
    EXPECT_STREQ(r.outcome, head.outcome);
    EXPECT_EQ(1796754605LL, head.unix_seconds);
    EXPECT_EQ(r.client, head.client);
    if (r.hidden == nullptr) {
      EXPECT_EQ(nullptr, head.hidden_field);
    } else {
      EXPECT_STREQ(r.hidden, head.hidden_field);
    }
  }
}

}  // namespace
}  // namespace tarvelo
