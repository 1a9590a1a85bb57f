// The Windows Sockets error numbers, in which every platform keeps its
// socket errors so the log shows the same words everywhere, and the words
// the log gives them. No state.
#pragma once

namespace tarvelo {

// Every Windows Sockets number this system knows, each once. The names
// carry an underscore so they never meet the WSAE... macros of winsock2.h.
enum wsa_error : int {
  WSA_EINTR = 10004,
  WSA_EACCES = 10013,
  WSA_EFAULT = 10014,
  WSA_EINVAL = 10022,
  WSA_EMFILE = 10024,
  WSA_EWOULDBLOCK = 10035,
  WSA_EINPROGRESS = 10036,
  WSA_EALREADY = 10037,
  WSA_ENOTSOCK = 10038,
  WSA_EDESTADDRREQ = 10039,
  WSA_EMSGSIZE = 10040,
  WSA_EPROTOTYPE = 10041,
  WSA_ENOPROTOOPT = 10042,
  WSA_EPROTONOSUPPORT = 10043,
  WSA_ESOCKTNOSUPPORT = 10044,
  WSA_EOPNOTSUPP = 10045,
  WSA_EPFNOSUPPORT = 10046,
  WSA_EAFNOSUPPORT = 10047,
  WSA_EADDRINUSE = 10048,
  WSA_EADDRNOTAVAIL = 10049,
  WSA_ENETDOWN = 10050,
  WSA_ENETUNREACH = 10051,
  WSA_ENETRESET = 10052,
  WSA_ECONNABORTED = 10053,
  WSA_ECONNRESET = 10054,
  WSA_ENOBUFS = 10055,
  WSA_EISCONN = 10056,
  WSA_ENOTCONN = 10057,
  WSA_ESHUTDOWN = 10058,
  WSA_ETOOMANYREFS = 10059,
  WSA_ETIMEDOUT = 10060,
  WSA_ECONNREFUSED = 10061,
  WSA_ELOOP = 10062,
  WSA_ENAMETOOLONG = 10063,
  WSA_EHOSTDOWN = 10064,
  WSA_EHOSTUNREACH = 10065,
  WSA_ENOTEMPTY = 10066,
  WSA_EUSERS = 10068,
  WSA_EDQUOT = 10069,
  WSA_ESTALE = 10070,
  WSA_EREMOTE = 10071,
  WSA_NOTINITIALISED = 10093,
};

// The words the log gives a Windows Sockets error number, the part of the
// log line after "wsock: (<context>) ", line feed included; null for 0 and
// for a number that has no words (the log then shows the number).
const char* socket_error_text(int code);

// Maps an errno value onto its Windows Sockets number. A value without a
// Windows Sockets counterpart comes back unchanged (the log then shows it as
// an unknown code); 0 stays 0. Defined on POSIX systems only
// (wsa_errors_posix.cc).
int wsa_error_from_errno(int error);

}  // namespace tarvelo
