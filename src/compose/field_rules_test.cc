#include "compose/field_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarvelo {
namespace {

struct rule_row {
  field_rule_kind kind;
  const char* name;
};

// Checks form (name, value pairs) against rules, with recipient_field Dept
// (aliases "sales", "help") when dept_menu is set; returns what the log says.
std::string problems_for(const std::vector<rule_row>& rules,
                         const std::vector<const char*>& pairs,
                         bool dept_menu) {
  mail_settings settings;
  for (const rule_row& r : rules) {
    field_rule& rule = settings.field_rules[settings.field_rule_count++];
    rule.kind = r.kind;
    rule.name = const_cast<char*>(r.name);
  }
  static char tokens[2][6] = {"sales", "help"};
  static char addresses[2][12] = {"s@shop.org", "h@shop.org"};
  if (dept_menu) {
    settings.recipient_field = const_cast<char*>("Dept");
    settings.alias_tokens[0] = tokens[0];
    settings.alias_tokens[1] = tokens[1];
    settings.alias_addresses[0] = addresses[0];
    settings.alias_addresses[1] = addresses[1];
    settings.recipient_alias_count = 2;
  }
  form_table form;
  for (size_t i = 0; i + 1 < pairs.size(); i += 2) {
    form.names[form.form_count] = const_cast<char*>(pairs[i]);
    form.values[form.form_count] = const_cast<char*>(pairs[i + 1]);
    ++form.form_count;
  }
  field_problems problems;
  problems.count = 7;  // whatever an earlier use left
  check_fields(settings, form, &problems);
  return describe_problems(problems);
}

TEST(CheckFieldsTest, RulesInIniOrderEachFieldOnce) {
  const std::vector<rule_row> name_email = {{FIELD_REQUIRED, "Name"},
                                            {FIELD_EMAIL, "Email"}};
  const std::vector<rule_row> email_twice = {{FIELD_EMAIL, "Email"},
                                             {FIELD_REQUIRED, "Email"},
                                             {FIELD_REQUIRED, "Name"}};
  const struct {
    const char* what;
    const std::vector<rule_row>& rules;
    std::vector<const char*> form;
    bool dept_menu;
    const char* expected;
  } cases[] = {
      {"all good", name_email, {"Name", "Jo", "Email", "jo@x.org"}, false, ""},
      {"absent", name_email, {}, false, "Name: required"},
      {"blanks only", name_email, {"Name", " \t\r\n"}, false, "Name: required"},
      {"blank-padded text", name_email, {"Name", " x "}, false, ""},
      {"first copy counts", name_email, {"Name", "", "Name", "x"}, false,
       "Name: required"},
      {"empty address", name_email, {"Name", "x", "Email", ""}, false, ""},
      {"padded address", name_email, {"Name", "x", "Email", " jo@x.org\r\n"},
       false, ""},
      {"blank address", name_email, {"Name", "x", "Email", " "}, false,
       "Email: not an e-mail address"},
      {"two addresses", name_email, {"Name", "x", "Email", "a@x.org b@x.org"},
       false, "Email: not an e-mail address"},
      {"named in", name_email, {"Name", "x", "Email", "Jo <jo@x.org>"}, false,
       "Email: not an e-mail address"},
      {"both, in ini order", email_twice, {"Email", "jo"}, false,
       "Email: not an e-mail address, Name: required"},
      {"first problem wins", email_twice, {"Name", "x"}, false,
       "Email: required"},
      {"token known", {}, {"Dept", "help"}, true, ""},
      {"token absent", {}, {}, true, "Dept: required"},
      {"token blank", {}, {"Dept", "\n"}, true, "Dept: required"},
      {"token in other case", {}, {"Dept", "Sales"}, true,
       "Dept: not one of the choices"},
      {"token padded", {}, {"Dept", "sales "}, true,
       "Dept: not one of the choices"},
      {"an address is no token", {}, {"Dept", "s@shop.org"}, true,
       "Dept: not one of the choices"},
      {"menu after the rules", name_email, {"Dept", "x"}, true,
       "Name: required, Dept: not one of the choices"},
      {"menu field also required", {{FIELD_REQUIRED, "Dept"}}, {}, true,
       "Dept: required"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.expected, problems_for(c.rules, c.form, c.dept_menu));
  }
}

}  // namespace
}  // namespace tarvelo
