#include "tools/release_tools.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "support/exit_codes.h"
#include "support/os.h"

namespace tarvelo {

namespace {

// Copies text into a kReleaseTextStorage buffer, cut to 9998 characters.
void copy_cut(char* out, const char* text) {
  size_t length = strnlen(text, kReleaseTextStorage - 1);
  memcpy(out, text, length);
  out[length] = '\0';
}

void copy_without_dots(char* out, const char* text) {
  int length = 0;
  for (const char* p = text; *p != '\0' && length < kReleaseTextStorage - 1;
       ++p) {
    if (*p != '.') out[length++] = *p;
  }
  out[length] = '\0';
}

// The file name of argv0 up to its first dot. Both separators count, so a
// name built on either system gives the same base: "tools.new\gateway.exe"
// and "tools.new/gateway.exe" both give "gateway".
void copy_base_name(char* out, const char* argv0) {
  const char* start = argv0;
  for (const char* p = argv0; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') start = p + 1;
  }
  size_t length = strcspn(start, ".");
  if (length > kReleaseTextStorage - 1) length = kReleaseTextStorage - 1;
  memcpy(out, start, length);
  out[length] = '\0';
}

// The argument at index when there are more than index arguments (argv is
// null-terminated, so argv[argc] reads as absent); "" otherwise.
const char* argument_or_empty(int argc, char** argv, int index) {
  return index < argc && argv[index] != nullptr ? argv[index] : "";
}

}  // namespace

bool is_plain_name_part(const char* text) {
  // Either separator counts: the same tool renames on Windows too.
  return strpbrk(text, "/\\") == nullptr && strstr(text, "..") == nullptr;
}

int write_blank_log(const char* log_path, FILE* out) {
  // Whoever may write in the cgi-bin folder could point the log at another
  // file; a tool the owner runs by hand never writes through a link.
  bool is_link = os_entry_at(log_path) == OS_ENTRY_LINK;
  int fd = is_link ? -1 : os_truncate_no_link(log_path);
  // ELOOP: a link that appeared after the check.
  if (is_link || (fd < 0 && errno == ELOOP)) {
    fprintf(out,
            "cant open %s for output, it is a symbolic link; -blanklog does "
            "not write through a link\n",
            log_path);
    return EXIT_TOOL_FAILED;
  }
  FILE* log = fd < 0 ? nullptr : fdopen(fd, "w");
  if (log == nullptr) {
    int error = errno;
    if (fd >= 0) close(fd);
    fprintf(out, "cant open %s for output %d %s\n", log_path, error,
            strerror(error));
    return EXIT_TOOL_FAILED;
  }
  if (fputs("This is the log file for tarvelo\n", log) == EOF) {
    int error = errno;
    fprintf(out, "cant write to %s for output %d %s\n", log_path, error,
            strerror(error));
    fclose(log);
    return EXIT_TOOL_FAILED;
  }
  // The banner usually sits in the stdio buffer until here, so a full disk
  // shows up at the close.
  if (fclose(log) != 0) {
    int error = errno;
    fprintf(out, "cant close %s for output %d %s\n", log_path, error,
            strerror(error));
    return EXIT_TOOL_FAILED;
  }
  return EXIT_RUN_DONE;
}

void make_release_name(int argc, char** argv, const char* version,
                       release_name* name) {
  name->os[0] = '\0';
  if (argc >= 4 && strcmp(argv[3], "-os") == 0) {
    copy_cut(name->os, argument_or_empty(argc, argv, 4));
  }
  name->chip[0] = '\0';
  if (argc >= 6 && strcmp(argv[5], "-chip") == 0) {
    copy_cut(name->chip, argument_or_empty(argc, argv, 6));
  }
  // "-os -chip x86": the os value was left out and "-chip" took its place.
  if (strcmp(name->os, "-chip") == 0) name->os[0] = '\0';

  bool has_os = name->os[0] != '\0';
  bool has_chip = name->chip[0] != '\0';
  const char* joiner = has_os && has_chip ? "-" : "";
  const char* separator = has_os || has_chip ? "_" : "";

  copy_cut(name->file, argument_or_empty(argc, argv, 2));
  copy_without_dots(name->version, version);
  copy_base_name(name->base, argc >= 1 && argv[0] ? argv[0] : "");

  size_t base_length = strlen(name->base);
  const char* rest =
      strlen(name->file) >= base_length ? name->file + base_length : "";
  // The pieces of "%s%s%s%s%s%s%s", joined with the same cut as the others.
  const char* pieces[] = {name->base, name->version, separator, name->chip,
                          joiner,     name->os,      rest};
  size_t length = 0;
  for (const char* piece : pieces) {
    size_t n = strnlen(piece, kReleaseTextStorage - 1 - length);
    memcpy(name->new_name + length, piece, n);
    length += n;
  }
  name->new_name[length] = '\0';
}

int rename_release_file(int argc, char** argv, const char* version, FILE* out) {
  // About 60 KB: kept off the stack of a tool that runs once.
  static release_name name;
  make_release_name(argc, argv, version, &name);
  size_t base_length = strlen(name.base);
  if (base_length == 0 || argc < 3 ||
      strncmp(name.file, name.base, base_length) != 0 ||
      !is_plain_name_part(name.os) || !is_plain_name_part(name.chip)) {
    fprintf(out, "I dont want to rename that file (%s)(%s)(%s)(%s)\n",
            argc < 3 ? "(none)" : name.file, name.version, name.base,
            name.new_name);
    return EXIT_TOOL_FAILED;
  }
  if (rename(argv[2], name.new_name) != 0) {
    int error = errno;
    fprintf(out, "rename failed. %s  -> %s  %d:%s\n", argv[2], name.new_name,
            error, strerror(error));
    return EXIT_TOOL_FAILED;
  }
  fprintf(out, "renamed  %s  ->  %s\n", argv[2], name.new_name);
  return EXIT_RUN_DONE;
}

}  // namespace tarvelo
