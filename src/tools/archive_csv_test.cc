#include "tools/archive_csv.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarvelo {
namespace {

const char kBom[] = "\xEF\xBB\xBF";

std::string joined(const std::vector<int>& numbers) {
  std::string out;
  for (int n : numbers) {
    if (!out.empty()) out += ',';
    out += std::to_string(n);
  }
  return out;
}

TEST(ArchiveCsvTest, Cells) {
  struct row {
    std::string_view text;
    std::string_view cell;
  };
  const row rows[] = {
      {"Ann", "Ann"},
      {"", ""},
      {"a,b", "\"a,b\""},
      {"say \"hi\"", "\"say \"\"hi\"\"\""},
      {"two\nlines", "\"two\nlines\""},
      {"cr\rhere", "\"cr\rhere\""},
      {"Zoë Müller", "Zoë Müller"},
      // Formula starts are defused; inside a cell they mean nothing.
      {"=HYPERLINK(\"x\")", "\"'=HYPERLINK(\"\"x\"\")\""},
      {"+1", "'+1"},
      {"-2", "'-2"},
      {"@SUM(A1)", "'@SUM(A1)"},
      {"\tx", "'\tx"},
      {"\rx", "\"'\rx\""},
      {"a=b", "a=b"},
      {"'quoted", "'quoted"},
      {std::string_view("\0=", 2), std::string_view("\0=", 2)},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(std::string(r.text));
    EXPECT_EQ(r.cell, csv_cell(r.text));
  }
}

TEST(ArchiveCsvTest, Sheets) {
  struct row {
    const char* name;
    const char* archive;
    const char* sheet;  // after the byte-order mark
    const char* skipped;
  };
  const row rows[] = {
      {"empty archive", "", "time,outcome\r\n", ""},
      {"columns in first-seen order, gaps left empty",
       "{\"time\":\"T1\",\"outcome\":\"sent\",\"fields\":[[\"B\",\"1\"],"
       "[\"A\",\"2\"]]}\n"
       "{\"time\":\"T2\",\"outcome\":\"queued\",\"fields\":[[\"C\",\"3\"],"
       "[\"A\",\"4\"]]}\n",
       "time,outcome,B,A,C\r\nT1,sent,1,2,\r\nT2,queued,,4,3\r\n", ""},
      {"client column only when a record has one",
       "{\"time\":\"T1\",\"outcome\":\"sent\",\"fields\":[]}\n"
       "{\"time\":\"T2\",\"outcome\":\"sent\",\"client\":\"192.0.2.7\","
       "\"fields\":[]}\n",
       "time,outcome,client\r\nT1,sent,\r\nT2,sent,192.0.2.7\r\n", ""},
      {"a name repeated within a record gets further columns",
       "{\"time\":\"T\",\"outcome\":\"sent\",\"fields\":[[\"c\",\"x\"],"
       "[\"c\",\"y\"],[\"c\",\"z\"]]}\n"
       "{\"time\":\"U\",\"outcome\":\"sent\",\"fields\":[[\"c\",\"w\"]]}\n",
       "time,outcome,c,c (2),c (3)\r\nT,sent,x,y,z\r\nU,sent,w,,\r\n", ""},
      {"file field, form name ignored, escapes read",
       "{\"form\":\"f.cgi\",\"time\":\"T\",\"outcome\":\"sent\",\"fields\":"
       "[[\"cv\",{\"file\":\"cv.pdf\",\"size\":1234}],"
       "[\"n\",\"a\\\"b\\u00e9\\r\\n\"]]}\n",
       "time,outcome,cv,n\r\nT,sent,cv.pdf (1234 bytes),\"a\"\"bé\r\n\"\r\n",
       ""},
      {"broken lines skipped by number, unfinished last line too",
       "{\"time\":\"T\",\"outcome\":\"sent\",\"fields\":[[\"a\",\"1\"]]}\n"
       "{\"time\":\"T\",\"outc\n"
       "\n"
       "[1,2]\n"
       "{\"time\":\"T\",\"outcome\":\"sent\",\"fields\":[[\"a\",\"2\"]]}\n"
       "{\"time\":\"T\",\"outcome\":\"sent\",\"fields\":[[\"a\",\"3\"]]}",
       "time,outcome,a\r\nT,sent,1\r\nT,sent,2\r\n", "2,3,4,6"},
      {"records of the wrong shape are no records",
       "{\"time\":1,\"outcome\":\"sent\",\"fields\":[]}\n"
       "{\"outcome\":\"sent\",\"fields\":[]}\n"
       "{\"time\":\"T\",\"outcome\":\"sent\",\"fields\":{}}\n"
       "{\"time\":\"T\",\"outcome\":\"sent\",\"fields\":[[\"a\"]]}\n"
       "{\"time\":\"T\",\"outcome\":\"sent\",\"fields\":[[\"a\",1]]}\n"
       "{\"time\":\"T\",\"outcome\":\"sent\",\"client\":5,\"fields\":[]}\n"
       "{\"time\":\"T\",\"outcome\":\"sent\",\"fields\":[[\"a\","
       "{\"file\":\"x\"}]]}\n"
       "{\"time\":\"T\",\"outcome\":\"sent\",\"fields\":[[\"a\",\"\xff\"]]}\n"
       "{\"time\":\"T\",\"outcome\":\"sent\",\"fields\":[]} x\n",
       "time,outcome\r\n", "1,2,3,4,5,6,7,8,9"},
      {"header names are defused and quoted too",
       "{\"time\":\"T\",\"outcome\":\"sent\",\"fields\":[[\"=cmd\",\"v\"],"
       "[\"a,b\",\"w\"]]}\r\n",
       "time,outcome,'=cmd,\"a,b\"\r\nT,sent,v,w\r\n", ""},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    std::vector<int> skipped;
    std::string sheet = archive_csv_of(r.archive, &skipped);
    EXPECT_EQ(std::string(kBom) + r.sheet, sheet);
    EXPECT_EQ(r.skipped, joined(skipped));
  }
}

}  // namespace
}  // namespace tarvelo
