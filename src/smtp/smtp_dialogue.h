// The SMTP dialogue: delivers one composed message over one connection.
#pragma once

namespace tarvelo {

// Delivers the message to the server of the `smtp` setting (host, optionally
// ":" and a port; port 25 otherwise), announcing from, to, and the envelope's
// BCC and CC addresses as further recipients. Reads the_mail_settings (line
// end, hello method, time limit) and the_envelope. Returns 1 when the server
// accepted the end of data, 0 otherwise (no connection, a refused step, a
// failed write or read, the time limit, no server text).
int smtp_send_mail(const char* server, const char* from, const char* to,
                   const char* header_text, const char* body_text);

}  // namespace tarvelo
