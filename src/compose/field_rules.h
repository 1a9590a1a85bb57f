// The ini's rules for the fields of a post (required_field, email_field)
// and the recipient alias menu (recipient_field), checked before anything
// is composed.
//
// State owned here: none.
#pragma once

#include <string>

#include "config/ini_reader.h"
#include "form/field_problems.h"
#include "form/form_reader.h"

namespace tarvelo {

// Whether value holds nothing but blanks, tabs, carriage returns and line
// feeds ("" included).
bool is_blank_value(const char* value);

// Holds form to settings' field rules and fills *out (count first set to 0)
// with each refused field, in this order:
// - field_rules in ini order: FIELD_REQUIRED refuses a field that is absent
//   or blank (a file field with no file chosen is absent) as kFieldRequired;
//   FIELD_EMAIL refuses a non-empty value that, trimmed of blanks, tabs,
//   carriage returns and line feeds, is not is_one_address, as
//   kFieldNotAnAddress;
// - with recipient_field set: an absent or blank value is kFieldRequired, a
//   token alias_address_for does not know is kFieldUnknownChoice.
// A field is named once, with its first problem; names point into settings.
// Reads the first value of each name (form_table_lookup); logs nothing.
void check_fields(const mail_settings& settings, const form_table& form,
                  field_problems* out);

// The problems as the log names them: "Email: not an e-mail address,
// Name: required" ("" for none).
std::string describe_problems(const field_problems& problems);

}  // namespace tarvelo
