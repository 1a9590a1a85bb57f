#include "spool/archive.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "testing/test_support.h"

namespace tarvelo {
namespace {

// A link and a folder at the path are refused end to end
// (tests/test_exe_archive.py); a FIFO would hold a blocking open forever.
TEST(ArchiveTest, FifoAtThePathIsRefusedWithoutWaiting) {
  scoped_test_log log;
  std::string path = fresh_temp_dir() + "/archive.jsonl";
  ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
  EXPECT_FALSE(archive_submission(path.c_str(), "{}"));
  EXPECT_NE(std::string::npos,
            log.messages().find("archive: could not add the submission to " +
                                path + ": open: No such device or address"));
}

}  // namespace
}  // namespace tarvelo
