// The "-resend_spool" command: tries the messages left in the spool folder
// again, from a command prompt or a scheduled job. No state.
#pragma once

#include <cstdio>

#include "smtp/smtp_dialogue.h"

namespace tarvelo {

// Runs resend_folder over spool_folder with the connection settings of base
// and the platform's sockets, then prints "N sent, M kept, K refused" to out
// and logs it; returns the exit code: 0 when no message is left to send,
// EXIT_TOOL_FAILED otherwise. A null spool_folder (the ini at ini_path has
// no spool_folder line) prints and logs that and returns EXIT_TOOL_FAILED;
// so does a folder that cannot be read. When another pass is at work on the
// folder: its one line, no totals, and 0.
int resend_spool_command(const char* ini_path, const char* spool_folder,
                         const smtp_job& base, FILE* out);

}  // namespace tarvelo
