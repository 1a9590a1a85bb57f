// The TLS layer of a build without a TLS library: every request for TLS
// fails, so an ini that asks for it gets an error line and the failure page,
// never a delivery in plain text.
#include "smtp/tls_layer.h"

namespace tarvelo {

namespace {

class no_tls final : public tls_layer {
 public:
  net_ops* secure(net_ops*, int, const char*, const char*, long long,
                  tls_outcome* outcome) override {
    outcome->failure = TLS_UNAVAILABLE;
    outcome->detail[0] = '\0';
    return nullptr;
  }
};

no_tls the_no_tls;

}  // namespace

tls_layer* platform_tls() { return &the_no_tls; }

}  // namespace tarvelo
