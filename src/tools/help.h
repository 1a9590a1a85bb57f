// The help text and the demonstration ini file.
//
// Reached when the executable is started by hand with an argument that
// selects no other tool; the run ends the process after the help. No state.
#pragma once

#include <cstdio>

namespace tarvelo {

// Room for one answer line: at most 9998 characters and the terminator.
constexpr int kAnswerStorage = 9999;

// Writes the help text (eighteen fixed writes) to out.
void write_help_text(FILE* out);

// Reads one line of at most 9998 characters from in (the rest of a longer
// line stays unread) and copies into destination (kAnswerStorage bytes) the
// first run of characters that are neither CR nor LF. At end of input, or
// when the line holds no such character, destination receives "".
void read_answer(FILE* in, char* destination);

// Writes the lines of the demonstration ini file to file. Write errors are
// the caller's to ignore.
void write_demo_ini(FILE* file);

// Prints the help to out and, when
// the file at ini_path is missing (ENOENT, and only then), asks on out
// whether to write the demonstration file there, reading the answer from in.
// An ini file that exists but cannot be read is never overwritten, nor is a
// link at that name (dangling or not) followed: the file is created only
// where nothing stands. Logs
// "printing help info.", "detected no ini file.", "writing demo ini file." or
// "could not write demo ini file." and "ending." at LOG_DEBUG.
void print_help(const char* ini_path, FILE* in, FILE* out);

}  // namespace tarvelo
