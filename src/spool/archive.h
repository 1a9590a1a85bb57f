// The submissions archive: with `archive_file`, every post that was sent or
// queued adds one line of JSON (its submission record, run/archive_post.h)
// to one file, so the owner keeps a record beside the mail (and
// -archive_csv turns it into a sheet).
//
// Each line goes to the file whole under an exclusive lock (os_append_whole),
// so runs that end at once never split or mix their lines; the file is made
// with mode 0600 and never reached through a symbolic link. The archive never
// changes what the visitor sees or what was mailed: a failure is one errors
// line in the log.
//
// State owned here: none.
#pragma once

#include <string>


namespace tarvelo {

// Appends line and a line feed to the archive at path (as given: a relative
// path is taken from the run's working folder, as spool_folder is). Logs
// "archive: added a line to <path>." (LOG_DEBUG) on success; on failure the
// LOG_ERRORS line "archive: could not add the submission to <path>: <why>"
// and nothing else changes. Returns whether the line was written.
bool archive_submission(const char* path, const std::string& line);

}  // namespace tarvelo
