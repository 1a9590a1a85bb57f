// The record of one post for the places that keep or pass it on besides the
// mail: the archive's JSON lines and the webhook's json body share it.
//
// State owned here: none.
#pragma once

#include <string>

#include "form/form_reader.h"

namespace tarvelo {

// What the record says besides the form's fields.
struct submission_head {
  std::string form;     // the executable's file name, without its folders
  const char* outcome = "sent";  // "sent" or "queued"
  long long unix_seconds = 0;    // when the post was handled
  std::string client;   // the client's address; "" leaves it out
  // A field the record leaves out (the CAPTCHA widget's token: long,
  // single-use and of no worth to the owner); null keeps every field.
  const char* hidden_field = nullptr;
};

// unix_seconds as an RFC 3339 time in UTC: "2026-12-08T18:30:05Z".
std::string rfc3339_utc(long long unix_seconds);

// The record as one line of JSON without a line end:
//   {"form":"...","outcome":"sent","time":"...","client":"...",
//    "fields":[["Name","Ann"],["cv",{"file":"cv.pdf","size":1234}]]}
// "client" only when head.client is not empty. Fields in form order, but
// for head.hidden_field; a file
// field gives its file name and size instead of its value. Every text is
// escaped as JSON (json_escape_append), so broken UTF-8 arrives as U+FFFD.
std::string submission_json(const submission_head& head,
                            const form_table& form);

// The file form.files holds for pair, or null when the pair is a plain
// field.
const form_file* file_of_pair(const form_table& form, int pair);

// The executable's file name as the record names the form: argv0 without
// the folders before its last "/" or "\".
std::string form_name_of(const char* argv0);

}  // namespace tarvelo
