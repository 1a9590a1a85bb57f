// The TLS layer on Windows: Schannel through SSPI. The only file that calls
// secur32 and crypt32.
//
// Schannel never touches the socket: its handshake tokens and records go
// through the send and recv of the socket layer beneath, with the
// delivery's deadline, so smtp_timeout bounds the handshake as on Linux.
// Schannel is told not to judge the server's certificate
// (SCH_CRED_MANUAL_CRED_VALIDATION): this file checks the chain with
// crypt32 (the system store, or only the CAs of smtp_tls_ca) and the host
// against the certificate's names itself (tls_names.h), the same on Windows
// as under Wine, whose policy ignores IP-address entries.
#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
#include <windows.h>
#include <wincrypt.h>
#include <schannel.h>
#include <security.h>
#include <sspi.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

#include "smtp/tls_layer.h"
#include "smtp/tls_names.h"
#include "support/log.h"

namespace tarvelo {

namespace {

// Room for TLS records: one whole record (16 KiB of text plus overhead)
// and the start of the next.
constexpr int kRecordRoom = 2 * (16384 + 2048);

void set_detail(tls_outcome* outcome, const char* text) {
  snprintf(outcome->detail, sizeof outcome->detail, "%s", text);
}

void set_status_detail(tls_outcome* outcome, const char* what,
                       SECURITY_STATUS status) {
  snprintf(outcome->detail, sizeof outcome->detail, "%s (Schannel 0x%08lx)",
           what, static_cast<unsigned long>(status));
}

net_ops* fail(tls_outcome* outcome, tls_failure failure) {
  outcome->failure = failure;
  return nullptr;
}

// The secured connection: clear text in send and recv, TLS records on the
// socket of the layer beneath.
class schannel_net final : public net_ops {
 public:
  net_ops* inner = nullptr;
  int socket = -1;
  CredHandle* cred = nullptr;
  CtxtHandle* context = nullptr;
  SecPkgContext_StreamSizes sizes{};
  // Received records not yet decrypted, and decrypted text not yet read.
  std::vector<char> records = std::vector<char>(kRecordRoom);
  int record_size = 0;
  std::vector<char> text;
  size_t text_at = 0;
  long long deadline_ms = 0;
  bool broken = false;

  int start(int version, int* granted) override {
    return inner->start(version, granted);
  }
  long long now_ms() override { return inner->now_ms(); }
  int connect_to(const char* host, bool dotted, int port, long long deadline,
                 connect_failure* failure) override {
    return inner->connect_to(host, dotted, port, deadline, failure);
  }
  void pause_ms(int milliseconds) override { inner->pause_ms(milliseconds); }
  int last_error() override {
    return last_ != 0 ? last_ : inner->last_error();
  }

  void close_socket(int on) override {
    if (on == socket && context != nullptr && !broken) send_close_notify();
    inner->close_socket(on);
  }

