#include "config/attachment_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/log.h"
#include "testing/test_support.h"

namespace tarvelo {
namespace {

struct sent_file {
  const char* field;
  const char* name;
  long long size;
};

// A table holding the files as a multipart post leaves them: each file's
// field is a pair of its own.
void fill_files(const std::vector<sent_file>& files, form_table* table) {
  *table = form_table();
  for (const sent_file& f : files) {
    table->names[table->form_count] = const_cast<char*>(f.field);
    table->values[table->form_count] = const_cast<char*>("");
    form_file& file = table->files[table->file_count++];
    file.pair = table->form_count++;
    file.file_name = const_cast<char*>(f.name);
    file.size = f.size;
  }
}

TEST(AttachmentRulesTest, FilesAgainstTheIniRules) {
  scoped_test_log log;
  log_set_logging("errors");
  struct {
    const char* ini_types;  // null: no attachment_types line
    long long max_bytes;
    std::vector<sent_file> files;
    const char* error;  // null: allowed
  } cases[] = {
      {"pdf, PNG .txt", 100, {{"cv", "Report.Final.PDF", 60}, {"p", "a.png", 40}},
       nullptr},
      {"pdf", 100, {{"cv", "cv.pdf", 60}, {"x", "run.exe", 1}},
       "file (run.exe) in field (x) refused: its type is not in "
       "attachment_types"},
      {"pdf", 100, {{"cv", "pdf", 1}},
       "file (pdf) in field (cv) refused: its type is not in attachment_types"},
      {"pdf", 100, {{"a", "a.pdf", 60}, {"b", "b.pdf", 41}},
       "file (b.pdf) in field (b) refused: all files together are over "
       "max_attachment_bytes (100)"},
      {nullptr, 100, {{"cv", "cv.pdf", 0}}, nullptr},
      {nullptr, 100, {{"cv", "cv.pdf", 1}},
       "file (cv.pdf) in field (cv) refused: files are not accepted (no "
       "attachment_types)"},
      {nullptr, 100, {}, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ini_types ? c.ini_types : "(no types)");
    write_file(log.path(), "");
    mail_settings settings;
    if (c.ini_types) add_attachment_types(c.ini_types, &settings);
    settings.max_attachment_bytes = c.max_bytes;
    static form_table table;
    fill_files(c.files, &table);
    EXPECT_EQ(c.error == nullptr, attachments_allowed(settings, table));
    EXPECT_EQ(c.error ? std::string(c.error) + "\n" : "", log.messages());
  }
}

TEST(AttachmentRulesTest, IniKeywordsAndTheirErrorLines) {
  scoped_test_log log;
  std::string text =
      "attachment_types pdf, JPG\n"
      "attachment_types .png,,txt\n"
      "attachment_types  , \n"
      "max_attachment_bytes 0\n"
      "max_attachment_bytes 2000000001\n"
      "max_attachment_bytes 12345\n";
  mail_settings settings;
  entry_list headers;
  entry_list body;
  form_table form;
  parse_ini_text(text.data(), static_cast<long>(text.size()), &settings,
                 &headers, &body, &form);
  std::vector<std::string> types(
      settings.attachment_types,
      settings.attachment_types + settings.attachment_type_count);
  EXPECT_EQ((std::vector<std::string>{"pdf", "jpg", "png", "txt"}), types);
  EXPECT_EQ(12345, settings.max_attachment_bytes);
  EXPECT_EQ(
      "line used from ini file {attachment_types pdf, JPG}\n"
      "line used from ini file {attachment_types .png,,txt}\n"
      "attachment_types ( , ) names no file-name extension\n"
      "max_attachment_bytes (0) is not a positive number up to 2000000000, "
      "keeping 7000000\n"
      "max_attachment_bytes (2000000001) is not a positive number up to "
      "2000000000, keeping 7000000\n"
      "line used from ini file {max_attachment_bytes 12345}\n",
      log.messages());
}

// The scan before the form is read: the same values the ini reader takes,
// and not a line of log.
TEST(AttachmentRulesTest, SilentScanOfTheIniText) {
  scoped_test_log log;
  struct {
    const char* text;
    long long expected;
  } cases[] = {
      {"", kDefaultMaxAttachmentBytes},
      {"smtp x\r\nmax_attachment_bytes 500\r\nlogging debug\r\n", 500},
      {"max_attachment_bytes 500\nmax_attachment_bytes 0\n", 500},
      {"max_attachment_bytes 500\nmax_attachment_bytes 600", 600},
      {" max_attachment_bytes 500\nmax_attachment_bytes  600\n",
       kDefaultMaxAttachmentBytes},
      {"max_attachment_bytes 9x\n", kDefaultMaxAttachmentBytes},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::string text = c.text;
    EXPECT_EQ(c.expected, max_attachment_bytes_in_ini_text(
                              text.data(), static_cast<long>(text.size())));
  }
  std::string folder = fresh_temp_dir();
  write_file(folder + "/mailer.ini", "max_attachment_bytes 42\n");
  EXPECT_EQ(42, max_attachment_bytes_in_ini((folder + "/mailer.ini").c_str()));
  EXPECT_EQ(kDefaultMaxAttachmentBytes,
            max_attachment_bytes_in_ini((folder + "/none.ini").c_str()));
  EXPECT_EQ("", log.messages());
}

}  // namespace
}  // namespace tarvelo
