// Files of a post mailed as attachments: the message becomes multipart/mixed
// (RFC 2046 5.1.3), the composed text its first part and each file a base64
// part named after the file.
//
// Pure functions over explicit arguments. No state.
#pragma once

#include <cstddef>

#include "compose/mime.h"
#include "form/form_reader.h"
#include "support/dyn_text.h"

namespace tarvelo {

// RFC 2045 6.8: base64 lines are at most 76 characters; 57 bytes fill one.
constexpr int kBase64LineChars = 76;
constexpr int kBase64LineBytes = 57;

// Where a file's base64 lines stand in the body text, so the SMTP trace can
// show "[attachment NAME, BYTES bytes]" in their place.
struct attachment_place {
  size_t start = 0;  // offset in the body text
  size_t size = 0;   // base64 lines with their line ends
  const char* name = "";  // the form's file name (not copied)
  long long bytes = 0;    // the file's size
};

// How a composed message with attachments lies in its body text. From
// ready_from on every line ends in the line end and none begins with ".",
// so those bytes go to the wire as they stand (no copy for SMTP
// transparency). Without attachments ready_from is kNotReady and count 0.
constexpr size_t kNotReady = static_cast<size_t>(-1);
struct message_layout {
  // Set by the caller before composing, kept by it: the pages of the files'
  // bytes go back to the system as they are encoded (os_give_back_pages;
  // they then read as zeros), for a caller that releases the files right
  // after. A post's memory then peaks near the encoded message alone.
  bool give_back_file_pages = false;
  size_t ready_from = kNotReady;
  int count = 0;
  attachment_place places[kMaxFormFiles];
};

// The Content-Type of a file by its extension, case ignored: pdf
// application/pdf, png image/png, jpg and jpeg image/jpeg, txt text/plain
// (US-ASCII as RFC 2046 4.1.2 says unless told otherwise: the bytes are
// the visitor's), anything else application/octet-stream. What the
// visitor's browser declared is never used.
const char* attachment_content_type(const char* file_name);

// Appends the "Content-Disposition: attachment; filename=..." line with
// its line end: a quoted name ("\"" and "\\" escaped) when the name is
// printable ASCII and the line fits 998 characters; otherwise the RFC 2231
// form UTF-8''%XX..., cut into continuations (filename*0*=, filename*1*=
// ...) on folded lines of at most 76 characters when it is long.
void append_content_disposition(const char* file_name, const char* line_end,
                                dyn_text* out);

// The size of the base64 text of bytes bytes in lines of 76 characters,
// each ending in line_end (of line_end_size bytes).
size_t base64_lines_size(size_t bytes, size_t line_end_size);

// Writes that text into out (room for base64_lines_size bytes, no NUL
// added). With give_back, the whole pages of data already encoded go back
// to the system every megabyte or so (os_give_back_pages).
void encode_base64_lines(const unsigned char* data, size_t size,
                         const char* line_end, char* out,
                         bool give_back = false);

// Writes the boundary of the message into out (kBoundarySize bytes): "=_"
// (which neither base64 nor quoted-printable ever writes) and the random
// bytes, seconds and process id of stamp.
constexpr int kBoundarySize = 80;
void make_boundary(const message_stamp& stamp, char* out);

// Turns a composed message whose form carries files into multipart/mixed:
// - the header lines from header_start on are encoded as with
//   add_standard_headers, then Date, Message-ID, MIME-Version and
//   "Content-Type: multipart/mixed; boundary=..." are appended;
// - the body text from body_start on becomes the first part, text/plain in
//   charset, 7bit or quoted-printable as make_standard_message decides
//   (quoted-printable also when it holds the boundary);
// - each file of form follows as a base64 part (attachment_content_type,
//   append_content_disposition), then the closing delimiter.
// The body is grown once to its final size before the files are encoded
// into it. Fills *layout (when not null); its names point into form. The
// files' bytes are read, not released, unless layout->give_back_file_pages
// asks it. Allocation failures end the process.
void make_multipart_message(const char* charset, const char* line_end,
                            const message_stamp& stamp, const form_table& form,
                            int header_start, dyn_text* header_text,
                            int body_start, dyn_text* body_text,
                            message_layout* layout);

}  // namespace tarvelo