  int send(int on, const char* data, int size, long long deadline) override {
    if (on != socket) return inner->send(on, data, size, deadline);
    if (size <= 0) return 0;
    int piece = size < static_cast<int>(sizes.cbMaximumMessage)
                    ? size
                    : static_cast<int>(sizes.cbMaximumMessage);
    std::vector<char> record(sizes.cbHeader + piece + sizes.cbTrailer);
    memcpy(record.data() + sizes.cbHeader, data, piece);
    SecBuffer buffers[4] = {
        {sizes.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
        {static_cast<unsigned long>(piece), SECBUFFER_DATA,
         record.data() + sizes.cbHeader},
        {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER,
         record.data() + sizes.cbHeader + piece},
        {0, SECBUFFER_EMPTY, nullptr},
    };
    SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
    SECURITY_STATUS status = EncryptMessage(context, 0, &desc, 0);
    if (status != SEC_E_OK) return library_failed(status);
    int total = static_cast<int>(buffers[0].cbBuffer + buffers[1].cbBuffer +
                                 buffers[2].cbBuffer);
    if (!write_all(record.data(), total, deadline)) return -1;
    return piece;
  }

  int recv(int on, char* area, int room, long long deadline) override {
    if (on != socket) return inner->recv(on, area, room, deadline);
    while (text_at >= text.size()) {
      int got = decrypt_next(deadline);
      if (got <= 0) return got;
    }
    size_t n = text.size() - text_at;
    if (n > static_cast<size_t>(room)) n = room;
    memcpy(area, text.data() + text_at, n);
    text_at += n;
    return static_cast<int>(n);
  }

  // Writes size bytes to the socket beneath, all of them, by deadline.
  bool write_all(const char* data, int size, long long deadline) {
    while (size > 0) {
      int n = inner->send(socket, data, size, deadline);
      if (n <= 0) {
        last_ = inner->last_error();
        if (last_ == 0) last_ = WSA_ESHUTDOWN;
        broken = true;
        return false;
      }
      data += n;
      size -= n;
    }
    return true;
  }

 private:
  // Decrypts the next record into text. Returns 1 when text may have grown,
  // 0 when the server closed the connection (close_notify or not: either
  // way the dialogue sees a closed connection), -1 on failure.
  int decrypt_next(long long deadline) {
    for (;;) {
      if (record_size > 0) {
        SecBuffer buffers[4] = {
            {static_cast<unsigned long>(record_size), SECBUFFER_DATA,
             records.data()},
            {0, SECBUFFER_EMPTY, nullptr},
            {0, SECBUFFER_EMPTY, nullptr},
            {0, SECBUFFER_EMPTY, nullptr},
        };
        SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
        SECURITY_STATUS status = DecryptMessage(context, &desc, 0, nullptr);
        if (status == SEC_I_CONTEXT_EXPIRED) return 0;
        if (status == SEC_E_OK) {
          text.clear();
          text_at = 0;
          const SecBuffer* extra = nullptr;
          for (const SecBuffer& b : buffers) {
            if (b.BufferType == SECBUFFER_DATA) {
              const char* from = static_cast<const char*>(b.pvBuffer);
              text.assign(from, from + b.cbBuffer);
            } else if (b.BufferType == SECBUFFER_EXTRA) {
              extra = &b;
            }
          }
          keep_extra(extra);
          return 1;
        }
        if (status != SEC_E_INCOMPLETE_MESSAGE) {
          library_failed(status);
          return -1;
        }
      }
      if (record_size >= static_cast<int>(records.size())) {
        library_failed(SEC_E_INCOMPLETE_MESSAGE);
        return -1;
      }
      int n = inner->recv(socket, records.data() + record_size,
                          static_cast<int>(records.size()) - record_size,
                          deadline);
      if (n == 0) return 0;
      if (n < 0) {
        last_ = inner->last_error();
        if (last_ == 0) last_ = WSA_ETIMEDOUT;
        broken = true;
        return -1;
      }
      record_size += n;
    }
  }

  // Moves the bytes Schannel left over (the start of the next record) to
  // the front of records.
  void keep_extra(const SecBuffer* extra) {
    if (extra == nullptr || extra->cbBuffer == 0) {
      record_size = 0;
      return;
    }
    memmove(records.data(), records.data() + record_size - extra->cbBuffer,
            extra->cbBuffer);
    record_size = static_cast<int>(extra->cbBuffer);
  }

  // A TLS error after the handshake: logged with Schannel's code and kept
  // as "connection aborted".
  int library_failed(SECURITY_STATUS status) {
    log_event(LOG_ERRORS,
              "TLS connection with the SMTP server failed: Schannel 0x%08lx",
              static_cast<unsigned long>(status));
    last_ = WSA_ECONNABORTED;
    broken = true;
    return -1;
  }

  // RFC 8446 6.1: close_notify before closing, as a courtesy; its failure
  // changes nothing for the run.
  void send_close_notify();

  int last_ = 0;
};

// --- verification --------------------------------------------------------------

// Adds every certificate of the PEM file path to store. Returns the count
// added, 0 when the file cannot be read or holds none.
int load_pem_certificates(const char* path, HCERTSTORE store) {
  FILE* file = fopen(path, "rb");
  if (file == nullptr) return 0;
  std::vector<char> content;
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, file)) > 0) {
    content.insert(content.end(), chunk, chunk + n);
  }
  fclose(file);
  content.push_back('\0');
  static const char kBegin[] = "-----BEGIN CERTIFICATE-----";
  static const char kEnd[] = "-----END CERTIFICATE-----";
  int added = 0;
  const char* at = content.data();
  while ((at = strstr(at, kBegin)) != nullptr) {
    const char* end = strstr(at, kEnd);
    if (end == nullptr) break;
    end += sizeof kEnd - 1;
    DWORD size = 0;
    DWORD length = static_cast<DWORD>(end - at);
    if (CryptStringToBinaryA(at, length, CRYPT_STRING_BASE64HEADER, nullptr,
                             &size, nullptr, nullptr) &&
        size > 0) {
      std::vector<BYTE> der(size);
      if (CryptStringToBinaryA(at, length, CRYPT_STRING_BASE64HEADER,
                               der.data(), &size, nullptr, nullptr) &&
          CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING,
                                           der.data(), size,
                                           CERT_STORE_ADD_ALWAYS, nullptr)) {
        ++added;
      }
    }
    at = end;
  }
  return added;
}

