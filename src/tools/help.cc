#include "tools/help.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "support/exit_codes.h"
#include "support/log.h"
#include "support/os.h"

namespace tarvelo {

namespace {

constexpr const char* kHomePage = "https://tarvelo.org/";

// Only the keywords a new site owner needs; the finer switches of the ini
// reader are left to the FAQ page.
constexpr const char* kHelpWrites[] = {
    "This program sends emails based upon the ini files and information "
    "submitted\n through standard HTTP post format (this is a cgi "
    "executable).\n\n",
    "Ini variable names are:\n",
    "\"smtp\"   - use once to specify smtp server.\n",
    "\"logging\"  - use once to specify logging (debug/errors)\n",
    "\"email_CR\" - set to either \"LFCR\" or \"CR\", send correct or raw "
    "linefeeds\n",
    "\"hello_method\" - use HELO (normal) or EHLO (modern) SMTP hello "
    "command.\n",
    "\"sendall\"  - use once to send all variables in the body "
    "(true/false).\n",
    "\"success_html_page\" - file to output if successful send of email.\n",
    "\"failure_html_page\" - file to output if failure to send email.\n",
    "\"headerline\" - static header entry e.g. \"headerline Subject: "
    "email\"\n",
    "\"use_submitted_variable_for_headerline\" - dynamic header entry e.g.\n"
    "   If submitted variable \"Subject:\" is set to \"email\", then\n"
    "   \"use_submitted_variable_for_headerline Subject:\" outputs \"Subject: "
    "email\" \n",
    "\"bodycontent_line\" - static body line e.g. \"bodycontent_line Users "
    "details:\"\n",
    "\"use_submitted_variable_for_bodycontent\" - dynamic body line entry "
    "e.g.\n"
    "   If submitted variable \"Name:\" is set to \"Joe Bloggs\", then\n"
    "   \"use_submitted_variable_for_bodycontent Name:\" outputs \"Name: Joe "
    "Bloggs\" \n",
    "Variables are outputed in the order that they are in, in the ini "
    "file.\n\n",
    "Headers that must be defined are: 'To:', 'From:' and 'Subject:'.\n",
    "The email address in the 'From:' header will be the bounce email "
    "address.\n",
    "The email address in the 'To:' header will be the recipient.\n\n",
};

// Works as written: the same address receives the mail and is its sender,
// so a site owner only has to put their own address in.
constexpr const char* kDemoIniWrites[] = {
    "smtp 127.0.0.1\n",
    "logging errors\n",
    "email_CR LFCR\n",
    "sendall false\n",
    "hello_method HELO\n",
    "success_html_page /html/success.html\n",
    "failure_html_page /html/failure.html\n\n",
    "headerline To: \"Me\" <webmaster@example.com>\n",
    "headerline From: \"Me\" <webmaster@example.com>\n",
    "headerline Subject: Form Submission Data\n",
    "use_submitted_variable_for_headerline Status:\n",
    "bodycontent_line Here are the details that they submitted:\n",
    "use_submitted_variable_for_bodycontent Name:\n",
    "use_submitted_variable_for_bodycontent Email:\n",
    "use_submitted_variable_for_bodycontent Subject:\n",
    "use_submitted_variable_for_bodycontent Comments:\n",
};

// Asks whether to write the demonstration file and writes it on "y" or "Y".
void offer_demo_ini(const char* ini_path, FILE* in, FILE* out) {
  fputs("Would you like me to generate a demo ini file for you?[y/n]", out);
  // The question has no line end; a terminal would not show it before the
  // read without the flush.
  fflush(out);
  char answer[kAnswerStorage];
  read_answer(in, answer);
  if (answer[0] != 'y' && answer[0] != 'Y') return;

  fprintf(out, "ini file is (%s).\n\n", ini_path);
  // O_EXCL and O_NOFOLLOW: whatever appeared at the name since the question
  // (a file, a planted link) stays as it is.
  int fd = os_create_new(ini_path);
  FILE* file = fd < 0 ? nullptr : fdopen(fd, "w");
  if (file == nullptr) {
    int error = errno;
    if (fd >= 0) close(fd);
    log_event(LOG_DEBUG, "could not write demo ini file.");
    fprintf(out, "Oh, I cant do that, (%d)(%s).", error, strerror(error));
    return;
  }
  log_event(LOG_DEBUG, "writing demo ini file.");
  write_demo_ini(file);
  fclose(file);
}

}  // namespace

void write_help_text(FILE* out) {
  fprintf(out, "\nTARVELO - %s\n", kHomePage);
  for (const char* text : kHelpWrites) fputs(text, out);
}

void read_answer(FILE* in, char* destination) {
  destination[0] = '\0';
  char line[kAnswerStorage];
  if (fgets(line, sizeof line, in) == nullptr) return;
  const char* start = line + strspn(line, "\r\n");
  size_t length = strcspn(start, "\r\n");
  memcpy(destination, start, length);
  destination[length] = '\0';
}

void write_demo_ini(FILE* file) {
  for (const char* text : kDemoIniWrites) fputs(text, file);
}

void print_help(const char* ini_path, FILE* in, FILE* out) {
  log_event(LOG_DEBUG, "printing help info.");
  write_help_text(out);
  // The open does not wait: a pipe at the name, or behind a link there,
  // would hold a plain open until some writer came. A folder, pipe or device
  // is the site's, so nothing is asked.
  int error = 0;
  FILE* existing = os_open_regular_file(ini_path, &error);
  if (existing != nullptr) {
    fclose(existing);
  } else if (error != EISDIR && error != EINVAL) {
    log_event(LOG_DEBUG, "detected no ini file.");
    // Only a missing file may be written: an ini that exists but cannot be
    // read (or lies behind a path we cannot search) is the site's, not ours,
    // and so is a link at the name, dangling or not.
    if (error == ENOENT && os_entry_at(ini_path) == OS_ENTRY_MISSING) {
      offer_demo_ini(ini_path, in, out);
    }
  }
  log_event(LOG_DEBUG, "ending.");
  fflush(out);
}

}  // namespace tarvelo
