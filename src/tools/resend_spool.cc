#include "tools/resend_spool.h"

#include "spool/spool.h"
#include "support/exit_codes.h"
#include "support/log.h"

namespace tarvelo {

int resend_spool_command(const char* ini_path, const char* spool_folder,
                         const smtp_job& base, FILE* out) {
  if (spool_folder == nullptr) {
    fprintf(out, "There is no spool_folder setting in the ini file %s.\n",
            ini_path);
    log_event(LOG_ERRORS,
              "resend_spool: there is no spool_folder setting in the ini "
              "file.");
    return EXIT_TOOL_FAILED;
  }
  bool sockets_started = false;
  int listed = 0;
  resend_counts counts = resend_folder(spool_folder, base, platform_net(),
                                       &sockets_started, out, &listed);
  // The pass at work reports and answers for the folder.
  if (counts.busy) return EXIT_RUN_DONE;
  fprintf(out, "%d sent, %d kept, %d refused\n", counts.sent, counts.kept,
          counts.refused);
  fflush(out);
  log_event(LOG_DEBUG, "resend_spool: %d sent, %d kept, %d refused",
            counts.sent, counts.kept, counts.refused);
  bool left = !listed || counts.kept > 0 || counts.unremoved > 0;
  return left ? EXIT_TOOL_FAILED : EXIT_RUN_DONE;
}

}  // namespace tarvelo
