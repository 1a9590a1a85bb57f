// The TLS layer on OpenSSL. The only file that calls OpenSSL.
//
// OpenSSL never touches the socket: its I/O goes through a BIO whose reads
// and writes are the send and recv of the socket layer beneath, with the
// delivery's deadline. So the handshake and every later record are bounded
// by smtp_timeout, a closed connection never raises SIGPIPE, and socket
// errors keep their Windows Sockets numbers for the log.
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "smtp/tls_layer.h"
#include "support/log.h"

namespace tarvelo {

namespace {

// The secured connection: clear text in send and recv, TLS records on the
// socket of the layer beneath.
class openssl_net final : public net_ops {
 public:
  // The connection beneath and the deadline its BIO reads and writes with.
  net_ops* inner = nullptr;
  int socket = -1;
  long long deadline_ms = 0;
  SSL* ssl = nullptr;
  // What the layer beneath reported during the latest TLS call: its error
  // number (0: none), and whether it found the connection closed.
  int io_error = 0;
  bool io_closed = false;

  int start(int version, int* granted) override {
    return inner->start(version, granted);
  }
  long long now_ms() override { return inner->now_ms(); }
  int connect_to(const char* host, bool dotted, int port, long long deadline,
                 connect_failure* failure) override {
    return inner->connect_to(host, dotted, port, deadline, failure);
  }
  void pause_ms(int milliseconds) override { inner->pause_ms(milliseconds); }
  void close_socket(int on) override { inner->close_socket(on); }

  int send(int on, const char* data, int size, long long deadline) override {
    if (on != socket) return inner->send(on, data, size, deadline);
    if (size <= 0) return 0;
    begin(deadline);
    int n = SSL_write(ssl, data, size);
    return n > 0 ? n : failed();
  }

  int recv(int on, char* area, int room, long long deadline) override {
    if (on != socket) return inner->recv(on, area, room, deadline);
    begin(deadline);
    int n = SSL_read(ssl, area, room);
    if (n > 0) return n;
    int why = SSL_get_error(ssl, n);
    // A server may close after its last reply with or without close_notify;
    // either way the dialogue sees a closed connection.
    if (why == SSL_ERROR_ZERO_RETURN || io_closed) return 0;
    return failed();
  }

  int last_error() override {
    return last_ != 0 ? last_ : inner->last_error();
  }

  void begin(long long deadline) {
    deadline_ms = deadline;
    io_error = 0;
    io_closed = false;
    ERR_clear_error();
  }

 private:
  // After a failed SSL_read or SSL_write: the error of the layer beneath
  // when it failed, else a TLS error, logged with OpenSSL's reason and kept
  // as "connection aborted".
  int failed() {
    if (io_error != 0) {
      last_ = io_error;
    } else {
      char reason[kTlsDetailSize];
      ERR_error_string_n(ERR_peek_last_error(), reason, sizeof reason);
      log_event(LOG_ERRORS, "TLS connection with the SMTP server failed: %s",
                ERR_peek_last_error() != 0 ? reason : "protocol error");
      last_ = io_closed ? WSA_ESHUTDOWN : WSA_ECONNABORTED;
    }
    return -1;
  }

