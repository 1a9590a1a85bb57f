// The spool: a message cleared to send is kept in a file of the
// `spool_folder` from before its SMTP dialogue until a server has accepted
// it, and the "-resend_spool" switch tries the files left behind again.
//
// One file per message, written under a temporary name (a leading "." and a
// trailing ".tmp") and renamed when complete, so a file with a message name
// is always whole. Whoever works on a file holds an exclusive lock on it: the
// writing run from before the rename until it has removed the file or logged
// it as queued; a resend from before reading it until it has removed,
// renamed or left it. That keeps two processes from sending one message.
//
// The file is plain text. Each field is a line "NAME LENGTH" followed by
// exactly LENGTH bytes and a line feed, or "NAME -" for an absent copy
// recipient, so any bytes round-trip:
//
//   TARVELO spool file 1
//   from 19
//   visitor@example.net
//   to 17
//   owner@example.com
//   bcc -
//   cc 16
//   copy@example.com
//   line_end CRLF
//   header 123
//   ...the header text, 123 bytes...
//   body 456
//   ...the body text, 456 bytes...
//   end
//
// State owned here: none.
#pragma once

#include <cstdio>
#include <string>

#include "smtp/smtp_dialogue.h"

namespace tarvelo {

// A message as the SMTP dialogue would send it: the envelope's sender and
// recipients, the texts exactly as composed and the line end they were
// composed with ("\r\n" or "\n").
struct spool_fields {
  const char* from = nullptr;
  const char* to = nullptr;
  const char* bcc = nullptr;  // null: none
  const char* cc = nullptr;   // null: none
  const char* header_text = "";
  const char* body_text = "";
  const char* line_end = "\r\n";
};

// A message read back from a spool file; it owns its bytes.
struct spool_record {
  std::string from;
  std::string to;
  std::string bcc;
  std::string cc;
  bool has_bcc = false;
  bool has_cc = false;
  std::string header_text;
  std::string body_text;
  const char* line_end = "\r\n";  // "\r\n" or "\n", a literal
};

// The fields of record, pointing into it (valid while it lives unchanged).
spool_fields spool_fields_of(const spool_record& record);

// Appends the file content for message to *out. REQUIRES: from and to set.
void spool_format(const spool_fields& message, std::string* out);

// Parses a whole file content. Returns 1 and fills *record when data is
// exactly one complete message in the format above; 0 for anything else (a
// cut file, a length that does not match or has a leading zero, bytes after
// "end"), so a file it takes is exactly what spool_format makes of it.
int spool_parse(const char* data, size_t size, spool_record* record);

constexpr int kSpoolNameSize = 64;
constexpr const char* kSpoolSuffix = ".mail";
constexpr const char* kRefusedSuffix = ".refused";
constexpr const char* kUnusableSuffix = ".unusable";

// No spool file is larger: spool_store refuses to write one (the mail then
// goes without a copy), and a resend sets a larger one aside unread. 64 MiB
// is several times what mail servers commonly take as one message.
constexpr size_t kSpoolMaxFileBytes = 64u << 20;

// Writes the name of a new spool file into out (kSpoolNameSize bytes):
// "YYYYMMDD-HHMMSS-UUUUUU-PID-RRRRRRRR.mail", the UTC time of
// unix_microseconds, the process id and eight hex digits of random. Names of
// later moments sort after earlier ones (until the year 10000).
void spool_file_name(long long unix_microseconds, int pid, unsigned random,
                     char* out);

// Whether a folder entry is a message to try: it ends in ".mail" and does not
// begin with "." (a file still being written).
bool spool_name_is_message(const char* name);

// A spool file this process has written and still holds locked.
struct spool_hold {
  int fd = -1;  // -1: nothing held
  std::string name;
  std::string path;
};

// Writes message as the new file `name` in folder (atomically, see above) and
// keeps it locked in *hold; a file larger than kSpoolMaxFileBytes is not
// written. The file gets mode 0600 (it holds the visitor's message), and
// neither name is opened through a link. Returns 1; or 0 after the LOG_ERRORS line
// "Could not write the spool file %s (%s); the email is sent without a copy in
// the spool folder." with the path and the reason, *hold left empty.
int spool_store(const char* folder, const char* name,
                const spool_fields& message, spool_hold* hold);

// spool_store under a fresh name (spool_file_name) from unix_microseconds
// (the time of the run), the process id and the system's random bytes.
int spool_store_now(const char* folder, const spool_fields& message,
                    long long unix_microseconds, spool_hold* hold);

// Ends the hold after the delivery. When sent, removes the file (a failure is
// an error line, since a resend would send it again) and returns 0. Otherwise
// logs "Email queued in the spool folder as %s; \"-resend_spool\" will try it
// again." with the file's path at LOG_ERRORS and returns 1: the message is
// safe. The lock is released either way.
int spool_settle(spool_hold* hold, int sent);

// What a resend did with one message.
enum resend_verdict {
  RESEND_SENT,     // accepted: the file is removed
  RESEND_KEPT,     // no connection, time limit, a 4xx, a refused session
  RESEND_REFUSED,  // the message itself was refused with a 5xx
};

// The decision table of a resend: accepted end of data is sent; a 5xx reply
// to MAIL FROM, the To recipient, DATA or the end of data is refused;
// everything else (no server, no connection, a broken connection, a 4xx, a
// greeting or hello refused) leaves the message for the next try.
resend_verdict resend_verdict_of(int delivered, const smtp_report& report);

struct resend_counts {
  int sent = 0;
  int kept = 0;
  int refused = 0;
  int unremoved = 0;  // sent, but the file could not be removed
  bool busy = false;  // another pass holds the folder: nothing was done
};

// Tries every message file of folder that nobody holds locked, oldest name
// first, with the connection settings of base (server, line end replaced by
// the stored one, hello, time limit) over net. Prints per message
// "sent NAME", "kept NAME: REASON" or "refused NAME: REASON" to out and logs
// the same. A refused file is renamed NAME.refused. Once the server could not
// be reached, gave no reply (the time limit included) or there is no server,
// the remaining files are kept without trying ("not tried, REASON"). A file
// that does not hold one complete message is kept. An entry that is not a
// regular file (a link is never followed), or that is larger than
// kSpoolMaxFileBytes, is never read or sent: it is renamed NAME.unusable and
// reported as "set aside NAME: REASON", counted as refused. The whole pass
// holds a lock on the folder; when another pass holds it, prints and logs one
// line and returns at once with counts.busy set. Returns the counts; *listed
// is 0 when the folder could not be read (after an error line on out and in
// the log).
resend_counts resend_folder(const char* folder, const smtp_job& base,
                            net_ops* net, bool* sockets_started, FILE* out,
                            int* listed);

}  // namespace tarvelo
