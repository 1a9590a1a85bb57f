// The blank-log tool and the release renamer.
#pragma once

namespace tarvelo {

// Empties the log file and leaves the banner line in it; exits with 0, or
// with 3 and a message on standard output when it fails.
[[noreturn]] void write_blank_log(const char* log_path);

// Renames argv[2] so that its name carries the version (and the optional
// -os / -chip names); exits with 0 when renamed, 3 otherwise.
[[noreturn]] void rename_release_file(int argc, char** argv);

}  // namespace tarvelo
