// Message assembly: turns the header list, the body list and the submitted
// form into the header text and body text of one e-mail, filling the
// envelope on the way.
//
// State owned here: none. The caller owns the texts and the envelope.
#pragma once

#include "compose/attachments.h"
#include "compose/envelope.h"
#include "compose/mime.h"
#include "config/ini_reader.h"
#include "form/form_reader.h"
#include "support/dyn_text.h"

namespace tarvelo {

// Widest blank run a composed line needs: a continuation indent of a 498
// character name plus one, with room to spare.
constexpr int kBlankTemplateWidth = 501;

// Body entries whose name is this long or longer are left out silently.
constexpr int kMaxBodyNameLength = 499;

// What the run adds to a message beyond the ini's lists and the form.
struct compose_extras {
  // The recipient_alias address the post's token chose, or null. It becomes
  // the envelope's To and the message's one To line ("To: <address>"), in
  // the place of the list's first To entry (is_to_header_name), or first
  // when the list has none; every To entry of the list is then left out.
  const char* alias_to = nullptr;
  // The client's address (REMOTE_ADDR, "" when unset), written as
  // "X-Originating-IP: [<client>]" after the Reply-To line when
  // client_ip_header is set and it holds only hex digits, "." and ":";
  // otherwise, with client_ip_header, no line and a LOG_ERRORS line.
  const char* client = "";
};

// Composes the message into header_text and body_text, appending to what they
// hold (normally both are empty):
// - every header entry goes through classify_header, in list order, and
//   an accepted one is written as name, separator, blank, value, line end;
//   the separator is ":" when add_headerline_colon is set and the name does
//   not already end in ":". A BCC entry fills the envelope but is not written
//   (RFC 5322 3.6.3: every recipient would read the blind copy). A carriage
//   return or line feed in a written header line becomes a blank, so a
//   submitted value cannot start a header of its own;
// - logs "generated headers {%s}" with the header text, then appends the
//   Reply-To line and the X-TARVELO line;
// - writes each body entry as label column, name, blank, value, line end; a
//   value with line feeds continues on lines indented by the name's length
//   plus two blanks, a carriage return before each line feed dropped;
// - appends the block of all submitted pairs when sendall is exactly "true",
//   leaving out empty values when remove_empty_variables is set;
// - with add_standard_headers, makes the message standards-complete
//   (make_standard_message: encoded header lines, Date, Message-ID and MIME
//   headers, a quoted-printable body where 7bit will not do) before the
//   X-TARVELO line, which then comes last. stamp gives the Date and
//   Message-ID; it is read only then;
// - when the form carries files, makes it multipart/mixed instead
//   (make_multipart_message: the standard headers whatever
//   add_standard_headers says, the text as first part, each file a base64
//   part), the X-TARVELO line last, and fills *layout (when not null) with
//   where the files' lines stand; otherwise *layout says there are none.
// Reads nothing but its arguments and fills env; stored values and the
// files' bytes are not changed. Allocation failures end the process.
void compose_message(const mail_settings& settings, const entry_list& headers,
                     const entry_list& body, const form_table& form,
                     const message_stamp& stamp, envelope* env,
                     dyn_text* header_text, dyn_text* body_text,
                     message_layout* layout);

// compose_message with what the run adds (see compose_extras); the forms
// above and below compose with no alias and no client address.
void compose_message(const mail_settings& settings, const entry_list& headers,
                     const entry_list& body, const form_table& form,
                     const message_stamp& stamp, const compose_extras& extras,
                     envelope* env, dyn_text* header_text, dyn_text* body_text,
                     message_layout* layout);

// compose_message without the layout.
void compose_message(const mail_settings& settings, const entry_list& headers,
                     const entry_list& body, const form_table& form,
                     const message_stamp& stamp, envelope* env,
                     dyn_text* header_text, dyn_text* body_text);

}  // namespace tarvelo
