// The fields of a post that the ini's rules refused, for the reply: the
// JSON "fields" object and the page token ||_invalid_fields||.
//
// State owned here: none.
#pragma once

namespace tarvelo {

// Room for every field rule the ini can hold (kMaxFieldRules) and the
// recipient_field menu: a post failing them all still names each.
constexpr int kMaxFieldProblems = 201;

// Reasons, as the JSON reply gives them to the visitor's script.
constexpr const char* kFieldRequired = "required";
constexpr const char* kFieldNotAnAddress = "not an e-mail address";
constexpr const char* kFieldUnknownChoice = "not one of the choices";
constexpr const char* kFieldFileRefused = "file type not allowed";

// One refused field: its name (an ini text or a form name, owned by the
// settings or the form table, which outlive the reply) and the reason
// (one of the constants above).
struct field_problem {
  const char* name = nullptr;
  const char* reason = nullptr;
};

// The refused fields in the order they were found; a field is named once.
struct field_problems {
  int count = 0;
  field_problem items[kMaxFieldProblems];
};

}  // namespace tarvelo