// Words for the first error of a chain, in the Linux build's terms.
const char* chain_error_text(DWORD status) {
  if (status & CERT_TRUST_IS_NOT_TIME_VALID) {
    return "certificate has expired or is not yet valid";
  }
  if (status & CERT_TRUST_IS_NOT_SIGNATURE_VALID) {
    return "certificate signature failure";
  }
  if (status & CERT_TRUST_IS_UNTRUSTED_ROOT) {
    return "self-signed certificate or untrusted root";
  }
  if (status & CERT_TRUST_IS_PARTIAL_CHAIN) {
    return "unable to get local issuer certificate";
  }
  if (status & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) {
    return "unsupported certificate purpose";
  }
  return "certificate chain not valid";
}

// Whether the chain of cert leads to a trusted root: one of roots when not
// null (and nothing else), else the system's. Fills outcome when not.
bool chain_trusted(PCCERT_CONTEXT cert, HCERTSTORE roots,
                   tls_outcome* outcome) {
  HCERTCHAINENGINE engine = nullptr;
  if (roots != nullptr) {
    CERT_CHAIN_ENGINE_CONFIG config{};
    // The Windows 7 layout, which ends with the exclusive stores: the one
    // every Windows since 7 and Wine accept (Wine refuses the larger one).
    config.cbSize = offsetof(CERT_CHAIN_ENGINE_CONFIG, hExclusiveTrustedPeople) +
                    sizeof config.hExclusiveTrustedPeople;
    config.hExclusiveRoot = roots;
    if (!CertCreateCertificateChainEngine(&config, &engine)) {
      set_status_detail(outcome, "no chain engine for smtp_tls_ca",
                        static_cast<SECURITY_STATUS>(GetLastError()));
      return false;
    }
  }
  char server_auth[] = szOID_PKIX_KP_SERVER_AUTH;
  LPSTR usages[] = {server_auth};
  CERT_CHAIN_PARA para{};
  para.cbSize = sizeof para;
  para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  para.RequestedUsage.Usage.cUsageIdentifier = 1;
  para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  // No revocation flags: revocation is not checked, as on Linux.
  bool built = CertGetCertificateChain(engine, cert, nullptr, cert->hCertStore,
                                       &para, 0, nullptr, &chain);
  bool trusted = false;
  if (!built) {
    set_status_detail(outcome, "no certificate chain",
                      static_cast<SECURITY_STATUS>(GetLastError()));
  } else {
    DWORD errors = chain->TrustStatus.dwErrorStatus &
                   ~static_cast<DWORD>(CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                                       CERT_TRUST_IS_OFFLINE_REVOCATION);
    trusted = errors == 0;
    if (!trusted) set_detail(outcome, chain_error_text(errors));
    CertFreeCertificateChain(chain);
  }
  if (engine != nullptr) CertFreeCertificateChainEngine(engine);
  return trusted;
}

