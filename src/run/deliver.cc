#include "run/deliver.h"

#include <cstring>
#include <string>

#include "compose/field_rules.h"
#include "compose/message.h"
#include "config/attachment_rules.h"
#include "config/reply_rules.h"
#include "config/service_rules.h"
#include "run/captcha_call.h"
#include "spool/spool.h"
#include "support/dyn_text.h"
#include "support/log.h"
#include "support/os.h"

namespace tarvelo {

namespace {

// Set by the first delivery of the process; the sockets layer is started
// once and never shut down.
bool sockets_started = false;

const char* text_or_null(const char* text) {
  return text != nullptr ? text : "(null)";
}

bool envelope_complete(const envelope& env) {
  return env.from_address != nullptr && env.to_address != nullptr &&
         env.subject_found == 1;
}

// The CAPTCHA step of compose_and_send, for a post whose fields passed.
// Returns true when it may go on; else fills *outcome (and *problems for an
// invalid token) after its log line.
bool captcha_lets_through(const mail_settings& settings,
                          const form_table& form, const run_moment& moment,
                          field_problems* problems,
                          delivery_outcome* outcome) {
  // A robot's post is dropped as the abuse checks would drop it, before its
  // token costs a call to the provider.
  if (honeypot_caught(settings, form)) {
    *outcome = DELIVERY_DROPPED;
    return false;
  }
  const char* url = captcha_url_of(settings);
  const char* token =
      form_table_lookup(form, captcha_form_field(settings.captcha_provider));
  captcha_verdict verdict = CAPTCHA_REFUSED;
  const char* reason = kFieldRequired;
  std::string words;
  if (*token != '\0') {
    verdict = check_captcha(settings, token, moment.client,
                            moment.services_deadline_ms, moment.poster, &words);
    reason = kFieldNotVerified;
  }
  if (verdict == CAPTCHA_PASSED) {
    log_event(LOG_DEBUG, "CAPTCHA verified at %s", url);
    return true;
  }
  if (verdict == CAPTCHA_UNCHECKED) {
    log_event(LOG_ERRORS,
              "CAPTCHA could not be verified at %s (%s): no mail sent", url,
              words.c_str());
    *outcome = DELIVERY_UNCHECKED;
    return false;
  }
  if (!words.empty()) {
    log_event(LOG_DEBUG, "CAPTCHA refused at %s (error-codes: %s)", url,
              words.c_str());
  }
  problems->items[0] = field_problem{kCaptchaFieldName, reason};
  problems->count = 1;
  log_event(LOG_ERRORS, "fields not valid (%s): no mail sent",
            describe_problems(*problems).c_str());
  *outcome = DELIVERY_INVALID;
  return false;
}

}  // namespace

smtp_job smtp_job_for_settings(const mail_settings& settings) {
  smtp_job job;
  job.server = settings.smtp;
  job.line_end = settings.line_end;
  job.hello_method = settings.hello_method;
  job.timeout_seconds = settings.smtp_timeout;
  job.tls = settings.smtp_tls;
  job.tls_ca = settings.smtp_tls_ca;
  job.user = settings.smtp_user;
  job.password = settings.smtp_password;
  return job;
}

int smtp_send_mail(const smtp_job& job) {
  return deliver_mail(job, platform_net(), &sockets_started);
}

int send_composed(const mail_settings& settings, const envelope& env,
                  const char* header_text, const char* body_text,
                  mail_sender send) {
  return send_composed(settings, env, header_text, body_text, message_layout(),
                       send);
}

int send_composed(const mail_settings& settings, const envelope& env,
                  const char* header_text, const char* body_text,
                  const message_layout& layout, mail_sender send) {
  if (envelope_complete(env)) {
    log_event(LOG_DEBUG,
              "about to send email to smtp server (%s) from: (%s) to: (%s)",
              text_or_null(settings.smtp), env.from_address, env.to_address);
    smtp_job job = smtp_job_for_settings(settings);
    job.from = env.from_address;
    job.to = env.to_address;
    job.bcc = env.bcc_address;
    job.cc = env.cc_address;
    job.header_text = header_text;
    job.body_text = body_text;
    smtp_attachment attachments[kMaxFormFiles];
    if (layout.ready_from != kNotReady) {
      job.body_ready_from = layout.ready_from;
      for (int i = 0; i < layout.count; ++i) {
        attachments[i].start = layout.places[i].start;
        attachments[i].size = layout.places[i].size;
        attachments[i].name = layout.places[i].name;
        attachments[i].bytes = layout.places[i].bytes;
      }
      job.attachments = attachments;
      job.attachment_count = layout.count;
    }
    if (send(job) != 0) {
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

void read_message_stamp(message_stamp* out) {
  out->utc_offset_minutes =
      os_local_time_with_offset(&out->local_time, &out->unix_seconds);
  out->process_id = os_process_id();
  os_host_name(out->host_name, sizeof out->host_name);
  if (!os_random_bytes(out->random, sizeof out->random)) {
    memset(out->random, 0, sizeof out->random);
  }
}

delivery_outcome compose_and_send(const mail_settings& settings,
                                  const entry_list& headers,
                                  const entry_list& body,
                                  form_table* form_in,
                                  const run_moment& moment, envelope* env,
                                  field_problems* problems, mail_sender send) {
  const form_table& form = *form_in;
  problems->count = 0;
  // The visitor expects every file to arrive: one the owner does not take
  // refuses the whole post rather than going missing.
  int refused_file = -1;
  if (!attachments_allowed(settings, form, &refused_file)) {
    int pair = form.files[refused_file].pair;
    if (pair >= 0 && pair < form.form_count) {
      problems->items[0].name = form.names[pair];
      problems->items[0].reason = kFieldFileRefused;
      problems->count = 1;
    }
    return DELIVERY_FILES_REFUSED;
  }
  check_fields(settings, form, problems);
  if (problems->count > 0) {
    // A robot fills every field it sees; telling it which ones were wrong
    // would teach it to pass.
    if (honeypot_caught(settings, form)) {
      problems->count = 0;
      return DELIVERY_DROPPED;
    }
    log_event(LOG_ERRORS, "fields not valid (%s): no mail sent",
              describe_problems(*problems).c_str());
    return DELIVERY_INVALID;
  }
  if (settings.captcha_provider != CAPTCHA_NONE) {
    delivery_outcome refused = DELIVERY_FAILED;
    if (!captcha_lets_through(settings, form, moment, problems, &refused)) {
      return refused;
    }
  }
  compose_extras extras;
  extras.client = moment.client;
  if (settings.recipient_field != nullptr) {
    extras.alias_to = alias_address_for(
        settings, form_table_lookup(form, settings.recipient_field));
  }
  dyn_text* header_text = dyn_text_new("");
  dyn_text* body_text = dyn_text_new("");
  message_layout layout;
  layout.give_back_file_pages = true;
  compose_message(settings, headers, body, form, moment.stamp, extras, env,
                  header_text, body_text, &layout);
  // The files live on in the message as base64; their bytes would only
  // double the memory a big post takes.
  form_release_files(form_in);
  delivery_outcome outcome = DELIVERY_FAILED;
  spool_hold spooled;
  abuse_verdict verdict = ABUSE_PASS;
  if (envelope_complete(*env)) {
    // The client address keys a line of the rate-limit state file.
    std::string client = moment.client;
    for (char& c : client) {
      if (c == ' ' || c == '\n' || c == '\r' || c == '\t') c = '_';
    }
    verdict =
        run_abuse_checks(settings, *env, form, client.c_str(),
                         moment.rate_state, moment.unix_microseconds / 1000000);
    // Cleared to send: kept on disk before the dialogue, so no failure of
    // the server loses the visitor's message.
    if (verdict == ABUSE_PASS && settings.spool_folder != nullptr &&
        settings.smtp != nullptr) {
      spool_fields message;
      message.from = env->from_address;
      message.to = env->to_address;
      message.bcc = env->bcc_address;
      message.cc = env->cc_address;
      message.header_text = header_text->data;
      message.body_text = body_text->data;
      message.line_end = settings.line_end;
      spool_store_now(settings.spool_folder, message, moment.unix_microseconds,
                      &spooled);
    }
  }
  if (verdict == ABUSE_HONEYPOT) {
    outcome = DELIVERY_DROPPED;
  } else if (verdict == ABUSE_NOT_ALLOWED) {
    outcome = DELIVERY_NOT_ALLOWED;
  } else if (verdict == ABUSE_RATE_LIMITED) {
    outcome = DELIVERY_RATE_LIMITED;
  } else if (verdict == ABUSE_RATE_UNUSABLE) {
    outcome = DELIVERY_RATE_UNUSABLE;
  } else if (verdict == ABUSE_PASS) {
    int sent = send_composed(settings, *env, header_text->data,
                             body_text->data, layout, send);
    if (spool_settle(&spooled, sent)) {
      outcome = DELIVERY_QUEUED;
    } else if (sent) {
      outcome = DELIVERY_SENT;
    }
  }
  dyn_text_free(header_text);
  dyn_text_free(body_text);
  return outcome;
}

}  // namespace tarvelo
