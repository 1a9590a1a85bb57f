// The blank-log tool and the release renamer.
//
// Both are started from a command prompt; the run ends the process with the
// exit code they return. Neither reads the ini file, the form or the CGI
// environment, and neither logs. Everything they say goes to out (standard
// output in a run). No state.
#pragma once

#include <cstdio>

namespace tarvelo {

// Each working text of the renamer is cut to 9998 characters.
constexpr int kReleaseTextStorage = 9999;

// Empties the log file: truncates or creates the file at log_path and
// writes "This is the log file for tarvelo\n". Returns 0; on a
// failed open, write or close prints "cant open|cant write to|cant close %s
// for output %d %s\n" (path, errno, its text) to out and returns 3. A log
// that is a symbolic link is never opened: one line says so, and 3.
int write_blank_log(const char* log_path, FILE* out);

// The pieces of a release file's new name.
struct release_name {
  char file[kReleaseTextStorage];     // argv[2], "" when absent
  char version[kReleaseTextStorage];  // the version without its dots
  char base[kReleaseTextStorage];     // argv[0]'s last component up to "."
  char os[kReleaseTextStorage];       // after "-os" in argv[3]
  char chip[kReleaseTextStorage];     // after "-chip" in argv[5]
  char new_name[kReleaseTextStorage];
};

// Fills name from the arguments of "-version_insert_filename" and the
// program's version (as "1.0y"): the new name
// is base, version, "_" (when os or chip is set), chip, "-" (when both are
// set), os, and what follows the first strlen(base) characters of file.
// "/" and "\\" both end a path component in argv[0].
void make_release_name(int argc, char** argv, const char* version,
                       release_name* name);

// Whether an -os or -chip value may go into a file name: it holds neither
// "/" nor "\\" nor "..", so the new name stays in the working directory.
bool is_plain_name_part(const char* text);

// Renames argv[2] so that its name carries the version (and the optional
// -os / -chip names; make_release_name). Refuses (exit code 3) when the base
// name is empty, argv[2] does not begin with it (case-sensitive), or an -os
// or -chip value is not is_plain_name_part; argv[2] is shown
// as "(none)" when absent; otherwise renames argv[2] to the new name in the
// working directory and reports it. All messages go to out. Returns the
// exit code, 0 or 3.
int rename_release_file(int argc, char** argv, const char* version, FILE* out);

}  // namespace tarvelo
