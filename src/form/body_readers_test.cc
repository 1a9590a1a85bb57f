#include "form/body_readers.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "testing/test_support.h"

namespace tarvelo {
namespace {

using pairs = std::vector<std::pair<std::string, std::string>>;

pairs pairs_of(const form_table& table) {
  pairs out;
  for (int i = 0; i < table.form_count; ++i)
    out.emplace_back(table.names[i], table.values[i]);
  return out;
}

TEST(BodyReadersTest, EncodingByContentType) {
  struct {
    const char* type;
    form_encoding encoding;
  } cases[] = {
      {"", FORM_URLENCODED},
      {"application/x-www-form-urlencoded; charset=UTF-8", FORM_URLENCODED},
      {"  Multipart/Form-Data ; boundary=x", FORM_MULTIPART},
      {"TEXT/PLAIN", FORM_TEXT_PLAIN},
      {"application/json;charset=utf-8", FORM_JSON},
      {"text/csv", FORM_OTHER},
      {"application/jsonx", FORM_OTHER},
      {"multipart/mixed; boundary=x", FORM_OTHER},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    EXPECT_EQ(c.encoding, form_encoding_of(c.type));
  }
}

TEST(BodyReadersTest, MultipartBoundaryParameter) {
  struct {
    const char* type;
    const char* boundary;  // null: none usable
  } cases[] = {
      {"multipart/form-data; boundary=----WebKitFormBoundaryx7", "----WebKitFormBoundaryx7"},
      {"multipart/form-data; charset=x;BOUNDARY=q ", "q"},
      {"multipart/form-data; boundary=\"a;b c\"", "a;b c"},
      {"multipart/form-data; boundary=\"\"", nullptr},
      {"multipart/form-data", nullptr},
      {"multipart/form-data; boundary=\"open", nullptr},
      {"multipart/form-data; boundary=", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    std::string out = "untouched";
    bool found = multipart_boundary(c.type, &out);
    EXPECT_EQ(c.boundary != nullptr, found);
    EXPECT_EQ(c.boundary ? c.boundary : "untouched", out);
  }
  std::string out;
  EXPECT_TRUE(multipart_boundary(
      ("x; boundary=" + std::string(70, 'b')).c_str(), &out));
  EXPECT_FALSE(multipart_boundary(
      ("x; boundary=" + std::string(71, 'b')).c_str(), &out));
}

std::string part(const std::string& disposition, const std::string& content,
                 const std::string& extra = "") {
  return "--B\r\nContent-Disposition: " + disposition + "\r\n" + extra +
         "\r\n" + content + "\r\n";
}

TEST(BodyReadersTest, MultipartAcceptedBodies) {
  scoped_test_log log;
  struct {
    const char* label;
    std::string body;
    pairs expected;
  } cases[] = {
      {"escapes in names; values as sent",
       part("form-data; name=\"a%22b%0D%0Ac%41\"", "50%41 off\r\nnext") +
           "--B--\r\n",
       {{"a\"b\nc%41", "50%41 off\nnext"}}},
      {"preamble, case, unquoted name, padding, epilogue",
       "ignored\r\n--B  \r\ncontent-disposition: FORM-DATA; NAME=t\r\n\r\n"
       "x\r\n--B--\r\nignored too",
       {{"t", "x"}}},
      {"empty value; a NUL ends the value",
       part("form-data; name=\"e\"", "") +
           part("form-data; name=\"n\"", std::string("ab\0cd", 5)) + "--B--",
       {{"e", ""}, {"n", "ab"}}},
      {"no file chosen: the part is skipped",
       part("form-data; name=\"f\"; filename=\"\"", "",
            "Content-Type: application/octet-stream\r\n") +
           part("form-data; name=\"z\"", "1") + "--B--",
       {{"z", "1"}}},
      {"a boundary without CR LF before it is content",
       part("form-data; name=\"d\"", "a\n--B\rx--B") + "--B--",
       {{"d", "a\n--Bx--B"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    static form_table table;
    table = form_table();
    const char* why = "";
    EXPECT_EQ(FORM_READ, parse_multipart_body(c.body, "B", &table, &why));
    EXPECT_EQ(c.expected, pairs_of(table));
    EXPECT_EQ(0, table.file_count);
    clear_form_table(&table);
  }
}

TEST(BodyReadersTest, MultipartFilesPointIntoTheBody) {
  scoped_test_log log;
  std::string data("%PDF\r\n\0\xff", 8);
  std::string body =
      part("form-data; name=\"note\"", "hi") +
      part("form-data; name=\"up\"; filename=\"C:\\dir/r\x01%22q%22.pdf\"", data,
           "Content-Type: application/pdf\r\n") +
      part("form-data; name=\"up2\"; filename=\"empty.txt\"", "") + "--B--\r\n";
  static form_table table;
  table = form_table();
  const char* why = "";
  ASSERT_EQ(FORM_READ, parse_multipart_body(body, "B", &table, &why));
  EXPECT_EQ((pairs{{"note", "hi"},
                   {"up", "r\"q\".pdf (8 bytes)"},
                   {"up2", "empty.txt (0 bytes)"}}),
            pairs_of(table));
  ASSERT_EQ(2, table.file_count);
  EXPECT_EQ(1, table.files[0].pair);
  EXPECT_STREQ("r\"q\".pdf", table.files[0].file_name);
  EXPECT_EQ(body.data() + body.find("%PDF"), table.files[0].data);
  EXPECT_EQ(data, std::string(table.files[0].data, table.files[0].size));
  EXPECT_EQ(0, table.files[1].size);
  std::string logged = log.messages();
  EXPECT_NE(std::string::npos,
            logged.find("file part: field (up) file (r\"q\".pdf) type "
                        "(application/pdf) 8 bytes"));
  EXPECT_EQ(std::string::npos, logged.find("%PDF"));
  clear_form_table(&table);
}

TEST(BodyReadersTest, MultipartRefusals) {
  scoped_test_log log;
  struct {
    std::string body;
    const char* why;
  } cases[] = {
      {"", "no boundary line"},
      {"--C\r\n-B\r\n--", "no boundary line"},
      {"--Bx\r\n", "boundary line not ended"},
      {part("form-data; name=\"a\"", "1"), "no closing boundary"},
      {"--B\r\nContent-Disposition: form-data; name=\"a\"\r\n--B--",
       "part without headers"},
      {"--Bjunk\r\n\r\n\r\n--B--", "boundary line not ended"},
      {part("form-data", "1") + "--B--", "part without a form-data name"},
      {part("attachment; name=\"a\"", "1") + "--B--",
       "part without a form-data name"},
      {part("form-data; name=\"a", "1") + "--B--",
       "part without a form-data name"},
      {"--B\r\n\r\nno headers\r\n--B--", "part without a form-data name"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    static form_table table;
    table = form_table();
    const char* why = "";
    EXPECT_EQ(FORM_MALFORMED, parse_multipart_body(c.body, "B", &table, &why));
    EXPECT_STREQ(c.why, why);
  }
  // A good part before a bad one leaves nothing behind.
  static form_table table;
  table = form_table();
  const char* why = "";
  std::string body = part("form-data; name=\"a\"", "1") + part("x", "2");
  EXPECT_EQ(FORM_MALFORMED, parse_multipart_body(body, "B", &table, &why));
  EXPECT_EQ(0, table.form_count);
}

TEST(BodyReadersTest, TextPlainBodies) {
  struct {
    std::string body;
    pairs expected;
  } cases[] = {
      {"name=Joe\r\nmsg=line one\r\nline two\r\n\r\nfour\r\n",
       {{"name", "Joe"}, {"msg", "line one\nline two\n\nfour"}}},
      {"a=b=c%20+\r\n=\r\nlone\r\n", {{"a", "b=c%20+"}, {"", "\nlone"}}},
      {"lone\r\nx=1", {{"lone", ""}, {"x", "1"}}},
      {std::string("n\0m=v\0w\r\n", 9), {{"n", "v"}}},
      {"", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    static form_table table;
    table = form_table();
    parse_text_plain_body(c.body, &table);
    EXPECT_EQ(c.expected, pairs_of(table));
    clear_form_table(&table);
  }
}

TEST(BodyReadersTest, JsonBodies) {
  struct {
    const char* body;
    pairs expected;
  } cases[] = {
      {"{\"name\":\"J\\u00f6e \\\"Q\\\"\",\"smile\":\"\\ud83d\\ude00\"}",
       {{"name", "J\xc3\xb6" "e \"Q\""}, {"smile", "\xf0\x9f\x98\x80"}}},
      {" {\"n\":-1.50e3, \"t\":true, \"f\":false, \"z\":null} ",
       {{"n", "-1.50e3"}, {"t", "true"}, {"f", "false"}, {"z", ""}}},
      {"{\"c\":[\"a\",2,null],\"e\":[],\"c\":\"x\"}",
       {{"c", "a"}, {"c", "2"}, {"c", ""}, {"c", "x"}}},
      {"{\"m\\r\":\"a\\r\\nb\"}", {{"m", "a\nb"}}},
      {"{}", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    static form_table table;
    table = form_table();
    const char* why = "";
    EXPECT_EQ(FORM_READ, parse_json_body(c.body, &table, &why));
    EXPECT_EQ(c.expected, pairs_of(table));
    clear_form_table(&table);
  }
}

}  // namespace
}  // namespace tarvelo