  int last_ = 0;
};

// --- the BIO over the socket layer -----------------------------------------

int bio_write(BIO* bio, const char* data, int size) {
  auto* net = static_cast<openssl_net*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  int n = net->inner->send(net->socket, data, size, net->deadline_ms);
  if (n > 0) return n;
  net->io_error = net->inner->last_error();
  if (net->io_error == 0) net->io_error = WSA_ESHUTDOWN;
  return -1;
}

int bio_read(BIO* bio, char* area, int room) {
  auto* net = static_cast<openssl_net*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  int n = net->inner->recv(net->socket, area, room, net->deadline_ms);
  if (n > 0) return n;
  if (n == 0) {
    net->io_closed = true;
    return 0;
  }
  net->io_error = net->inner->last_error();
  if (net->io_error == 0) net->io_error = WSA_ETIMEDOUT;
  return -1;
}

long bio_ctrl(BIO*, int command, long, void*) {
  // Writes go out at once, so a flush has nothing left to do.
  return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int bio_create(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

BIO_METHOD* net_bio_method() {
  static BIO_METHOD* method = nullptr;
  if (method == nullptr) {
    method = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK,
                          "tarvelo socket layer");
    if (method == nullptr) return nullptr;
    BIO_meth_set_write(method, bio_write);
    BIO_meth_set_read(method, bio_read);
    BIO_meth_set_ctrl(method, bio_ctrl);
    BIO_meth_set_create(method, bio_create);
  }
  return method;
}

// --- the handshake -----------------------------------------------------------

void set_detail(tls_outcome* outcome, const char* text) {
  snprintf(outcome->detail, sizeof outcome->detail, "%s", text);
}

// OpenSSL's reason for the latest failure, or fallback when it has none.
void set_library_detail(tls_outcome* outcome, const char* fallback) {
  unsigned long code = ERR_peek_last_error();
  if (code == 0) {
    set_detail(outcome, fallback);
  } else {
    ERR_error_string_n(code, outcome->detail, sizeof outcome->detail);
  }
}

net_ops* fail(tls_outcome* outcome, tls_failure failure) {
  outcome->failure = failure;
  return nullptr;
}

// What a failed SSL_connect comes to, in *outcome.
void classify_handshake_failure(const openssl_net& net, tls_outcome* outcome) {
  long verify = SSL_get_verify_result(net.ssl);
  if (verify != X509_V_OK) {
    outcome->failure = verify == X509_V_ERR_HOSTNAME_MISMATCH ||
                               verify == X509_V_ERR_IP_ADDRESS_MISMATCH
                           ? TLS_NAME_MISMATCH
                           : TLS_NOT_TRUSTED;
    set_detail(outcome, X509_verify_cert_error_string(verify));
    return;
  }
  outcome->failure = TLS_HANDSHAKE_FAILED;
  if (net.io_error == WSA_ETIMEDOUT) {
    set_detail(outcome, "no answer within the time limit (smtp_timeout)");
  } else if (net.io_error != 0) {
    const char* words = socket_error_text(net.io_error);
    snprintf(outcome->detail, sizeof outcome->detail, "socket error %d %s",
             net.io_error, words ? words : "");
    // The error table's texts end with a line feed; a log line does not.
    size_t size = strlen(outcome->detail);
    while (size > 0 && (outcome->detail[size - 1] == '\n' ||
                        outcome->detail[size - 1] == ' ')) {
      outcome->detail[--size] = '\0';
    }
  } else if (net.io_closed && ERR_peek_last_error() == 0) {
    set_detail(outcome, "the server closed the connection");
  } else {
    set_library_detail(outcome,
                       "the server does not speak TLS on this port");
  }
}

// The system's CA store: the hashed folder (/etc/ssl/certs, or
// SSL_CERT_DIR), from which only the certificates a chain needs are read.
// The bundle file is read whole, which costs a tenth of a second, so only
// when SSL_CERT_FILE asks for it.
bool use_system_store(SSL_CTX* ctx) {
  if (getenv(X509_get_default_cert_file_env()) != nullptr) {
    return SSL_CTX_set_default_verify_paths(ctx) == 1;
  }
  return SSL_CTX_set_default_verify_dir(ctx) == 1;
}

}  // namespace

// libcrypto's processor probe. Linked statically it runs from the .init
// section of every process, TLS or not; the static executable defers that
// call (tls_probe_deferral.cc) and the probe runs here instead. Weak, since
// a shared libcrypto does not export it (and has probed at its own load).
extern "C" __attribute__((weak)) void OPENSSL_cpuid_setup(void);

namespace {

class openssl_tls final : public tls_layer {
 public:
  net_ops* secure(net_ops* net, int socket, const char* host,
                  const char* ca_file, long long deadline_ms,
                  tls_outcome* outcome) override {
    release();
    outcome->failure = TLS_DONE;
    outcome->detail[0] = '\0';
    // The system's openssl.cnf is not read: the same settings everywhere,
    // and no file a web server's account may not be able to open.
    if (OPENSSL_cpuid_setup != nullptr) OPENSSL_cpuid_setup();
    if (OPENSSL_init_ssl(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr) != 1) {
      set_library_detail(outcome, "OpenSSL could not be started");
      return fail(outcome, TLS_HANDSHAKE_FAILED);
    }
    ERR_clear_error();
    ctx_ = SSL_CTX_new(TLS_client_method());
    if (ctx_ == nullptr) {
      set_library_detail(outcome, "no TLS context");
      return fail(outcome, TLS_HANDSHAKE_FAILED);
    }
    // RFC 8996: nothing older than TLS 1.2.
    SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
    if (ca_file != nullptr) {
      if (SSL_CTX_load_verify_locations(ctx_, ca_file, nullptr) != 1) {
        set_library_detail(outcome, "no certificate in it");
        return fail(outcome, TLS_CA_UNREADABLE);
      }
    } else if (!use_system_store(ctx_)) {
      set_library_detail(outcome, "the system's CA store cannot be read");
      return fail(outcome, TLS_NOT_TRUSTED);
    }

    BIO_METHOD* method = net_bio_method();
    ssl_ = SSL_new(ctx_);
    BIO* bio = method ? BIO_new(method) : nullptr;
    if (ssl_ == nullptr || bio == nullptr) {
      BIO_free(bio);
      set_library_detail(outcome, "no TLS connection object");
      return fail(outcome, TLS_HANDSHAKE_FAILED);
    }
    net_.inner = net;
    net_.socket = socket;
    net_.ssl = ssl_;
    BIO_set_data(bio, &net_);
    SSL_set_bio(ssl_, bio, bio);

    // RFC 6125 6.4: the reference identity is the host the owner wrote.
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl_);
    X509_VERIFY_PARAM_set_hostflags(param,
                                    X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    if (X509_VERIFY_PARAM_set1_ip_asc(param, host) != 1) {
      // RFC 6066 3: SNI carries names only, never an address.
      if (X509_VERIFY_PARAM_set1_host(param, host, 0) != 1 ||
          SSL_set_tlsext_host_name(ssl_, host) != 1) {
        set_library_detail(outcome, "the host cannot be used as a name");
        return fail(outcome, TLS_NAME_MISMATCH);
      }
    }

    net_.begin(deadline_ms);
    if (SSL_connect(ssl_) != 1) {
      classify_handshake_failure(net_, outcome);
      return nullptr;
    }
    log_event(LOG_DEBUG, "TLS started with %s: %s, %s", host,
              SSL_get_version(ssl_), SSL_get_cipher_name(ssl_));
    return &net_;
  }

 private:
  void release() {
    SSL_free(ssl_);  // frees its BIO too
    SSL_CTX_free(ctx_);
    ssl_ = nullptr;
    ctx_ = nullptr;
    net_ = openssl_net();
  }

  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  openssl_net net_;
};

// The process-wide TLS layer: holds the one TLS connection of a delivery,
// made by secure() and kept until the process ends.
openssl_tls the_openssl_tls;

}  // namespace

tls_layer* platform_tls() { return &the_openssl_tls; }

}  // namespace tarvelo
