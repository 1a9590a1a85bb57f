// The help text and the demonstration ini file.
#pragma once

namespace tarvelo {

// Prints the help, offers to write a demonstration ini file beside the
// executable when none exists, and ends the process with exit code 0.
[[noreturn]] void print_help();

}  // namespace tarvelo
