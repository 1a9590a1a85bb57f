#include "tools/release_tools.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "testing/test_support.h"

namespace tarvelo {
namespace {

// An argument vector as the process start-up builds it: argv[argc] is null.
struct arguments {
  std::vector<std::string> words;
  std::vector<char*> pointers;
  explicit arguments(std::vector<std::string> list) : words(std::move(list)) {
    for (std::string& word : words) pointers.push_back(word.data());
    pointers.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(words.size()); }
  char** argv() { return pointers.data(); }
};

std::string new_name_for(std::vector<std::string> list) {
  arguments args(std::move(list));
  static release_name name;
  make_release_name(args.argc(), args.argv(), "1.0y", &name);
  return name.new_name;
}

TEST(ReleaseNameTest, VersionOsAndChipInTheName) {
  const std::string program = "C:\\build\\gateway.exe";
  const std::string flag = "-version_insert_filename";
  struct {
    std::vector<std::string> further;
    const char* expected;
  } cases[] = {
      {{}, "gateway10y.zip"},
      {{"-os", "win32"}, "gateway10y_win32.zip"},
      {{"-os", "win32", "-chip", "x86"}, "gateway10y_x86-win32.zip"},
      {{"-os", "", "-chip", "x86"}, "gateway10y_x86.zip"},
      // "-os" without its value.
      {{"-os"}, "gateway10y.zip"},
      // The os value left out: "-chip" is taken as it, then dropped, and
      // x86 stands where "-chip" would have to be.
      {{"-os", "-chip", "x86"}, "gateway10y.zip"},
      // "-chip" counts only behind an "-os" pair.
      {{"-chip", "x86"}, "gateway10y.zip"},
      {{"-os", "linux", "-chip"}, "gateway10y_linux.zip"},
      {{"-OS", "win32"}, "gateway10y.zip"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> list = {program, flag, "gateway.zip"};
    list.insert(list.end(), c.further.begin(), c.further.end());
    SCOPED_TRACE(testing::PrintToString(c.further));
    EXPECT_EQ(c.expected, new_name_for(list));
  }
}

TEST(ReleaseNameTest, BaseIsTheFileNameUpToItsFirstDot) {
  struct {
    const char* program;
    const char* file;
    const char* base;
    const char* expected;
  } cases[] = {
      {"gateway.exe", "gateway-setup.zip", "gateway", "gateway10y-setup.zip"},
      {"tools.new\\gateway.exe", "gateway.zip", "gateway", "gateway10y.zip"},
      {"tools.new/gateway.exe", "gateway.zip", "gateway", "gateway10y.zip"},
      {"gateway.cgi.exe", "gateway.zip", "gateway", "gateway10y.zip"},
      {"/usr/lib/cgi-bin/gateway", "gateway.tar.gz", "gateway",
       "gateway10y.tar.gz"},
      {"C:\\x/y\\gateway.exe", "gateway.zip", "gateway", "gateway10y.zip"},
      {"dir/.hidden", "gateway.zip", "", "10ygateway.zip"},
      {"tools/", "gateway.zip", "", "10ygateway.zip"},
      // A file shorter than the base carries nothing over.
      {"gateway.exe", "gate", "gateway", "gateway10y"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.program);
    arguments args({c.program, "-version_insert_filename", c.file});
    release_name name;
    make_release_name(args.argc(), args.argv(), "1.0y", &name);
    EXPECT_STREQ(c.base, name.base);
    EXPECT_STREQ("10y", name.version);
    EXPECT_STREQ(c.expected, name.new_name);
  }
}

// Runs the renamer in a fresh folder (the new name has no folder part, so
// the file lands in the working directory) and returns what it printed.
class RenameTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(nullptr, getcwd(previous_, sizeof previous_));
    folder_ = fresh_temp_dir();
    ASSERT_EQ(0, chdir(folder_.c_str()));
  }
  void TearDown() override { ASSERT_EQ(0, chdir(previous_)); }

