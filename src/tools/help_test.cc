#include "tools/help.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "config/ini_reader.h"
#include "form/form_reader.h"
#include "testing/test_support.h"

namespace tarvelo {
namespace {

const char kDemoIni[] =
    "smtp 127.0.0.1\n"
    "logging errors\n"
    "email_CR LFCR\n"
    "sendall false\n"
    "hello_method HELO\n"
    "success_html_page /html/success.html\n"
    "failure_html_page /html/failure.html\n"
    "\n"
    "headerline To: \"Me\" <webmaster@example.com>\n"
    "headerline From: \"Me\" <webmaster@example.com>\n"
    "headerline Subject: Form Submission Data\n"
    "use_submitted_variable_for_headerline Status:\n"
    "bodycontent_line Here are the details that they submitted:\n"
    "use_submitted_variable_for_bodycontent Name:\n"
    "use_submitted_variable_for_bodycontent Email:\n"
    "use_submitted_variable_for_bodycontent Subject:\n"
    "use_submitted_variable_for_bodycontent Comments:\n";

const char kQuestion[] =
    "Would you like me to generate a demo ini file for you?[y/n]";

// A stream that yields text and then its end.
FILE* input_of(const std::string& text) {
  FILE* in = tmpfile();
  fwrite(text.data(), 1, text.size(), in);
  rewind(in);
  return in;
}

std::string help_output(const std::string& ini_path, const std::string& input) {
  FILE* in = input_of(input);
  char* data = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&data, &size);
  print_help(ini_path.c_str(), in, out);
  fclose(out);
  fclose(in);
  std::string text(data, size);
  free(data);
  return text;
}

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::string help_text() {
  char* data = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&data, &size);
  write_help_text(out);
  fclose(out);
  std::string text(data, size);
  free(data);
  return text;
}

// The exact text is checked end to end; here the help is held to the ini
// reader it describes: every keyword it names (quoted at the start of a
// line) must be one the reader takes, and the demo ini it offers must give a
// mail with its three required headers.
TEST(HelpTest, NamedKeywordsAndDemoIniAreWhatTheReaderTakes) {
  std::string text = help_text();
  ASSERT_EQ("\nTARVELO - ", text.substr(0, 11));
  int named = 0;
  for (size_t at = text.find("\n\""); at != std::string::npos;
       at = text.find("\n\"", at + 1)) {
    size_t end = text.find('"', at + 2);
    ASSERT_NE(std::string::npos, end);
    std::string keyword = text.substr(at + 2, end - at - 2);
    SCOPED_TRACE(keyword);
    // A value each keyword takes (logging keeps the "line used" lines on).
    std::string value = keyword == "email_CR"  ? "LFCR"
                        : keyword == "logging" ? "debug"
                                               : "x";
    std::string line = keyword + " " + value + "\n";
    scoped_test_log log;
    mail_settings settings;
    entry_list headers, body;
    form_table form;
    parse_ini_text(line.data(), static_cast<long>(line.size()), &settings,
                   &headers, &body, &form);
    EXPECT_NE(std::string::npos,
              log.messages().find("line used from ini file {" + keyword))
        << log.messages();
    ++named;
  }
  EXPECT_EQ(11, named);

  scoped_test_log log;
  mail_settings settings;
  entry_list headers, body;
  form_table form;
  parse_ini_text(kDemoIni, static_cast<long>(sizeof kDemoIni - 1), &settings,
                 &headers, &body, &form);
  std::string names;
  for (int i = 0; i < headers.count; ++i) {
    names += std::string(headers.names[i]).substr(0, 4) + ",";
  }
  EXPECT_EQ("To: ,From,Subj,Stat,", names);
  ASSERT_NE(nullptr, settings.smtp);
  EXPECT_STREQ("127.0.0.1", settings.smtp);
}

