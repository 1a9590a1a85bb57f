// http_post over the platform's sockets and TLS, for the run's calls to
// other services. Kept apart from the tests' stand-ins: the run hands this
// function to the pieces that call out (an http_poster).
//
// State owned here: whether this file's calls started the sockets layer.
#pragma once

#include "smtp/http_client.h"

namespace tarvelo {

// http_post(request, platform_net(), platform_tls(), ...), starting the
// sockets layer on the first call of the process.
bool platform_http_post(const http_request& request, http_response* response);

}  // namespace tarvelo
