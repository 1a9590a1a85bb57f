// The reply to the visitor's browser or script: one of the pages, a 303
// redirect, a JSON object for fetch(), or the answer to a CORS preflight.
//
// State owned here: none.
#pragma once

#include <cstdio>
#include <string>

#include "config/ini_reader.h"
#include "form/field_problems.h"
#include "form/form_reader.h"

namespace tarvelo {

// What became of the request, as the reply tells it.
enum reply_outcome {
  REPLY_SENT,          // 200: sent, or a robot's post dropped quietly
  REPLY_QUEUED,        // 202: kept in the spool folder
  REPLY_INVALID,       // 422: a field rule, alias or file type refused it
  REPLY_METHOD,        // 405: not a POST
  REPLY_UNSUPPORTED,   // 415: the body is no form encoding
  REPLY_TOO_LARGE,     // 413: the body is over the limit
  REPLY_MALFORMED,     // 400: the body cannot be read
  REPLY_RATE_LIMITED,  // 429: this client's hourly share is used up
  REPLY_FAILED,        // 502: allow-list refusal, server refused/unreachable
  REPLY_UNAVAILABLE,   // 503: the rate-limit state cannot be kept
};

// What the reply takes from the request's environment.
struct reply_request {
  const char* accept = "";  // HTTP_ACCEPT, "" when unset
  const char* origin = "";  // HTTP_ORIGIN, "" when unset
};

// Whether an Accept header value (RFC 9110 12.5.1) prefers application/json
// to text/html: each media range with its q (default 1; q=0 means not
// acceptable), a type taking the q of its most specific matching range
// (type/subtype, then type/*, then */*). True when JSON's q is above 0 and
// above HTML's, or when application/json is listed by name and text/html is
// neither listed by name nor under text/*. "" and "*/*" give false.
bool prefers_json(const char* accept);

// Writes the whole CGI response for outcome to out and flushes it:
// - with json_replies set and prefers_json(request.accept): the JSON reply;
// - else, when the outcome's redirect is set (success_redirect for SENT,
//   queued_redirect for QUEUED (else as a failure), invalid_redirect for
//   INVALID (else as its page falls back), failure_redirect for the rest):
//   "Status: 303 See Other" and "Location:";
// - else the page, as send_reply_page gives it; an INVALID outcome shows
//   invalid_html_page (else the failure page) with "Status: 422".
//   Once any reply, CORS or field-rule keyword is set (or the outcome is
//   INVALID), ||_invalid_fields|| on every page is the problems' names
//   joined by ", " ("" for none) and no form field fills it.
// CORS headers go on every kind when request.origin is listed; Vary: Accept
// and Cache-Control: no-store on every kind when json_replies is set.
// Without any of the reply keywords the bytes are send_reply_page's.
void send_reply(reply_outcome outcome, const reply_request& request,
                const mail_settings& settings, form_table* form,
                const field_problems& problems, FILE* out);

// Answers an OPTIONS request (a CORS preflight) when cors_origin is set:
// "Status: 204 No Content", and, when request.origin is listed, the
// Access-Control-Allow-* headers and Access-Control-Max-Age: 86400.
void send_preflight(const reply_request& request,
                    const mail_settings& settings, FILE* out);

}  // namespace tarvelo
