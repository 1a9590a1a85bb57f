// The few words the ini's settings and the SMTP dialogue share: how to say
// hello, how the connection is protected, the default time limit and the
// mask that stands for a password in the log. Both sides read them, neither
// owns the other, so they live here. No state.
#pragma once

namespace tarvelo {

constexpr int kDefaultSmtpTimeout = 30;

enum hello_kind { HELLO_HELO, HELLO_EHLO };

// How the SMTP connection is protected. TLS_INVALID marks an smtp_tls value
// that was not understood: such a run never sends in plain text.
enum tls_mode { TLS_NONE, TLS_STARTTLS, TLS_IMPLICIT, TLS_INVALID };

constexpr const char* kPasswordMask = "********";

}  // namespace tarvelo
