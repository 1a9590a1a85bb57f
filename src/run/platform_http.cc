#include "run/platform_http.h"

#include "run/run.h"

namespace tarvelo {

namespace {

// Whether this file's calls started the sockets layer; written by
// platform_http_post only.
bool sockets_started = false;

}  // namespace

bool platform_http_post(const http_request& request, http_response* response) {
  if (request.version != nullptr) {
    return http_post(request, platform_net(), platform_tls(), &sockets_started,
                     response);
  }
  http_request named = request;
  named.version = program_version;
  return http_post(named, platform_net(), platform_tls(), &sockets_started,
                   response);
}

}  // namespace tarvelo
