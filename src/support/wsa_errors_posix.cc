// The errno values of POSIX sockets as Windows Sockets numbers.
#include <errno.h>

#include "support/wsa_errors.h"

namespace tarvelo {

int wsa_error_from_errno(int error) {
  switch (error) {
    case 0: return 0;
    case EINTR: return WSA_EINTR;
    case EBADF: return WSA_ENOTSOCK;
    case EACCES: return WSA_EACCES;
    case EFAULT: return WSA_EFAULT;
    case EINVAL: return WSA_EINVAL;
    case EMFILE: return WSA_EMFILE;
    // EWOULDBLOCK is the same number as EAGAIN here.
    case EAGAIN: return WSA_EWOULDBLOCK;
    case EINPROGRESS: return WSA_EINPROGRESS;
    case EALREADY: return WSA_EALREADY;
    case ENOTSOCK: return WSA_ENOTSOCK;
    case EDESTADDRREQ: return WSA_EDESTADDRREQ;
    case EMSGSIZE: return WSA_EMSGSIZE;
    case EPROTOTYPE: return WSA_EPROTOTYPE;
    case ENOPROTOOPT: return WSA_ENOPROTOOPT;
    case EPROTONOSUPPORT: return WSA_EPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSA_ESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSA_EOPNOTSUPP;
    case EPFNOSUPPORT: return WSA_EPFNOSUPPORT;
    case EAFNOSUPPORT: return WSA_EAFNOSUPPORT;
    case EADDRINUSE: return WSA_EADDRINUSE;
    case EADDRNOTAVAIL: return WSA_EADDRNOTAVAIL;
    case ENETDOWN: return WSA_ENETDOWN;
    case ENETUNREACH: return WSA_ENETUNREACH;
    case ENETRESET: return WSA_ENETRESET;
    case ECONNABORTED: return WSA_ECONNABORTED;
    case ECONNRESET: return WSA_ECONNRESET;
    case ENOBUFS: return WSA_ENOBUFS;
    case ENOMEM: return WSA_ENOBUFS;
    case EISCONN: return WSA_EISCONN;
    case ENOTCONN: return WSA_ENOTCONN;
    case EPIPE: return WSA_ESHUTDOWN;
    case ESHUTDOWN: return WSA_ESHUTDOWN;
    case ETOOMANYREFS: return WSA_ETOOMANYREFS;
    case ETIMEDOUT: return WSA_ETIMEDOUT;
    case ECONNREFUSED: return WSA_ECONNREFUSED;
    case ELOOP: return WSA_ELOOP;
    case ENAMETOOLONG: return WSA_ENAMETOOLONG;
    case EHOSTDOWN: return WSA_EHOSTDOWN;
    case EHOSTUNREACH: return WSA_EHOSTUNREACH;
    case ENOTEMPTY: return WSA_ENOTEMPTY;
    case EUSERS: return WSA_EUSERS;
    case EDQUOT: return WSA_EDQUOT;
    case ESTALE: return WSA_ESTALE;
    case EREMOTE: return WSA_EREMOTE;
    default: return error;
  }
}

}  // namespace tarvelo
