// The process-wide state of a run: the arguments, the paths beside the
// executable, the form, the ini's settings and lists, and the envelope.
//
// Each is written once by the run sequence (run.cc, deliver.cc) and read
// afterwards; only src/run/ names them. Every other folder gets what it
// reads as arguments.
#pragma once

#include "compose/envelope.h"
#include "config/ini_reader.h"
#include "form/form_reader.h"

namespace tarvelo {

constexpr int kPathStorage = 64000;
constexpr int kPathMax = 63990;

struct run_args {
  int argc = 0;
  char** argv = nullptr;
};

struct run_paths {
  char ini_path[kPathStorage] = {};
  char log_path[kPathStorage] = {};
};

extern run_args the_run_args;
extern run_paths the_run_paths;
extern form_table the_form_table;        // filled by read_form
extern mail_settings the_mail_settings;  // filled by load_ini
extern entry_list the_header_list;       // filled by load_ini
extern entry_list the_body_list;         // filled by load_ini
extern envelope the_envelope;            // filled by compose_and_send

}  // namespace tarvelo
