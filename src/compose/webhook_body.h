// What a webhook receives for a post that was sent or queued: the body in
// the format webhook_format names, and the signature over it.
//
// State owned here: none.
#pragma once

#include <string>

#include "compose/submission_record.h"
#include "config/ini_reader.h"
#include "form/form_reader.h"

namespace tarvelo {

// The request header that carries webhook_body's signature.
constexpr const char* kWebhookSignatureHeader = "X-Tarvelo-Signature";

// For WEBHOOK_JSON: submission_json(head, form), byte for byte.
// For WEBHOOK_SLACK: {"text":"..."} whose text has a first line naming the
// form and the outcome ("New post to contact.cgi (sent)"), then one line per
// field in form order but for head.hidden_field ("Name: Ann"; a file field
// "cv: cv.pdf (1234 bytes)"). In that text "&", "<" and ">" become "&amp;",
// "&lt;" and "&gt;", so what a visitor typed can neither mention @channel
// (<!channel>) nor forge a link (<https://..|text>) in Slack's markup; then
// the whole text is escaped as JSON (json_escape_append).
std::string webhook_body(webhook_kind kind, const submission_head& head,
                         const form_table& form);

// The value of the signature header for body: "sha256=" and the HMAC-SHA256
// of body's exact bytes under secret, in 64 lower-case hex digits; "" when
// the platform's crypto fails.
std::string webhook_signature(const char* secret, const std::string& body);

}  // namespace tarvelo
