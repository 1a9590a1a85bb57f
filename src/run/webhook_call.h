// The run's call to webhook_url for a post that was sent or queued.
//
// State owned here: none.
#pragma once

#include "compose/submission_record.h"
#include "config/ini_reader.h"
#include "form/form_reader.h"
#include "smtp/http_client.h"

namespace tarvelo {

// Posts webhook_body(settings.webhook_format, head, form) to
// settings.webhook_url through post, as application/json, with
// "X-Tarvelo-Signature: sha256=<hex>" when settings.webhook_secret is set,
// by deadline_ms (the run's time limit for other services; now_ms is the
// time on the same clock). Does nothing without webhook_url.
// Logs one line: LOG_DEBUG "webhook URL answered status N" for a 2xx
// answer; otherwise LOG_ERRORS naming the URL and why ("webhook URL failed:
// no connection (...)", "... failed: status 500", "webhook URL not called:
// ..." when deadline_ms has passed already or the body could not be signed).
// No line holds the secret. Returns true for a 2xx answer. What the visitor
// gets is the caller's, and never depends on this call.
bool post_webhook(const mail_settings& settings, const submission_head& head,
                  const form_table& form, long long now_ms,
                  long long deadline_ms, http_poster post);

}  // namespace tarvelo