// Whether the subject alternative names of cert name host: its IP-address
// entries when host is a dotted address, else its DNS names.
bool names_host(PCCERT_CONTEXT cert, const char* host) {
  PCERT_EXTENSION extension =
      CertFindExtension(szOID_SUBJECT_ALT_NAME2,
                        cert->pCertInfo->cExtension,
                        cert->pCertInfo->rgExtension);
  if (extension == nullptr) return false;
  CERT_ALT_NAME_INFO* names = nullptr;
  DWORD size = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME,
                           extension->Value.pbData, extension->Value.cbData,
                           CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size)) {
    return false;
  }
  unsigned char address[4];
  bool is_address = parse_ipv4_host(host, address);
  bool found = false;
  for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
    const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
    if (is_address && entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS) {
      found = ip_entry_matches(entry.IPAddress.pbData,
                               static_cast<int>(entry.IPAddress.cbData),
                               address);
    } else if (!is_address &&
               entry.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME) {
      // A DNS name is ASCII (RFC 5280 4.2.1.6); anything else never matches.
      char narrow[256];
      int n = 0;
      bool ascii = true;
      for (const wchar_t* w = entry.pwszDNSName; *w != 0; ++w) {
        if (*w > 0x7e || n + 1 >= static_cast<int>(sizeof narrow)) {
          ascii = false;
          break;
        }
        narrow[n++] = static_cast<char>(*w);
      }
      found = ascii && dns_name_matches(narrow, n, host);
    }
  }
  LocalFree(names);
  return found;
}

// --- the handshake -----------------------------------------------------------

constexpr DWORD kContextFlags =
    ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
    ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM;

class schannel_tls final : public tls_layer {
 public:
  net_ops* secure(net_ops* net, int socket, const char* host,
                  const char* ca_file, long long deadline_ms,
                  tls_outcome* outcome) override {
    release();
    outcome->failure = TLS_DONE;
    outcome->detail[0] = '\0';
    if (ca_file != nullptr) {
      roots_ = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
      if (roots_ == nullptr || load_pem_certificates(ca_file, roots_) == 0) {
        set_detail(outcome, "no certificate in it");
        return fail(outcome, TLS_CA_UNREADABLE);
      }
    }
    SCHANNEL_CRED cred{};
    cred.dwVersion = SCHANNEL_CRED_VERSION;
    // RFC 8996: nothing older than TLS 1.2.
    cred.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    cred.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    char package[] = UNISP_NAME_A;
    SECURITY_STATUS status = AcquireCredentialsHandleA(
        nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &cred, nullptr,
        nullptr, &cred_, nullptr);
    if (status != SEC_E_OK) {
      set_status_detail(outcome, "Schannel could not be started", status);
      return fail(outcome, TLS_HANDSHAKE_FAILED);
    }
    have_cred_ = true;
    net_.inner = net;
    net_.socket = socket;
    net_.deadline_ms = deadline_ms;

    unsigned char address[4];
    // RFC 6066 3: SNI carries names only, never an address.
    if (parse_ipv4_host(host, address)) {
      target_[0] = '\0';
    } else {
      snprintf(target_, sizeof target_, "%s", host);
    }
    if (!handshake(outcome)) return nullptr;

    net_.cred = &cred_;
    net_.context = &context_;
    status = QueryContextAttributesA(&context_, SECPKG_ATTR_STREAM_SIZES,
                                     &net_.sizes);
    if (status != SEC_E_OK) {
      set_status_detail(outcome, "no record sizes", status);
      return fail(outcome, TLS_HANDSHAKE_FAILED);
    }
    PCCERT_CONTEXT cert = nullptr;
    status = QueryContextAttributesA(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT,
                                     &cert);
    if (status != SEC_E_OK || cert == nullptr) {
      set_status_detail(outcome, "the server sent no certificate", status);
      return fail(outcome, TLS_NOT_TRUSTED);
    }
    bool trusted = chain_trusted(cert, roots_, outcome);
    bool named = trusted && names_host(cert, host);
    CertFreeCertificateContext(cert);
    if (!trusted) return fail(outcome, TLS_NOT_TRUSTED);
    if (!named) {
      set_detail(outcome, parse_ipv4_host(host, address)
                              ? "IP address mismatch"
                              : "hostname mismatch");
      return fail(outcome, TLS_NAME_MISMATCH);
    }
    SecPkgContext_ConnectionInfo info{};
    QueryContextAttributesA(&context_, SECPKG_ATTR_CONNECTION_INFO, &info);
    log_event(LOG_DEBUG, "TLS started with %s: %s, cipher 0x%04lx", host,
              info.dwProtocol & SP_PROT_TLS1_3_CLIENT ? "TLSv1.3" : "TLSv1.2",
              static_cast<unsigned long>(info.aiCipher));
    return &net_;
  }

