#include "run/state.h"

namespace tarvelo {

// Process-wide: each written once by the run sequence, read-only afterwards.
run_args the_run_args;
run_paths the_run_paths;
form_table the_form_table;
mail_settings the_mail_settings;
entry_list the_header_list;
entry_list the_body_list;
envelope the_envelope;

}  // namespace tarvelo
