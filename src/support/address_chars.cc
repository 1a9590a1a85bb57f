#include "support/address_chars.h"

namespace tarvelo {

int is_address_char(unsigned char c) {
  // Explicit ranges rather than isalnum: the locale must never turn a byte
  // above 127 into part of an address. "+" belongs to the local part of
  // sub-addresses (joe+news@x.y); dropping it would name another mailbox.
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-' ||
         c == '+';
}

}  // namespace tarvelo
