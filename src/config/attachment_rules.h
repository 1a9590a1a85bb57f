// The owner's rules for files a post carries: which file-name extensions
// may come (attachment_types) and how many bytes all files of one post may
// hold together (max_attachment_bytes).
//
// State owned here: none.
#pragma once

#include "config/ini_reader.h"
#include "form/form_reader.h"

namespace tarvelo {

// The largest max_attachment_bytes: with the form's own 99,999 bytes a
// multipart body still fits CONTENT_LENGTH's int.
constexpr long long kMaxAttachmentBytesLimit = 2000000000;

// Reads a max_attachment_bytes value: digits only, 1 to
// kMaxAttachmentBytesLimit. Returns false, *out untouched, otherwise.
bool parse_max_attachment_bytes(const char* text, long long* out);

// Adds the extensions of an attachment_types value (separated by blanks or
// commas; leading dots dropped; kept lower case) to settings, up to
// kMaxAttachmentTypes. Returns the count added (0 for a value that names
// none).
int add_attachment_types(const char* value, mail_settings* settings);

// The value of the last usable "max_attachment_bytes N" line of an ini text
// of size bytes (a line of that keyword whose value is a whole number from 1
// to kMaxAttachmentBytesLimit), or kDefaultMaxAttachmentBytes when there is
// none. Logs nothing: the form is read before the ini, and the ini's own
// reading logs its lines.
long long max_attachment_bytes_in_ini_text(const char* text, long size);

// The same for the ini file at path; a file that cannot be read gives the
// default. Logs nothing.
long long max_attachment_bytes_in_ini(const char* path);

// Whether the files of form may go out under settings: every file's
// extension (after its last ".", case ignored) is listed in
// attachment_types, all files together hold at most max_attachment_bytes,
// and without attachment_types no file holds a byte. Otherwise logs one
// LOG_ERRORS line naming the field, the file name and the reason (for the
// first file that breaks a rule) and returns false.
bool attachments_allowed(const mail_settings& settings, const form_table& form);

// The same, also storing in *refused_file the index (into form.files) of
// the file the log line names; *refused_file is untouched when every file
// may go.
bool attachments_allowed(const mail_settings& settings, const form_table& form,
                         int* refused_file);

}  // namespace tarvelo
