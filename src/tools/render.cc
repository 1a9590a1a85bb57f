#include "tools/render.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "compose/abuse_checks.h"
#include "compose/captcha_check.h"
#include "compose/field_rules.h"
#include "config/attachment_rules.h"
#include "config/reply_rules.h"
#include "config/service_rules.h"
#include "smtp/wire_encoder.h"
#include "support/dyn_text.h"

namespace tarvelo {

namespace {

// RFC 5321 4.1.1.4: always CR LF, whatever line end the message uses.
constexpr char kEndOfData[] = "\r\n.\r\n";

void append_wire(std::string* out, const char* text, size_t size,
                 const char* line_end) {
  size_t at = out->size();
  out->resize(at + wire_encoded_max(size));
  out->resize(at + wire_encode(text, size, line_end, out->data() + at));
}

// The DATA bytes as the dialogue writes them: with attachments, the body
// from layout.ready_from on goes as it stands (it is ready for the wire).
std::string data_on_wire(const char* header_text, const char* body_text,
                         const message_layout& layout, const char* line_end) {
  std::string out;
  append_wire(&out, header_text, strlen(header_text), line_end);
  out += line_end;
  size_t body_size = strlen(body_text);
  size_t ready = layout.ready_from < body_size ? layout.ready_from : body_size;
  append_wire(&out, body_text, ready, line_end);
  out.append(body_text + ready, body_size - ready);
  out += kEndOfData;
  return out;
}

const char* why_not_read(form_outcome read) {
  switch (read) {
    case FORM_UNSUPPORTED:
      return "the body type is not a form";
    case FORM_TOO_LARGE:
      return "the body is over the limit";
    case FORM_MALFORMED:
      return "the body cannot be read";
    default:
      return "";
  }
}

reply_outcome reply_for_unread(form_outcome read) {
  switch (read) {
    case FORM_UNSUPPORTED:
      return REPLY_UNSUPPORTED;
    case FORM_TOO_LARGE:
      return REPLY_TOO_LARGE;
    default:
      return REPLY_MALFORMED;
  }
}

void print_recipient(FILE* out, const char* address) {
  if (address != nullptr) fprintf(out, "RCPT TO:<%s>\n", address);
}

// The checks before composing, in a run's order. Returns true when the post
// is to be composed; else fills *reply and *verdict.
bool passes_before_composing(const render_inputs& in, field_problems* problems,
                             reply_outcome* reply, std::string* verdict) {
  const mail_settings& settings = *in.settings;
  const form_table& form = *in.form;
  if (in.read != FORM_READ) {
    *reply = reply_for_unread(in.read);
    *verdict = std::string("form not read (") + why_not_read(in.read) + ")";
    return false;
  }
  int refused_file = -1;
  if (!attachments_allowed(settings, form, &refused_file)) {
    int pair = form.files[refused_file].pair;
    const char* name =
        pair >= 0 && pair < form.form_count ? form.names[pair] : "";
    problems->items[0] = field_problem{name, kFieldFileRefused};
    problems->count = name[0] != '\0' ? 1 : 0;
    // As a run answers: a site that never asked for the invalid reply keeps
    // the failure page.
    *reply = settings.json_replies || settings.invalid_html_page != nullptr ||
                     settings.invalid_redirect != nullptr
                 ? REPLY_INVALID
                 : REPLY_FAILED;
    *verdict = std::string("file type not allowed (") + name + ")";
    return false;
  }
  check_fields(settings, form, problems);
  if (problems->count == 0) {
    if (settings.captcha_provider == CAPTCHA_NONE) return true;
    // A run's CAPTCHA step, short of the call to the provider.
    if (honeypot_caught(settings, form)) {
      *reply = REPLY_SENT;
      *verdict = "honeypot filled: dropped quietly";
      return false;
    }
    const char* field = captcha_form_field(settings.captcha_provider);
    if (*form_table_lookup(form, field) != '\0') return true;
    problems->items[0] = field_problem{kCaptchaFieldName, kFieldRequired};
    problems->count = 1;
    *reply = REPLY_INVALID;
    *verdict = "invalid fields (" + describe_problems(*problems) +
               "): no CAPTCHA token in " + field;
    return false;
  }
  // A robot is not told which fields were wrong.
  if (honeypot_caught(settings, form)) {
    problems->count = 0;
    *reply = REPLY_SENT;
    *verdict = "honeypot filled: dropped quietly";
    return false;
  }
  *reply = REPLY_INVALID;
  *verdict = "invalid fields (" + describe_problems(*problems) + ")";
  return false;
}

}  // namespace

void render_post(const render_inputs& in, FILE* out) {
  const mail_settings& settings = *in.settings;
  field_problems problems;
  // A refused server, a refused recipient and a message without its
  // envelope all get the failure reply.
  reply_outcome reply = REPLY_FAILED;
  std::string verdict;
  if (!passes_before_composing(in, &problems, &reply, &verdict)) {
    fputs("-- envelope --\n(no message)\n-- data --\n(no message)\n", out);
  } else {
    compose_extras extras;
    extras.client = in.client;
    if (settings.recipient_field != nullptr) {
      extras.alias_to = alias_address_for(
          settings, form_table_lookup(*in.form, settings.recipient_field));
    }
    envelope env;
    dyn_text* header_text = dyn_text_new("");
    dyn_text* body_text = dyn_text_new("");
    message_layout layout;
    compose_message(settings, *in.headers, *in.body, *in.form, in.stamp, extras,
                    &env, header_text, body_text, &layout);
    fputs("-- envelope --\n", out);
    if (env.from_address != nullptr) {
      fprintf(out, "MAIL FROM:<%s>\n", env.from_address);
    }
    print_recipient(out, env.to_address);
    print_recipient(out, env.bcc_address);
    print_recipient(out, env.cc_address);
    fputs("-- data --\n", out);
    std::string data = data_on_wire(header_text->data, body_text->data, layout,
                                    settings.line_end);
    fwrite(data.data(), 1, data.size(), out);
    dyn_text_free(header_text);
    dyn_text_free(body_text);

    // run_abuse_checks without its last step, the rate limit, which would
    // count this post and keep state.
    const char* refused = nullptr;
    if (env.from_address == nullptr || env.to_address == nullptr ||
        env.subject_found != 1) {
      verdict = "no From, To or Subject: not sent";
    } else if (honeypot_caught(settings, *in.form)) {
      reply = REPLY_SENT;
      verdict = "honeypot filled: dropped quietly";
    } else if (!recipients_allowed(settings, env, &refused)) {
      verdict = std::string("recipient not allowed (") + refused + ")";
    } else {
      reply = REPLY_SENT;
      verdict = "sent";
    }
    if (settings.captcha_provider != CAPTCHA_NONE) {
      verdict += std::string(" (CAPTCHA token in ") +
                 captcha_form_field(settings.captcha_provider) +
                 " not checked by -render)";
    }
    free(env.from_address);
    free(env.to_address);
    free(env.bcc_address);
    free(env.cc_address);
  }
  fprintf(out, "-- verdict --\nverdict: %s\n-- reply --\n", verdict.c_str());
  send_reply(reply, in.request, settings, in.form, problems, out);
}

bool file_readable(const char* path, long long* size, std::string* why) {
  // Read to the end: a folder opens as a file on some systems and only a
  // read tells.
  FILE* file = fopen(path, "rb");
  if (file == nullptr) {
    *why = strerror(errno);
    return false;
  }
  char piece[16384];
  long long count = 0;
  size_t n;
  while ((n = fread(piece, 1, sizeof piece, file)) > 0) count += n;
  bool failed = ferror(file) != 0;
  int error = errno;
  fclose(file);
  if (failed) {
    *why = strerror(error);
    return false;
  }
  *size = count;
  return true;
}

bool reopen_stdin_on(const char* path, long long* size, std::string* why) {
  if (!file_readable(path, size, why)) return false;
  if (freopen(path, "rb", stdin) == nullptr) {
    *why = strerror(errno);
    return false;
  }
  return true;
}

}  // namespace tarvelo
