// The FAQ page printed by the -FAQ switch.
#pragma once

namespace tarvelo {

// Prints the whole FAQ page on standard output. Nothing is logged.
void print_faq_page();

}  // namespace tarvelo
