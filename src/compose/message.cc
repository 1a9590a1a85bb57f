#include "compose/message.h"

#include <array>
#include <cstdlib>
#include <cstring>

#include "compose/attachments.h"
#include "compose/mime.h"
#include "support/alloc.h"
#include "support/log.h"

namespace tarvelo {

namespace {

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

// RFC 4291 2.2 and RFC 791 text forms are hex digits, "." and ":" only.
// Anything else (a zone, a proxy's list, a forged line) stays out of the
// message rather than being cleaned into something that looks real.
bool is_plain_ip_text(const char* client) {
  if (client[0] == '\0') return false;
  for (const char* c = client; *c != '\0'; ++c) {
    bool hex = (*c >= '0' && *c <= '9') || (*c >= 'a' && *c <= 'f') ||
               (*c >= 'A' && *c <= 'F');
    if (!hex && *c != '.' && *c != ':') return false;
  }
  return true;
}

void append_originating_ip(const char* client, const char* line_end,
                           dyn_text* out) {
  if (!is_plain_ip_text(client)) {
    log_event(LOG_ERRORS,
              "client_ip_header: client address (%s) is not an IP address: "
              "no X-Originating-IP line",
              client);
    return;
  }
  dyn_text_append(out, "X-Originating-IP: [%s]%s", client, line_end);
}

// The index of the list's first To entry, or -1.
int first_to_entry(const entry_list& headers, bool add_headerline_colon) {
  for (int i = 0; i < headers.count; ++i) {
    if (is_to_header_name(headers.names[i], add_headerline_colon)) return i;
  }
  return -1;
}

}  // namespace

void compose_message(const mail_settings& settings, const entry_list& headers,
                     const entry_list& body, const form_table& form,
                     const message_stamp& stamp, envelope* env,
                     dyn_text* header_text, dyn_text* body_text) {
  compose_message(settings, headers, body, form, stamp, compose_extras(), env,
                  header_text, body_text, nullptr);
}

void compose_message(const mail_settings& settings, const entry_list& headers,
                     const entry_list& body, const form_table& form,
                     const message_stamp& stamp, envelope* env,
                     dyn_text* header_text, dyn_text* body_text,
                     message_layout* layout) {
  compose_message(settings, headers, body, form, stamp, compose_extras(), env,
                  header_text, body_text, layout);
}

void compose_message(const mail_settings& settings, const entry_list& headers,
                     const entry_list& body, const form_table& form,
                     const message_stamp& stamp, const compose_extras& extras,
                     envelope* env, dyn_text* header_text, dyn_text* body_text,
                     message_layout* layout) {
  if (layout != nullptr) {
    bool give_back = layout->give_back_file_pages;
    *layout = message_layout();
    layout->give_back_file_pages = give_back;
  }
  // Files make the message MIME whatever add_standard_headers says.
  bool attaching = form.file_count > 0;
  bool standard = settings.add_standard_headers || attaching;
  const char* line_end = settings.line_end;
  int header_start = header_text->length;
  int body_start = body_text->length;
  // The alias is the one recipient the owner chose for this token: no To
  // entry of the list, fixed or submitted, may add or replace it.
  int alias_place = -1;
  if (extras.alias_to != nullptr) {
    alias_place = first_to_entry(headers, settings.add_headerline_colon);
    if (env->to_address == nullptr) {
      env->to_address = copy_or_fail(extras.alias_to, strlen(extras.alias_to),
                                     kNoMemory);
    }
    if (alias_place < 0) {
      append_header_line("To:", extras.alias_to, false, line_end, header_text);
    }
  }
  for (int i = 0; i < headers.count; ++i) {
    if (alias_place >= 0 &&
        is_to_header_name(headers.names[i], settings.add_headerline_colon)) {
      if (i == alias_place) {
        append_header_line("To:", extras.alias_to, false, line_end,
                           header_text);
      }
      continue;
    }
    header_kind kind =
        classify_header(headers.names[i], headers.values[i],
                             settings.add_headerline_colon, env);
    // RFC 5322 3.6.3: the blind copy is announced to the server only.
    if (kind == HEADER_NONE || kind == HEADER_BCC) continue;
    append_header_line(headers.names[i], headers.values[i],
                       settings.add_headerline_colon, line_end, header_text);
  }
  log_event(LOG_DEBUG, "generated headers {%s}", header_text->data);
  append_reply_to(settings, form, line_end, header_text);
  if (settings.client_ip_header) {
    append_originating_ip(extras.client, line_end, header_text);
  }
  // The MIME headers depend on the body, so with them the X-TARVELO line
  // waits until the body is done.
  if (!standard) append_x_tarvelo(line_end, header_text);

  int label_width = settings.no_padding ? 0 : 1;
  for (int i = 0; i < body.count; ++i) {
    append_body_entry(body.names[i], body.values[i], label_width, line_end,
                      body_text);
  }
  // Exact and case-sensitive: "TRUE" or "true " leave the block out.
  if (settings.sendall != nullptr && strcmp(settings.sendall, "true") == 0) {
    append_all_submitted(settings, form, body_text);
  }
  if (attaching) {
    make_multipart_message(settings.charset, line_end, stamp, form,
                           header_start, header_text, body_start, body_text,
                           layout);
    append_x_tarvelo(line_end, header_text);
  } else if (settings.add_standard_headers) {
    make_standard_message(settings.charset, line_end, stamp, header_start,
                          header_text, body_start, body_text);
    append_x_tarvelo(line_end, header_text);
  }
}

}  // namespace tarvelo
