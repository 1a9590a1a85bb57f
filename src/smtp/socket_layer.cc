#include "smtp/socket_layer.h"

#include <cstdio>

#include "support/log.h"

namespace tarvelo {

namespace {

struct socket_error_entry {
  int code;
  const char* text;
};

// Site owners read these texts in their logs, so they stay word for word,
// the odd ones included. Each follows "wsock: (<context>) ".
constexpr socket_error_entry kSocketErrors[] = {
    {10004, "The (blocking) call was canceled via WSACancelBlockingCall.\n"},
    {10013, "The requested address is a broadcast address, but the appropriate flag was not set.\n"},
    {10014, "The buf argument is not in a valid part of the user address space.\n"},
    {10022, "The socket has not been bound with bind.\n"},
    {10035, "The socket is marked as non-blocking and the requested operation would block.\n"},
    {10036, "A blocking Windows Sockets operation is in progress.\n"},
    {10038, "The descriptor is not a socket.\n"},
    {10039, "DestAddrReq\n"},
    {10040, "The socket is of type SOCK_DGRAM, and the datagram is larger than the maximum supported by the Windows Sockets implementation.\n"},
    {10045, "MSG_OOB was specified, but the socket is not of type SOCK_STREAM.\n"},
    {10048, "Address in use\n"},
    {10049, "Address not avail\n"},
    {10050, "The Windows Sockets implementation has detected that the network subsystem has failed.\n"},
    {10051, "Network Unreachable\n"},
    {10052, "The connection must be reset because the Windows Sockets implementation dropped it.\n"},
    {10053, "The virtual circuit was aborted due to timeout or other failure.\n"},
    {10054, "The virtual circuit was reset by the remote side.\n"},
    {10055, "The Windows Sockets implementation reports a buffer deadlock.\n"},
    {10057, "The socket is not connected.\n"},
    {10058, "The socket has been shutdown; it is not possible to sendln on a socket after shutdown has been invoked with how set to 1 or 2.\n"},
    {10059, "Too many refs.\n"},
    {10060, "Timedout\n"},
    {10061, "Connection Refused\n"},
    {10063, "Name too long\n"},
    {10064, "Host down\n"},
    {10065, "Host Unreachable\n"},
    {10066, "Not Empty\n"},
    {10093, "A successful WSAStartup must occur before using this API.\n"},
};

}  // namespace

const char* socket_error_text(int code) {
  for (const socket_error_entry& entry : kSocketErrors) {
    if (entry.code == code) return entry.text;
  }
  return nullptr;
}

void report_socket_error(net_ops* net, const char* context) {
  int code = net->last_error();
  if (code == 0) return;
  const char* text = socket_error_text(code);
  if (text != nullptr) {
    log_event(LOG_ERRORS, "wsock: (%s) %s", context, text);
  } else {
    log_event(LOG_ERRORS, "wsock: (%s) Socket Unkown error code %d \n",
              context, code);
  }
}

void winsock_start(net_ops* net) {
  int granted = 0;
  if (net->start(kSocketsVersion, &granted) != 0) {
    log_event(LOG_ERRORS, "No winsock found of correct version\n");
    return;
  }
  if ((granted & 0xff) != 1 || ((granted >> 8) & 0xff) != 1) {
    log_event(LOG_ERRORS,
              "*** Error *** No winsock found of correct version, trying to "
              "continue\n");
  }
}

int connect_to_server(net_ops* net, char* host, int port,
                      long long deadline_ms) {
  for (char* c = host; *c != '\0'; ++c) {
    if (*c >= 'A' && *c <= 'Z') *c = static_cast<char>(*c - 'A' + 'a');
  }
  bool dotted = host[0] >= '0' && host[0] <= '9';
  connect_failure failure = CONNECT_DONE;
  int socket = net->connect_to(host, dotted, port & 0xffff, deadline_ms,
                               &failure);
  if (socket != -1) return socket;
  if (failure == CONNECT_NO_SOCKET) {
    char context[kConnectContextSize];
    snprintf(context, sizeof context, "*** Error *** Can't connect to {%s}",
             host);
    report_socket_error(net, context);
  } else if (failure != CONNECT_NO_NAME) {
    report_socket_error(net, host);
  }
  return -1;
}

int socket_write_all(net_ops* net, int socket, const char* data, int size,
                     long long deadline_ms) {
  return socket_write_shown(net, socket, data, size, deadline_ms, nullptr);
}

int socket_write_shown(net_ops* net, int socket, const char* data, int size,
                       long long deadline_ms, const char* shown) {
  if (size == 0) return 0;
  if (socket == -1) return -1;
  int written = 0;
  while (written < size) {
    int taken = net->send(socket, data + written, size - written, deadline_ms);
    if (taken <= 0) {
      report_socket_error(net, "Socket Error, could not write.");
      return -1;
    }
    // Only the bytes this write took: against a slow reader, the rest of a
    // big message traced again after every piece would fill the log.
    if (shown != nullptr) {
      log_event(LOG_DEBUG, "SENT(%d): (%d/%d bytes) {%s}", socket, taken,
                size, shown);
    } else {
      log_event(LOG_DEBUG, "SENT(%d): (%d/%d bytes) {%.*s}", socket, taken,
                size, taken, data + written);
    }
    written += taken;
    if (written < size) net->pause_ms(kPartialWritePauseMs);
  }
  return written;
}

}  // namespace tarvelo
