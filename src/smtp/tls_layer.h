// Transport security under the socket layer: turns one connected socket
// into a TLS client connection whose send and recv carry clear text, so the
// SMTP dialogue and its trace lines stay as they are.
//
// One platform file implements tls_layer: tls_layer_openssl.cc, the only
// file that calls the TLS library, or tls_layer_none.cc in a build without
// TLS. State owned there: the one TLS connection of the process (a run
// delivers once) and the library's context, both made only when a delivery
// asks for TLS, so a plain run never starts the library.
#pragma once

#include "smtp/socket_layer.h"

namespace tarvelo {

// Why secure() made no TLS connection.
enum tls_failure {
  TLS_DONE = 0,
  TLS_UNAVAILABLE,       // this build has no TLS
  TLS_CA_UNREADABLE,     // the smtp_tls_ca file holds no usable certificate
  TLS_NOT_TRUSTED,       // the server's certificate chain is not trusted
  TLS_NAME_MISMATCH,     // the certificate is made out for another host
  TLS_HANDSHAKE_FAILED,  // anything else: protocol, closed, time limit
};

constexpr int kTlsDetailSize = 256;

// What a handshake attempt came to.
struct tls_outcome {
  tls_failure failure = TLS_DONE;
  // Words for the cause (the library's reason, the verification error, or
  // the socket error); empty when there is nothing to add.
  char detail[kTlsDetailSize] = "";
};

class tls_layer {
 public:
  // Runs a TLS client handshake (TLS 1.2 or newer) on socket, a connection
  // of net, by the deadline. The server's certificate must lead to a CA in
  // ca_file (a PEM file of certificates), or in the system's CA store when
  // ca_file is null, and must be made out for host: a host that reads as
  // an IP address is matched against the certificate's IP addresses, any
  // other host against its DNS names and sent as the server name (SNI).
  //
  // Returns a net_ops whose send and recv, for that socket, carry clear
  // text through the TLS connection (every other call goes to net); valid
  // until the next secure(). Returns null and fills *outcome when there is
  // none; the connection is then unusable.
  virtual net_ops* secure(net_ops* net, int socket, const char* host,
                          const char* ca_file, long long deadline_ms,
                          tls_outcome* outcome) = 0;

 protected:
  ~tls_layer() = default;
};

// The process-wide TLS layer of this build. Costs nothing until secure().
tls_layer* platform_tls();

// A few words for failure ("certificate not trusted", "host name
// mismatch", ...), the start of report_tls_failure's line.
const char* tls_failure_name(tls_failure failure);

// Logs at LOG_ERRORS why TLS with host failed, in words for the site owner,
// naming ca_file (or the system's CA store when null) where it matters.
void report_tls_failure(const tls_outcome& outcome, const char* host,
                        const char* ca_file);

}  // namespace tarvelo
