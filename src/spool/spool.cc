#include "spool/spool.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "support/calendar.h"
#include "support/decimal.h"
#include "support/log.h"
#include "support/os.h"

namespace tarvelo {

namespace {

constexpr char kMagicLine[] = "TARVELO spool file 1\n";
constexpr char kEndLine[] = "end\n";

void append_field(const char* name, const char* value, std::string* out) {
  *out += name;
  if (value == nullptr) {
    *out += " -\n";
    return;
  }
  size_t size = strlen(value);
  char length[32];
  snprintf(length, sizeof length, " %zu\n", size);
  *out += length;
  out->append(value, size);
  *out += '\n';
}

// Reads fields back in the order spool_format wrote them.
class spool_reader {
 public:
  spool_reader(const char* data, size_t size) : data_(data), size_(size) {}

  // Consumes text exactly.
  bool literal(const char* text) {
    size_t n = strlen(text);
    if (size_ - at_ < n || memcmp(data_ + at_, text, n) != 0) return false;
    at_ += n;
    return true;
  }

  // "NAME LENGTH\n" and LENGTH bytes and "\n", or "NAME -\n" when absence
  // is allowed (then *present is false).
  bool field(const char* name, std::string* value, bool* present) {
    if (!literal(name) || !literal(" ")) return false;
    if (present != nullptr && literal("-\n")) {
      *present = false;
      return true;
    }
    decimal_run run = read_decimal(data_ + at_, size_ - at_, kNoDecimalLimit);
    // The writer never pads a length, so "007" is not a file it made.
    if (run.digits > 1 && data_[at_] == '0') return false;
    // Twelve digits are far more than any message the gateway composes.
    if (run.digits == 0 || run.digits > 12) return false;
    at_ += run.digits;
    size_t length = static_cast<size_t>(run.value);
    if (!literal("\n")) return false;
    if (size_ - at_ < length) return false;
    value->assign(data_ + at_, length);
    at_ += length;
    if (!literal("\n")) return false;
    if (present != nullptr) *present = true;
    return true;
  }

  bool at_end() const { return at_ == size_; }

