#include "smtp/socket_layer.h"

#include <cstdio>

#include "support/log.h"

namespace tarvelo {

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
