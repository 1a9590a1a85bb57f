#include "support/wsa_errors.h"

namespace tarvelo {

namespace {

struct socket_error_entry {
  wsa_error code;
  const char* text;
};

// Site owners read these texts in their logs, so they stay word for word,
// the odd ones included. Each follows "wsock: (<context>) ".
constexpr socket_error_entry kSocketErrors[] = {
    {WSA_EINTR, "The (blocking) call was canceled via WSACancelBlockingCall.\n"},
    {WSA_EACCES, "The requested address is a broadcast address, but the appropriate flag was not set.\n"},
    {WSA_EFAULT, "The buf argument is not in a valid part of the user address space.\n"},
    {WSA_EINVAL, "The socket has not been bound with bind.\n"},
    {WSA_EWOULDBLOCK, "The socket is marked as non-blocking and the requested operation would block.\n"},
    {WSA_EINPROGRESS, "A blocking Windows Sockets operation is in progress.\n"},
    {WSA_ENOTSOCK, "The descriptor is not a socket.\n"},
    {WSA_EDESTADDRREQ, "DestAddrReq\n"},
    {WSA_EMSGSIZE, "The socket is of type SOCK_DGRAM, and the datagram is larger than the maximum supported by the Windows Sockets implementation.\n"},
    {WSA_EOPNOTSUPP, "MSG_OOB was specified, but the socket is not of type SOCK_STREAM.\n"},
    {WSA_EADDRINUSE, "Address in use\n"},
    {WSA_EADDRNOTAVAIL, "Address not avail\n"},
    {WSA_ENETDOWN, "The Windows Sockets implementation has detected that the network subsystem has failed.\n"},
    {WSA_ENETUNREACH, "Network Unreachable\n"},
    {WSA_ENETRESET, "The connection must be reset because the Windows Sockets implementation dropped it.\n"},
    {WSA_ECONNABORTED, "The virtual circuit was aborted due to timeout or other failure.\n"},
    {WSA_ECONNRESET, "The virtual circuit was reset by the remote side.\n"},
    {WSA_ENOBUFS, "The Windows Sockets implementation reports a buffer deadlock.\n"},
    {WSA_ENOTCONN, "The socket is not connected.\n"},
    {WSA_ESHUTDOWN, "The socket has been shutdown; it is not possible to sendln on a socket after shutdown has been invoked with how set to 1 or 2.\n"},
    {WSA_ETOOMANYREFS, "Too many refs.\n"},
    {WSA_ETIMEDOUT, "Timedout\n"},
    {WSA_ECONNREFUSED, "Connection Refused\n"},
    {WSA_ENAMETOOLONG, "Name too long\n"},
    {WSA_EHOSTDOWN, "Host down\n"},
    {WSA_EHOSTUNREACH, "Host Unreachable\n"},
    {WSA_ENOTEMPTY, "Not Empty\n"},
    {WSA_NOTINITIALISED, "A successful WSAStartup must occur before using this API.\n"},
};

}  // namespace

const char* socket_error_text(int code) {
  for (const socket_error_entry& entry : kSocketErrors) {
    if (entry.code == code) return entry.text;
  }
  return nullptr;
}

}  // namespace tarvelo