 private:
  // Runs InitializeSecurityContext until the handshake is done, sending its
  // tokens and feeding it the server's records. Fills outcome on failure.
  bool handshake(tls_outcome* outcome) {
    std::vector<char>& in = net_.records;
    int& in_size = net_.record_size;
    bool first = true;
    bool need_read = false;
    for (;;) {
      if (need_read) {
        if (in_size >= static_cast<int>(in.size())) {
          set_detail(outcome, "handshake message too long");
          return fail(outcome, TLS_HANDSHAKE_FAILED) != nullptr;
        }
        int n = net_.inner->recv(net_.socket, in.data() + in_size,
                                 static_cast<int>(in.size()) - in_size,
                                 net_.deadline_ms);
        if (n <= 0) {
          io_failure(n, outcome);
          return false;
        }
        in_size += n;
        // A TLS record opens with its content type, 20 to 23 (RFC 8446
        // 5.1); anything else (an SMTP greeting) is not TLS, however long
        // one waited for the rest of a "record".
        unsigned char type = static_cast<unsigned char>(in[0]);
        if (type < 20 || type > 23) {
          protocol_failure(SEC_E_ILLEGAL_MESSAGE, outcome);
          return false;
        }
      }
      SecBuffer in_buffers[2] = {
          {static_cast<unsigned long>(in_size), SECBUFFER_TOKEN, in.data()},
          {0, SECBUFFER_EMPTY, nullptr},
      };
      SecBufferDesc in_desc = {SECBUFFER_VERSION, 2, in_buffers};
      SecBuffer out_buffers[1] = {{0, SECBUFFER_TOKEN, nullptr}};
      SecBufferDesc out_desc = {SECBUFFER_VERSION, 1, out_buffers};
      ULONG attributes = 0;
      SECURITY_STATUS status = InitializeSecurityContextA(
          &cred_, first ? nullptr : &context_,
          target_[0] != '\0' ? target_ : nullptr, kContextFlags, 0, 0,
          first ? nullptr : &in_desc, 0, first ? &context_ : nullptr,
          &out_desc, &attributes, nullptr);
      if (first) have_context_ = true;
      first = false;
      if (out_buffers[0].cbBuffer > 0 && out_buffers[0].pvBuffer != nullptr) {
        bool sent = net_.write_all(static_cast<char*>(out_buffers[0].pvBuffer),
                                   static_cast<int>(out_buffers[0].cbBuffer),
                                   net_.deadline_ms);
        FreeContextBuffer(out_buffers[0].pvBuffer);
        if (!sent) {
          io_failure(-1, outcome);
          return false;
        }
      }
      if (status == SEC_E_INCOMPLETE_MESSAGE) {
        need_read = true;
        continue;
      }
      if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED &&
          status != SEC_I_INCOMPLETE_CREDENTIALS) {
        protocol_failure(status, outcome);
        return false;
      }
      // What Schannel did not take is the start of the next record.
      if (in_buffers[1].BufferType == SECBUFFER_EXTRA &&
          in_buffers[1].cbBuffer > 0) {
        memmove(in.data(), in.data() + in_size - in_buffers[1].cbBuffer,
                in_buffers[1].cbBuffer);
        in_size = static_cast<int>(in_buffers[1].cbBuffer);
      } else if (status != SEC_I_INCOMPLETE_CREDENTIALS) {
        in_size = 0;
      }
      if (status == SEC_E_OK) return true;
      // The server asked for a client certificate: go on without one.
      need_read = status == SEC_I_CONTINUE_NEEDED && in_size == 0;
    }
  }

  // A handshake that the layer beneath ended: n is 0 (closed) or -1.
  void io_failure(int n, tls_outcome* outcome) {
    outcome->failure = TLS_HANDSHAKE_FAILED;
    if (n == 0) {
      set_detail(outcome, "the server closed the connection");
      return;
    }
    int error = net_.inner->last_error();
    if (error == WSA_ETIMEDOUT) {
      set_detail(outcome, "no answer within the time limit (smtp_timeout)");
      return;
    }
    const char* words = socket_error_text(error);
    snprintf(outcome->detail, sizeof outcome->detail, "socket error %d %s",
             error, words ? words : "");
    // The error table's texts end with a line feed; a log line does not.
    size_t size = strlen(outcome->detail);
    while (size > 0 && (outcome->detail[size - 1] == '\n' ||
                        outcome->detail[size - 1] == ' ')) {
      outcome->detail[--size] = '\0';
    }
  }

  // A handshake that Schannel refused.
  void protocol_failure(SECURITY_STATUS status, tls_outcome* outcome) {
    outcome->failure = TLS_HANDSHAKE_FAILED;
    // A TLS server's first byte opens a handshake (22) or alert (21) record.
    unsigned char first_byte =
        net_.record_size > 0 ? static_cast<unsigned char>(net_.records[0]) : 0;
    if (net_.record_size > 0 && (first_byte < 20 || first_byte > 23)) {
      set_status_detail(outcome, "the server does not speak TLS on this port",
                        status);
    } else {
      set_status_detail(outcome, "handshake refused", status);
    }
  }

  void release() {
    if (have_context_) DeleteSecurityContext(&context_);
    if (have_cred_) FreeCredentialsHandle(&cred_);
    if (roots_ != nullptr) CertCloseStore(roots_, 0);
    have_context_ = false;
    have_cred_ = false;
    roots_ = nullptr;
    net_ = schannel_net();
  }

  CredHandle cred_{};
  CtxtHandle context_{};
  bool have_cred_ = false;
  bool have_context_ = false;
  HCERTSTORE roots_ = nullptr;
  char target_[256] = "";
  schannel_net net_;

};

}  // namespace