  std::string run(std::vector<std::string> list, int* code) {
    arguments args(std::move(list));
    char* data = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&data, &size);
    *code = rename_release_file(args.argc(), args.argv(), "1.0y", out);
    fclose(out);
    std::string text(data, size);
    free(data);
    return text;
  }

  static bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
  }

  char previous_[4096];
  std::string folder_;
};

TEST_F(RenameTest, RenamesIntoTheWorkingDirectory) {
  write_file("gateway.zip", "release");
  int code = -1;
  EXPECT_EQ("renamed  gateway.zip  ->  gateway10y_x86-win32.zip\n",
            run({"/opt/build/gateway.exe", "-version_insert_filename",
                 "gateway.zip", "-os", "win32", "-chip", "x86"},
                &code));
  EXPECT_EQ(0, code);
  EXPECT_FALSE(exists("gateway.zip"));
  EXPECT_EQ("release", read_file("gateway10y_x86-win32.zip"));
}

TEST_F(RenameTest, RefusalsTouchNothing) {
  write_file("Gateway.zip", "release");
  mkdir("dist", 0755);
  write_file("dist/gateway.zip", "release");
  struct {
    std::vector<std::string> list;
    const char* printed;
  } cases[] = {
      // Case-sensitive: Gateway is not gateway.
      {{"gateway.exe", "-version_insert_filename", "Gateway.zip"},
       "I dont want to rename that file "
       "(Gateway.zip)(10y)(gateway)(gateway10y.zip)\n"},
      // A folder part in front of the name.
      {{"gateway.exe", "-version_insert_filename", "dist/gateway.zip"},
       "I dont want to rename that file "
       "(dist/gateway.zip)(10y)(gateway)(gateway10yteway.zip)\n"},
      {{"gateway.exe", "-version_insert_filename"},
       "I dont want to rename that file ((none))(10y)(gateway)(gateway10y)\n"},
      {{".gateway", "-version_insert_filename", "Gateway.zip"},
       "I dont want to rename that file "
       "(Gateway.zip)(10y)()(10yGateway.zip)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.list));
    int code = -1;
    EXPECT_EQ(c.printed, run(c.list, &code));
    EXPECT_EQ(3, code);
  }
  EXPECT_EQ("release", read_file("Gateway.zip"));
  EXPECT_EQ("release", read_file("dist/gateway.zip"));
}

TEST_F(RenameTest, FailedRenameIsReported) {
  int code = -1;
  EXPECT_EQ(
      "rename failed. gateway.zip  -> gateway10y.zip  2:No such file or "
      "directory\n",
      run({"gateway.exe", "-version_insert_filename", "gateway.zip"}, &code));
  EXPECT_EQ(3, code);
}

TEST(BlankLogTest, LongLogKeepsOnlyTheBanner) {
  std::string log = fresh_temp_dir() + "/mailer.log";
  std::string old;
  for (int i = 0; i < 5000; ++i)
    old += "18th March 2002,  9:10:55 am - pid(1) - line\n";
  write_file(log, old);
  char* data = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&data, &size);
  EXPECT_EQ(0, write_blank_log(log.c_str(), out));
  fclose(out);
  EXPECT_EQ(0u, size);
  free(data);
  EXPECT_EQ("This is the log file for tarvelo\n", read_file(log));
}

TEST(BlankLogTest, LogThatCannotBeOpenedIsReported) {
  // Tests run as root: a folder where the log file should be is what
  // fails, whatever the permissions.
  std::string log = fresh_temp_dir() + "/mailer.log";
  ASSERT_EQ(0, mkdir(log.c_str(), 0755));
  char* data = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&data, &size);
  EXPECT_EQ(3, write_blank_log(log.c_str(), out));
  fclose(out);
  EXPECT_EQ("cant open " + log + " for output 21 Is a directory\n",
            std::string(data, size));
  free(data);
}

}  // namespace
}  // namespace tarvelo
