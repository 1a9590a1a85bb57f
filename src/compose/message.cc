#include "compose/message.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <string>

#include "compose/abuse_checks.h"
#include "compose/mime.h"
#include "smtp/smtp_dialogue.h"
#include "spool/spool.h"
#include "support/log.h"
#include "support/os.h"

namespace tarvelo {

namespace {

// The texts of this run's message. Created once by compose_and_send and kept
// until the process exits; the log and the SMTP dialogue read them.
dyn_text* the_header_text = nullptr;
dyn_text* the_body_text = nullptr;

constexpr std::array<char, kBlankTemplateWidth + 1> make_blank_template() {
  std::array<char, kBlankTemplateWidth + 1> blanks{};
  for (int i = 0; i < kBlankTemplateWidth; ++i) blanks[i] = ' ';
  blanks[kBlankTemplateWidth] = '\0';
  return blanks;
}

// Indents and the label column are cut from one fixed run of blanks (as
// "%.*s" with the width), so no composed line costs an allocation of its own.
constexpr std::array<char, kBlankTemplateWidth + 1> kBlankTemplate =
    make_blank_template();
const char* const kBlanks = kBlankTemplate.data();

const char* text_or_null(const char* text) {
  return text != nullptr ? text : "(null)";
}

void append_header_line(const char* name, const char* value,
                        bool add_headerline_colon, const char* line_end,
                        dyn_text* out) {
  size_t name_length = strlen(name);
  const char* separator =
      add_headerline_colon &&
              (name_length == 0 || name[name_length - 1] != ':')
          ? ":"
          : "";
  int start = out->length;
  dyn_text_append(out, "%s%s %s%s", name, separator, value, line_end);
  // RFC 5322 2.2: a header field is one line. A submitted value holding a
  // line break would otherwise start a header of its own (Bcc:, a second
  // Subject:) in the message every recipient reads.
  int end = out->length - static_cast<int>(strlen(line_end));
  for (int i = start; i < end; ++i) {
    if (out->data[i] == '\r' || out->data[i] == '\n') out->data[i] = ' ';
  }
}

// One body entry: the first line of the value beside the name, each later
// line under it, indented past the name and its separating blank.
void append_body_entry(const char* name, const char* value, int label_width,
                       const char* line_end, dyn_text* out) {
  int name_length = static_cast<int>(strlen(name));
  if (name_length >= kMaxBodyNameLength) return;
  if (strchr(value, '\n') == nullptr) {
    dyn_text_append(out, "%.*s%s %s%s", label_width, kBlanks, name, value,
                    line_end);
    return;
  }
  const char* line = value;
  for (bool first = true;; first = false) {
    const char* feed = strchr(line, '\n');
    int length = feed != nullptr ? static_cast<int>(feed - line)
                                 : static_cast<int>(strlen(line));
    // A text area sends "\r\n"; the line end is ours to choose.
    if (feed != nullptr && length > 0 && line[length - 1] == '\r') --length;
    if (first) {
      dyn_text_append(out, "%.*s%s %.*s%s", label_width, kBlanks, name, length,
                      line, line_end);
    } else {
      dyn_text_append(out, "%.*s %.*s%s", name_length + 1, kBlanks, length,
                      line, line_end);
    }
    if (feed == nullptr) break;
    line = feed + 1;
  }
}

void append_all_submitted(const mail_settings& settings,
                          const form_table& form, dyn_text* out) {
  const char* line_end = settings.line_end;
  dyn_text_append(out, "%s%sAll variables from the submitted form:%s",
                  line_end, line_end, line_end);
  for (int i = 0; i < form.form_count; ++i) {
    if (settings.remove_empty_variables && form.values[i][0] == '\0') continue;
    dyn_text_append(out, "(%s)==(%s)%s", form.names[i], form.values[i],
                    line_end);
  }
}

// The visitor's address as Reply-To, so the site owner can keep From on the
// site's own domain (which DMARC accepts) and still answer with one click.
// It is never an envelope recipient.
void append_reply_to(const mail_settings& settings, const form_table& form,
                     const char* line_end, dyn_text* out) {
  if (settings.reply_to_field == nullptr) return;
  char* address =
      extract_address(form_table_lookup(form, settings.reply_to_field));
  if (address == nullptr) return;
  dyn_text_append(out, "Reply-To: %s%s", address, line_end);
  free(address);
}

void append_x_tarvelo(const char* line_end, dyn_text* out) {
  dyn_text_append(
      out, "X-TARVELO: sent by web form submition activated CGI program.%s",
      line_end);
}

}  // namespace

void compose_message(const mail_settings& settings, const entry_list& headers,
                     const entry_list& body, const form_table& form,
                     envelope* env, dyn_text* header_text,
                     dyn_text* body_text, const message_stamp* stamp) {
  const char* line_end = settings.line_end;
  int header_start = header_text->length;
  int body_start = body_text->length;
  for (int i = 0; i < headers.count; ++i) {
    header_kind kind =
        classify_header_kind(headers.names[i], headers.values[i],
                             settings.add_headerline_colon, env);
    // RFC 5322 3.6.3: the blind copy is announced to the server only.
    if (kind == HEADER_NONE || kind == HEADER_BCC) continue;
    append_header_line(headers.names[i], headers.values[i],
                       settings.add_headerline_colon, line_end, header_text);
  }
  log_event(LOG_DEBUG, "generated headers {%s}", header_text->data);
  append_reply_to(settings, form, line_end, header_text);
  // The MIME headers depend on the body, so with them the X-TARVELO line
  // waits until the body is done.
  if (!settings.add_standard_headers) append_x_tarvelo(line_end, header_text);

  int label_width = settings.no_padding ? 0 : 1;
  for (int i = 0; i < body.count; ++i) {
    append_body_entry(body.names[i], body.values[i], label_width, line_end,
                      body_text);
  }
  // Exact and case-sensitive: "TRUE" or "true " leave the block out.
  if (settings.sendall != nullptr && strcmp(settings.sendall, "true") == 0) {
    append_all_submitted(settings, form, body_text);
  }
  if (settings.add_standard_headers) {
    message_stamp own_stamp;
    if (stamp == nullptr) {
      read_message_stamp(&own_stamp);
      stamp = &own_stamp;
    }
    make_standard_message(settings.charset, line_end, *stamp, header_start,
                          header_text, body_start, body_text);
    append_x_tarvelo(line_end, header_text);
  }
}

int send_composed(const mail_settings& settings, const envelope& env,
                  const char* header_text, const char* body_text,
                  mail_sender send) {
  if (env.from_address != nullptr && env.to_address != nullptr &&
      env.subject_found == 1) {
    log_event(LOG_DEBUG,
              "about to send email to smtp server (%s) from: (%s) to: (%s)",
              text_or_null(settings.smtp), env.from_address, env.to_address);
    if (send(settings.smtp, env.from_address, env.to_address, header_text,
             body_text) != 0) {
      log_event(LOG_DEBUG, "email sent! (1)");
      return 1;
    }
    log_event(LOG_ERRORS, "Email not sent.");
    return 0;
  }
  // The whole message goes into the log so the site owner can see which
  // header was missing or held no address.
  log_event(LOG_ERRORS,
            "email not sent due to From, or To, or Subject headers not being "
            "present or valid. From={%s} To={%s} Subject_found=%s\r\n "
            "HEADERS = \r\n%s\r\n = HEADERS\r\nBODY = \r\n%s\r\n = BODY.",
            text_or_null(env.from_address), text_or_null(env.to_address),
            env.subject_found ? "TRUE" : "FALSE", text_or_null(header_text),
            text_or_null(body_text));
  return 0;
}

delivery_outcome compose_and_deliver() {
  the_header_text = dyn_text_new("");
  the_body_text = dyn_text_new("");
  compose_message(the_mail_settings, the_header_list, the_body_list,
                  the_form_table, &the_envelope, the_header_text,
                  the_body_text);
  const envelope& env = the_envelope;
  spool_hold spooled;
  if (env.from_address != nullptr && env.to_address != nullptr &&
      env.subject_found == 1) {
    // The client address keys a line of the rate-limit state file.
    std::string client = env_or_empty("REMOTE_ADDR");
    for (char& c : client) {
      if (c == ' ' || c == '\n' || c == '\r' || c == '\t') c = '_';
    }
    rate_state_location state;
    if (the_mail_settings.rate_limit > 0) {
      state = rate_state_location_for(
          log_path(), os_full_path(ini_path_for_log(log_path()).c_str()).c_str(),
          os_temp_folder().c_str());
    }
    abuse_verdict verdict = run_abuse_checks(
        the_mail_settings, env, the_form_table, client.c_str(), state,
        os_time_seconds());
    if (verdict == ABUSE_HONEYPOT) return DELIVERY_DROPPED;
    if (verdict != ABUSE_PASS) return DELIVERY_FAILED;
    // Cleared to send: kept on disk before the dialogue, so no failure of
    // the server loses the visitor's message.
    if (the_mail_settings.spool_folder != nullptr &&
        the_mail_settings.smtp != nullptr) {
      spool_fields message;
      message.from = env.from_address;
      message.to = env.to_address;
      message.bcc = env.bcc_address;
      message.cc = env.cc_address;
      message.header_text = the_header_text->data;
      message.body_text = the_body_text->data;
      message.line_end = the_mail_settings.line_end;
      spool_store_now(the_mail_settings.spool_folder, message, &spooled);
    }
  }
  int sent = send_composed(the_mail_settings, env, the_header_text->data,
                           the_body_text->data, smtp_send_mail);
  if (spool_settle(&spooled, sent)) return DELIVERY_QUEUED;
  return sent ? DELIVERY_SENT : DELIVERY_FAILED;
}

int compose_and_send() { return compose_and_deliver() == DELIVERY_SENT; }

}  // namespace tarvelo
