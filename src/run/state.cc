#include "run/state.h"

namespace tarvelo {

// Process-wide: each written once by the run sequence, read-only afterwards.
constinit run_args the_run_args;
constinit run_paths the_run_paths;
constinit form_table the_form_table;
constinit mail_settings the_mail_settings;
constinit entry_list the_header_list;
constinit entry_list the_body_list;
constinit envelope the_envelope;

}  // namespace tarvelo
