#include "tools/faq.h"

#include <cstring>

#include "support/dyn_text.h"
#include "support/html_escape.h"

namespace tarvelo {

// Process-wide counters: each table numbers its own matches, so both passes
// count the questions 1, 2, 3 ... and every contents link #Qn finds the
// anchor Qn of the body.
faq_rule toc_rules[kFaqRuleEntries] = {
    {"[q]", "<li><A HREF=\"#Q%d\">Q %d </A>", 0, FAQ_SHOW_NOW, FAQ_RAW_NOW},
    {"[a]", "</li>\n", 0, FAQ_HIDE_NEXT, FAQ_RAW_NOW},
    {"[pre]", "", 0, FAQ_SHOW_UNCHANGED, FAQ_RAW_NOW},
    {"[/pre]", "", 0, FAQ_SHOW_UNCHANGED, FAQ_RAW_NOW},
    {nullptr, nullptr, 0, FAQ_SHOW_NEXT, FAQ_RAW_NOW},
};

faq_rule body_rules[kFaqRuleEntries] = {
    {"[q]", "<BR><H3><a name=\"Q%d\">Q %d </a>", 0, FAQ_SHOW_NEXT,
     FAQ_RAW_NOW},
    {"[a]", "</H3><B>A %d - </B>", 0, FAQ_SHOW_NEXT, FAQ_ESCAPE_NEXT},
    {"[pre]", "<pre>", 0, FAQ_SHOW_NEXT, FAQ_RAW_NOW},
    {"[/pre]", "</pre>", 0, FAQ_SHOW_NEXT, FAQ_ESCAPE_NEXT},
    {nullptr, nullptr, 0, FAQ_SHOW_NEXT, FAQ_RAW_NOW},
};

namespace {

// Copies text into line (kFaqLineStorage bytes), cut to kFaqLineMax.
void copy_cut(char* line, const char* text) {
  size_t length = strnlen(text, kFaqLineMax);
  memcpy(line, text, length);
  line[length] = '\0';
}

// The replacements are the fixed formats of the tables above, never input,
// and each takes only the count; five copies cover every conversion a
// replacement may hold.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
void format_replacement(char* out, const char* replacement, int count) {
  snprintf(out, kFaqLineMax + 1, replacement, count, count, count, count,
           count);
}

void print_through(FILE* out, const char* format, const char* text) {
  fprintf(out, format, text);
}
#pragma GCC diagnostic pop

}  // namespace

void html_escape_print(FILE* out, const char* format, const char* text) {
  char escaped[kFaqLineMax + 1];
  html_escape_bounded(text, HTML_ESCAPE_MARKUP, escaped, kFaqLineMax);
  print_through(out, format, escaped);
}

void print_faq_section(const char* const* lines, faq_rule* rules, FILE* out) {
  dyn_text* built = dyn_text_new("");
  bool showing = true;
  bool escaping = false;
  char line[kFaqLineStorage];
  char replacement[kFaqLineStorage];
  for (const char* const* entry = lines; *entry != nullptr; ++entry) {
    copy_cut(line, *entry);
    const faq_rule* matched = nullptr;
    for (faq_rule* rule = rules; rule->marker != nullptr; ++rule) {
      char* hit = strstr(line, rule->marker);
      if (hit == nullptr) continue;
      ++rule->count;
      format_replacement(replacement, rule->replacement, rule->count);
      dyn_text_assign(built, "%.*s", static_cast<int>(hit - line), line);
      dyn_text_append_bytes(built, replacement,
                            static_cast<int>(strlen(replacement)));
      const char* after = hit + strlen(rule->marker);
      dyn_text_append_bytes(built, after, static_cast<int>(strlen(after)));
      copy_cut(line, built->data);
      matched = rule;
    }
    if (matched != nullptr) {
      if (matched->escape_mode == FAQ_RAW_NOW) escaping = false;
      if (matched->escape_mode == FAQ_ESCAPE_NOW) escaping = true;
      if (matched->show_mode == FAQ_SHOW_NOW) showing = true;
    }
    if (showing) {
      if (escaping) {
        html_escape_print(out, "%s\n", line);
      } else {
        fprintf(out, "%s\n", line);
      }
    }
    if (matched != nullptr) {
      if (matched->show_mode == FAQ_SHOW_NEXT) showing = true;
      if (matched->show_mode == FAQ_HIDE_NEXT) showing = false;
      if (matched->escape_mode == FAQ_ESCAPE_NEXT) escaping = true;
      if (matched->escape_mode == FAQ_RAW_NEXT) escaping = false;
    }
  }
  dyn_text_free(built);
}

void print_faq_page_to(const char* const* lines, faq_rule* toc, faq_rule* body,
                       FILE* out) {
  fputs("<HTML>\n<HEAD></HEAD>\n<BODY>\n<H2>TARVELO FAQ</H2><BR><UL>", out);
  print_faq_section(lines, toc, out);
  fputs("</UL><BR>", out);
  print_faq_section(lines, body, out);
  fputs("</BODY>\n</HTML>\n", out);
}

void print_faq_page() {
  print_faq_page_to(faq_lines, toc_rules, body_rules, stdout);
}

}  // namespace tarvelo
