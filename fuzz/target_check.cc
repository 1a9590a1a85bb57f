// The -check switch's reading of an ini and a page: the input is an ini text
// and a page text, split at the first "\xff\xff". The findings must name
// only lines that exist, never show the password, and every page token must
// be a whole name between two "||".
#include <cstdint>
#include <memory>
#include <string>

#include "fuzz_check.h"
#include "support/log.h"
#include "tools/check.h"

using namespace tarvelo;

// The check keeps what it read until the process ends, as a run does; the
// leak checker (when the build has one) ignores it.
extern "C" void __lsan_disable() __attribute__((weak));
extern "C" void __lsan_enable() __attribute__((weak));

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool holding = false;
  if (!holding) {
    // As the command does: the log points nowhere and its lines are held.
    log_set_path("");
    log_hold_lines();
    holding = true;
  }
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t cut = input.find("\xff\xff");
  std::string ini_text = input.substr(0, cut);
  std::string page = cut == std::string::npos ? "" : input.substr(cut + 2);

  long lines = 0;
  for (char c : ini_text) lines += c == '\n';
  if (!ini_text.empty() && ini_text.back() != '\n') ++lines;

  if (__lsan_disable) __lsan_disable();
  std::unique_ptr<checked_ini> ini(new checked_ini);
  finding_list found;
  check_ini_lines(ini_text.data(), static_cast<long>(ini_text.size()),
                  ini.get(), &found);
  check_message_settings(*ini, &found);
  std::string from;
  probe_recipients(*ini, &from);
  check_page_tokens(page, "success_html_page", ini->field_names, &found);
  if (__lsan_enable) __lsan_enable();
  std::string held;
  log_take_held_lines(&held);

  const std::string masked = std::string("\"smtp_password ") + kPasswordMask;
  for (const finding& f : found) {
    FUZZ_CHECK(!f.text.empty());
    // A quoted line is the one after "line N: ".
    size_t quoted = f.text.find(": \"");
    if (f.text.starts_with("line ") && quoted != std::string::npos &&
        f.text.compare(quoted + 1, 15, "\"smtp_password ") == 0) {
      FUZZ_CHECK(f.text.compare(quoted + 1, masked.size(), masked) == 0);
    }
    if (f.text.ends_with("did you mean \"smtp_password\"?")) {
      FUZZ_CHECK(f.text.find(std::string(kPasswordMask) + "\" is not") !=
                 std::string::npos);
    }
    if (f.text.starts_with("line ")) {
      long number = strtol(f.text.c_str() + 5, nullptr, 10);
      FUZZ_CHECK(number >= 1 && number <= lines);
    }
  }
  for (const std::string& token : page_tokens(page)) {
    FUZZ_CHECK(!token.empty() && token.find("||") == std::string::npos);
    FUZZ_CHECK(page.find("||" + token + "||") != std::string::npos);
  }
  return 0;
}
