// Exit codes of the process, in one place. Only the run layer, the fatal
// paths of the support module and the command-line tools end the process.
#pragma once

namespace tarvelo {

enum exit_code {
  EXIT_RUN_DONE = 0,      // a CGI run reached its end; a tool succeeded
  EXIT_FATAL_PAGE = 1,    // fail_with_page: no ini file, no memory
  EXIT_NO_LOG = 2,        // fail_with_page could not open the log
  EXIT_TOOL_FAILED = 3,   // -blanklog or -version_insert_filename failed
  EXIT_NO_SCRATCH = 9,    // the formatting overflow buffer could not be had
};

}  // namespace tarvelo