 private:
  const char* data_;
  size_t size_;
  size_t at_ = 0;
};

bool ends_with(const char* text, const char* suffix) {
  size_t n = strlen(text);
  size_t m = strlen(suffix);
  return n >= m && memcmp(text + n - m, suffix, m) == 0;
}

std::string path_in(const char* folder, const std::string& name) {
  std::string path = folder;
  if (!path.empty() && path.back() != '/') path += '/';
  path += name;
  return path;
}

// One line of the resend's report, on out and in the log.
void report_message(FILE* out, int level, const char* verdict,
                    const std::string& name, const char* reason) {
  if (reason == nullptr) {
    fprintf(out, "%s %s\n", verdict, name.c_str());
    log_event(level, "resend_spool: %s %s", verdict, name.c_str());
  } else {
    fprintf(out, "%s %s: %s\n", verdict, name.c_str(), reason);
    log_event(level, "resend_spool: %s %s: %s", verdict, name.c_str(),
              reason);
  }
  // A cron job's mail or a watching owner sees each message as it is done.
  fflush(out);
}

// Delivers one parsed message with the connection settings of base.
int deliver_record(const spool_record& record, const smtp_job& base,
                   net_ops* net, bool* sockets_started,
                   smtp_report* report) {
  smtp_job job = base;
  spool_fields fields = spool_fields_of(record);
  job.from = fields.from;
  job.to = fields.to;
  job.bcc = fields.bcc;
  job.cc = fields.cc;
  job.header_text = fields.header_text;
  job.body_text = fields.body_text;
  // The texts were composed for this line end; the wire encoding must match.
  job.line_end = fields.line_end;
  job.report = report;
  return deliver_mail(job, net, sockets_started);
}

}  // namespace

spool_fields spool_fields_of(const spool_record& record) {
  spool_fields fields;
  fields.from = record.from.c_str();
  fields.to = record.to.c_str();
  fields.bcc = record.has_bcc ? record.bcc.c_str() : nullptr;
  fields.cc = record.has_cc ? record.cc.c_str() : nullptr;
  fields.header_text = record.header_text.c_str();
  fields.body_text = record.body_text.c_str();
  fields.line_end = record.line_end;
  return fields;
}

void spool_format(const spool_fields& message, std::string* out) {
  out->reserve(out->size() + strlen(message.header_text) +
               strlen(message.body_text) + 256);
  *out += kMagicLine;
  append_field("from", message.from, out);
  append_field("to", message.to, out);
  append_field("bcc", message.bcc, out);
  append_field("cc", message.cc, out);
  *out += strcmp(message.line_end, "\n") == 0 ? "line_end LF\n"
                                              : "line_end CRLF\n";
  append_field("header", message.header_text, out);
  append_field("body", message.body_text, out);
  *out += kEndLine;
}

int spool_parse(const char* data, size_t size, spool_record* record) {
  spool_reader in(data, size);
  if (!in.literal(kMagicLine) || !in.field("from", &record->from, nullptr) ||
      !in.field("to", &record->to, nullptr) ||
      !in.field("bcc", &record->bcc, &record->has_bcc) ||
      !in.field("cc", &record->cc, &record->has_cc)) {
    return 0;
  }
  if (in.literal("line_end CRLF\n")) {
    record->line_end = "\r\n";
  } else if (in.literal("line_end LF\n")) {
    record->line_end = "\n";
  } else {
    return 0;
  }
  if (!in.field("header", &record->header_text, nullptr) ||
      !in.field("body", &record->body_text, nullptr) ||
      !in.literal(kEndLine) || !in.at_end()) {
    return 0;
  }
  // The dialogue takes NUL-terminated texts: a NUL would cut the message
  // short without anyone noticing, so such a file is not one we wrote.
  for (const std::string* text :
       {&record->from, &record->to, &record->bcc, &record->cc,
        &record->header_text, &record->body_text}) {
    if (text->find('\0') != std::string::npos) return 0;
  }
  return 1;
}

void spool_file_name(long long unix_microseconds, int pid, unsigned random,
                     char* out) {
  long long seconds = unix_microseconds / 1000000;
  int micros = static_cast<int>(unix_microseconds % 1000000);
  long long days = seconds / 86400;
  int in_day = static_cast<int>(seconds % 86400);
  int year = 0;
  int month = 0;
  int day = 0;
  civil_from_days(days, &year, &month, &day);
  snprintf(out, kSpoolNameSize, "%04d%02d%02d-%02d%02d%02d-%06d-%d-%08x%s",
           year, month, day, in_day / 3600, in_day / 60 % 60, in_day % 60,
           micros, pid, random, kSpoolSuffix);
}

bool spool_name_is_message(const char* name) {
  return name[0] != '.' && ends_with(name, kSpoolSuffix);
}

int spool_store(const char* folder, const char* name,
                const spool_fields& message, spool_hold* hold) {
  std::string content;
  spool_format(message, &content);
  std::string path = path_in(folder, name);
  std::string temp = path_in(folder, std::string(".") + name + ".tmp");
  std::string error;
  int fd = -1;
  if (content.size() > kSpoolMaxFileBytes) {
    error = "larger than the spool's limit of " +
            std::to_string(kSpoolMaxFileBytes) + " bytes";
  } else {
    fd = os_write_new_locked(temp.c_str(), path.c_str(), content.data(),
                             content.size(), &error);
  }
  if (fd < 0) {
    log_event(LOG_ERRORS,
              "Could not write the spool file %s (%s); the email is sent "
              "without a copy in the spool folder.",
              path.c_str(), error.c_str());
    return 0;
  }
  hold->fd = fd;
  hold->name = name;
  hold->path = path;
  log_event(LOG_DEBUG, "email kept in the spool file %s until it is sent.",
            path.c_str());
  return 1;
}

int spool_store_now(const char* folder, const spool_fields& message,
                    long long unix_microseconds, spool_hold* hold) {
  long long now = unix_microseconds;
  int pid = os_process_id();
  unsigned char bytes[4];
  unsigned random = 0;
  if (os_random_bytes(bytes, sizeof bytes)) {
    random = static_cast<unsigned>(bytes[0]) << 24 |
             static_cast<unsigned>(bytes[1]) << 16 |
             static_cast<unsigned>(bytes[2]) << 8 | bytes[3];
  } else {
    // Time and pid already set runs apart; this only spreads names further.
    random = static_cast<unsigned>(now) ^ (static_cast<unsigned>(pid) << 16);
  }
  char name[kSpoolNameSize];
  spool_file_name(now, pid, random, name);
  return spool_store(folder, name, message, hold);
}

int spool_settle(spool_hold* hold, int sent) {
  if (hold->fd < 0) return 0;
  int queued = 0;
  if (sent) {
    std::string error;
    // Removed while still locked: no resend can pick it up in between.
    if (!os_remove_file(hold->path.c_str(), &error)) {
      log_event(LOG_ERRORS,
                "The email was sent, but its spool file %s could not be "
                "removed (%s); remove it, or \"-resend_spool\" sends it again.",
                hold->path.c_str(), error.c_str());
    }
  } else {
    log_event(LOG_ERRORS,
              "Email queued in the spool folder as %s; \"-resend_spool\" will "
              "try it again.",
              hold->path.c_str());
    queued = 1;
  }
  os_file_close(hold->fd);
  hold->fd = -1;
  return queued;
}

resend_verdict resend_verdict_of(int delivered, const smtp_report& report) {
  if (delivered) return RESEND_SENT;
  // RFC 5321 4.2.1: 5yz is a permanent refusal of this transaction; 4yz and
  // anything short of a reply may go better later.
  if (report.end == SMTP_END_MESSAGE_REFUSED && report.reply_code >= 500 &&
      report.reply_code <= 599) {
    return RESEND_REFUSED;
  }
  return RESEND_KEPT;
}

namespace {

// Moves an entry that is no message out of the queue (renamed, never opened
// through a link) and reports it. Returns 0 when it could not be renamed.
int set_aside(FILE* out, const std::string& path, const std::string& name,
              const char* why) {
  std::string error;
  std::string aside = name + kUnusableSuffix;
  if (!os_rename(path.c_str(), (path + kUnusableSuffix).c_str(), &error)) {
    std::string reason =
        std::string(why) + " (it could not be renamed: " + error + ")";
    report_message(out, LOG_ERRORS, "set aside", name, reason.c_str());
    return 0;
  }
  std::string reason = std::string(why) + "; renamed " + aside;
  report_message(out, LOG_ERRORS, "set aside", name, reason.c_str());
  return 1;
}

}  // namespace

resend_counts resend_folder(const char* folder, const smtp_job& base,
                            net_ops* net, bool* sockets_started, FILE* out,
                            int* listed) {
  resend_counts counts;
  std::vector<std::string> names;
  std::string error;
  bool busy = false;
  // Held for the whole pass: a cron pass that starts while a slow one still
  // runs would only wait for the same server.
  int folder_lock = os_try_lock_folder(folder, &busy);
  if (busy) {
    fprintf(out,
            "Another -resend_spool is at work on the spool folder %s; this "
            "one ends.\n",
            folder);
    log_event(LOG_ERRORS,
              "resend_spool: another -resend_spool is at work on the spool "
              "folder %s; this one ends.",
              folder);
    *listed = 1;
    counts.busy = true;
    return counts;
  }
  if (!os_list_folder(folder, &names, &error)) {
    fprintf(out, "The spool folder %s cannot be read (%s).\n", folder,
            error.c_str());
    log_event(LOG_ERRORS, "The spool folder %s cannot be read (%s).", folder,
              error.c_str());
    *listed = 0;
    if (folder_lock >= 0) os_file_close(folder_lock);
    return counts;
  }
  *listed = 1;
  names.erase(std::remove_if(names.begin(), names.end(),
                             [](const std::string& name) {
                               return !spool_name_is_message(name.c_str());
                             }),
              names.end());
  // Names begin with the UTC time they were written: oldest first.
  std::sort(names.begin(), names.end());

  std::string unreachable;  // why the rest is not tried; empty: go on
  spool_record record;
  std::string content;
  for (const std::string& name : names) {
    std::string path = path_in(folder, name);
    os_lock_result locked;
    bool not_regular = false;
    int fd = os_lock_existing_regular(path.c_str(), &locked, &not_regular);
    if (fd < 0) {
      if (not_regular) {
        // A link would mail (or rename) whatever it points at; a pipe or a
        // device could hold the pass forever.
        ++counts.refused;
        if (!set_aside(out, path, name, "not a regular file")) {
          ++counts.unremoved;
        }
        continue;
      }
      // Busy or gone: a run or another resend has it in hand.
      if (locked == OS_LOCK_FAILED) {
        report_message(out, LOG_ERRORS, "kept", name, "cannot be opened");
        ++counts.kept;
      }
      continue;
    }
    if (!unreachable.empty()) {
      report_message(out, LOG_ERRORS, "kept", name, unreachable.c_str());
      ++counts.kept;
      os_file_close(fd);
      continue;
    }
    int read = os_read_limited(fd, kSpoolMaxFileBytes, &content);
    if (read < 0) {
      std::string why = "larger than " + std::to_string(kSpoolMaxFileBytes) +
                        " bytes, more than any message is spooled";
      ++counts.refused;
      if (!set_aside(out, path, name, why.c_str())) ++counts.unremoved;
      os_file_close(fd);
      continue;
    }
    if (read == 0 || !spool_parse(content.data(), content.size(), &record)) {
      report_message(out, LOG_ERRORS, "kept", name,
                     "not a complete spool file");
      ++counts.kept;
      os_file_close(fd);
      continue;
    }
    // A big message's bytes need not stay in memory while it is sent.
    std::string().swap(content);
    smtp_report report;
    int delivered = deliver_record(record, base, net, sockets_started, &report);
    switch (resend_verdict_of(delivered, report)) {
      case RESEND_SENT:
        ++counts.sent;
        if (os_remove_file(path.c_str(), &error)) {
          report_message(out, LOG_DEBUG, "sent", name, nullptr);
        } else {
          ++counts.unremoved;
          std::string why = "sent, but the file could not be removed (" +
                            error + "); remove it, or it is sent again";
          report_message(out, LOG_ERRORS, "sent", name, why.c_str());
        }
        break;
      case RESEND_REFUSED:
        ++counts.refused;
        if (!os_rename(path.c_str(), (path + kRefusedSuffix).c_str(),
                       &error)) {
          // Still under its message name, it would be tried again.
          ++counts.unremoved;
          std::string why = std::string(report.reason) +
                            " (it could not be renamed: " + error + ")";
          report_message(out, LOG_ERRORS, "refused", name, why.c_str());
        } else {
          report_message(out, LOG_ERRORS, "refused", name, report.reason);
        }
        break;
      case RESEND_KEPT:
        ++counts.kept;
        report_message(out, LOG_ERRORS, "kept", name, report.reason);
        // Without a server to talk to, or with one that does not answer,
        // every later try would wait and fail the same way, and a pass
        // that waits out the time limit for each message runs into the
        // next one.
        if (report.end == SMTP_END_NO_CONNECTION ||
            report.end == SMTP_END_NO_SERVER ||
            report.end == SMTP_END_BROKEN) {
          unreachable = std::string("not tried, ") + report.reason;
        }
        break;
    }
    os_file_close(fd);
  }
  if (folder_lock >= 0) os_file_close(folder_lock);
  return counts;
}

}  // namespace tarvelo