void schannel_net::send_close_notify() {
  DWORD token = SCHANNEL_SHUTDOWN;
  SecBuffer control = {sizeof token, SECBUFFER_TOKEN, &token};
  SecBufferDesc control_desc = {SECBUFFER_VERSION, 1, &control};
  if (ApplyControlToken(context, &control_desc) != SEC_E_OK) return;
  SecBuffer out = {0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc out_desc = {SECBUFFER_VERSION, 1, &out};
  ULONG attributes = 0;
  SECURITY_STATUS status = InitializeSecurityContextA(
      cred, context, nullptr, kContextFlags, 0, 0, nullptr, 0, nullptr,
      &out_desc, &attributes, nullptr);
  if (out.pvBuffer != nullptr) {
    if (status == SEC_E_OK && out.cbBuffer > 0) {
      write_all(static_cast<char*>(out.pvBuffer),
                static_cast<int>(out.cbBuffer), deadline_ms);
    }
    FreeContextBuffer(out.pvBuffer);
  }
  broken = true;
}

namespace {

// The process-wide TLS layer: holds the one TLS connection of a delivery,
// made by secure() and kept until the process ends.
schannel_tls the_schannel_tls;

}  // namespace

tls_layer* platform_tls() { return &the_schannel_tls; }

}  // namespace tarvelo
