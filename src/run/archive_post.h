// What a run adds to the submissions archive (spool/archive.h) once its
// post is delivered.
//
// State owned here: none.
#pragma once

#include "compose/submission_record.h"
#include "config/ini_reader.h"
#include "form/form_reader.h"
#include "run/deliver.h"

namespace tarvelo {

// The record's head, for the archive and the webhook, of a post that was
// sent (queued false) or queued: the form named after argv0's file name,
// the time of unix_microseconds in whole seconds, the client only when the
// ini asks for client_ip_header, and the CAPTCHA widget's field left out
// when a provider is set.
submission_head submission_head_for(const mail_settings& settings,
                                    const char* argv0, bool queued,
                                    long long unix_microseconds,
                                    const char* client);

// With archive_file set and a post that was sent or queued (any other
// outcome adds nothing), appends the post's record (submission_json of
// submission_head_for and form) to the archive with archive_submission, which
// logs how that went. Nothing else changes, whatever the outcome.
void archive_post(const mail_settings& settings, const char* argv0,
                  delivery_outcome outcome, const run_moment& moment,
                  const form_table& form);

}  // namespace tarvelo
