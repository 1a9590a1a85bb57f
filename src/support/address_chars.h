// The characters an e-mail address is made of, as the envelope scan and the
// ini's address checks both read them.
//
// State owned here: none.
#pragma once

namespace tarvelo {

// Returns 1 for the characters an address is made of: ASCII letters, digits,
// ".", "_", "-" and "+". Never any byte above 127, whatever the locale.
int is_address_char(unsigned char c);

}  // namespace tarvelo