TEST(HelpTest, AnswersDecideWhetherTheDemoFileIsWritten) {
  struct {
    const char* input;
    bool writes;
  } cases[] = {
      {"Y\n", true},   {"y\n", true},  {"yes please\n", true}, {"\ry\n", true},
      {"Y", true},     {"n\n", false}, {"\n", false},          {"\r\n", false},
      {" y\n", false}, {"", false},    {"no\ny\n", false},     {"x\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.input)));
    scoped_test_log log;
    std::string ini = fresh_temp_dir() + "/mailer.ini";
    std::string out = help_output(ini, c.input);
    std::string expected = help_text() + kQuestion;
    if (c.writes) expected += "ini file is (" + ini + ").\n\n";
    EXPECT_EQ(expected, out);
    if (c.writes) {
      EXPECT_EQ(kDemoIni, read_file(ini));
      EXPECT_EQ(
          "printing help info.\ndetected no ini file.\n"
          "writing demo ini file.\nending.\n",
          log.messages());
    } else {
      EXPECT_FALSE(exists(ini));
      EXPECT_EQ("printing help info.\ndetected no ini file.\nending.\n",
                log.messages());
    }
  }
}

TEST(HelpTest, ExistingIniIsNeitherQuestionedNorTouched) {
  scoped_test_log log;
  std::string ini = fresh_temp_dir() + "/mailer.ini";
  write_file(ini, "smtp mail.example.com\n");
  EXPECT_EQ(help_text(), help_output(ini, "y\n"));
  EXPECT_EQ("smtp mail.example.com\n", read_file(ini));
  EXPECT_EQ("printing help info.\nending.\n", log.messages());
}

// A path through a regular file fails with ENOTDIR, not ENOENT: something
// is there that we may not replace, so no question is asked.
TEST(HelpTest, IniThatCannotBeCheckedIsLeftAlone) {
  scoped_test_log log;
  std::string folder = fresh_temp_dir();
  write_file(folder + "/plain", "not a folder\n");
  std::string ini = folder + "/plain/mailer.ini";
  EXPECT_EQ(help_text(), help_output(ini, "y\n"));
  EXPECT_EQ("not a folder\n", read_file(folder + "/plain"));
  EXPECT_EQ("printing help info.\ndetected no ini file.\nending.\n",
            log.messages());
}

TEST(HelpTest, DemoFileThatCannotBeCreatedIsReported) {
  scoped_test_log log;
  std::string ini = fresh_temp_dir() + "/no_such_folder/mailer.ini";
  EXPECT_EQ(help_text() + kQuestion + "ini file is (" + ini + ").\n\n" +
                "Oh, I cant do that, (2)(No such file or directory).",
            help_output(ini, "y\n"));
  EXPECT_EQ(
      "printing help info.\ndetected no ini file.\n"
      "could not write demo ini file.\nending.\n",
      log.messages());
}

TEST(ReadAnswerTest, FirstRunWithoutLineEnds) {
  struct {
    const char* input;
    const char* answer;
  } cases[] = {
      {"yes\r\n", "yes"},
      {"\r\r\nyes\n", ""},
      {"\r\ryes\r\n", "yes"},
      {" y\n", " y"},
      {"a\rb\n", "a"},
      {"", ""},
      {"\n", ""},
      {"last line", "last line"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.input)));
    FILE* in = input_of(c.input);
    char answer[kAnswerStorage];
    strcpy(answer, "stale");
    read_answer(in, answer);
    fclose(in);
    EXPECT_STREQ(c.answer, answer);
  }
}

TEST(ReadAnswerTest, LongLineIsReadIn9998CharacterPieces) {
  std::string line(10000, 'y');
  FILE* in = input_of(line + "\nnext\n");
  char answer[kAnswerStorage];
  read_answer(in, answer);
  EXPECT_EQ(std::string(9998, 'y'), answer);
  read_answer(in, answer);
  EXPECT_STREQ("yy", answer);
  read_answer(in, answer);
  EXPECT_STREQ("next", answer);
  fclose(in);
}

}  // namespace
}  // namespace tarvelo
