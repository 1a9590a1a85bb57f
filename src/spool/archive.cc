#include "spool/archive.h"

#include "support/log.h"
#include "support/os.h"

namespace tarvelo {

bool archive_submission(const char* path, const std::string& line) {
  std::string piece = line;
  piece += '\n';
  std::string why;
  if (!os_append_whole(path, piece.data(), piece.size(), &why)) {
    log_event(LOG_ERRORS, "archive: could not add the submission to %s: %s",
              path, why.c_str());
    return false;
  }
  log_event(LOG_DEBUG, "archive: added a line to %s.", path);
  return true;
}

}  // namespace tarvelo
